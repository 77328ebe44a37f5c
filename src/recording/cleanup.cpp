#include "recording/cleanup.h"

#include "platform/worker_thread.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/helpers.h"
#include "app/log.h"
#include "app/messages.h"
#include "app/program_signals.h"
#include "app/settings.h"
#include "recording/format.h"
#include "platform/clock.h"
#include "recording/recorder.h"

namespace velmora {

namespace {

// Folders nested deeper than this below the recordings folder are not walked (a guard
// against runaway nesting; device paths are far shallower).
constexpr int kMaxWalkDepth = 64;

// 2000-01-01 00:00:00 UTC: the first moment whose hour key sorts with today's.
constexpr int64_t kFirstKeyYearStart = 946684800;

// The entries the main thread published last, with a count of publications.
struct Published {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<CleanupDevice> devices;  // guarded by lock
  uint64_t generation = 0;             // guarded by lock
  std::atomic<bool> wanted{false};     // the removal thread asks for a fresh copy
};
Published& published() {
  static auto* state = new Published;  // never destroyed: the thread may outlive exit
  return *state;
}

void CollectDevices(const GroupRecord* record, const std::string& pathData,
                    std::vector<CleanupDevice>& out) {
  if (record == nullptr) return;
  out.push_back(CleanupDevice{pathData + record->path, record->kind, record->archiveTime});
  for (const auto& child : record->children) CollectDevices(child.get(), pathData, out);
}

std::string Format(const char* format, const std::string& text) {
  char buffer[64];
  std::string out;
  const int needed = std::snprintf(buffer, sizeof buffer, format, text.c_str());
  if (needed < 0) return out;
  out.resize(static_cast<std::size_t>(needed) + 1);
  std::snprintf(out.data(), out.size(), format, text.c_str());
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

std::string FormatPass(const char* format, int pass) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, format, pass);
  return buffer;
}

// The hour key of a moment given in seconds, kept within the key's 32-bit range.
std::string HourKeyOf(int64_t seconds) {
  seconds = std::clamp<int64_t>(seconds, INT32_MIN, INT32_MAX);
  return HourKey(static_cast<int32_t>(seconds));
}

int64_t Seconds(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

// Entries whose folder holds the folders of other entries, so the walk enters it: this
// recorder, groups, video servers and the folders of leftover recordings (a leftover
// folder may hold another one).
bool HoldsEntryFolders(int32_t kind) {
  return kind == EntryKind::LocalNVR || kind == EntryKind::Group ||
         kind == EntryKind::ServerDevice || kind == EntryKind::OldRecordingsNode ||
         kind == EntryKind::OldRecordingsSub || kind == EntryKind::OldRecordingsFolder;
}

// RemovalCountsSoFar: written by the removal thread, read by the HTTP server's handlers.
std::atomic<uint64_t> g_passes{0};
std::atomic<uint64_t> g_filesDeleted{0};

bool Unlink(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return false;
  g_filesDeleted.fetch_add(1, std::memory_order_relaxed);
  return true;
}

platform::WorkerThread& cleanupWorker() {
  // Never destroyed: a thread that did not end in time at shutdown keeps its object.
  static auto* worker = new platform::WorkerThread;
  return *worker;
}

}  // namespace

std::vector<CleanupDevice> CleanupDevicesOf(const GroupRecord* root, const std::string& pathData) {
  std::vector<CleanupDevice> devices;
  CollectDevices(root, pathData, devices);
  return devices;
}

void PublishCleanupDevices(const GroupRecord* root, const std::string& pathData) {
  std::vector<CleanupDevice> devices = CleanupDevicesOf(root, pathData);
  Published& state = published();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.devices.swap(devices);
    ++state.generation;
  }
  state.changed.notify_all();
}

std::vector<CleanupDevice> PublishedCleanupDevices() {
  Published& state = published();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.devices;
}

