#include "ui/record_info_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <climits>
#include <mutex>
#include <string>

#include "live/http_get.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "ui/backup_dialog.h"
#include "ui/view_tile.h"

namespace velmora::ui {

namespace {

constexpr int kCounterIntervalMs = 250;
constexpr long kPictureTimeoutMs = 10000;
constexpr int kMaxSensitivity = 15;

QString Q(const std::string& text) { return QString::fromStdString(text); }

// A still of the device's tile, or a null image.
QImage TileImage(const GroupRecord& entry) {
  const ViewSlot* slot = entry.shownIn == nullptr ? nullptr : entry.shownIn->at(entry.viewIndex);
  if (slot == nullptr) return QImage();
  std::unique_ptr<Image> copy = slot->CopyImage();
  if (!copy || !copy->valid()) return QImage();
  const FrameView view = ViewOfFrame(*copy);
  if (view.image.isNull()) return QImage();
  // The view points into `copy`: take a picture of its own, the right way up.
  return view.flipped ? view.image.mirrored(false, true) : view.image.copy();
}

}  // namespace

// --- Zone picker ---

ZonePicker::ZonePicker(GroupRecord& entry, QWidget* parent) : QWidget(parent), entry_(entry) {
  setMinimumSize(160, 120);
  setCursor(Qt::PointingHandCursor);
}

void ZonePicker::setImage(const QImage& image) {
  image_ = image;
  update();
}

void ZonePicker::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = rect();
  if (image_.isNull()) {
    painter.fillRect(area, palette().color(QPalette::Dark));
  } else {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(area, image_);
  }
  const int w = area.width();
  const int h = area.height();
  painter.setPen(palette().color(QPalette::Button));
  for (int i = 1; i < 4; ++i) {
    painter.drawLine(i * w / 4, 0, i * w / 4, h - 1);
    painter.drawLine(0, i * h / 4, w - 1, i * h / 4);
  }
  // A green square at the centre of every watched zone.
  const uint16_t grid = control::ReadDeviceSettings(entry_).grid4x4;
  for (int bit = 0; bit < 16; ++bit) {
    if ((grid & (1u << bit)) == 0) continue;
    const int column = bit % 4;
    const int row = bit / 4;
    const int cx = (2 * column + 1) * w / 8;
    const int cy = (2 * row + 1) * h / 8;
    painter.fillRect(cx - 2, cy - 2, 4, 4, QColor(0, 255, 0));
  }
}

void ZonePicker::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const QPoint at = event->position().toPoint();
  if (!rect().contains(at)) return;
  const int bit = control::ZoneBitAt(at.x(), at.y(), width(), height());
  control::ToggleZoneLive(entry_, bit);
  update();
  emit toggled(bit);
}

// --- The page ---

struct RecordInfoPage::PictureRequest {
  std::mutex lock;
  RecordInfoPage* page = nullptr;  // guarded by lock; cleared when the page goes
  std::thread worker;
};

RecordInfoPage::RecordInfoPage(GroupRecord& entry, QWidget* parent, const platform::MountTableSource* mediaSource,
                               const std::string& recordings)
    : QWidget(parent),
      kind_(entry.kind),
      mediaSource_(mediaSource),
      recordings_(recordings),
      rates_(control::UpdateRateTable()) {
  const DeviceConfig now = control::ReadDeviceSettings(entry);

  recording_ = new QCheckBox(tr("Recording"), this);
  QGridLayout* rateGrid = buildRateGrid();
  buildMotionGroup(entry);
  buildRemovalGroup(entry);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(recording_);
  layout->addLayout(rateGrid);
  layout->addWidget(motion_);
  layout->addWidget(motionGroup_);
  layout->addWidget(removalGroup_);
  layout->addStretch(1);

  fillControls(now);
  connectControls();

  // The picture under the zones: the tile's, else one fetched from the camera.
  picture_ = std::make_shared<PictureRequest>();
  picture_->page = this;
  const QImage still = TileImage(entry);
  if (!still.isNull()) {
    picker_->setImage(still);
  } else if (kind_ != EntryKind::NASDevice && !entry.isNew) {
    startPictureFetch(entry);
  }
  startCounter(entry);
}

