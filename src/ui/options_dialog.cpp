#include "ui/options_dialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/settings.h"
#include "app/strings.h"
#include "ui/tray_icon.h"

namespace velmora::ui {

namespace {

constexpr int kCaptionDetails[] = {kOptCaptionFps, kOptCaptionSize, kOptCaptionDimensions, kOptCaptionMotion};

struct BoxText {
  int id;
  const char* text;
  bool indented;  // a caption detail, under "Show Caption"
};

constexpr BoxText kBoxes[] = {
    {kOptStretch, "Stretch views in windows", false},
    {kOptResampleSmall, "Resample small images", false},
    {kOptResampleLarge, "Resample large images", false},
    {kOptCaption, "Show Caption", false},
    {kOptCaptionFps, "Show Frames Per Second under View Windows", true},
    {kOptCaptionSize, "Show Image Size under View Windows", true},
    {kOptCaptionDimensions, "Show Image Dimensions under View Windows", true},
    {kOptCaptionMotion, "Show Motion in Caption", true},
    {kOptSilentAlert, "Use Silent Alert on Motion (flash window)", false},
    {kOptTaskbarIcon, "Show taskbar notification icon", false},
    {kOptRunAtStartup, "Run from Startup folder", false},
    {kOptPlaybackShow, "Show playback controls when not in playback mode", false},
};

// The capacity box takes digits only; the range is checked on OK so that a value out
// of range is refused with a message instead of silently changed.
class CapacityEdit : public QLineEdit {
 public:
  CapacityEdit(std::function<void(int)> step, QWidget* parent) : QLineEdit(parent), step_(std::move(step)) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
      step_(event->key() == Qt::Key_Up ? 1 : -1);
      return;
    }
    QLineEdit::keyPressEvent(event);
  }

 private:
  std::function<void(int)> step_;
};

}  // namespace

OptionsDialog::OptionsDialog(const control::OptionValues& values, bool trayAvailable, QWidget* parent)
    : QDialog(parent), diskFullness_(values.diskFullness) {
  setObjectName(QStringLiteral("optionsDialog115"));
  setWindowTitle(tr("Options"));
  message_ = [this](const QString& text) {
    QMessageBox::warning(this, QString::fromStdString(StringText(128)), text);
  };
  auto* column = new QVBoxLayout(this);
  for (const BoxText& b : kBoxes) {
    auto* box = new QCheckBox(QString::fromUtf8(b.text), this);
    box->setObjectName(QStringLiteral("option%1").arg(b.id));
    boxes_[b.id] = box;
    if (b.indented) {
      auto* row = new QHBoxLayout;
      row->addSpacing(20);
      row->addWidget(box);
      column->addLayout(row);
    } else {
      column->addWidget(box);
    }
    if (b.id == kOptTaskbarIcon) {
      trayNote_ = new QLabel(tr("This desktop has no notification area, so there is no icon to show."), this);
      trayNote_->setObjectName(QStringLiteral("trayNote"));
      trayNote_->setWordWrap(true);
      trayNote_->setEnabled(false);
      auto* row = new QHBoxLayout;
      row->addSpacing(20);
      row->addWidget(trayNote_);
      column->addLayout(row);
      trayNote_->setVisible(!trayAvailable);
      box->setEnabled(trayAvailable);
      if (!trayAvailable) box->setToolTip(trayNote_->text());
    }
  }
  boxes_[kOptStretch]->setChecked(values.viewStretch);
  boxes_[kOptResampleSmall]->setChecked(values.viewResampleSmall);
  boxes_[kOptResampleLarge]->setChecked(values.viewResampleLarge);
  boxes_[kOptCaption]->setChecked(values.captionShow);
  boxes_[kOptCaptionFps]->setChecked(values.captionShowFPS);
  boxes_[kOptCaptionSize]->setChecked(values.captionShowSize);
  boxes_[kOptCaptionDimensions]->setChecked(values.captionShowDimensions);
  boxes_[kOptCaptionMotion]->setChecked(values.captionShowMotion);
  boxes_[kOptSilentAlert]->setChecked(values.motionAlertSilent);
  boxes_[kOptTaskbarIcon]->setChecked(values.taskbarIcon);
  boxes_[kOptRunAtStartup]->setChecked(values.runAtStartup);
  boxes_[kOptPlaybackShow]->setChecked(values.playbackShow);

  auto* capacityRow = new QHBoxLayout;
  capacityRow->addWidget(new QLabel(tr("Maxium drive capacity:"), this));
  capacity_ = new CapacityEdit([this](int delta) { StepCapacity(delta); }, this);
  capacity_->setObjectName(QStringLiteral("capacity1139"));
  capacity_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), capacity_));
  capacity_->setText(QString::number(values.diskFullness));
  capacity_->setMaximumWidth(QFontMetrics(font()).horizontalAdvance(QStringLiteral("0000")) + 16);
  capacityRow->addWidget(capacity_);
  // The spin buttons step within 4..95.
  auto* arrows = new QVBoxLayout;
  arrows->setSpacing(0);
  for (int delta : {1, -1}) {
    auto* arrow = new QToolButton(this);
    arrow->setObjectName(delta > 0 ? QStringLiteral("capacityUp") : QStringLiteral("capacityDown"));
    arrow->setArrowType(delta > 0 ? Qt::UpArrow : Qt::DownArrow);
    arrow->setAutoRepeat(true);
    arrow->setFixedSize(16, 11);
    connect(arrow, &QToolButton::clicked, this, [this, delta] { StepCapacity(delta); });
    arrows->addWidget(arrow);
  }
  capacityRow->addLayout(arrows);
  capacityRow->addWidget(new QLabel(QStringLiteral("%"), this));
  capacityRow->addStretch(1);
  column->addLayout(capacityRow);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
  column->addWidget(buttons);

  connect(boxes_[kOptCaption], &QCheckBox::toggled, this, &OptionsDialog::UpdateCaptionDetails);
  UpdateCaptionDetails();
}

