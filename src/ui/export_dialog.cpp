#include "ui/export_dialog.h"

#include <sys/stat.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/settings.h"
#include "app/strings.h"
#include "control/export_choice.h"
#include "live/view_slot.h"
#include "playback/export_runner.h"
#include "playback/playback_control.h"
#include "ui/core_events.h"
#include "ui/view_tile.h"

namespace velmora::ui {

namespace {

QString Text(int id) { return QString::fromStdString(StringText(id)); }
QString Q(const std::string& text) { return QString::fromStdString(text); }

// A deep, top-down copy of a frame for the preview.
QImage PreviewImage(const Image& frame) {
  const FrameView view = ViewOfFrame(frame);
  if (view.image.isNull()) return QImage();
  return view.flipped ? view.image.mirrored(false, true) : view.image.copy();
}

}  // namespace

// ---------------------------------------------------------------------------------------

ExportPreview::ExportPreview(QWidget* parent) : QWidget(parent) {
  setObjectName("exportPreview");
  setMinimumSize(320, 240);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void ExportPreview::setImage(QImage image) {
  image_ = std::move(image);
  update();
}

QRect ExportPreview::Placement(const QSize& image, const QRect& area) {
  if (image.isEmpty() || area.isEmpty()) return QRect();
  // The smaller of the two ratios keeps the whole picture inside; the margins are made
  // even so that the picture sits exactly in the middle.
  const double scale = std::min(static_cast<double>(area.width()) / image.width(),
                                static_cast<double>(area.height()) / image.height());
  const int w = std::max(1, static_cast<int>(image.width() * scale));
  const int h = std::max(1, static_cast<int>(image.height() * scale));
  const int marginX = ((area.width() - w) / 2) & ~1;
  const int marginY = ((area.height() - h) / 2) & ~1;
  return QRect(area.x() + marginX, area.y() + marginY, w, h);
}

void ExportPreview::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Dark));
  if (image_.isNull()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  painter.drawImage(Placement(image_.size(), rect()), image_);
}

// ---------------------------------------------------------------------------------------

ExportAdvancedDialog::ExportAdvancedDialog(uint32_t fourcc, uint32_t quality, uint32_t keyFrameEvery,
                                           uint32_t dataRateKBps, QWidget* parent)
    : QDialog(parent) {
  setObjectName("exportAdvanced");
  setWindowTitle(tr("Video Compression"));
  compressors_ = new QComboBox(this);
  compressors_->setObjectName("compressors");
  const auto& list = ListCompressors();
  int current = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    compressors_->addItem(Q(control::CompressorEntryText(list[i])), static_cast<uint>(list[i].fourcc));
    if (list[i].fourcc == fourcc) current = static_cast<int>(i);
  }
  compressors_->setCurrentIndex(current);

  quality_ = new QSpinBox(this);
  quality_->setObjectName("quality");
  quality_->setRange(0, 100);
  quality_->setSpecialValueText(tr("Encoder's choice"));
  quality_->setSuffix(QStringLiteral(" %"));
  quality_->setValue(control::QualityPercent(quality));
  keyFrame_ = new QSpinBox(this);
  keyFrame_->setObjectName("keyFrame");
  keyFrame_->setRange(0, 600);
  keyFrame_->setSpecialValueText(tr("Encoder's choice"));
  keyFrame_->setSuffix(tr(" frames"));
  keyFrame_->setValue(static_cast<int>(std::min<uint32_t>(keyFrameEvery, 600)));
  dataRate_ = new QSpinBox(this);
  dataRate_->setObjectName("dataRate");
  dataRate_->setRange(0, 1000000);
  dataRate_->setSpecialValueText(tr("No target"));
  dataRate_->setSuffix(tr(" KB/s"));
  dataRate_->setValue(static_cast<int>(std::min<uint32_t>(dataRateKBps, 1000000)));

  auto* form = new QFormLayout;
  form->addRow(tr("Compressor:"), compressors_);
  form->addRow(tr("Quality:"), quality_);
  form->addRow(tr("Key frame every:"), keyFrame_);
  form->addRow(tr("Data rate:"), dataRate_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  connect(compressors_, &QComboBox::currentIndexChanged, this, [this] { UpdateTunable(); });
  UpdateTunable();
}

