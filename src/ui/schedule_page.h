// The schedule page of the property sheet: the days and hours a device records in.
#pragma once

#include <QWidget>

#include <array>

#include "control/device_edit.h"

class QCheckBox;
class QGroupBox;

namespace velmora {
struct GroupRecord;
}

namespace velmora::ui {

class SchedulePage : public QWidget {
  Q_OBJECT

 public:
  SchedulePage(GroupRecord& entry, QWidget* parent = nullptr);
  void apply(DeviceConfig& settings) const;

  QCheckBox* scheduleBox() const { return schedule_; }
  QGroupBox* scheduleGroup() const { return group_; }
  QCheckBox* dayBox(int day) const { return days_[static_cast<std::size_t>(day)]; }
  QCheckBox* hourBox(int hour) const { return hours_[static_cast<std::size_t>(hour)]; }

 signals:
  void modified();

 private:
  QCheckBox* schedule_ = nullptr;
  QGroupBox* group_ = nullptr;
  std::array<QCheckBox*, 7> days_{};
  std::array<QCheckBox*, 24> hours_{};
};

}  // namespace velmora::ui
