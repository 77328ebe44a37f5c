#include "model/media_scan.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/messages.h"
#include "app/program_signals.h"
#include "app/recording_names.h"
#include "model/group_record.h"
#include "platform/worker_thread.h"

namespace velmora {

namespace {

namespace fs = std::filesystem;

// How long the thread sleeps between looks at its stop event when nothing wakes it.
constexpr std::chrono::milliseconds kStopCheck(1000);

// The drives waiting for the scan thread, with the lock beside them. Process-wide and
// never destroyed: a scan thread that did not end in time at shutdown still takes from
// it while the process exits.
struct PendingScans {
  std::mutex lock;
  std::deque<std::unique_ptr<ScanNode>> queue;  // guarded by lock
};

PendingScans& Pending() {
  static auto* pending = new PendingScans();
  return *pending;
}

platform::WorkerThread& ScanThread() {
  static auto* thread = new platform::WorkerThread();
  return *thread;
}

bool Stopping(const platform::Event* stop) { return stop != nullptr && stop->isSet(); }

// The scan lists the hours of data files; their index files come with them.
bool IsDataFile(const std::string& name) { return HasFileExtension(name, kDataFileExtension); }

// The folder's plain files and sub-folders (links not followed: a link could lead the
// walk off the medium), names sorted so a scan gives the same tree every time.
void ListFolder(const std::string& folder, bool& hasRecording, std::vector<std::string>& folders) {
  hasRecording = false;
  std::error_code error;
  fs::directory_iterator it(fs::path(folder), fs::directory_options::skip_permission_denied, error);
  if (error) return;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    std::error_code typeError;
    const fs::file_status status = it->symlink_status(typeError);
    if (typeError) continue;
    const std::string name = it->path().filename().string();
    if (fs::is_directory(status)) {
      folders.push_back(name);
    } else if (fs::is_regular_file(status) && IsDataFile(name)) {
      hasRecording = true;
    }
  }
  std::sort(folders.begin(), folders.end());
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

bool QueueMediaScan(const std::string& path, const std::string& displayName, const std::string& device) {
  {
    std::lock_guard<std::mutex> guard(Pending().lock);
    for (const auto& waiting : Pending().queue)
      if (waiting->path == path) return false;
  }
  Log("queing removable media scan for '%s'", displayName.c_str());
  auto node = std::make_unique<ScanNode>();
  node->scanType = EntryKind::RemovableDrive;
  node->scanDepth = 0;
  node->name = displayName;
  node->path = path;
  node->device = device;
  {
    std::lock_guard<std::mutex> guard(Pending().lock);
    Pending().queue.push_back(std::move(node));
  }
  programSignals().mediaScan.set();
  return true;
}

bool DropMediaScan(const std::string& path) {
  std::unique_ptr<ScanNode> dropped;
  std::lock_guard<std::mutex> guard(Pending().lock);
  auto& queue = Pending().queue;
  auto it = std::find_if(queue.begin(), queue.end(), [&](const auto& node) { return node->path == path; });
  if (it == queue.end()) return false;
  dropped = std::move(*it);
  queue.erase(it);
  return true;
}

std::size_t PendingMediaScans() {
  std::lock_guard<std::mutex> guard(Pending().lock);
  return Pending().queue.size();
}

void ClearMediaScanQueue() {
  std::deque<std::unique_ptr<ScanNode>> dropped;
  std::lock_guard<std::mutex> guard(Pending().lock);
  dropped.swap(Pending().queue);
}

bool ScanMediaNode(ScanNode& node, const platform::Event* stop) {
  Log("srm_scan: %s", node.path.c_str());
  if (Stopping(stop)) return false;
  bool found = false;
  bool hasRecording = false;
  std::vector<std::string> folders;
  ListFolder(node.path, hasRecording, folders);
  if (hasRecording) {
    auto data = std::make_unique<ScanNode>();
    data->scanType = EntryKind::RemovableFolder;
    data->scanDepth = node.scanDepth + 1;
    data->name = node.name;
    data->path = node.path;
    Log("adding data %s/%s", data->name.c_str(), data->path.c_str());
    node.children.push_back(std::move(data));
    found = true;
  }
  if (node.scanDepth < kMediaScanMaxDepth) {
    for (const std::string& name : folders) {
      if (Stopping(stop)) return false;
      auto candidate = std::make_unique<ScanNode>();
      candidate->scanType = EntryKind::RemovableEntry;
      candidate->scanDepth = node.scanDepth + 1;
      candidate->name = name;
      candidate->path = JoinPath(node.path, name);
      if (ScanMediaNode(*candidate, stop)) {
        Log("adding directory %s/%s", candidate->name.c_str(), candidate->path.c_str());
        node.children.push_back(std::move(candidate));
        found = true;
      }
    }
  }
  return found && !Stopping(stop);
}

void RunMediaScanThread(platform::Event& stop) {
  for (;;) {
    if (stop.isSet()) break;
    if (!programSignals().mediaScan.wait(kStopCheck)) continue;
    if (stop.isSet()) break;
    Log("removable media scan event");
    while (!stop.isSet()) {
      std::unique_ptr<ScanNode> node;
      {
        std::lock_guard<std::mutex> guard(Pending().lock);
        if (Pending().queue.empty()) break;
        node = std::move(Pending().queue.front());
        Pending().queue.pop_front();
      }
      Log("scanning %s", node->name.c_str());
      // A failed post destroys the message and the node it carries; a scan that found
      // nothing frees its node here.
      if (ScanMediaNode(*node, &stop)) mainQueue().post(MsgMediaScanResult{std::move(node)});
    }
  }
  Log("removable media scan thread exit");
  ClearMediaScanQueue();
}

bool StartMediaScanThread(platform::Event* stop) {
  platform::Event* stopEvent = stop != nullptr ? stop : &programSignals().shutdown;
  if (!ScanThread().start([stopEvent] { RunMediaScanThread(*stopEvent); })) {
    if (!ScanThread().running()) LogLastError("CreateThread");
    return false;
  }
  return true;
}

bool JoinMediaScanThread(std::chrono::milliseconds timeout) {
  if (ScanThread().running()) programSignals().mediaScan.set();
  return ScanThread().join(timeout);
}

}  // namespace velmora