CompressorChoice ExportAdvancedDialog::compressor() const {
  const auto& list = ListCompressors();
  const int i = compressors_->currentIndex();
  if (i < 0 || i >= static_cast<int>(list.size())) {
    CompressorChoice none;  // no choice: uncompressed frames
    FindCompressor(kFourccDib, none);
    return none;
  }
  return list[static_cast<std::size_t>(i)];
}

uint32_t ExportAdvancedDialog::quality() const { return control::QualityFromPercent(quality_->value()); }
uint32_t ExportAdvancedDialog::keyFrameEvery() const { return static_cast<uint32_t>(keyFrame_->value()); }
uint32_t ExportAdvancedDialog::dataRateKBps() const { return static_cast<uint32_t>(dataRate_->value()); }

void ExportAdvancedDialog::UpdateTunable() {
  const bool tunable = control::CompressorTunable(compressor());
  quality_->setEnabled(tunable);
  keyFrame_->setEnabled(tunable);
  dataRate_->setEnabled(tunable);
}

// ---------------------------------------------------------------------------------------

ExportDialog::ExportDialog(int view, bool jpegMode, std::function<bool(PlaybackMessage)> postPlayback,
                           ExportNaming& naming, Settings& settings, QWidget* parent)
    : QDialog(parent),
      view_(view),
      jpegMode_(jpegMode),
      postPlayback_(std::move(postPlayback)),
      naming_(naming),
      settings_(settings) {
  setObjectName("exportDialog");
  setWindowTitle(jpegMode_ ? tr("Export JPEG Images") : tr("Export Video"));
  UseDialogChoosers();
  BuildControls();

  connect(export_, &QPushButton::clicked, this, &ExportDialog::startExport);
  connect(cancel_, &QPushButton::clicked, this, &ExportDialog::reject);
  connect(browse_, &QPushButton::clicked, this, &ExportDialog::browse);
  connect(advanced_, &QPushButton::clicked, this, &ExportDialog::chooseAdvanced);
  ShowInitialState();
}

