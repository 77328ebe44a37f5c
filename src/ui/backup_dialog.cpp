#include "ui/backup_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>
#include <limits>
#include <utility>

#include "app/log.h"
#include "app/strings.h"
#include "model/group_record.h"
#include "ui/icons.h"

namespace velmora::ui {

namespace {

constexpr int kTimerMs = 250;  // timer 1
constexpr const char* kStillWriting = "A backup is being written; wait until it has finished.";

QString Q(const std::string& text) { return QString::fromStdString(text); }

QDate ToQDate(const backup::LocalDate& date) { return QDate(date.year, date.month, date.day); }
backup::LocalDate FromQDate(const QDate& date) { return {date.year(), date.month(), date.day()}; }

// A progress bar takes int; large ranges are scaled down to keep the proportion.
std::pair<int, int> BarRange(uint64_t position, uint64_t range) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int>::max());
  uint64_t divisor = 1;
  while (range / divisor > kMax) divisor *= 2;
  return {static_cast<int>(position / divisor), static_cast<int>(range / divisor)};
}

}  // namespace

BackupDialog::BackupDialog(const std::string& source, const std::string& devicePath, control::DeviceSources sources,
                           const platform::MountTableSource& mountSource, const std::string& recordings,
                           const GroupRecord* root, QWidget* parent)
    : QDialog(parent),
      view_(control::InitialBackupView(source, devicePath, static_cast<int64_t>(std::time(nullptr)),
                                       backup::FoldersOfTree(root, recordings))),
      sources_(std::move(sources)) {
  // Every entry is judged as a target the way the command line judges one.
  sources_.check = [view = view_](const control::BackupDevice& device) {
    return control::CheckBackupDevice(view, device);
  };
  setObjectName("backupDialog");
  setWindowTitle(tr("Backup"));

  QGroupBox* deviceGroup = BuildDeviceGroup();
  QGroupBox* selectionGroup = BuildSelectionGroup();
  QGroupBox* optionsGroup = BuildOptionsGroup();
  QHBoxLayout* buttons = BuildStatusAndButtons();

  auto* columns = new QHBoxLayout;
  columns->addWidget(deviceGroup, 3);
  auto* right = new QVBoxLayout;
  right->addWidget(selectionGroup);
  right->addWidget(optionsGroup);
  right->addStretch(1);
  columns->addLayout(right, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addWidget(status_);
  layout->addWidget(progress_);
  layout->addLayout(buttons);

  connect(backup_, &QPushButton::clicked, this, &BackupDialog::startBackup);
  connect(finished_, &QPushButton::clicked, this, &BackupDialog::reject);
  connect(start_, &QDateEdit::dateChanged, this, [this] { DatesChanged(); });
  connect(end_, &QDateEdit::dateChanged, this, [this] { DatesChanged(); });
  connect(deviceList_, &QComboBox::currentIndexChanged, this, &BackupDialog::DeviceChosen);

  StartWorkers(mountSource);
  ShowDevice();
  ShowCount();
  ShowState();
}

// The device: the list, the medium's type, size and flags, and the volume label.
QGroupBox* BackupDialog::BuildDeviceGroup() {
  auto* deviceGroup = new QGroupBox(tr("Backup Device"), this);
  deviceList_ = new QComboBox(deviceGroup);
  deviceList_->setObjectName("backupDevice");
  deviceList_->setMinimumWidth(320);
  deviceList_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  deviceType_ = new QLabel(tr("Unknown"), deviceGroup);
  deviceType_->setObjectName("deviceType");
  mediaSize_ = new QLabel(tr("Unknown"), deviceGroup);
  mediaSize_->setObjectName("mediaSize");
  blank_ = new QCheckBox(tr("Blank"), deviceGroup);
  rewritable_ = new QCheckBox(tr("RW"), deviceGroup);
  writable_ = new QCheckBox(tr("W"), deviceGroup);
  auto* indicators = new QHBoxLayout;
  for (QCheckBox* box : {blank_, rewritable_, writable_}) {
    box->setEnabled(false);  // they only display the medium's flags
    indicators->addWidget(box);
  }
  indicators->addStretch(1);
  label_ = new QLineEdit(Q(view_.volumeLabel), deviceGroup);
  label_->setObjectName("volumeLabel");
  auto* deviceForm = new QFormLayout;
  auto* deviceLayout = new QVBoxLayout(deviceGroup);
  deviceLayout->addLayout(deviceForm);
  deviceLayout->addStretch(1);
  deviceForm->addRow(tr("&Device:"), deviceList_);
  deviceForm->addRow(tr("Device type:"), deviceType_);
  deviceForm->addRow(tr("Media size:"), mediaSize_);
  deviceForm->addRow(tr("Media:"), indicators);
  deviceForm->addRow(tr("&Volume label:"), label_);
  return deviceGroup;
}

// The selection: the two dates, the count and size of the selected files with the
// warning that they do not fit.
QGroupBox* BackupDialog::BuildSelectionGroup() {
  auto* selectionGroup = new QGroupBox(tr("Recordings to Back Up"), this);
  start_ = new QDateEdit(ToQDate(view_.range.start), selectionGroup);
  start_->setObjectName("startDate");
  end_ = new QDateEdit(ToQDate(view_.range.end), selectionGroup);
  end_->setObjectName("endDate");
  for (QDateEdit* edit : {start_, end_}) {
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    // Recording times are 32-bit seconds.
    edit->setDateRange(QDate(1970, 1, 1), QDate(2037, 12, 31));
  }
  count_ = new QLabel(QStringLiteral("0"), selectionGroup);
  count_->setObjectName("fileCount");
  size_ = new QLabel(tr("0 MiB (0 bytes)"), selectionGroup);
  size_->setObjectName("selectionSize");
  warning_ = new QLabel(selectionGroup);
  warning_->setObjectName("sizeWarning");
  const int small = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
  warning_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(small, small));
  warning_->setToolTip(tr("The selected files do not fit on the medium."));
  warning_->hide();
  auto* sizeRow = new QHBoxLayout;
  sizeRow->addWidget(size_);
  sizeRow->addWidget(warning_);
  sizeRow->addStretch(1);
  auto* selectionForm = new QFormLayout(selectionGroup);
  selectionForm->addRow(tr("&From:"), start_);
  selectionForm->addRow(tr("&To:"), end_);
  selectionForm->addRow(tr("Files:"), count_);
  selectionForm->addRow(tr("Size:"), sizeRow);
  return selectionGroup;
}

