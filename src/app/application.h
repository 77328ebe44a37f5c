// The application object: single-instance check, folders, settings, log, the start-up
// steps of the main window, the 20 ms tick of the main thread, and the ordered shutdown.
//
// The parts that later layers build (device tree, fetch engine, recorder, playback,
// cleanup, discovery, media scan, HTTP server, window) are handed over at construction as
// interfaces (app/app_parts.h). The order in which their steps run is fixed here, so
// adding a part never reorders start-up or shutdown.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/app_parts.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "platform/single_instance.h"

namespace velmora {

// Bytes received from cameras and peers since the last meter reading.
std::atomic<uint64_t>& bytesReceived();

// The platform's short byte-size text: "532 bytes", "1.50 KB", "12.3 MB", "2.00 GB".
std::string ShortByteSize(uint64_t bytes);

// The throughput meter of timer 3 on its own: every whole second, shown = rate when
// shown was 0, else (shown * 9 + rate) / 10.
class ThroughputMeter {
 public:
  void start(int64_t nowSeconds) { lastSeconds_ = nowSeconds; }
  bool due(int64_t nowSeconds) const { return nowSeconds != lastSeconds_; }
  // Returns true when a measurement was taken (a whole second or more has passed).
  bool tick(int64_t nowSeconds, uint64_t& byteCounter);
  uint64_t shown() const { return shown_; }

 private:
  int64_t lastSeconds_ = 0;
  uint64_t shown_ = 0;
};

class Application {
 public:
  enum class StartResult { kRunning, kOtherInstance, kFailed };

  // The parts are not owned and must outlive the application; a null part is skipped.
  explicit Application(AppParts parts = {});
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Single-instance check, folders, settings, log, then the main window's creation.
  // kOtherInstance: a running instance was asked to come to the front; nothing was
  // written and the process should end at once.
  StartResult InitInstance(bool headless);

  // Steps 3 to 9 of the start-up on their own: folders, settings, log, recordings folder,
  // device-tree path, written into `paths`, the settings read into `settings`. Used by InitInstance and by command-line
  // tools that work on the data folder without starting the recorder (the caller holds the instance lock).
  // `startingRecorder` false: no log clearing and no "Starting up." line.
  static void PrepareFolders(Paths& paths, Settings& settings, bool startingRecorder = true);
  // The application-data folder without its trailing "/"; created (0700) when create is
  // true, else only looked up (command-line tools running beside an instance find its
  // log and folders so).
  static std::string AppDataFolder(bool create);

  // The single-instance lock, taken in the runtime folder or, when that folder cannot
  // hold it, in the application-data folder (created then). folder is set to where the
  // lock was taken or where the running instance holds it (send requests there).
  // kError: no lock can be had; error says why. An instance that fell back to the
  // data folder is found by a later start whose runtime folder works.
  static platform::SingleInstance::Result TakeInstanceLock(platform::SingleInstance& instance,
                                                           std::string& folder, std::string& error);

  // One pass of the main thread: timer 3 when 20 ms have passed, then the queued
  // application messages and the single-instance requests.
  void tick();

  // The ordered shutdown (stops recording, closes files, stops the fetch engine,
  // saves the placement and the settings), then the main window's destroy.
  void OnExit();
  // After the main loop ends.
  void ExitInstance();

  bool running() const { return running_; }
  bool headless() const { return headless_; }
  const std::string& statusText() const { return statusText_; }
  // Why InitInstance returned kFailed.
  const std::string& startError() const { return startError_; }
  // The folders and files the start-up decided (empty before InitInstance).
  const Paths& paths() const { return paths_; }
  std::string titleText() const;
  uint64_t throughput() const { return meter_.shown(); }

  // Global Record command: flip recordEnable, save, stop and re-apply recording.
  void ToggleRecordEnable();
  void SaveAllSettings();

 private:
  static void ResolveFolders(Paths& paths, Settings& settings);
  void LogPlatform();
  void CreateMainWindow();
  void DestroyMainWindow();
  void Timer3();
  void Dispatch(AppMessage& message);
  void ServeInstanceRequests();

  const AppParts parts_;
  Paths ownPaths_;  // used when the program hands no folders of its own
  Paths& paths_;
  Settings ownSettings_;  // used when the program hands no settings of its own
  Settings& settings_;
  platform::SingleInstance instance_;
  ThroughputMeter meter_;
  bool headless_ = true;
  bool running_ = false;
  bool exited_ = false;
  std::string statusText_;
  std::string startError_;
  std::optional<int64_t> lastTimer3Ms_;  // steady ms of the last Timer3; empty: none yet
};

}  // namespace velmora
