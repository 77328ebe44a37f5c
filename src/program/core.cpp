#include "program/core.h"

#include <chrono>
#include <memory>
#include <string>

#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "live/decrypt.h"
#include "live/fetch.h"
#include "live/http_get.h"
#include "model/fetch_error.h"
#include "model/group_record.h"
#include "model/media_scan.h"
#include "model/old_recordings.h"
#include "model/saved_view.h"
#include "model/tree_file.h"
#include "net/discovery.h"
#include "net/http_server.h"
#include "platform/clock.h"
#include "platform/mount_table.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "playback/playback_thread.h"
#include "program/wiring.h"
#include "recording/recorder.h"
#include "tree/media_branches.h"

namespace velmora {
namespace {

// The entry whose devices the views show: the saved name, else the first entry, whose
// name is then remembered at once.
void SelectSavedView(DeviceTree& tree, const Paths& paths) {
  if (!tree.root) return;
  bool stored = false;
  SavedViewEntry(*tree.root, *tree.settings, &stored);
  if (stored) SaveSettings(*tree.settings, paths.appDataFolder, paths.registryPath);
}

// The device tree's steps: loading, the leftover recordings and removable media, the
// saved view, starting and stopping its fetches and recordings, destroying it, and the
// device files a second start hands over.
class TreeSteps final : public DeviceTreePart {
 public:
  TreeSteps(const Paths& paths, std::shared_ptr<DeviceTree> tree, CoreWiring& wiring)
      : paths_(paths), tree_(std::move(tree)), wiring_(wiring) {}
  void load() override {
    // The start-up has decided the folders by now.
    tree_->filePath = paths_.deviceTreePath;
    tree_->recordingsFolder = paths_.pathData;
    // From here on the tree's devices may fetch and record.
    wiring_.recordInto(tree_);
    InitTree(*tree_, tree_->filePath);
  }
  // Recording folders no entry owns are listed once per start, after the tree is read.
  // Then every removable drive mounted now is scanned (MsgScanAllMedia, 32792).
  void scanOldRecordings() override {
    BuildOldRecordingsBranch(*tree_);
    mainQueue().post(MsgScanAllMedia{});
  }
  bool hasViewable() override { return CountViewable(root()) > 0; }
  void selectSavedView() override { SelectSavedView(*tree_, paths_); }
  void startRecordingFetches() override { ApplyRecordingState(*tree_, root()); }
  void stopAllFetches() override {
    if (root()) StopAllFetches(root());
  }
  void destroy() override { tree_->destroy(); }
  std::string importFile(const std::string& path) override { return ImportAnswer(*tree_, path); }

 private:
  GroupRecord* root() const { return tree_->root.get(); }

  const Paths& paths_;
  const std::shared_ptr<DeviceTree> tree_;
  CoreWiring& wiring_;
};

// The fetch engine, and the single-request HTTP client's configuration. Its periodic step
// is the last of timer 3: behind it the HTTP server hears that the main loop turned.
class FetchSteps final : public FetchPart {
 public:
  FetchSteps(const DeviceTree& tree, const Paths& paths, net::HttpServer& server)
      : tree_(tree), paths_(paths), server_(server) {}
  void openInternet() override {
    // The folders are decided by now: an encrypted frame reads its key from the data folder.
    SetFrameKeyFolder(paths_.appDataFolder);
    // The workers follow the program's settings (captions, picture quality, recording).
    FetchOptions fetchOptions = GetFetchOptions();
    fetchOptions.settings = tree_.settings;
    SetFetchOptions(fetchOptions);
    // A silent peer must not hold a reader for long: the playback thread retries a
    // remote read 16 times.
    HttpClientOptions options;
    options.requestTimeoutMs = 30000;
    options.stallTimeoutS = 10;
    http_client_open(options);
  }
  // A certificate the walk kept in an entry is written into the tree file at once.
  void periodic() override {
    FetchPeriodic(tree_.root.get(), [this](FetchNotice) { SaveTree(tree_); });
    // The heartbeat of the server's health answer, and the snapshot its monitoring
    // routes asked for.
    net::HttpPeriodic(server_);
  }
  void shutdown() override { viewthread_shutdown(); }

 private:
  const DeviceTree& tree_;
  const Paths& paths_;
  net::HttpServer& server_;
};

// Removable media: the watch of the mount table (drives arriving or going become
// MsgShellChange, 32776) and the scan thread. It owns where the program reads the mount
// table and sysfs: built from the settings when the watch starts, and read (never
// changed) by the main thread's listing of the drives and by the window's backup dialog.
// The watcher and the dialog's threads work on copies of their own.
class MediaSteps final : public MediaPart {
 public:
  explicit MediaSteps(const Settings& settings) : settings_(settings) {}
  void watch() override {
    source_ = MediaSourceFromSettings(settings_);
    auto watcher = std::make_unique<platform::MountWatcher>(source_, PostDriveChange);
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
    // The scan thread stops on the shutdown event, set by now; a scan in a slow folder ends at
    // its next folder.
    if (!JoinMediaScanThread(std::chrono::milliseconds(1000))) Log("removable media scan thread still active");
  }

  const platform::MountTableSource& source() const { return source_; }