void ServeCleanupSnapshot(const GroupRecord* root, const std::string& pathData) {
  if (published().wanted.exchange(false)) PublishCleanupDevices(root, pathData);
}

std::vector<CleanupDevice> RequestCleanupDevices(std::chrono::milliseconds wait,
                                                 platform::Event& stop, bool* fresh) {
  Published& state = published();
  std::unique_lock<std::mutex> guard(state.lock);
  const uint64_t before = state.generation;
  state.wanted = true;
  // A real wait on the condition variable: measured on the system's steady clock.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  // Short slices, so that shutdown is noticed while waiting.
  while (state.generation == before && !stop.isSet()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    state.changed.wait_for(guard, std::min<std::chrono::steady_clock::duration>(
                                      deadline - now, std::chrono::milliseconds(50)));
  }
  const bool answered = state.generation != before;
  if (!answered) state.wanted = false;
  if (fresh != nullptr) *fresh = answered;
  return state.devices;
}

int DiskUsagePercent(const std::string& folder) {
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) {
    LogLastError(("statvfs(" + folder + ")").c_str());
    return 0;
  }
  const unsigned __int128 total = static_cast<unsigned __int128>(vfs.f_blocks) * vfs.f_frsize;
  if (total == 0) return 0;
  const unsigned __int128 free = static_cast<unsigned __int128>(vfs.f_bavail) * vfs.f_frsize;
  const int usage = 100 - static_cast<int>(free * 100 / total);
  return std::clamp(usage, 0, 100);
}

