#include "ui/schedule_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

namespace velmora::ui {

SchedulePage::SchedulePage(GroupRecord& entry, QWidget* parent) : QWidget(parent) {
  const DeviceConfig now = control::ReadDeviceSettings(entry);

  schedule_ = new QCheckBox(tr("Recording Schedule"), this);
  schedule_->setChecked(now.scheduleEnabled);
  group_ = new QGroupBox(this);
  auto* grid = new QGridLayout(group_);
  grid->addWidget(new QLabel(tr("Record on these days:"), group_), 0, 0, 1, 6);
  const QString dayNames[7] = {tr("Sunday"),   tr("Monday"), tr("Tuesday"), tr("Wednesday"),
                               tr("Thursday"), tr("Friday"), tr("Saturday")};
  for (int day = 0; day < 7; ++day) {
    auto* box = new QCheckBox(dayNames[day], group_);
    box->setChecked(now.daysOfWeek[static_cast<std::size_t>(day)]);
    days_[static_cast<std::size_t>(day)] = box;
    grid->addWidget(box, 1 + day / 4, day % 4 * 2, 1, 2);
  }
  grid->addWidget(new QLabel(tr("Record each of these hours:"), group_), 3, 0, 1, 6);
  for (int hour = 0; hour < 24; ++hour) {
    auto* box = new QCheckBox(QStringLiteral("%1:00").arg(hour, 2, 10, QLatin1Char('0')), group_);
    box->setChecked(now.hoursOfDay[static_cast<std::size_t>(hour)]);
    hours_[static_cast<std::size_t>(hour)] = box;
    grid->addWidget(box, 4 + hour / 6, hour % 6);
  }
  group_->setEnabled(now.scheduleEnabled);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(schedule_);
  layout->addWidget(group_);
  layout->addStretch(1);

  connect(schedule_, &QCheckBox::toggled, this, [this](bool on) {
    group_->setEnabled(on);
    emit modified();
  });
  for (QCheckBox* box : days_) connect(box, &QCheckBox::toggled, this, &SchedulePage::modified);
  for (QCheckBox* box : hours_) connect(box, &QCheckBox::toggled, this, &SchedulePage::modified);
}

void SchedulePage::apply(DeviceConfig& settings) const {
  settings.scheduleEnabled = schedule_->isChecked();
  for (std::size_t i = 0; i < days_.size(); ++i) settings.daysOfWeek[i] = days_[i]->isChecked();
  for (std::size_t i = 0; i < hours_.size(); ++i) settings.hoursOfDay[i] = hours_[i]->isChecked();
}

}  // namespace velmora::ui
