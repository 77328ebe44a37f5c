// Backup of one device's recordings for a range of days, to a removable disk (a target
// folder, copied file by file) or to a disc (an ISO 9660 + Joliet image built with
// libisofs and written with libburn, to a real drive or to a "stdio:" image file).
//
// This is the whole interface the Backup dialog and the "backup" command line use; it has
// no user interface of its own. Threads:
// - FileCounter runs its own counting thread; its snapshot is read from any thread
//   (the dialog's 250 ms timer).
// - ListOpticalDrives, ExamineTarget and RunBackup block (a drive may take seconds to
//   load its tray and a backup minutes): call them from a worker, never the GUI thread.
//   BackupJob runs RunBackup on a thread of its own.
// - libburn is driven by one thread at a time: every call here that touches a drive takes
//   one process-wide lock, so an examination waits while a disc is being written.
// - Progress callbacks run on the thread doing the work; the dialog posts what it
//   receives to its own thread through a queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace velmora {
struct GroupRecord;
}

namespace velmora::backup {

// ---- Dates and the file selection rule --------------------------------------------------

// A calendar day in local time.
struct LocalDate {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  bool operator==(const LocalDate&) const = default;
};

// "YYYY-MM-DD": a year 1970-2037 (recording times are 32-bit seconds), a month and a day
// that exist (29 February only in leap years). False for anything else (no trailing
// text, no signs, no spaces).
bool ParseLocalDate(std::string_view text, LocalDate& date);
// The local calendar day of a moment (seconds since 1970 UTC).
LocalDate LocalDateOf(int64_t seconds);
// "YYYY-MM-DD".
std::string FormatLocalDate(const LocalDate& date);

struct DateRange {
  LocalDate start;
  LocalDate end;
};
// The dialog's initial range: end = the day of `now`, start = the day of now - 7 days
// (604800 seconds).
DateRange DefaultRange(int64_t now);

// The hour-key bounds of a range: the start day's local 00:00:00 and the end day's local
// 23:00:00, both converted to UTC and written "%02u%02u%02u%02u" (yy mm dd hh).
struct Selection {
  std::string firstKey;
  std::string lastKey;
  // One directory entry: folders never; ".nvr" always; a name ending in ".vlj" or ".vlx"
  // (any case) when the name without the extension lies, as text, between the two keys
  // (both inclusive); nothing else.
  bool selects(std::string_view name, bool isFolder) const;
};
Selection MakeSelection(const DateRange& range);

// One selected file of a source folder.
struct SelectedFile {
  std::string name;
  uint64_t sizeBytes = 0;
};
// The selected files directly in `folder`, sorted by name. Entries that vanish while the
// folder is read are left out. False (logged) when the folder cannot be read.
bool ListSelectedFiles(const std::filesystem::path& folder, const Selection& selection,
                       std::vector<SelectedFile>& files);

// The ".nvr" marker written into the device folder before a backup (dialog open and
// command): one line root="<devicePath>" CR LF, replacing an earlier one. False (logged)
// when it cannot be written.
bool WriteBackupMarker(const std::filesystem::path& folder, std::string_view devicePath);

// The default volume label: the last component of the source folder followed by the local
// date of `now` as "-%Y%m%d".
std::string DefaultVolumeLabel(const std::filesystem::path& source, int64_t now);

// ---- Counting thread ----------------------------------------------------------------------

// What the counter has found so far for one range. count and totalBytes always belong to
// the same range (never a mix of two); `complete` is set once the whole folder was read
// for it. `generation` grows by one with every range set through setRange.
struct CountSnapshot {
  uint64_t count = 0;
  uint64_t totalBytes = 0;
  bool complete = false;
  uint64_t generation = 0;
};

// Counts the selected files of one folder on a thread of its own. A new range (setRange)
// sets the recount event: counting restarts at once, at the next selected entry. stop()
// (and the destructor) sets the stop event and waits for the thread.
class FileCounter {
 public:
  explicit FileCounter(std::filesystem::path folder);
  ~FileCounter();
  FileCounter(const FileCounter&) = delete;
  FileCounter& operator=(const FileCounter&) = delete;

  // Starts the thread counting `range`. False when it runs already or cannot start.
  bool start(const DateRange& range);
  // Counts `range` instead (restarts at once).
  void setRange(const DateRange& range);
  // Recounts the current range (for example after files were copied into the folder).
  void recount();
  // Ends the thread and waits for it without limit.
  void stop();