// Update rate: slider over the table (slowest left), or a delay typed in.
QGridLayout* RecordInfoPage::buildRateGrid() {
  frameRateRadio_ = new QRadioButton(tr("&Frame Rate:"), this);
  slider_ = new QSlider(Qt::Horizontal, this);
  slider_->setRange(0, rates_.empty() ? 0 : static_cast<int>(rates_.size()) - 1);
  slider_->setPageStep(1);
  rateName_ = new QLabel(this);
  rateName_->setMinimumWidth(110);
  overrideRadio_ = new QRadioButton(tr("&Override:"), this);
  override_ = new QLineEdit(this);
  override_->setValidator(new QIntValidator(0, INT_MAX, override_));
  override_->installEventFilter(this);
  auto* rateGrid = new QGridLayout;
  rateGrid->addWidget(frameRateRadio_, 0, 0);
  rateGrid->addWidget(slider_, 0, 1);
  rateGrid->addWidget(rateName_, 0, 2);
  rateGrid->addWidget(overrideRadio_, 1, 0);
  rateGrid->addWidget(override_, 1, 1);
  rateGrid->addWidget(new QLabel(tr("milliseconds between images"), this), 1, 2);
  return rateGrid;
}

// Motion detection: its switch, and the group with the zone picker beside the type, the
// options and the sensitivity.
void RecordInfoPage::buildMotionGroup(GroupRecord& entry) {
  motion_ = new QCheckBox(tr("Record Only on Motion"), this);
  motionGroup_ = new QGroupBox(this);
  picker_ = new ZonePicker(entry, motionGroup_);
  motionType_ = new QComboBox(motionGroup_);
  motionType_->addItems({tr("Standard"), tr("Advanced"), tr("Velmora Device")});
  alert_ = new QCheckBox(tr("Alert sound"), motionGroup_);
  ignoreGradual_ = new QCheckBox(tr("Ignore gradual light changes"), motionGroup_);
  mark_ = new QCheckBox(tr("Mark motion"), motionGroup_);
  multiple_ = new QCheckBox(tr("Require multiple zone changes"), motionGroup_);
  sensitivity_ = new QSlider(Qt::Horizontal, motionGroup_);
  sensitivity_->setRange(0, kMaxSensitivity);
  auto* motionLayout = new QGridLayout(motionGroup_);
  auto* pickerColumn = new QVBoxLayout;
  pickerColumn->addWidget(picker_);
  pickerColumn->addWidget(new QLabel(tr("Click on sensitive areas"), motionGroup_));
  motionLayout->addLayout(pickerColumn, 0, 0, 6, 1);
  auto* typeRow = new QHBoxLayout;
  auto* typeLabel = new QLabel(tr("Motion Type:"), motionGroup_);
  typeLabel->setBuddy(motionType_);
  typeRow->addWidget(typeLabel);
  typeRow->addWidget(motionType_, 1);
  motionLayout->addLayout(typeRow, 0, 1);
  motionLayout->addWidget(alert_, 1, 1);
  motionLayout->addWidget(ignoreGradual_, 2, 1);
  motionLayout->addWidget(mark_, 3, 1);
  motionLayout->addWidget(multiple_, 4, 1);
  auto* sensitivityRow = new QHBoxLayout;
  sensitivityRow->addWidget(new QLabel(tr("Sensitivity:"), motionGroup_));
  sensitivityRow->addWidget(new QLabel(tr("Low"), motionGroup_));
  sensitivityRow->addWidget(sensitivity_, 1);
  sensitivityRow->addWidget(new QLabel(tr("High"), motionGroup_));
  motionLayout->addLayout(sensitivityRow, 5, 1);
}

// Automatic removal: the days to keep, the count of recorded files and the Backup button.
void RecordInfoPage::buildRemovalGroup(GroupRecord& entry) {
  removalGroup_ = new QGroupBox(tr("Automatic Removal of Recorded Images"), this);
  days_ = new QSpinBox(removalGroup_);
  days_->setRange(control::kMinDaysToKeep, control::kMaxDaysToKeep);
  counter_ = new QLabel(removalGroup_);
  backup_ = new QPushButton(tr("&Backup..."), removalGroup_);
  // A device being added has no recordings folder yet.
  const bool canBackUp = !entry.isNew && !entry.path.empty();
  backup_->setEnabled(canBackUp);
  if (!canBackUp) backup_->setToolTip(tr("Backup is available once the device has been added."));
  connect(backup_, &QPushButton::clicked, this, [this, &entry] {
    BackupDialog::RunForDevice(entry, mediaSource_ ? *mediaSource_ : platform::MountTableSource(), recordings_,
                               window());
  });
  auto* removalLayout = new QGridLayout(removalGroup_);
  auto* daysLabel = new QLabel(tr("Days to keep this device's images:"), removalGroup_);
  daysLabel->setBuddy(days_);
  removalLayout->addWidget(daysLabel, 0, 0);
  removalLayout->addWidget(days_, 0, 1);
  removalLayout->addWidget(counter_, 1, 0);
  removalLayout->addWidget(backup_, 1, 1);
}

