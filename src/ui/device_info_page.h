// The device page of the property sheet: name, address, credentials (and whether the
// password goes out only when the device asks), clock sync and the debug level of one
// entry.
#pragma once

#include <QWidget>

#include <functional>

#include "control/device_edit.h"
#include "control/property_rules.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace velmora {
struct GroupRecord;
}

namespace velmora::ui {

class DeviceInfoPage : public QWidget {
  Q_OBJECT

 public:
  // `showDebug` shows the debug-level row even when the level is 0 (Shift held).
  DeviceInfoPage(GroupRecord& entry, bool showDebug, QWidget* parent = nullptr);

  // The checks of OK and of leaving the page, in their order.
  control::PropertyProblem check() const;
  // Puts the focus on the control a problem names.
  void focusField(control::PropertyField field);
  // Copies the controls into the settings.
  void apply(DeviceConfig& settings) const;

  // The folder picker of Browse (tests replace it); returns an empty text when cancelled.
  std::function<QString(const QString& start)> pickFolder;

  QLineEdit* nameEdit() const { return name_; }
  QLineEdit* locationEdit() const { return location_; }
  QLabel* locationLabel() const { return locationLabel_; }
  QLineEdit* usernameEdit() const { return username_; }
  QLineEdit* passwordEdit() const { return password_; }
  QCheckBox* syncTimeBox() const { return syncTime_; }
  QCheckBox* onlyWhenAskedBox() const { return onlyWhenAsked_; }
  QPushButton* browseButton() const { return browse_; }
  QSpinBox* debugLevelBox() const { return debugLevel_; }
  QLabel* debugLabel() const { return debugLabel_; }

 signals:
  void modified();

 private:
  void browse();

  int32_t kind_;
  QLineEdit* name_ = nullptr;
  QLabel* locationLabel_ = nullptr;
  QLineEdit* location_ = nullptr;
  QPushButton* browse_ = nullptr;
  QLineEdit* username_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* onlyWhenAsked_ = nullptr;
  QCheckBox* syncTime_ = nullptr;
  QLabel* debugLabel_ = nullptr;
  QSpinBox* debugLevel_ = nullptr;
};

}  // namespace velmora::ui