  CountSnapshot snapshot() const;
  // For the 250 ms timer: true (and the snapshot) when anything changed since the last
  // call; clears the changed flag.
  bool takeChanged(CountSnapshot& out);

 private:
  void run();

  const std::filesystem::path folder_;
  platform::Event recountEvent_{platform::Event::Reset::kAuto};
  platform::Event stopEvent_{platform::Event::Reset::kManual};
  std::thread thread_;
  std::atomic<bool> changed_{false};

  mutable std::mutex lock_;
  DateRange range_;             // guarded by lock_
  uint64_t rangeGeneration_ = 0;  // guarded by lock_
  CountSnapshot published_;     // guarded by lock_
};

// ---- Drives ---------------------------------------------------------------------------

// An optical drive found by libburn.
struct OpticalDrive {
  std::string address;  // libburn's address, e.g. "/dev/sr0": what RunBackup takes
  std::string vendor;
  std::string product;
  std::string revision;
  // The device file behind the address with links resolved, so the dialog can match the
  // drive to a mount-table entry.
  std::string devicePath;
};
// The optical drives of the system. An empty list when there are none or libburn cannot
// scan (logged).
std::vector<OpticalDrive> ListOpticalDrives();

// A target text names a disc drive when it starts with "stdio:" or names a device under
// /dev/ (anything there but a folder: a folder under /dev/, such as one on /dev/shm, is
// a folder like any other); anything else is a folder of a removable disk.
bool IsDiscAddress(std::string_view target);

// What the dialog shows about a target and whether Backup may be pressed.
struct DriveInfo {
  std::string deviceType = "Unknown";  // "Removable Disk", or "vendor product (revision)"
  uint64_t mediaBytes = 0;             // free bytes on the medium; 0: nothing to write to
  bool blank = false;
  bool rewritable = false;
  bool writable = false;
  std::string profile;                 // libburn's media profile name ("DVD+RW", ...)
  std::string status = "Ready.";
  bool ready = false;
};
// A removable disk given by its target folder: "Removable Disk", its free bytes (statvfs),
// ready when the folder exists and can be written.
DriveInfo ExamineRemovable(const std::filesystem::path& folder);
// A disc drive by libburn address: type "%s %s (%s)" (vendor, product, revision), media
// profile and status, free blocks x 2048, blank / rewritable / writable. Media libburn
// cannot write make it not ready with the status "%s recording not supported by this
// drive." (%s the media profile). Logs "GetRecorderType: %s", "QueryMediaInfo: ..." and
// "QueryMediaType: ...".
DriveInfo ExamineDisc(const std::string& address);
// Either of the two, by IsDiscAddress.
DriveInfo ExamineTarget(const std::string& target);

// ---- Where a backup may go ---------------------------------------------------------------

// A device's recordings folder and the device's tree path.
struct DeviceFolder {
  std::string devicePath;        // "Yard/Door": what the device's ".nvr" marker names
  std::filesystem::path folder;  // pathData + path; a storage folder's own location
};

// The folders of a recorder instance that a backup never writes into or erases: its
// recordings folder and every device's folder (which may be a link to another disk).
struct InstanceFolders {
  std::filesystem::path recordings;  // pathData; empty when not known
  std::vector<DeviceFolder> devices;
};

// The window's instance: the device tree in memory below `root` (recording devices'
// pathData + path; storage folders' local locations) and pathData. Main thread.
InstanceFolders FoldersOfTree(const GroupRecord* root, const std::string& pathData);
// The instance whose files lie in `appDataFolder` (the command, which runs beside it):
// pathData from its settings file (its "Recordings" folder when the setting is empty or
// names no folder, as the instance itself falls back), the devices from its device-tree
// file. Nothing is written.
InstanceFolders ReadInstanceFolders(const std::string& appDataFolder);

struct BackupOptions;

// The verdict on a backup's target, before anything is written. Folders are compared
// as what they resolve to (links followed, the same folder reached by another name is
// the same folder):
// - a folder target is refused when it is, or lies inside, the source, the recordings
//   folder or any device's folder, when it contains the source, and when it holds hour
//   files (".vlj", ".vlx") without a ".nvr" marker: recordings that no backup made.
//   A ".nvr" marker that names another device than the source's asks first
//   (kReplace): its backup would be erased;
// - a "stdio:" image is refused inside those folders, and over an existing file that is
//   neither empty nor a disc image (ISO 9660);
// - a drive under /dev/ is left to the examination of its medium.
enum class TargetVerdict { kRefused = 1, kReplace, kFine };
struct TargetCheck {
  TargetVerdict verdict = TargetVerdict::kRefused;
  std::string reason;       // kRefused: why, naming the path
  std::string otherDevice;  // kReplace: the device the target's marker names ("" unknown)