QCheckBox* OptionsDialog::checkBox(int controlId) const {
  auto it = boxes_.find(controlId);
  return it == boxes_.end() ? nullptr : it->second;
}

control::OptionValues OptionsDialog::values() const {
  control::OptionValues v;
  v.viewStretch = boxes_.at(kOptStretch)->isChecked();
  v.viewResampleSmall = boxes_.at(kOptResampleSmall)->isChecked();
  v.viewResampleLarge = boxes_.at(kOptResampleLarge)->isChecked();
  v.captionShow = boxes_.at(kOptCaption)->isChecked();
  // Greyed details keep their values.
  v.captionShowFPS = boxes_.at(kOptCaptionFps)->isChecked();
  v.captionShowSize = boxes_.at(kOptCaptionSize)->isChecked();
  v.captionShowDimensions = boxes_.at(kOptCaptionDimensions)->isChecked();
  v.captionShowMotion = boxes_.at(kOptCaptionMotion)->isChecked();
  v.motionAlertSilent = boxes_.at(kOptSilentAlert)->isChecked();
  v.taskbarIcon = boxes_.at(kOptTaskbarIcon)->isChecked();
  v.runAtStartup = boxes_.at(kOptRunAtStartup)->isChecked();
  v.playbackShow = boxes_.at(kOptPlaybackShow)->isChecked();
  v.diskFullness = diskFullness_;
  return v;
}

void OptionsDialog::UpdateCaptionDetails() {
  const bool on = boxes_[kOptCaption]->isChecked();
  for (int id : kCaptionDetails) boxes_[id]->setEnabled(on);
}

void OptionsDialog::StepCapacity(int delta) {
  const std::optional<int> now = control::ParseDiskFullness(capacity_->text().toStdString());
  int value = now ? *now + delta : (delta > 0 ? kDiskFullnessMin : kDiskFullnessMax);
  value = std::clamp(value, kDiskFullnessMin, kDiskFullnessMax);
  capacity_->setText(QString::number(value));
}

void OptionsDialog::accept() {
  const std::optional<int> value = control::ParseDiskFullness(capacity_->text().toStdString());
  if (!value) {
    message_(QString::fromStdString(control::DiskFullnessRangeMessage()));
    capacity_->setFocus(Qt::OtherFocusReason);
    capacity_->selectAll();
    return;
  }
  diskFullness_ = *value;
  QDialog::accept();
}

OptionsCommand::OptionsCommand(QWidget* window, Settings& settings, OptionsTargets targets)
    : QObject(window), window_(window), settings_(settings), targets_(std::move(targets)) {
  entryPath_ = control::StartupEntryPath();
  runAtStartup_ = control::StartupEntryExists(entryPath_);
}

bool OptionsCommand::run() {
  const control::OptionValues before = control::OptionsFromSettings(settings_, runAtStartup_);
  OptionsDialog dialog(before, TrayIcon::available(), window_);
  const int result = driver_ ? driver_(dialog) : dialog.exec();
  if (result != QDialog::Accepted) return false;
  const control::OptionValues after = dialog.values();
  for (control::OptionEffect effect : control::ApplyOptions(before, after, settings_)) {
    switch (effect) {
      case control::OptionEffect::kRepaintViewsErasing:
        if (targets_.repaintViews) targets_.repaintViews(true);
        break;
      case control::OptionEffect::kRepaintViews:
        if (targets_.repaintViews) targets_.repaintViews(false);
        break;
      case control::OptionEffect::kTrayIconOn:
      case control::OptionEffect::kTrayIconOff:
        if (targets_.setTrayIcon) targets_.setTrayIcon(effect == control::OptionEffect::kTrayIconOn);
        break;
      case control::OptionEffect::kCreateStartupEntry:
        // The remembered state changes even when writing the entry failed (logged).
        runAtStartup_ = true;
        control::CreateStartupEntry(entryPath_, QCoreApplication::applicationFilePath().toStdString());
        break;
      case control::OptionEffect::kDeleteStartupEntry:
        runAtStartup_ = false;
        control::DeleteStartupEntry(entryPath_);
        break;
      case control::OptionEffect::kUpdatePlaybackPane:
        if (targets_.updatePlaybackPane) targets_.updatePlaybackPane();
        break;
      case control::OptionEffect::kSaveSettings:
        if (targets_.saveSettings) targets_.saveSettings();
        break;
    }
  }
  return true;
}

}  // namespace velmora::ui
