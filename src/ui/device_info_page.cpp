#include "ui/device_info_page.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

#include "app/strings.h"
#include "model/group_record.h"
#include "ui/tree_model.h"

namespace velmora::ui {

namespace {

constexpr int kStringPickRecordingFolder = 140;
constexpr int kIconSize = 32;

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

DeviceInfoPage::DeviceInfoPage(GroupRecord& entry, bool showDebug, QWidget* parent)
    : QWidget(parent), kind_(entry.kind) {
  const control::DeviceInfoRules rules = control::DeviceInfoRulesOf(entry.kind);
  const DeviceConfig now = control::ReadDeviceSettings(entry);

  auto* icon = new QLabel(this);
  icon->setPixmap(KindIcon(EntryImageIndex(entry.kind)).pixmap(kIconSize, kIconSize));

  auto* grid = new QGridLayout;
  int row = 0;
  auto addRow = [&](QLabel* label, QWidget* field, QWidget* extra = nullptr) {
    label->setBuddy(field);
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1);
    if (extra != nullptr) grid->addWidget(extra, row, 2);
    ++row;
  };

  name_ = new QLineEdit(Q(now.name), this);
  name_->setMaxLength(static_cast<int>(kMaxNameLength));
  addRow(new QLabel(tr("&Device Name:"), this), name_);

  locationLabel_ = new QLabel(QString::fromUtf8(rules.locationLabel), this);
  location_ = new QLineEdit(Q(now.location), this);
  location_->setMaxLength(static_cast<int>(control::kMaxLocationLength));
  location_->setReadOnly(rules.locationReadOnly);
  browse_ = new QPushButton(tr("&Browse..."), this);
  browse_->setVisible(rules.browseShown);
  browse_->setEnabled(rules.browseShown);
  addRow(locationLabel_, location_, browse_);

  username_ = new QLineEdit(Q(now.username), this);
  username_->setMaxLength(static_cast<int>(kMaxNameLength));
  username_->setEnabled(rules.credentialsEnabled);
  addRow(new QLabel(tr("&User Name:"), this), username_);

  password_ = new QLineEdit(Q(now.password), this);
  password_->setMaxLength(static_cast<int>(kMaxNameLength));
  password_->setEchoMode(QLineEdit::Password);
  password_->setEnabled(rules.credentialsEnabled);
  addRow(new QLabel(tr("&Password:"), this), password_);

  // Like the credentials, a camera of a video server takes the server's choice.
  onlyWhenAsked_ = new QCheckBox(tr("Send the password only when asked"), this);
  onlyWhenAsked_->setChecked(now.sendPasswordOnlyWhenAsked);
  onlyWhenAsked_->setEnabled(rules.credentialsEnabled);
  grid->addWidget(onlyWhenAsked_, row++, 1, 1, 2);

  syncTime_ = new QCheckBox(tr("Synchronize device time to this computer"), this);
  syncTime_->setChecked(now.syncTime);
  syncTime_->setEnabled(rules.syncTimeEnabled);
  grid->addWidget(syncTime_, row++, 1, 1, 2);

  debugLabel_ = new QLabel(tr("Debug Level:"), this);
  debugLevel_ = new QSpinBox(this);
  debugLevel_->setRange(0, control::kMaxDebugLevel);
  debugLevel_->setValue(std::clamp(now.debugLevel, 0, control::kMaxDebugLevel));
  const bool debugShown = control::DebugRowShown(now.debugLevel, showDebug);
  debugLabel_->setVisible(debugShown);
  debugLevel_->setVisible(debugShown);
  addRow(debugLabel_, debugLevel_);

  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(grid, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addStretch(1);

  pickFolder = [this](const QString& start) {
    return QFileDialog::getExistingDirectory(this, Q(StringText(kStringPickRecordingFolder)), start);
  };
  connect(browse_, &QPushButton::clicked, this, &DeviceInfoPage::browse);
  for (QLineEdit* edit : {name_, location_, username_, password_}) {
    connect(edit, &QLineEdit::textEdited, this, &DeviceInfoPage::modified);
  }
  connect(syncTime_, &QCheckBox::toggled, this, &DeviceInfoPage::modified);
  connect(onlyWhenAsked_, &QCheckBox::toggled, this, &DeviceInfoPage::modified);
  connect(debugLevel_, &QSpinBox::valueChanged, this, &DeviceInfoPage::modified);
}

control::PropertyProblem DeviceInfoPage::check() const {
  return control::CheckDeviceInfo(kind_, name_->text().toStdString(), location_->text().toStdString(),
                                  debugLevel_->value());
}

void DeviceInfoPage::focusField(control::PropertyField field) {
  switch (field) {
    case control::PropertyField::Name:
      name_->setFocus();
      name_->selectAll();
      break;
    case control::PropertyField::Location:
      location_->setFocus();
      location_->selectAll();
      break;
    case control::PropertyField::DebugLevel:
      debugLevel_->setFocus();
      break;
    case control::PropertyField::None:
      break;
  }
}

void DeviceInfoPage::apply(DeviceConfig& settings) const {
  settings.name = name_->text().trimmed().toStdString();
  settings.location = location_->text().toStdString();
  settings.username = username_->text().toStdString();
  settings.password = password_->text().toStdString();
  settings.sendPasswordOnlyWhenAsked = onlyWhenAsked_->isChecked();
  settings.debugLevel = debugLevel_->value();
  settings.syncTime = syncTime_->isChecked();
}

void DeviceInfoPage::browse() {
  const QString start = location_->text();
  const QString folder = pickFolder ? pickFolder(start) : QString();
  if (folder.isEmpty()) return;
  location_->setText(folder);
  emit modified();
}

}  // namespace velmora::ui