// The questions, notes and choices through the standard dialogs (tests replace them).
void ExportDialog::UseDialogChoosers() {
  ask_ = [this](const QString& text) {
    return QMessageBox::question(this, Text(128), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  };
  inform_ = [this](const QString& caption, const QString& text, bool warning) {
    if (warning) {
      QMessageBox::warning(this, caption, text);
    } else {
      QMessageBox::information(this, caption, text);
    }
  };
  choosePath_ = [this](const QString& initial) {
    if (jpegMode_) {
      return QFileDialog::getExistingDirectory(this, tr("Select a folder for JPEG image export:"), initial,
                                               QFileDialog::ShowDirsOnly);
    }
    // Export asks about an existing file itself (string 190).
    return QFileDialog::getSaveFileName(this, windowTitle(), initial, tr("AVI Files (*.avi)"), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
  };
  chooseAdvanced_ = [](ExportAdvancedDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
}

// The path row, the compressor row, the preview, the count, the status, the bar and the
// buttons.
void ExportDialog::BuildControls() {
  pathLabel_ = new QLabel(jpegMode_ ? tr("Folder:") : tr("Save File:"), this);
  path_ = new QLineEdit(this);
  path_->setObjectName("exportPath");
  path_->setMinimumWidth(360);
  pathLabel_->setBuddy(path_);
  browse_ = new QPushButton(tr("Browse..."), this);
  browse_->setObjectName("browse");
  compressorLabel_ = new QLabel(this);
  compressorLabel_->setObjectName("compressorLabel");
  advanced_ = new QPushButton(tr("Advanced..."), this);
  advanced_->setObjectName("advanced");
  preview_ = new ExportPreview(this);
  converted_ = new QLabel(this);
  converted_->setObjectName("picturesConverted");
  status_ = new QLabel(this);
  status_->setObjectName("exportStatus");
  progress_ = new QProgressBar(this);
  progress_->setObjectName("exportProgress");
  export_ = new QPushButton(tr("Export..."), this);
  export_->setObjectName("export");
  export_->setDefault(true);
  cancel_ = new QPushButton(tr("Cancel"), this);
  cancel_->setObjectName("cancel");

  auto* grid = new QGridLayout;
  grid->addWidget(pathLabel_, 0, 0);
  grid->addWidget(path_, 0, 1);
  grid->addWidget(browse_, 0, 2);
  grid->addWidget(compressorLabel_, 1, 0, 1, 2);
  grid->addWidget(advanced_, 1, 2);
  grid->setColumnStretch(1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(export_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(preview_, 1);
  layout->addWidget(converted_);
  layout->addWidget(status_);
  layout->addWidget(progress_);
  layout->addLayout(buttons);
}

// Initial state: the count at 0, the bar at 0 of 0..100, the proposal in the box, the
// compressor in force in the label, an empty status line.
void ExportDialog::ShowInitialState() {
  ShowConverted(0);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  path_->setText(Q(control::ProposedExportPath(jpegMode_, settings_, naming_)));
  advanced_->setEnabled(!jpegMode_);
  if (!jpegMode_) compressor_ = control::CompressorInForce(settings_.aviFCC);
  compressorLabel_->setText(Q(control::CompressorLabelText(jpegMode_, compressor_)));
  status_->clear();
}

ExportDialog::~ExportDialog() {
  // The export thread ends before anything it reports to goes away.
  runner_.reset();
}

bool ExportDialog::running() const { return runner_ != nullptr && runner_->running(); }

void ExportDialog::Inform(const QString& caption, const QString& text, bool warning) {
  if (inform_) inform_(caption, text, warning);
}

void ExportDialog::ShowConverted(int count) { converted_->setText(Q(FormatString(155, count))); }

void ExportDialog::RunCommand(QWidget* parent, PlaybackController& playback, ExportNaming& naming, Settings& settings,
                              const std::function<void()>& saveSettings) {
  auto ask = [parent](int id) {
    return QMessageBox::question(parent, Text(128), Text(id), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  auto inform = [parent](int id) { QMessageBox::information(parent, Text(128), Text(id)); };
  if (playback.summary().pictures <= 0) {
    inform(418);  // nothing recorded in the range: there is nothing to export
    return;
  }
  const int view = control::ChooseExportView(playback.playbackTiles(), playback.shownSlots(), ask, inform);
  if (view < 0) return;
  const bool jpeg = QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier;
  ExportDialog dialog(
      view, jpeg, [&playback](PlaybackMessage message) { return playback.PostToEngine(std::move(message)); }, naming,
      settings, parent);
  dialog.setSettingsSaver(saveSettings);
  dialog.exec();
}

void ExportDialog::browse() {
  const QString initial = path_->text().left(static_cast<int>(kMaxExportPath));
  // A folder on the way that cannot be opened (a file where a folder should be, no
  // permission) is the chooser's failure: the system's text for it is shown.
  std::string folder = control::ExportPathFromBox(initial.toStdString(), jpegMode_, settings_);
  if (!jpegMode_) folder = folder.substr(0, folder.find_last_of('/') + 1);
  if (!folder.empty()) {
    struct stat info {};
    errno = 0;
    const bool ok = ::stat(folder.c_str(), &info) == 0;
    const int error = ok ? (S_ISDIR(info.st_mode) ? 0 : ENOTDIR) : errno;
    if (error != 0 && error != ENOENT) {
      Inform(Text(154), QString::fromLocal8Bit(std::strerror(error)), false);
      return;
    }
  }
  const QString chosen = choosePath_ ? choosePath_(initial) : QString();
  if (!chosen.isEmpty()) path_->setText(chosen);
}

void ExportDialog::chooseAdvanced() {
  if (jpegMode_ || running()) return;
  const Settings& s = settings_;
  ExportAdvancedDialog dialog(compressor_.fourcc != 0 ? compressor_.fourcc : s.aviFCC, s.aviQuality, s.aviKeyFrame,
                              s.aviDataRate, this);
  if (!chooseAdvanced_ || !chooseAdvanced_(dialog)) return;
  compressor_ = dialog.compressor();
  control::CompressorSettings chosen;
  chosen.fourcc = compressor_.fourcc;
  chosen.quality = dialog.quality();
  chosen.keyFrameEvery = dialog.keyFrameEvery();
  chosen.dataRateKBps = dialog.dataRateKBps();
  control::StoreCompressorSettings(chosen, settings_);
  if (saveSettings_) saveSettings_();
  compressorLabel_->setText(Q(control::CompressorLabelText(false, compressor_)));
}

void ExportDialog::startExport() {
  if (runner_) return;  // one export per dialog
  const std::string path = control::ExportPathFromBox(path_->text().toStdString(), jpegMode_, settings_);
  if (path.empty()) {
    status_->setText(jpegMode_ ? tr("Enter the folder to export into.") : tr("Enter the name of the file to write."));
    return;
  }
  ExportOptions options = control::ExportOptionsFor(jpegMode_, view_, settings_);
  if (!jpegMode_) options.compressor = compressor_;
  options.naming = &naming_;

  if (!reports_) ConnectReports();
  runner_ = std::make_unique<ExportRunner>(std::move(options), postPlayback_, *reports_, reports_->poster());

  export_->setEnabled(false);
  advanced_->setEnabled(false);
  browse_->setEnabled(false);
  cancel_->setFocus();
  if (!runner_->Start(path, [this](const std::string& text) { return ask_ && ask_(Q(text)); })) {
    // Declined (the file stays): the dialog is as it was. A failure to start ends as
    // every failure does, through Finished.
    if (runner_->state() != ExportSession::State::kFailed) {
      runner_.reset();
      export_->setEnabled(true);
      advanced_->setEnabled(!jpegMode_);
      browse_->setEnabled(true);
    }
    return;
  }
  // What the box now proposes (the naming moved on) is for the next dialog; the box
  // keeps what is being written.
}

void ExportDialog::ConnectReports() {
  reports_ = new ExportEvents(this);
  connect(reports_, &ExportEvents::status, status_, &QLabel::setText);
  connect(reports_, &ExportEvents::progress, progress_, &QProgressBar::setValue);
  connect(reports_, &ExportEvents::converted, this, &ExportDialog::ShowConverted);
  connect(reports_, &ExportEvents::preview, this, [this](const Image& image) { preview_->setImage(PreviewImage(image)); });
  // The box the export asks for is shown as it ends, before the dialog closes.
  connect(reports_, &ExportEvents::message, this, [this](const QString& text, bool warning) {
    endMessage_ = text;
    endWarning_ = warning;
  });
  connect(reports_, &ExportEvents::settingsChanged, this, [this](const QString& pathVideo) {
    settings_.pathVideo = pathVideo.toStdString();
    if (saveSettings_) saveSettings_();
  });
  connect(reports_, &ExportEvents::ended, this, &ExportDialog::Finished);
}

void ExportDialog::reject() {
  if (!running()) {
    QDialog::reject();
    return;
  }
  if (cancelling_) return;
  cancelling_ = true;
  cancel_->setEnabled(false);
  status_->setText(Text(159));
  runner_->Cancel(std::chrono::milliseconds(3000));
}

void ExportDialog::Finished(int state) {
  const auto ended = static_cast<ExportSession::State>(state);
  if (ended == ExportSession::State::kCompleted) progress_->setValue(100);
  if (!endMessage_.isEmpty()) {
    const QString text = endMessage_;
    endMessage_.clear();
    Inform(Text(128), text, endWarning_);
  }
  emit exportEnded(state);
  if (ended == ExportSession::State::kCompleted) {
    QDialog::accept();
  } else {
    QDialog::reject();
  }
}

}  // namespace velmora::ui