// The choices: eject, remove (not offered) and simulate.
QGroupBox* BackupDialog::BuildOptionsGroup() {
  auto* optionsGroup = new QGroupBox(tr("Options"), this);
  eject_ = new QCheckBox(tr("E&ject disc after backup is finished"), optionsGroup);
  eject_->setObjectName("eject");
  remove_ = new QCheckBox(tr("Remo&ve data files after backup is finished"), optionsGroup);
  remove_->setObjectName("removeFiles");
  remove_->setEnabled(false);
  simulate_ = new QCheckBox(tr("&Simulated backup"), optionsGroup);
  simulate_->setObjectName("simulate");
  simulate_->setChecked(true);
  auto* optionsLayout = new QVBoxLayout(optionsGroup);
  optionsLayout->addWidget(eject_);
  optionsLayout->addWidget(remove_);
  optionsLayout->addWidget(simulate_);
  return optionsGroup;
}

// The status line, the progress bar and the row of buttons (returned for the layout).
QHBoxLayout* BackupDialog::BuildStatusAndButtons() {
  status_ = new QLabel(tr("Ready."), this);
  status_->setObjectName("backupStatus");
  status_->setWordWrap(true);
  progress_ = new QProgressBar(this);
  progress_->setObjectName("backupProgress");
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);

  backup_ = new QPushButton(tr("&Backup"), this);
  backup_->setObjectName("backup");
  backup_->setEnabled(false);
  finished_ = new QPushButton(tr("&Finished"), this);
  finished_->setObjectName("finished");
  finished_->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(backup_);
  buttons->addWidget(finished_);
  return buttons;
}

// The dialog's workers: the marker written first, so that the count and the backup hold
// it; the file counter; the watch of the mount table; timer 1.
void BackupDialog::StartWorkers(const platform::MountTableSource& mountSource) {
  std::error_code error;
  if (!std::filesystem::is_directory(view_.source, error)) {
    Log("backup: device folder %s does not exist", view_.source.string().c_str());
  } else {
    backup::WriteBackupMarker(view_.source, view_.devicePath);
  }
  counter_ = std::make_unique<backup::FileCounter>(view_.source);
  if (!counter_->start(view_.range)) Log("backup: the file counter could not start");

  // Volumes coming and going: the list is made again and the device examined again.
  watcher_ = std::make_unique<platform::MountWatcher>(mountSource, [this](const platform::RemovableMount&, bool) {
    QMetaObject::invokeMethod(this, [this] { VolumeChanged(); }, Qt::QueuedConnection);
  });
  if (!watcher_->start()) {
    LogLastError("backup: mount table watch");
    watcher_.reset();
  }

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &BackupDialog::Tick);
  timer_->start(kTimerMs);
}

