// Automatic removal of recordings: one background thread at the lowest priority that
// runs a pass at once and then every 15 minutes. A pass deletes the hour files of each
// device that are older than the device's archive time, then, while the disk holding
// the recordings folder is fuller than the diskFullness setting, the oldest hour files
// of all devices together. Leftover recordings (folders listed under "Old Recordings With
// No Live View") have no archive time: they are never deleted by age, but their hours
// join the fullness candidates, so a full disk loses the oldest hours whoever recorded
// them. The files of the current and the previous UTC hour are never
// touched, so the pair the recorder is writing is safe. A pass gives way to playback
// and to a folder rename, and keeps the delete-pass event clear while it runs.
//
// Links: a recording device's own folder may be a link to a folder elsewhere (its
// recordings put on another disk); the walk follows that link, and no other, as the
// recorder does (CheckTreeFolder). Such a folder on another volume is cleaned by age;
// its files are no candidates for the fullness of the recordings folder's volume.
//
// The device tree belongs to the main thread and is changed there without a lock, so the
// removal thread never walks it. It reads a copy of what it needs (each entry's folder,
// kind and archive time) that the main thread publishes: at the start of every pass the
// thread asks for a fresh copy, which ServeCleanupSnapshot() (called from the main
// thread's periodic tick) provides; PublishCleanupDevices() may also be called directly
// after a change of the tree.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/program_signals.h"
#include "model/group_record.h"
#include "platform/event.h"

namespace velmora {

// What a pass needs to know about one tree entry.
struct CleanupDevice {
  std::string folder;  // pathData + path, as the walk spells folders
  int32_t kind = 0;
  int32_t archiveTime = 0;  // seconds
};

// The entries below `root` (itself first, depth first, children in order), their folders
// below the recordings folder `pathData`.
std::vector<CleanupDevice> CleanupDevicesOf(const GroupRecord* root, const std::string& pathData);
// Main thread: publishes the entries below `root` for the removal thread (null: none).
void PublishCleanupDevices(const GroupRecord* root, const std::string& pathData);
// The published entries (empty before the first publication).
std::vector<CleanupDevice> PublishedCleanupDevices();
// Main thread, from its periodic tick: publishes the entries below `root` when the
// removal thread has asked for them; otherwise does nothing.
void ServeCleanupSnapshot(const GroupRecord* root, const std::string& pathData);
// Removal thread: asks the main thread for a fresh copy and waits up to `wait` for it
// (returning early when `stop` is set). Returns the freshest entries available; false
// in `fresh` when the main thread did not answer in time.
std::vector<CleanupDevice> RequestCleanupDevices(std::chrono::milliseconds wait,
                                                 platform::Event& stop, bool* fresh = nullptr);

// Disk usage of the volume holding `folder` in percent: 100 minus the integer part of
// 100 x bytes free for the caller / total bytes, within 0..100. 0 when the volume
// cannot be queried (logged): an unknown usage never causes deletions.
int DiskUsagePercent(const std::string& folder);

// Candidate list bound: the oldest entries are kept, newer ones dropped.
constexpr std::size_t kCleanupCandidateLimit = 100000;

struct CleanupOptions {
  // Disk usage of the recordings volume; empty: DiskUsagePercent.
  std::function<int(const std::string& folder)> diskUsage;
  // The tree's entries; empty: a fresh copy from the main thread (RequestCleanupDevices).
  std::function<std::vector<CleanupDevice>()> devices;
  // How long a pass waits for the main thread's copy before using the last one.
  std::chrono::milliseconds snapshotWait{2000};
  // Ends the thread and interrupts waits; null: the program's shutdown event.
  platform::Event* stop = nullptr;
  // The recordings folder.
  std::string root;
  // The tree whose entries are published before the thread starts (when `devices` is
  // empty); read on the main thread at the start only. Null: none until the first
  // request is served.
  const GroupRecord* entries = nullptr;
  // The settings the passes follow (diskFullness, logSizeMax), read at each pass: the
  // program's own, shared, since the Options dialog may change them. The defaults unless
  // handed; null is taken as the defaults.
  std::shared_ptr<const Settings> settings = std::make_shared<const Settings>();
  std::chrono::milliseconds entryWait{25};         // before each folder entry and deletion
  std::chrono::milliseconds passInterval{900000};  // from the end of a pass to the next
  std::size_t candidateLimit = kCleanupCandidateLimit;
};

// One removal pass after another, as the removal thread runs them.
class CleanupRunner {
 public:
  explicit CleanupRunner(CleanupOptions options);

  // One pass. Returns false when it was stopped early (rename, playback, shutdown).
  bool RunPass();
  // Passes until the stop event is set; the first pass runs at once.
  void Run();

  int passNumber() const { return pass_; }
  // Candidates left after the last pass, oldest first (file name, then full path).
  std::vector<std::string> candidates() const;

 private:
  using Candidate = std::pair<std::string, std::string>;  // file name, full path

  bool Interrupted() const;
  bool StopWalk();
  // rootVolume: the folder lies on the recordings folder's volume, so its files are
  // candidates for deletion by fullness; elsewhere they are deleted by age only.
  void Walk(const std::string& folder, int depth, bool rootVolume);
  void ConsiderFile(const std::string& folder, const CleanupDevice* owner,
                    const std::string& fileName, bool rootVolume);
  void AddCandidate(const std::string& fileName, const std::string& path);
  void DeleteHourFiles(const std::string& path);
  const CleanupDevice* DeviceOf(const std::string& folder) const;
  std::chrono::system_clock::time_point Now() const;
  int Usage() const;

  CleanupOptions options_;
  // The rename and playback flags a pass gives way to, and the delete-pass event it keeps
  // clear while it runs.
  ProgramSignals& signals_ = programSignals();
  platform::Event* stop_;
  std::string root_;  // without its trailing separator
  uint64_t rootDevice_ = 0;  // the volume (st_dev) of root_ in this pass
  int pass_ = 0;
  // This pass's view of the tree by folder; the first entry of a folder wins.
  std::unordered_map<std::string, CleanupDevice> devices_;
  std::set<Candidate> candidates_;
};

// What automatic removal has done since the program started: the passes begun and the
// hour files it deleted. Process-wide, as the removal thread is; any thread may read it.
struct RemovalCounts {
  uint64_t passes = 0;
  uint64_t filesDeleted = 0;
};
RemovalCounts RemovalCountsSoFar();

// The thread body: lowers its own priority, runs passes until the stop event, logs
// "CleanupThread: exiting".
void CleanupThread(CleanupOptions options);

// Lowers the calling thread to the idle scheduling class (and the lowest nice value).
// Returns false when the system refused (logged).
bool LowerThreadPriority();

// Starts the removal thread once (main thread; publishes the tree's entries first when
// the options take the published ones). False when it is already running or cannot start.
bool StartCleanupThread(CleanupOptions options = {});
// Waits up to `timeout` for the thread to end; true when it ended (or never ran). The
// stop event must have been set.
bool JoinCleanupThread(std::chrono::milliseconds timeout);

}  // namespace velmora