 private:
  const Settings& settings_;
  platform::MountTableSource source_;
  std::unique_ptr<platform::MountWatcher> watcher_;
};

// Playback: its thread (with the export handlers on its engine) and the controller's
// tick in timer 3.
class PlaybackSteps final : public PlaybackPart {
 public:
  explicit PlaybackSteps(std::shared_ptr<DeviceTree> tree) : tree_(std::move(tree)) {}
  void start() override {
    // The tree is read by now; the playback keeps a share of it.
    playback_.controller.setTree(tree_);
    playback_.output.setTree(tree_);
    startPlaybackThread();
  }
  void quit() override { quitPlayback(); }
  bool join(std::chrono::milliseconds timeout) override { return joinPlayback(timeout); }
  void periodic() override { playback_.controller.Tick(platform::SteadyMs()); }
  ProgramPlayback& playback() { return playback_; }

 private:
  const std::shared_ptr<DeviceTree> tree_;
  ProgramPlayback& playback_ = programPlayback();
};

// Network discovery and the HTTP server.
class NetSteps final : public NetPart {
 public:
  explicit NetSteps(const DeviceTree& tree) : tree_(tree) {}
  void startDiscovery() override { net::StartDiscoveryThread(discovery_); }
  void stopDiscovery() override { net::StopDiscoveryThread(); }
  void startHttpServer() override { net::StartHttpServer(server_, tree_); }
  void stopHttpServer() override { net::StopHttpServer(server_); }
  net::HttpServer& server() { return server_; }
  const net::DiscoveryConfig& discovery() const { return discovery_; }

 private:
  const DeviceTree& tree_;
  // How the network scans look for cameras: the system's interface table and ARP cache.
  net::DiscoveryConfig discovery_;
  // The program's server: stopped by the shutdown step, destroyed with the Core.
  net::HttpServer server_;
};

// A message the application does not handle itself goes to the first subsystem that
// knows it.
class MessageRoutes final : public MessageRouter {
 public:
  MessageRoutes(DeviceTree& tree, net::HttpServer& server, const net::DiscoveryConfig& discovery,
                const platform::MountTableSource& mediaSource, PlaybackController& playback)
      : tree_(tree), server_(server), discovery_(discovery), mediaSource_(mediaSource), playback_(playback) {}
  void route(AppMessage& message) override {
    // An authentication scheme kept in an entry is written into the tree file at once.
    if (HandleFetchMessage(message, [this](FetchNotice) { SaveTree(tree_); })) return;
    if (net::HandleNetMessage(message, tree_, &server_, discovery_)) return;
    if (HandleMediaMessage(message, tree_, mediaSource_, playback_)) return;
    if (playback_.HandleMessage(message)) return;
    if (auto* gone = std::get_if<MsgRecordingsFolderGone>(&message)) {
      RemoveGoneOldRecordings(tree_.ensureRoot(), tree_.recordingsFolder, gone->folder);
      return;
    }
    // A device's fetch error state: its tree item is redrawn when it changed.
    HandleFetchErrorMessage(message);
  }

 private:
  DeviceTree& tree_;
  net::HttpServer& server_;
  const net::DiscoveryConfig& discovery_;
  const platform::MountTableSource& mediaSource_;
  PlaybackController& playback_;
};

}  // namespace

struct Core::Parts {
  Parts(const Paths& folders, const std::shared_ptr<DeviceTree>& devices, CoreWiring& wiring)
      : paths(folders),
        tree(folders, devices, wiring),
        recorder(*devices, *slots),
        net(*devices),
        fetch(*devices, folders, net.server()),
        media(*devices->settings),
        playback(devices),
        router{*devices, net.server(), net.discovery(), media.source(), playback.playback().controller} {}
  const Paths& paths;
  // The view slots: one set for the program, shared with its playback, which outlives
  // the Core (playback_thread.h); the window takes them from the playback controller.
  std::shared_ptr<ViewSlots> slots = programPlayback().shownSlots;
  TreeSteps tree;
  RecorderSteps recorder;
  // Before the fetch steps, which stamp its server's heartbeat.
  NetSteps net;
  FetchSteps fetch;
  MediaSteps media;
  PlaybackSteps playback;
  MessageRoutes router;
};

Core::Core() : settings_(std::make_shared<Settings>()), tree_(std::make_shared<DeviceTree>()) {
  // The tree's operations follow the program's settings.
  tree_->settings = settings_;
  // The libraries are connected before any part can start them.
  wiring_ = std::make_unique<CoreWiring>();
  parts_ = std::make_unique<Parts>(paths_, tree_, *wiring_);
}

Core::~Core() {
  // The parts go first; the libraries are disconnected after them.
  parts_.reset();
  wiring_.reset();
}

AppParts Core::parts(WindowPort* window) {
  AppParts parts;
  parts.window = window;
  parts.tree = &parts_->tree;
  parts.recorder = &parts_->recorder;
  parts.fetch = &parts_->fetch;
  parts.media = &parts_->media;
  parts.playback = &parts_->playback;
  parts.net = &parts_->net;
  parts.router = &parts_->router;
  parts.paths = &paths_;
  parts.settings = settings_.get();
  return parts;
}

const platform::MountTableSource& Core::mediaSource() const { return parts_->media.source(); }

PlaybackController& Core::playbackController() { return parts_->playback.playback().controller; }

}  // namespace velmora
