// The parts of the program that the application object calls at its fixed places in the
// start-up, in timer 3 and in the ordered shutdown: the window, the device tree, the
// recorder, the fetch engine, removable media, playback, the network services, and the
// router of the messages the application does not handle itself.
//
// Each part is an interface that the program hands to Application once, at construction
// (`AppParts`). A part the program does not have is left null and its steps are skipped,
// so the order in Application never changes as parts arrive, and no step can be given
// twice: one object answers for each part.
//
// Threads: every call is made on the main thread (the one that runs Application::tick).
#pragma once

#include <chrono>
#include <string>

#include "app/messages.h"

namespace velmora {

class Application;
struct Paths;
struct Settings;

// The main window (desktop program only; the headless program has none). The steps run
// where the start-up creates the main window and the shutdown destroys it.
class WindowPort {
 public:
  virtual ~WindowPort() = default;
  // Panes and view frame. The application hands itself to the window it creates; the
  // later steps (tree, threads, saved view) then find the window.
  virtual void createWindow(Application& app) = 0;
  virtual void setTitle() = 0;
  // The stills loaded with the tree go into the tiles of the saved view.
  virtual void leaveStillMode() = 0;
  // After the device tree selected the saved view: the views show it.
  virtual void showSavedView() = 0;
  // The saved multi-view layout.
  virtual void applyLayout() = 0;
  virtual void showTrayIcon(bool shown) = 0;
  // Stores the window's placement into the settings before they are saved.
  virtual void readWindowPlacement() = 0;
  virtual void destroyWindow() = 0;
  // Timer 3, before the core's periodic work (the tiles first).
  virtual void periodic() = 0;
  // Throughput meter text ("12.3 KB/s").
  virtual void showThroughput(const std::string& text) = 0;
  // A second start asked this instance to come to the front.
  virtual void activate() = 0;
};

// The device tree: loading, its recordings and fetches as a whole, the saved view, and
// the device files a second start hands over.
class DeviceTreePart {
 public:
  virtual ~DeviceTreePart() = default;
  virtual void load() = 0;
  // Leftover recording folders; queues the scan of the removable media.
  virtual void scanOldRecordings() = 0;
  // False: a first start with nothing to show scans the network.
  virtual bool hasViewable() = 0;
  virtual void selectSavedView() = 0;
  // Every recording device.
  virtual void startRecordingFetches() = 0;
  virtual void stopAllFetches() = 0;
  virtual void destroy() = 0;
  // The answer line for the instance that asked ("ok: ...", "error: ...").
  virtual std::string importFile(const std::string& path) = 0;
};

// The recorder and the automatic removal.
class RecorderPart {
 public:
  virtual ~RecorderPart() = default;
  virtual void recordStop() = 0;
  // Closes the recording files of the whole tree (none when there is no tree).
  virtual void closeRecordings() = 0;
  virtual void startCleanupThread() = 0;
  // True when the cleanup thread ended within `timeout`.
  virtual bool joinCleanup(std::chrono::milliseconds timeout) = 0;
  // Timer 3: the removal pass's tree snapshot.
  virtual void periodic() = 0;
};

// The fetch engine and the single-request HTTP client.
class FetchPart {
 public:
  virtual ~FetchPart() = default;
  virtual void openInternet() = 0;
  // Timer 3, last.
  virtual void periodic() = 0;
  virtual void shutdown() = 0;
};

// Removable media: the mount-table watch and the scan thread.
class MediaPart {
 public:
  virtual ~MediaPart() = default;
  virtual void watch() = 0;
  virtual void startScanThread() = 0;
  virtual void unwatch() = 0;
};

// The playback thread and the playback controller.
class PlaybackPart {
 public:
  virtual ~PlaybackPart() = default;
  virtual void start() = 0;
  virtual void quit() = 0;
  // True when the playback thread ended within `timeout`.
  virtual bool join(std::chrono::milliseconds timeout) = 0;
  // Timer 3, after the recorder's.
  virtual void periodic() = 0;
};

// Network discovery and the HTTP server.
class NetPart {
 public:
  virtual ~NetPart() = default;
  virtual void startDiscovery() = 0;
  virtual void stopDiscovery() = 0;
  virtual void startHttpServer() = 0;
  virtual void stopHttpServer() = 0;
};

// Takes the messages the application does not handle itself.
class MessageRouter {
 public:
  virtual ~MessageRouter() = default;
  virtual void route(AppMessage& message) = 0;
};

// What the program hands to Application. Not owned: every part outlives the application.
struct AppParts {
  WindowPort* window = nullptr;
  DeviceTreePart* tree = nullptr;
  RecorderPart* recorder = nullptr;
  FetchPart* fetch = nullptr;
  MediaPart* media = nullptr;
  PlaybackPart* playback = nullptr;
  NetPart* net = nullptr;
  MessageRouter* router = nullptr;
  // The program's folders and files, filled by the start-up (Application::PrepareFolders)
  // and read by the parts; null: the application keeps folders of its own.
  Paths* paths = nullptr;
  // The program's settings, read by the start-up and written at the shutdown and after
  // the window's changes; null: the application keeps settings of its own.
  Settings* settings = nullptr;
};

}  // namespace velmora
