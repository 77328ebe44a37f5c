#include "wiring.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/application.h"
#include "app/media_scan.h"
#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "control/media_branches.h"
#include "control/show_entry.h"
#include "control/tree_status.h"
#include "model/device_transfer.h"
#include "model/group_record.h"
#include "model/old_recordings.h"
#include "model/tree_file.h"
#include "live/fetch.h"
#include "net/discovery.h"
#include "net/http_server.h"
#include "live/http_get.h"
#include "playback/access.h"
#include "playback/export_pump.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "playback/playback_thread.h"
#include "platform/folders.h"
#include "platform/mount_table.h"
#include "recording/cleanup.h"
#include "recording/recorder.h"
#include "platform/single_instance.h"

namespace velmora {
namespace {

GroupRecord* Root() { return treeRoot().get(); }

// How long an import command waits for the running instance's answer.
constexpr int kImportAnswerTimeoutMs = 120000;

// The entry whose devices the views show: the saved name, else the first entry, whose
// name is then remembered at once.
void SelectSavedView() {
  GroupRecord* root = Root();
  if (!root) return;
  bool stored = false;
  control::SavedViewEntry(*root, &stored);
  if (stored) SaveSettings(paths().appDataFolder, paths().registryPath);
}

std::string ImportAnswer(const std::string& file) {
  int before = CountViewable(Root());
  bool saved = false;
  bool read = ImportDeviceFile(file, &saved);
  int added = CountViewable(Root()) - before;
  if (!read) return "error: cannot read device file " + file;
  // Devices that are only in memory would be lost at the next start: not a success.
  if (!saved) return "error: the device tree " + paths().deviceTreePath + " could not be saved";
  return "ok: " + std::to_string(added) + (added == 1 ? " device added" : " devices added");
}

// Hooks between the core libraries: the fetch engine starts and stops fetches for the
// tree, the stream parser hands frames to the recorder, the tree and the storage-folder
// tiles get their newest recorded images from recorded-data access.
void WireCoreLibraries() {
  InstallFetchHooks();
  InstallRecorderHooks();
  InstallRecordedDataHooks();
  fetchHooks().lastRecordedImage = [](const GroupRecord& record, std::vector<uint8_t>& jpeg) {
    auto holder = GetLastRecordedImage(PlaybackSource(record, paths().pathData));
    if (!holder || !holder->jpeg || holder->length == 0) return false;
    jpeg.assign(holder->jpeg.get(), holder->jpeg.get() + holder->length);
    return true;
  };
}

// The device tree's steps: loading, the leftover recordings and removable media, the
// saved view, starting and stopping its fetches and recordings, destroying it, and the
// device files a second start hands over.
class TreeSteps final : public DeviceTreePart {
 public:
  void load() override { InitTree(paths().deviceTreePath); }
  // Recording folders no entry owns are listed once per start, after the tree is read.
  // Then every removable drive mounted now is scanned (message 32792).
  void scanOldRecordings() override {
    BuildOldRecordingsBranch();
    mainQueue().post(MsgScanAllMedia{});
  }
  bool hasViewable() override { return CountViewable(Root()) > 0; }
  void selectSavedView() override { SelectSavedView(); }
  void startRecordingFetches() override { ApplyRecordingState(Root()); }
  void stopAllFetches() override {
    if (Root()) StopAllFetches(Root());
  }
  void destroy() override {
    if (Root()) DestroyTree(Root());
    treeRoot().reset();
  }
  std::string importFile(const std::string& path) override { return ImportAnswer(path); }
};

// The fetch engine, and the single-request HTTP client's configuration.
class FetchSteps final : public FetchPart {
 public:
  void openInternet() override {
    // A silent peer must not hold a reader for long: the playback thread retries a
    // remote read 16 times.
    HttpClientOptions options;
    options.requestTimeoutMs = 30000;
    options.stallTimeoutS = 10;
    http_client_open(options);
  }
  void periodic() override { FetchPeriodic(); }
  void shutdown() override { viewthread_shutdown(); }
};

// Removable media: the watch of the mount table (drives arriving or going become
// messages 32776) and the scan thread.
class MediaSteps final : public MediaPart {
 public:
  void watch() override {
    control::mediaSource() = control::MediaSourceFromSettings();
    auto watcher = std::make_unique<platform::MountWatcher>(control::mediaSource(), control::PostDriveChange);
    if (!watcher->start()) {
      LogLastError("mount table watch");
      return;
    }
    watcher_ = std::move(watcher);
  }
  void startScanThread() override { StartMediaScanThread(); }
  void unwatch() override {
    if (watcher_) watcher_->stop();
    watcher_.reset();
    // The scan thread stops on shutdownEvent, set by now; a scan in a slow folder ends at
    // its next folder.
    if (!JoinMediaScanThread(std::chrono::milliseconds(1000))) Log("removable media scan thread still active");
  }

