// The Backup dialog's state and texts, without widgets: the devices it offers (removable
// mounts and optical drives), the date range and volume label it starts with, what the
// device and count displays read, when Backup may be pressed, the question before
// another device's backup is erased, and the status line through an examination and a
// backup. A target is judged by backup::CheckTarget, as the command line judges it. The dialog (ui/backup_dialog.h) shows this state and runs
// the blocking work (listing drives, examining the medium, counting, copying, burning) on
// worker threads; every function here is quick and may run on the GUI thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <locale>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "platform/mount_table.h"

namespace velmora::control {

// ---- Texts ------------------------------------------------------------------------------

// The user's locale (from the environment), or the classic locale when the environment
// names one this system does not have.
const std::locale& UserLocale();
// An integer with the locale's digit grouping and separator, no decimals.
std::string GroupedNumber(uint64_t value, const std::locale& locale = UserLocale());
// "%s (%s bytes)": the short byte-size text and the grouped byte count.
std::string ByteSizeText(uint64_t bytes, const std::locale& locale = UserLocale());
// The media size display: ByteSizeText, or "No disc present." for 0 bytes.
std::string MediaSizeText(uint64_t bytes, const std::locale& locale = UserLocale());
// The file count display ("%lu").
std::string FileCountText(uint64_t count);

// ---- Devices ----------------------------------------------------------------------------

// One entry of the device list.
struct BackupDevice {
  std::string target;  // a mount point (copied to), or a disc drive's libburn address
  std::string label;   // what the list shows
  bool optical = false;
  bool operator==(const BackupDevice&) const = default;
};

// The list: every removable mount ("NAME (/media/user/NAME)") in table order, then every
// optical drive ("vendor product (/dev/sr0)"). A mounted disc is written through its
// drive, so an optical mount whose device is a listed drive is not listed again; an
// optical mount without a drive libburn knows cannot be written and is left out.
std::vector<BackupDevice> BackupDeviceList(const std::vector<platform::RemovableMount>& mounts,
                                           const std::vector<backup::OpticalDrive>& drives);
// The entry to select after the list was made again: the one with `target`, else the
// first; -1 for an empty list.
int ChooseDevice(const std::vector<BackupDevice>& devices, const std::string& target);

// Where the device list and the examination get their facts. All may block: they run on
// the dialog's device worker.
struct DeviceSources {
  std::function<std::vector<platform::RemovableMount>()> mounts;
  std::function<std::vector<backup::OpticalDrive>()> drives;
  std::function<backup::DriveInfo(const BackupDevice&)> examine;
  // Whether a backup may go to the entry (CheckBackupDevice); none: any may.
  std::function<backup::TargetCheck(const BackupDevice&)> check;
};
// The system's: ListRemovableMounts(source), ListOpticalDrives, ExamineRemovable /
// ExamineDisc by the entry's kind.
DeviceSources SystemDeviceSources(const platform::MountTableSource& source);

// One pass of the device worker: the list made again when `relist` (else `devices` as
// given), the entry to show chosen by `selectedTarget`, and that entry examined and
// checked.
struct DeviceProbe {
  bool relisted = false;
  std::vector<BackupDevice> devices;
  int selected = -1;
  backup::DriveInfo info;  // the defaults when there is no entry
  backup::TargetCheck target = backup::TargetCheck::Fine();
};
DeviceProbe ProbeDevices(bool relist, std::vector<BackupDevice> devices, const std::string& selectedTarget,
                         const DeviceSources& sources);

// ---- Dialog state -----------------------------------------------------------------------

enum class BackupPhase { kIdle, kExamining, kBackingUp };

struct BackupView {
  std::filesystem::path source;  // the device's recordings folder
  std::string devicePath;        // the device's path (the marker's root)
  backup::InstanceFolders instance;  // where no backup may go
  backup::DateRange range;
  std::string volumeLabel;
  bool simulate = true;
  bool eject = false;
  bool haveDevice = false;       // the list has an entry selected
  backup::DriveInfo drive;       // the last examination of the selected entry
  backup::TargetCheck target = backup::TargetCheck::Fine();  // and its check
  backup::CountSnapshot count;   // the counter's last figures
  BackupPhase phase = BackupPhase::kIdle;
  std::string status = "Ready.";
  uint64_t progressPosition = 0;
  uint64_t progressRange = 100;
};

// The state the dialog opens with: the range of the last 7 days up to `now`, the volume
// label "<folder>-%Y%m%d", simulation checked; `instance` the folders no backup may go to.
BackupView InitialBackupView(const std::filesystem::path& source, const std::string& devicePath, int64_t now,
                             backup::InstanceFolders instance = {});

// Whether start lies after end (no day would be selected).
bool RangeReversed(const backup::DateRange& range);
// New dates from the pickers. The status line says so when the start lies after the end
// (and Backup stays disabled until it does not); otherwise it shows the device's status.
void SetDates(BackupView& view, const backup::LocalDate& start, const backup::LocalDate& end);

// The examination starts: "Getting device information.", Backup disabled. A quiet one
// (the medium looked at again after a backup) keeps the backup's outcome in the status
// line.
void BeginExamination(BackupView& view, bool quiet = false);
// Its result for the selected entry (haveDevice false: the list is empty), with the
// check of that entry as a target. The progress bar goes back to 0 of 100, except after
// a quiet examination that found the device ready, which leaves the outcome and its
// progress shown. A refused target shows why in the status line.
void EndExamination(BackupView& view, bool haveDevice, const backup::DriveInfo& info, bool quiet = false,
                    const backup::TargetCheck& target = backup::TargetCheck::Fine());

// Backup enabled: a device examined and ready, a target that is not refused, a range
// that selects days, and nothing running.
bool BackupAllowed(const BackupView& view);
// The question to ask (Yes/No, default No) before a backup that would erase another
// device's backup on the target; empty when there is nothing to ask (a simulation
// erases nothing).
std::string ReplaceQuestion(const BackupView& view);
// The check of an entry as the target of the view's backup (backup::CheckTarget). It
// reads the target: on a worker.
backup::TargetCheck CheckBackupDevice(const BackupView& view, const BackupDevice& device);
// A reason as the status line shows it: a capital first letter and a full stop.
std::string Sentence(std::string text);
// The warning icon: the medium holds less than the selection.
bool SelectionTooLarge(const BackupView& view);

// The options for a backup of the selected entry from the view; `replace`: the operator
// agreed to erase another device's backup there.
backup::BackupOptions BackupOptionsFor(const BackupView& view, const BackupDevice& device, bool replace = false);
// A backup starts, reports, ends. The status shows the last status reported, followed by
// the reason of a failure; a failure that came with no status of its own shows its
// reason.
void BeginBackup(BackupView& view);
void ApplyProgress(BackupView& view, const backup::BackupProgress& progress);
void EndBackup(BackupView& view, const backup::BackupOutcome& outcome);

}  // namespace velmora::control