CleanupRunner::CleanupRunner(CleanupOptions options) : options_(std::move(options)) {
  if (!options_.settings) options_.settings = std::make_shared<const Settings>();
  stop_ = options_.stop != nullptr ? options_.stop : &signals_.shutdown;
  root_ = options_.root;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::chrono::system_clock::time_point CleanupRunner::Now() const {
  return platform::WallTime();
}

int CleanupRunner::Usage() const {
  return options_.diskUsage ? options_.diskUsage(root_) : DiskUsagePercent(root_);
}

bool CleanupRunner::Interrupted() const {
  return stop_->isSet() || signals_.renaming.load() || signals_.playbackMode.load();
}

bool CleanupRunner::StopWalk() {
  if (stop_->wait(options_.entryWait)) return true;
  return signals_.renaming.load() || signals_.playbackMode.load();
}

std::vector<std::string> CleanupRunner::candidates() const {
  std::vector<std::string> out;
  out.reserve(candidates_.size());
  for (const auto& candidate : candidates_) out.push_back(candidate.second);
  return out;
}

const CleanupDevice* CleanupRunner::DeviceOf(const std::string& folder) const {
  const auto found = devices_.find(folder);
  return found == devices_.end() ? nullptr : &found->second;
}

RemovalCounts RemovalCountsSoFar() {
  RemovalCounts counts;
  counts.passes = g_passes.load(std::memory_order_relaxed);
  counts.filesDeleted = g_filesDeleted.load(std::memory_order_relaxed);
  return counts;
}

bool CleanupRunner::RunPass() {
  ++pass_;
  g_passes.fetch_add(1, std::memory_order_relaxed);
  PostStatus(FormatPass("Starting file delete by age, pass %d.", pass_));
  mainQueue().post(MsgDiskUsage{});
  signals_.renaming = false;
  TrimLog(options_.settings->logSizeMax);
  devices_.clear();
  std::vector<CleanupDevice> devices;
  if (options_.devices) {
    devices = options_.devices();
  } else {
    bool fresh = false;
    devices = RequestCleanupDevices(options_.snapshotWait, *stop_, &fresh);
    if (!fresh && !stop_->isSet())
      Log("CleanupThread: no fresh device list from the main thread; using the last one");
  }
  for (auto& device : devices) devices_.emplace(device.folder, device);
  signals_.deletePass.reset();
  candidates_.clear();

  struct stat rootStat {};
  rootDevice_ = ::stat(root_.c_str(), &rootStat) == 0 ? static_cast<uint64_t>(rootStat.st_dev) : 0;
  Walk(root_, 0, true);

  bool complete = true;
  if (signals_.renaming.load()) {
    PostStatus("Delete pass suspended during rename...");
    complete = false;
  } else if (signals_.playbackMode.load()) {
    PostStatus("Delete pass suspended during playback...");
    complete = false;
  } else {
    int usage = Usage();
    const int fullness = options_.settings->diskFullness;
    if (usage > fullness) {
      PostStatus(FormatPass("Starting file delete by fullness, pass %d.", pass_));
      while (usage > fullness && !candidates_.empty()) {
        if (stop_->wait(options_.entryWait)) {
          complete = false;
          break;
        }
        if (signals_.renaming.load()) {
          PostStatus("Delete pass suspended during rename...");
          complete = false;
          break;
        }
        if (signals_.playbackMode.load()) {
          PostStatus("Delete pass suspended during playback...");
          complete = false;
          break;
        }
        const Candidate first = *candidates_.begin();
        candidates_.erase(candidates_.begin());
        DeleteHourFiles(first.second);
        usage = Usage();
      }
      PostStatus(FormatPass("Finished file delete pass %d.", pass_));
      mainQueue().post(MsgDiskUsage{});
    } else {
      PostStatus(FormatPass("Finished file delete pass %d within specified capacity.", pass_));
    }
  }
  if (stop_->isSet()) complete = false;
  signals_.deletePass.set();
  return complete;
}

void CleanupRunner::Walk(const std::string& folder, int depth, bool rootVolume) {
  PostStatus(Format("Checking %s...", folder));

  enum class Entry { kFile, kFolder, kLinkedDevice };
  std::vector<std::pair<std::string, Entry>> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;  // a folder that cannot be listed is skipped silently
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    const std::string path = folder + "/" + name;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      entries.emplace_back(name, Entry::kFolder);
    } else if (S_ISREG(st.st_mode)) {
      entries.emplace_back(name, Entry::kFile);
    } else if (S_ISLNK(st.st_mode)) {
      // The one link followed is a recording device's own folder (its recordings put on
      // another disk), as the recorder follows it; any other link could make the walk
      // delete outside the recordings folder.
      const CleanupDevice* device = DeviceOf(path);
      if (device != nullptr && IsRecordableKind(device->kind) &&
          CheckTreeFolder(root_, path.substr(root_.size()), true) == 0)
        entries.emplace_back(name, Entry::kLinkedDevice);
    }
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end());

  const CleanupDevice* owner = DeviceOf(folder);
  for (const auto& [name, kind] : entries) {
    if (StopWalk()) return;
    const std::string path = folder + "/" + name;
    if (kind == Entry::kFile) {
      ConsiderFile(folder, owner, name, rootVolume);
      continue;
    }
    if ((owner != nullptr && !HoldsEntryFolders(owner->kind)) || depth + 1 > kMaxWalkDepth) {
      PostStatus(Format("Skipping %s...", path));
      continue;
    }
    bool sameVolume = rootVolume;
    if (kind == Entry::kLinkedDevice) {
      // Deleting files on another disk frees nothing on the recordings folder's: such a
      // folder is cleaned by age only.
      struct stat st {};
      sameVolume = ::stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == rootDevice_;
    }
    Walk(path, depth + 1, sameVolume);
    if (Interrupted()) return;
  }
}

