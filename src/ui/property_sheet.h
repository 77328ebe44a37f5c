// The property sheet of one tree entry: the device page, and for recorded kinds the
// recording and schedule pages. OK checks the device page, collects the pages that were
// shown and applies them through control::ApplyDeviceSettings.
#pragma once

#include <QDialog>

#include <array>
#include <functional>
#include <vector>

#include "control/device_edit.h"
#include "platform/mount_table.h"

class QTabWidget;

namespace velmora {
struct DeviceTree;
struct GroupRecord;
}

namespace velmora::ui {

class DeviceInfoPage;
class RecordInfoPage;
class SchedulePage;

// Modal; true when OK applied the settings. For an entry being added, `entry.isNew` is
// set and the entry is not yet in the tree: its fields are written directly and no
// recording state is applied. `tree`, `lastPage` and `mediaSource` as for PropertySheet.
bool RunPropertySheet(QWidget* parent, DeviceTree& tree, GroupRecord& entry, int& lastPage,
                      const platform::MountTableSource* mediaSource = nullptr);

class PropertySheet : public QDialog {
  Q_OBJECT

 public:
  // `showDebug`: the debug-level row shows even at level 0 (Shift held as it opens).
  // `lastPage`: the page the window's last sheet showed last, kept by the window; the
  // sheet opens on it when the entry has that page and updates it as pages are shown.
  // `mediaSource`: where the recording page's backup reads the drives (see RecordInfoPage).
  // `tree`: the tree the entry is in (or is added to), whose recordings folder the
  // recording page counts and backs up the entry's folder in.
  PropertySheet(DeviceTree& tree, GroupRecord& entry, bool showDebug, int& lastPage, QWidget* parent = nullptr,
                const platform::MountTableSource* mediaSource = nullptr);

  // Checks, applies and closes; stays open with a message when a check fails.
  void accept() override;

  // Shows a message (tests capture them instead of a message box).
  std::function<void(const QString& text)> showMessage;

  QTabWidget* tabs() const { return tabs_; }
  DeviceInfoPage* deviceInfo() const { return deviceInfo_; }
  RecordInfoPage* recordInfo() const { return recordInfo_; }
  SchedulePage* schedule() const { return schedule_; }
  bool modifiedSinceOpen() const { return modified_; }
  // Selects the page with this number (control::kDeviceInfoPage ...), when present.
  void selectPage(int page);

 private:
  void pageChanged(int index);
  bool checkDevicePage();

  DeviceTree& tree_;
  GroupRecord& entry_;
  QTabWidget* tabs_ = nullptr;
  DeviceInfoPage* deviceInfo_ = nullptr;
  RecordInfoPage* recordInfo_ = nullptr;
  SchedulePage* schedule_ = nullptr;
  std::vector<int> pages_;        // page number of each tab
  int& lastPage_;                 // the window's remembered page
  std::array<bool, 3> shown_{};   // by page number: shown at least once
  int current_ = -1;              // tab index shown now
  bool returning_ = false;        // switching back after a failed check
  bool modified_ = false;
};

}  // namespace velmora::ui