BackupDialog::~BackupDialog() { StopWorkers(); }

void BackupDialog::StopWorkers() {
  if (timer_ != nullptr) timer_->stop();
  // The watcher posts nothing once stopped; the job and the probe are waited for before
  // the dialog they post to goes away (their queued calls die with it).
  if (watcher_) watcher_->stop();
  job_.wait();
  if (probe_.joinable()) probe_.join();
  if (counter_) counter_->stop();
}

void BackupDialog::RunForDevice(const GroupRecord& entry, const platform::MountTableSource& mediaSource,
                                const std::string& recordings, QWidget* parent) {
  const std::string source = recordings + entry.path;
  BackupDialog dialog(source, entry.path, control::SystemDeviceSources(mediaSource), mediaSource, recordings,
                      &TopOf(entry), parent);
  dialog.exec();
}

void BackupDialog::checkMounts() {
  if (watcher_) watcher_->Refresh();
}

void BackupDialog::Tick() {
  if (infoNeeded_ && !probing_ && !backingUp()) StartProbe();
  backup::CountSnapshot snapshot;
  if (counter_ && counter_->takeChanged(snapshot)) {
    view_.count = snapshot;
    ShowCount();
  }
}

void BackupDialog::StartProbe() {
  infoNeeded_ = false;
  const bool relist = std::exchange(relistNeeded_, false);
  const int index = deviceList_->currentIndex();
  const std::string selected =
      index >= 0 && index < static_cast<int>(devices_.size()) ? devices_[static_cast<std::size_t>(index)].target
                                                              : std::string();
  if (probe_.joinable()) probe_.join();  // an earlier probe that has posted its result
  probing_ = true;
  probeQuiet_ = std::exchange(quietProbe_, false);
  control::BeginExamination(view_, probeQuiet_);
  setCursor(Qt::WaitCursor);
  ShowState();
  probe_ = std::thread([this, relist, devices = devices_, selected, sources = sources_]() mutable {
    control::DeviceProbe probe = control::ProbeDevices(relist, std::move(devices), selected, sources);
    QMetaObject::invokeMethod(
        this, [this, probe = std::move(probe)]() mutable { ProbeDone(std::move(probe)); }, Qt::QueuedConnection);
  });
}

void BackupDialog::ProbeDone(control::DeviceProbe probe) {
  probing_ = false;
  ++examinations_;
  if (probe.relisted) {
    devices_ = std::move(probe.devices);
    filling_ = true;
    deviceList_->clear();
    for (const control::BackupDevice& device : devices_) {
      const QIcon icon = device.optical ? ThemeIcon(QStringLiteral("media-optical"), QStringLiteral("kind_optical"))
                                        : ThemeIcon(QStringLiteral("drive-removable-media"), QStringLiteral("kind_drive"));
      deviceList_->addItem(icon, Q(device.label), Q(device.target));
    }
    deviceList_->setCurrentIndex(probe.selected);
    filling_ = false;
  }
  if (deviceList_->currentIndex() != probe.selected) {
    // Another entry was chosen while this one was examined: its facts must not enable
    // Backup for the new choice, which is examined next.
    infoNeeded_ = true;
    return;
  }
  control::EndExamination(view_, probe.selected >= 0, probe.info, probeQuiet_, probe.target);
  unsetCursor();
  ShowDevice();
  ShowCount();
  ShowState();
}

void BackupDialog::DeviceChosen(int) {
  if (filling_) return;
  infoNeeded_ = true;
  quietProbe_ = false;
}

void BackupDialog::VolumeChanged() {
  relistNeeded_ = true;
  infoNeeded_ = true;
  quietProbe_ = false;
}

void BackupDialog::DatesChanged() {
  control::SetDates(view_, FromQDate(start_->date()), FromQDate(end_->date()));
  countShown_ = false;
  if (counter_) counter_->setRange(view_.range);
  ShowState();
}