void CleanupRunner::ConsiderFile(const std::string& folder, const CleanupDevice* device,
                                 const std::string& fileName, bool rootVolume) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string::npos) return;
  const std::string extension = fileName.substr(dot);
  if (!EqualsNoCase(extension, kDataFileExtension) &&
      !EqualsNoCase(extension, kIndexFileExtension))
    return;
  const std::string name = fileName.substr(0, dot);
  // Only the recorder's own files, named by their hour, are ever removed.
  if (!IsHourKey(name)) return;

  const int64_t now = Seconds(Now());
  // The current and the previous hour are never removed.
  if (!(name < HourKeyOf(now - 3600))) return;
  if (device == nullptr) return;  // folders that belong to no entry are never cleaned
  const std::string path = folder + "/" + fileName;
  // A leftover folder's archive time is unknown: it is never cleaned by age, but its
  // hours make room on a full disk, oldest first together with the devices' hours.
  if (device->kind == EntryKind::OldRecordingsFolder) {
    if (rootVolume) AddCandidate(fileName, path);
    return;
  }
  // Otherwise only folders of recording devices are cleaned.
  if (!IsRecordableKind(device->kind)) return;

  // Hour keys carry two digits of the year: a cut-off before 2000 would wrap around and
  // sort after every key of this century. Nothing is that old.
  const int64_t cutOff = now - 3600 - static_cast<int64_t>(device->archiveTime);
  if (cutOff >= kFirstKeyYearStart && HourKeyOf(cutOff) > name) {
    DeleteHourFiles(path);
  } else if (rootVolume) {
    AddCandidate(fileName, path);
  }
}

void CleanupRunner::AddCandidate(const std::string& fileName, const std::string& path) {
  if (options_.candidateLimit == 0) return;
  if (candidates_.size() >= options_.candidateLimit) {
    // Full: keep the oldest entries; a newer one than all kept is not taken.
    Candidate candidate{fileName, path};
    if (!(candidate < *candidates_.rbegin())) return;
    candidates_.insert(std::move(candidate));
    candidates_.erase(std::prev(candidates_.end()));
    return;
  }
  candidates_.emplace(fileName, path);
}

void CleanupRunner::DeleteHourFiles(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (slash == std::string::npos || dot == std::string::npos || dot < slash) return;
  const std::string base = path.substr(0, dot);
  for (const char* extension : {kIndexFileExtension, kDataFileExtension}) {
    const std::string file = base + extension;
    if (Unlink(file)) PostStatus("Deleting " + file);
  }
  // A file listed under another letter case than the recorder writes goes with its pair.
  if (::access(path.c_str(), F_OK) == 0 && Unlink(path)) PostStatus("Deleting " + path);
  const std::string folder = path.substr(0, slash);
  if (folder != root_ && ::rmdir(folder.c_str()) == 0) {
    PostStatus("Deleting " + folder);
    // A leftover folder emptied this way leaves the tree too.
    mainQueue().post(MsgRecordingsFolderGone{folder});
  }
}

void CleanupRunner::Run() {
  for (;;) {
    RunPass();
    if (stop_->wait(options_.passInterval)) break;
  }
}

bool LowerThreadPriority() {
  bool ok = true;
  sched_param param{};
  param.sched_priority = 0;
  const int rc = ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &param);
  if (rc != 0) {
    errno = rc;
    LogLastError("CleanupThread: pthread_setschedparam");
    ok = false;
  }
  // On Linux the nice value of a thread id applies to that thread alone.
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19) != 0) {
    LogLastError("CleanupThread: setpriority");
    ok = false;
  }
  return ok;
}

void CleanupThread(CleanupOptions options) {
  LowerThreadPriority();
  // The delete-pass event exists for the whole process and starts signalled.
  CleanupRunner runner(std::move(options));
  runner.Run();
  Log("CleanupThread: exiting");
  programSignals().deletePass.set();
}

bool StartCleanupThread(CleanupOptions options) {
  if (cleanupWorker().running()) return false;
  if (!options.devices) PublishCleanupDevices(options.entries, options.root);
  if (!cleanupWorker().start(
          [options = std::move(options)]() mutable { CleanupThread(std::move(options)); })) {
    if (!cleanupWorker().running()) LogLastError("CleanupThread: thread start");
    return false;
  }
  return true;
}

bool JoinCleanupThread(std::chrono::milliseconds timeout) { return cleanupWorker().join(timeout); }

}  // namespace velmora