// Fills the controls from the saved settings; a kind of device that does not record
// leaves its recording controls disabled.
void RecordInfoPage::fillControls(const DeviceConfig& now) {
  recording_->setChecked(now.recording);
  days_->setValue(control::DaysToKeep(now.archiveTime));
  override_->setText(QString::number(now.updateDelay));
  overrideRadio_->setChecked(true);
  if (!rates_.empty()) {
    syncing_ = true;
    slider_->setValue(slider_->maximum());
    const control::RateMatch match = control::MatchUpdateRate(rates_, now.updateDelay);
    slider_->setValue(static_cast<int>(match.index));
    syncing_ = false;
    rateName_->setText(Q(rates_[match.index].name));
    if (match.exact) frameRateRadio_->setChecked(true);
  }
  sensitivity_->setValue(static_cast<int>(std::min<uint32_t>(now.sensitivity, kMaxSensitivity)));
  motion_->setChecked(now.motionEnabled);
  alert_->setChecked(now.motionAlert);
  ignoreGradual_->setChecked(now.ignoreGradualChanges);
  mark_->setChecked(now.motionShow);
  multiple_->setChecked(now.requireMultipleZones);
  motionType_->setCurrentIndex(static_cast<int>(control::ShownMotionType(now.motionType)));
  applyMotionType();
  motionGroup_->setEnabled(now.motionEnabled);

  if (!control::RecordControlsEnabled(kind_)) {
    recording_->setEnabled(false);
    motion_->setEnabled(false);
    motionGroup_->setEnabled(false);
    removalGroup_->setEnabled(false);
  }
}

// The controls' interactions, and every change reported as a modification.
void RecordInfoPage::connectControls() {
  connect(slider_, &QSlider::valueChanged, this, [this](int index) {
    if (syncing_) return;
    frameRateRadio_->setChecked(true);
    showRate(index, true);
  });
  connect(frameRateRadio_, &QRadioButton::clicked, this, [this] { showRate(slider_->value(), true); });
  connect(override_, &QLineEdit::textEdited, this, &RecordInfoPage::delayTyped);
  connect(motionType_, &QComboBox::currentIndexChanged, this, [this] { applyMotionType(); });
  connect(motion_, &QCheckBox::toggled, this, [this](bool on) {
    if (!control::RecordControlsEnabled(kind_)) return;
    motionGroup_->setEnabled(on);
    if (on) {
      applyMotionType();
      picker_->update();
      update();
    }
  });
  for (QCheckBox* box : {recording_, motion_, alert_, ignoreGradual_, mark_, multiple_}) {
    connect(box, &QCheckBox::toggled, this, &RecordInfoPage::modified);
  }
  connect(frameRateRadio_, &QRadioButton::toggled, this, &RecordInfoPage::modified);
  connect(slider_, &QSlider::valueChanged, this, &RecordInfoPage::modified);
  connect(override_, &QLineEdit::textEdited, this, &RecordInfoPage::modified);
  connect(motionType_, &QComboBox::currentIndexChanged, this, &RecordInfoPage::modified);
  connect(sensitivity_, &QSlider::valueChanged, this, &RecordInfoPage::modified);
  connect(days_, &QSpinBox::valueChanged, this, &RecordInfoPage::modified);
  connect(picker_, &ZonePicker::toggled, this, &RecordInfoPage::modified);
}

// The recorded files of the device, counted once on a worker; the timer shows the totals.
void RecordInfoPage::startCounter(const GroupRecord& entry) {
  // An entry without a path (one being added) has no folder of its own yet.
  const std::string folder = entry.path.empty() ? std::string() : recordings_ + entry.path;
  counterThread_ = std::thread([this, folder] {
    if (!folder.empty()) {
      control::CountRecordingFiles(folder, counterStop_, [this](const control::FileCount& count) {
        countedFiles_ = count.files;
        countedBytes_ = count.bytes;
      });
    }
    countDone_ = true;
  });
  counterTimer_ = new QTimer(this);
  connect(counterTimer_, &QTimer::timeout, this, &RecordInfoPage::updateCounter);
  counterTimer_->start(kCounterIntervalMs);
  updateCounter();
}