void BackupDialog::ShowDevice() {
  deviceType_->setText(Q(view_.drive.deviceType));
  mediaSize_->setText(Q(control::MediaSizeText(view_.drive.mediaBytes)));
  blank_->setChecked(view_.drive.blank);
  rewritable_->setChecked(view_.drive.rewritable);
  writable_->setChecked(view_.drive.writable);
}

void BackupDialog::ShowCount() {
  count_->setText(Q(control::FileCountText(view_.count.count)));
  size_->setText(Q(control::ByteSizeText(view_.count.totalBytes)));
  warning_->setVisible(control::SelectionTooLarge(view_));
  countShown_ = view_.count.complete && view_.count.generation == counter_->snapshot().generation;
}

void BackupDialog::ShowState() {
  status_->setText(Q(view_.status));
  const auto [position, range] = BarRange(view_.progressPosition, view_.progressRange);
  progress_->setRange(0, range);
  progress_->setValue(position);
  backup_->setEnabled(control::BackupAllowed(view_));
  const bool idle = !backingUp();
  deviceList_->setEnabled(idle);
  label_->setEnabled(idle);
  start_->setEnabled(idle);
  end_->setEnabled(idle);
  eject_->setEnabled(idle);
  simulate_->setEnabled(idle);
  finished_->setEnabled(idle);
}

void BackupDialog::startBackup() {
  const int index = deviceList_->currentIndex();
  if (!control::BackupAllowed(view_) || index < 0 || index >= static_cast<int>(devices_.size())) return;
  view_.volumeLabel = label_->text().toStdString();
  view_.simulate = simulate_->isChecked();
  view_.eject = eject_->isChecked();
  // Another device's backup on the medium goes only when the operator says so.
  const std::string question = control::ReplaceQuestion(view_);
  const bool replace = !question.empty();
  if (replace) {
    const std::string target = devices_[static_cast<std::size_t>(index)].target;
    const auto answer = QMessageBox::question(this, QString::fromStdString(StringText(128)), Q(question),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    // The box ran its own event loop: the list, the entry and its examination may have
    // changed; the answer holds only for the medium it was asked about.
    if (answer != QMessageBox::Yes || deviceList_->currentIndex() != index ||
        index >= static_cast<int>(devices_.size()) || devices_[static_cast<std::size_t>(index)].target != target ||
        !control::BackupAllowed(view_) || control::ReplaceQuestion(view_) != question)
      return;
  }
  const backup::BackupOptions options =
      control::BackupOptionsFor(view_, devices_[static_cast<std::size_t>(index)], replace);
  control::BeginBackup(view_);
  const bool started = job_.start(
      options,
      [this](const backup::BackupProgress& progress) {
        QMetaObject::invokeMethod(this, [this, progress] { BackupReport(progress); }, Qt::QueuedConnection);
      },
      [this](const backup::BackupOutcome& outcome) {
        QMetaObject::invokeMethod(this, [this, outcome] { BackupDone(outcome); }, Qt::QueuedConnection);
      });
  if (!started) {
    backup::BackupOutcome failed;
    failed.reason = "The backup could not be started.";
    control::EndBackup(view_, failed);
  } else {
    setCursor(Qt::BusyCursor);
  }
  ShowState();
}

void BackupDialog::BackupReport(const backup::BackupProgress& progress) {
  control::ApplyProgress(view_, progress);
  ShowState();
}

void BackupDialog::BackupDone(const backup::BackupOutcome& outcome) {
  job_.wait();
  control::EndBackup(view_, outcome);
  if (!outcome.ok && !outcome.reason.empty()) Log("backup: %s", outcome.reason.c_str());
  status_->setToolTip(outcome.ok ? QString() : Q(outcome.reason));
  unsetCursor();
  // The medium's free space has changed; the folder may have grown meanwhile. The
  // outcome stays in the status line.
  infoNeeded_ = true;
  quietProbe_ = true;
  if (counter_) counter_->recount();
  ShowState();
  emit backupEnded(outcome.ok);
}

bool BackupDialog::RefuseWhileWriting() {
  if (!backingUp()) return false;
  status_->setText(tr(kStillWriting));
  return true;
}

void BackupDialog::reject() {
  if (RefuseWhileWriting()) return;
  StopWorkers();
  QDialog::reject();
}

void BackupDialog::closeEvent(QCloseEvent* event) {
  if (RefuseWhileWriting()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace velmora::ui
