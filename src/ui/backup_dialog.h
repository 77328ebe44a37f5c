// "Backup": one device's recordings of a range of days copied to a removable disk or
// written to a disc. The device list with the device's type, media size and media
// indicators; the volume label and the two dates; the count and size of the selected
// files with a warning when they do not fit; the eject, simulate and remove choices, the
// status line and progress bar; Backup and Finished.
//
// The dialog is a view over control::BackupView. Nothing here waits on a disk or a drive:
// the file counter counts on its own thread and timer 1 (250 ms) shows its figures; the
// device list and the examination of the medium run on a device worker; the backup runs
// on a BackupJob's thread. Workers report through queued calls on the GUI thread.
// Removable volumes arriving or going (a watch of the mount table) make the dialog list
// and examine the devices again.
//
// While a backup is being written the dialog does not close: Finished, Escape and the
// window's close button are refused with a note in the status line, since a backup left
// half-written would be taken for a complete one.
//
// Each entry is judged as a target like the command line's target (backup::CheckTarget,
// on the device worker): where recordings live, Backup stays disabled and the status line
// says why; a medium holding another device's backup asks before it is erased (Yes/No,
// default No).
//
// GUI thread only.
#pragma once

#include <QDialog>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backup/backup.h"
#include "control/backup_view.h"
#include "platform/mount_table.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace velmora {
struct GroupRecord;
}

namespace velmora::ui {

class BackupDialog : public QDialog {
  Q_OBJECT

 public:
  // source: the device's recordings folder; devicePath: the device's path (the marker's
  // root). The marker is written into the source folder, the counter started, the device
  // worker asked for the device list, timer 1 started. The recordings folder and the
  // device folders of the tree below `root` (below `recordings`, the recordings folder;
  // null: no tree) are the folders no target may lie in.
  BackupDialog(const std::string& source, const std::string& devicePath, control::DeviceSources sources,
               const platform::MountTableSource& mountSource, const std::string& recordings, const GroupRecord* root,
               QWidget* parent = nullptr);
  ~BackupDialog() override;

  // The "&Backup..." button of a device's recording page: the dialog for that device on
  // the drives read from `mediaSource`, run modally; its folder lies in `recordings`, and
  // the tree it is in names the folders no target may lie in.
  static void RunForDevice(const GroupRecord& entry, const platform::MountTableSource& mediaSource,
                           const std::string& recordings, QWidget* parent);

  const control::BackupView& view() const { return view_; }
  const std::vector<control::BackupDevice>& devices() const { return devices_; }
  bool examining() const { return probing_ || view_.phase == control::BackupPhase::kExamining; }
  // Examinations ended so far.
  int examinations() const { return examinations_; }
  bool backingUp() const { return view_.phase == control::BackupPhase::kBackingUp; }
  // The counter has counted the whole folder for the current dates and the count
  // display shows it.
  bool countShown() const { return countShown_; }
  // One read of the mount table now, as the watch does on its own (tests).
  void checkMounts();

  QComboBox* deviceList() const { return deviceList_; }
  QLabel* deviceType() const { return deviceType_; }
  QLabel* mediaSize() const { return mediaSize_; }
  QCheckBox* blankBox() const { return blank_; }
  QCheckBox* rewritableBox() const { return rewritable_; }
  QCheckBox* writableBox() const { return writable_; }
  QLineEdit* volumeLabel() const { return label_; }
  QDateEdit* startDate() const { return start_; }
  QDateEdit* endDate() const { return end_; }
  QLabel* fileCount() const { return count_; }
  QLabel* sizeText() const { return size_; }
  QLabel* warningIcon() const { return warning_; }
  QCheckBox* ejectBox() const { return eject_; }
  QCheckBox* removeBox() const { return remove_; }
  QLabel* statusLine() const { return status_; }
  QProgressBar* progressBar() const { return progress_; }
  QCheckBox* simulateBox() const { return simulate_; }
  QPushButton* backupButton() const { return backup_; }
  QPushButton* finishedButton() const { return finished_; }

 public slots:
  void startBackup();
  // Finished: stops the counter and closes, unless a backup is being written.
  void reject() override;

 signals:
  // A backup ended (after the status shows its outcome).
  void backupEnded(bool ok);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Tick();                // timer 1
  void StartProbe();          // the device worker, when the device information is needed
  void ProbeDone(control::DeviceProbe probe);
  void DatesChanged();
  void DeviceChosen(int index);
  void VolumeChanged();
  void BackupReport(const backup::BackupProgress& progress);
  void BackupDone(const backup::BackupOutcome& outcome);
  void ShowDevice();
  void ShowCount();
  void ShowState();
  bool RefuseWhileWriting();
  void StopWorkers();
  // The constructor's steps: one builder per group box, then the workers.
  QGroupBox* BuildDeviceGroup();
  QGroupBox* BuildSelectionGroup();
  QGroupBox* BuildOptionsGroup();
  QHBoxLayout* BuildStatusAndButtons();
  void StartWorkers(const platform::MountTableSource& mountSource);

  control::BackupView view_;
  control::DeviceSources sources_;
  std::vector<control::BackupDevice> devices_;
  std::unique_ptr<backup::FileCounter> counter_;
  std::unique_ptr<platform::MountWatcher> watcher_;
  backup::BackupJob job_;
  std::thread probe_;
  bool probing_ = false;
  int examinations_ = 0;
  bool infoNeeded_ = true;
  bool relistNeeded_ = true;
  bool quietProbe_ = false;  // the next examination keeps the backup's outcome shown
  bool probeQuiet_ = false;  // the running one does
  bool countShown_ = false;
  bool filling_ = false;  // the list is being refilled: no selection changes

  QComboBox* deviceList_ = nullptr;
  QLabel* deviceType_ = nullptr;
  QLabel* mediaSize_ = nullptr;
  QCheckBox* blank_ = nullptr;
  QCheckBox* rewritable_ = nullptr;
  QCheckBox* writable_ = nullptr;
  QLineEdit* label_ = nullptr;
  QDateEdit* start_ = nullptr;
  QDateEdit* end_ = nullptr;
  QLabel* count_ = nullptr;
  QLabel* size_ = nullptr;
  QLabel* warning_ = nullptr;
  QCheckBox* eject_ = nullptr;
  QCheckBox* remove_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QCheckBox* simulate_ = nullptr;
  QPushButton* backup_ = nullptr;
  QPushButton* finished_ = nullptr;
  QTimer* timer_ = nullptr;
};

}  // namespace velmora::ui