 private:
  std::unique_ptr<platform::MountWatcher> watcher_;
};

// Playback: its thread (with the export handlers on its engine) and the controller's
// tick in timer 3.
class PlaybackSteps final : public PlaybackPart {
 public:
  void start() override {
    exportPump();  // the export handlers go onto the engine before its thread starts
    startPlaybackThread();
  }
  void quit() override { quitPlayback(); }
  bool join(std::chrono::milliseconds timeout) override { return joinPlayback(timeout); }
  void periodic() override { playbackController().Tick(SteadyMs()); }
};

// Network discovery and the HTTP server.
class NetSteps final : public NetPart {
 public:
  void startDiscovery() override { net::StartDiscoveryThread(); }
  void stopDiscovery() override { net::StopDiscoveryThread(); }
  void startHttpServer() override { net::StartHttpServer(); }
  void stopHttpServer() override { net::StopHttpServer(); }
};

// A message the application does not handle itself goes to the first subsystem that
// knows it.
class MessageRoutes final : public MessageRouter {
 public:
  void route(AppMessage& message) override {
    if (HandleFetchMessage(message)) return;
    if (net::HandleNetMessage(message)) return;
    if (control::HandleMediaMessage(message)) return;
    if (playbackController().HandleMessage(message)) return;
    if (auto* gone = std::get_if<MsgRecordingsFolderGone>(&message)) {
      RemoveGoneOldRecordings(EnsureTreeRoot(), paths().pathData, gone->folder);
      return;
    }
    // A device's fetch error state: its tree item is redrawn when it changed.
    control::HandleFetchErrorMessage(message);
  }
};

}  // namespace

struct ProgramParts::Steps {
  TreeSteps tree;
  RecorderSteps recorder;
  FetchSteps fetch;
  MediaSteps media;
  PlaybackSteps playback;
  NetSteps net;
  MessageRoutes router;
};

ProgramParts::ProgramParts() : steps_(std::make_unique<Steps>()) { WireCoreLibraries(); }

ProgramParts::~ProgramParts() = default;

AppParts ProgramParts::parts(WindowPort* window) {
  AppParts parts;
  parts.window = window;
  parts.tree = &steps_->tree;
  parts.recorder = &steps_->recorder;
  parts.fetch = &steps_->fetch;
  parts.media = &steps_->media;
  parts.playback = &steps_->playback;
  parts.net = &steps_->net;
  parts.router = &steps_->router;
  return parts;
}

int RunImportCommand(const std::string& file) {
  // The request travels as one line, and a name with a line feed or another control
  // character is no name a user meant to type.
  if (file.empty() || HasControlCharacter(file)) {
    std::fprintf(stderr, "velmora-nvr: import: %s\n",
                 file.empty() ? "the file name is empty"
                              : "the file name contains a control character");
    return 2;
  }
  // A running instance opens the file in its own working folder: send the name
  // completed against ours.
  std::error_code error;
  std::string absolute = std::filesystem::absolute(file, error).string();
  if (error) {
    std::fprintf(stderr, "velmora-nvr: import: cannot complete the file name %s (%s)\n",
                 file.c_str(), error.message().c_str());
    return 1;
  }
  platform::SingleInstance instance;
  std::string lockFolder, lockError;
  switch (Application::TakeInstanceLock(instance, lockFolder, lockError)) {
    case platform::SingleInstance::Result::kOtherRunning: {
      // The instance answers once the import is done; a large file, or a main thread
      // busy with other work, may take a while.
      std::string answer;
      if (!platform::SingleInstance::sendRequest(lockFolder, "import " + absolute, answer, 5000,
                                                 kImportAnswerTimeoutMs)) {
        std::fprintf(stderr,
                     "velmora-nvr: the running instance did not answer; the import may be "
                     "incomplete (see its log)\n");
        return 1;
      }
      std::printf("%s\n", answer.c_str());
      return answer.rfind("ok", 0) == 0 ? 0 : 1;
    }
    case platform::SingleInstance::Result::kError:
      std::fprintf(stderr, "velmora-nvr: %s\n", lockError.c_str());
      return 1;
    case platform::SingleInstance::Result::kFirst:
      break;
  }
  // No instance runs: merge into the tree file of the data folder here, holding the
  // lock so that no instance starts on the same files meanwhile.
  Application::PrepareFolders(false);
  InitTree(paths().deviceTreePath);
  std::string answer = ImportAnswer(absolute);
  if (treeRoot()) DestroyTree(treeRoot().get());
  treeRoot().reset();
  std::printf("%s\n", answer.c_str());
  return answer.rfind("ok", 0) == 0 ? 0 : 1;
}

}  // namespace velmora