  static TargetCheck Fine() { return {TargetVerdict::kFine, {}, {}}; }
  static TargetCheck Refused(std::string why) { return {TargetVerdict::kRefused, std::move(why), {}}; }
  static TargetCheck Replace(std::string other) { return {TargetVerdict::kReplace, {}, std::move(other)}; }
};
// The check of options.target for a backup of options.source by the device
// options.devicePath (empty: the root the source's own marker names).
TargetCheck CheckTarget(const BackupOptions& options);
// Why the options cannot be carried out as they stand (empty when they can): a refused
// target, or one whose backup of another device would be erased without
// options.replace (a simulation erases nothing and needs no leave).
std::string TargetRefusal(const BackupOptions& options);

// The device an instance knows for `source`: the path of the device whose folder it is,
// else the source's last folder name.
std::string DevicePathOf(const std::filesystem::path& source, const InstanceFolders& instance);
// The root a ".nvr" marker in `folder` names. False when the folder holds no marker
// file; `root` is empty when the marker's text names none.
bool ReadMarkerRoot(const std::filesystem::path& folder, std::string& root);
// True when `folder` holds hour files (names ending ".vlj" or ".vlx", any case).
bool HoldsHourFiles(const std::filesystem::path& folder);
// True when one of the selected files is an hour file (not only the marker).
bool SelectsHourFiles(const std::vector<SelectedFile>& files);

// ---- Running a backup -------------------------------------------------------------------

struct BackupOptions {
  std::filesystem::path source;  // the device's recordings folder
  DateRange range;
  std::string target;            // a folder, or a disc address (IsDiscAddress)
  bool simulate = false;         // count and report, change nothing on the target
  bool eject = false;            // eject the disc when done (discs only)
  std::string volumeLabel;       // discs only; empty: DefaultVolumeLabel
  std::string devicePath;        // the source's device (the marker's root); empty: read
                                 // from the source's marker
  InstanceFolders instance;      // folders never written into (CheckTarget)
  bool replace = false;          // a backup of another device on the target may be erased
};

// One progress report. Statuses, in order:
// removable disk: "Erasing media...", "Copying files...", then "Success." or "Failure.";
// disc: "Creating disc image...", "Preparing burn...", "Recording disc...",
// "Closing disc...", "Verifying disc..." (the written image read back and compared with
// what was read from the source), then "Success." or "Failed (0x%08lx)".
// position runs from 0 to range (range 0: no progress to show).
struct BackupProgress {
  std::string status;
  uint64_t position = 0;
  uint64_t range = 0;
};
using ProgressCallback = std::function<void(const BackupProgress&)>;

struct BackupOutcome {
  bool ok = false;             // completed (and, on a removable disk, verified)
  bool cancelled = false;
  std::string status;          // the last status text reported
  std::string reason;          // why it failed, for a message (empty on success)
  uint64_t files = 0;          // files copied, or counted when simulated
  uint64_t bytes = 0;          // bytes copied (or put into the image)
  uint32_t failureCode = 0;    // disc: the code shown in "Failed (0x%08lx)"
};

// Runs a backup on the calling thread. `cancel`, when set, ends a removable copy between
// two files and a disc backup before writing starts (a disc being written is finished).
// Nothing is written when the target is refused (TargetRefusal) or when the range
// selects no hour file.
// A "stdio:" image is written under a temporary name beside it ("<name>.writing") and
// takes its own name only once it was read back and found equal; a failure or a stop
// removes the temporary file, so an older image of that name stays as it was.
BackupOutcome RunBackup(const BackupOptions& options, const ProgressCallback& progress,
                        const std::atomic<bool>* cancel = nullptr);

// RunBackup on a thread of its own, for the dialog. `done` runs on that thread with the
// outcome, after the last progress report.
class BackupJob {
 public:
  BackupJob() = default;
  ~BackupJob();  // cancels and waits
  BackupJob(const BackupJob&) = delete;
  BackupJob& operator=(const BackupJob&) = delete;

  // False when a backup of this job is still running.
  bool start(BackupOptions options, ProgressCallback progress,
             std::function<void(const BackupOutcome&)> done);
  void cancel() { cancel_.store(true); }
  bool running() const { return running_.load(); }
  // Waits for the thread to end.
  void wait();

 private:
  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> running_{false};
};

}  // namespace velmora::backup