RecordInfoPage::~RecordInfoPage() {
  counterStop_ = true;
  if (counterThread_.joinable()) counterThread_.join();
  {
    std::lock_guard<std::mutex> guard(picture_->lock);
    picture_->page = nullptr;
  }
  // The picture worker ends on its own (its request has a time limit); it keeps the
  // shared request alive and posts nothing once the page is gone.
  if (picture_->worker.joinable()) picture_->worker.detach();
}

void RecordInfoPage::startPictureFetch(GroupRecord& entry) {
  const std::string url = control::DeviceUrlLive(entry);
  const DeviceConfig now = control::ReadDeviceSettings(entry);
  std::shared_ptr<PictureRequest> request = picture_;
  request->worker = std::thread([request, url, user = now.username, password = now.password] {
    const HttpResult result = http_get(url, user, password, kPictureTimeoutMs);
    if (!result.usable()) return;  // the picker stays grey
    QByteArray bytes(reinterpret_cast<const char*>(result.body.data()), static_cast<qsizetype>(result.body.size()));
    std::lock_guard<std::mutex> guard(request->lock);
    if (request->page == nullptr) return;
    // Decoded and shown on the page's thread.
    QMetaObject::invokeMethod(
        request->page,
        [page = QPointer<RecordInfoPage>(request->page), bytes] {
          if (!page) return;
          QImage image;
          if (image.loadFromData(bytes)) page->picker_->setImage(image);
        },
        Qt::QueuedConnection);
  });
}

bool RecordInfoPage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == override_ && event->type() == QEvent::FocusIn) {
    overrideRadio_->setChecked(true);
    QTimer::singleShot(0, override_, [edit = override_] { edit->selectAll(); });
  }
  return QWidget::eventFilter(watched, event);
}

void RecordInfoPage::showRate(int index, bool writeDelay) {
  if (index < 0 || static_cast<std::size_t>(index) >= rates_.size()) return;
  const control::UpdateRate& rate = rates_[static_cast<std::size_t>(index)];
  rateName_->setText(Q(rate.name));
  if (writeDelay) override_->setText(QString::number(rate.milliseconds));
}

void RecordInfoPage::delayTyped(const QString& text) {
  if (rates_.empty()) return;
  bool ok = false;
  const uint delay = text.toUInt(&ok);
  if (!ok) return;
  const control::RateMatch match = control::MatchUpdateRate(rates_, delay);
  syncing_ = true;
  slider_->setValue(static_cast<int>(match.index));
  syncing_ = false;
  showRate(static_cast<int>(match.index), false);
}

void RecordInfoPage::applyMotionType() {
  // A camera that detects motion itself gets no light filtering here.
  if (static_cast<uint32_t>(motionType_->currentIndex()) == control::kCameraMotionType) {
    ignoreGradual_->setChecked(true);
    ignoreGradual_->setEnabled(false);
  } else {
    ignoreGradual_->setEnabled(true);
  }
}

void RecordInfoPage::updateCounter() {
  const uint64_t files = countedFiles_.load();
  const uint64_t bytes = countedBytes_.load();
  if (files == shownFiles_ && bytes == shownBytes_) return;
  shownFiles_ = files;
  shownBytes_ = bytes;
  counter_->setText(Q(control::FileCounterText(control::FileCount{files, bytes})));
}

void RecordInfoPage::apply(DeviceConfig& settings) const {
  settings.recording = recording_->isChecked();
  bool ok = false;
  const uint delay = override_->text().toUInt(&ok);
  if (ok) {
    settings.updateDelay = delay;
  } else if (!rates_.empty()) {
    settings.updateDelay = rates_[static_cast<std::size_t>(slider_->value())].milliseconds;
  }
  settings.motionEnabled = motion_->isChecked();
  settings.motionAlert = alert_->isChecked();
  settings.ignoreGradualChanges = ignoreGradual_->isChecked();
  settings.motionShow = mark_->isChecked();
  settings.requireMultipleZones = multiple_->isChecked();
  settings.motionType = static_cast<uint32_t>(motionType_->currentIndex());
  settings.sensitivity = static_cast<uint32_t>(sensitivity_->value());
  settings.archiveTime = days_->value() * control::kSecondsPerDay;
}

}  // namespace velmora::ui
