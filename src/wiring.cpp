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
#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/mount_table.h"
#include "recording/cleanup.h"
#include "recording/recorder.h"
#include "platform/single_instance.h"

namespace velmora {
namespace {

GroupRecord* Root() { return treeRoot().get(); }

// The watch of the mount table: drives arriving or going become messages 32776.
std::unique_ptr<platform::MountWatcher>& mediaWatcher() {
  static auto* watcher = new std::unique_ptr<platform::MountWatcher>();
  return *watcher;
}

void WatchMedia() {
  control::mediaSource() = control::MediaSourceFromSettings();
  auto watcher = std::make_unique<platform::MountWatcher>(
      control::mediaSource(), [](const platform::RemovableMount& mount, bool added) {
        MsgShellChange change;
        change.mountPoint = mount.mountPoint;
        change.added = added;
        change.device = mount.deviceNode;
        change.displayName = mount.displayName;
        mainQueue().post(std::move(change));
      });
  if (!watcher->start()) {
    LogLastError("mount table watch");
    return;
  }
  mediaWatcher() = std::move(watcher);
}

void UnwatchMedia() {
  if (mediaWatcher()) mediaWatcher()->stop();
  mediaWatcher().reset();
  // The scan thread stops on shutdownEvent, set by now; a scan in a slow folder ends at
  // its next folder.
  if (!JoinMediaScanThread(std::chrono::milliseconds(1000))) Log("removable media scan thread still active");
}

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
void WireDeviceTree(AppHooks& h) {
  h.loadDeviceTree = [] { InitTree(paths().deviceTreePath); };
  h.treeHasViewable = [] { return CountViewable(Root()) > 0; };
  // Recording folders no entry owns are listed once per start, after the tree is read.
  // Then every removable drive mounted now is scanned (message 32792).
  h.scanOldRecordings = [] {
    BuildOldRecordingsBranch();
    mainQueue().post(MsgScanAllMedia{});
  };
  // Removable media: the mount-table watch and the scan thread.
  h.watchMedia = WatchMedia;
  h.unwatchMedia = UnwatchMedia;
  h.startMediaScanThread = [] { StartMediaScanThread(); };
  h.selectSavedView = SelectSavedView;
  h.startRecordingFetches = [] { ApplyRecordingState(Root()); };
  h.closeRecordings = [] {
    if (Root()) CloseAllRecordings(Root());
  };
  h.stopAllFetches = [] {
    if (Root()) StopAllFetches(Root());
  };
  h.destroyTree = [] {
    if (Root()) DestroyTree(Root());
    treeRoot().reset();
  };
  h.importFile = ImportAnswer;
}

// Playback: its thread (with the export handlers on its engine) and the controller's
// tick in timer 3 beside the removal pass's snapshot.
void WirePlayback(AppHooks& h) {
  h.startPlaybackThread = [] {
    exportPump();  // the export handlers go onto the engine before its thread starts
    startPlaybackThread();
  };
  h.quitPlayback = quitPlayback;
  h.joinPlayback = joinPlayback;

  // Timer 3 work of the main thread besides the fetch walk.
  h.viewPeriodic = [] {
    ServeCleanupSnapshot();
    playbackController().Tick(platform::SteadyMs());
  };
}

// A message the application does not handle itself goes to the first subsystem that
// knows it.
void RouteMessage(AppMessage& message) {
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

}  // namespace

void WireSubsystems(Application& app) {
  AppHooks& h = app.hooks();
  WireCoreLibraries();

  h.openInternet = [] {
    // A silent peer must not hold a reader for long: the playback thread retries a
    // remote read 16 times.
    HttpClientOptions options;
    options.requestTimeoutMs = 30000;
    options.stallTimeoutS = 10;
    http_client_open(options);
  };

  WireDeviceTree(h);
  // Recorder and automatic removal (recordStop, closeRecordings, cleanup thread); its
  // closeRecordings replaces the tree's.
  InstallRecordingAppHooks(h);

  // Fetch engine.
  h.fetchPeriodic = FetchPeriodic;
  h.fetchShutdown = viewthread_shutdown;

  WirePlayback(h);
  // HTTP server and network discovery.
  h.startHttpServer = net::StartHttpServer;
  h.stopHttpServer = net::StopHttpServer;
  h.startNetworkScanThread = net::StartDiscoveryThread;
  h.stopNetworkScan = net::StopDiscoveryThread;
  h.onMessage = RouteMessage;
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
