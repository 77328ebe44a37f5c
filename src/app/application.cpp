#include "app/application.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/program_signals.h"
#include "app/settings.h"
#include "app/strings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/service_manager.h"

namespace velmora {

std::atomic<uint64_t>& bytesReceived() {
  static std::atomic<uint64_t> counter{0};
  return counter;
}

std::string ShortByteSize(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  static const char* units[] = {"KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1000.0 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  // Three significant digits, truncated rather than rounded, like the shell's form.
  if (value < 10.0) {
    std::snprintf(text, sizeof text, "%.2f %s", static_cast<double>(static_cast<int64_t>(value * 100)) / 100, units[unit]);
  } else if (value < 100.0) {
    std::snprintf(text, sizeof text, "%.1f %s", static_cast<double>(static_cast<int64_t>(value * 10)) / 10, units[unit]);
  } else {
    std::snprintf(text, sizeof text, "%d %s", static_cast<int>(value), units[unit]);
  }
  return text;
}

bool ThroughputMeter::tick(int64_t nowSeconds, uint64_t& byteCounter) {
  int64_t elapsed = nowSeconds - lastSeconds_;
  if (elapsed == 0) return false;
  uint64_t rate = elapsed > 0 ? byteCounter / static_cast<uint64_t>(elapsed) : 0;
  shown_ = shown_ == 0 ? rate : (shown_ * 9 + rate) / 10;
  byteCounter = 0;
  lastSeconds_ = nowSeconds;
  return true;
}

Application::Application(AppParts parts)
    : parts_(parts),
      paths_(parts.paths ? *parts.paths : ownPaths_),
      settings_(parts.settings ? *parts.settings : ownSettings_) {}

Application::~Application() {
  if (running_ && !exited_) OnExit();
}

std::string Application::titleText() const {
  std::string version = VersionString();
  return version.empty() ? std::string(kProductName) : std::string(kProductName) + " v" + version;
}

void Application::ResolveFolders(Paths& p, Settings& settings) {
  p.pathData.clear();
  p.pathPictures = platform::PicturesDir();
  p.pathVideo = platform::VideosDir();

  p.appDataFolder = AppDataFolder(true);

  // A data folder given on the command line holds everything of its instance, the
  // registry file included.
  std::string config = platform::DataFolderOverride().empty() ? platform::ConfigHome() : std::string();
  p.configFolder = config.empty() ? p.appDataFolder : config + "/Velmora/Velmora NVR";
  p.registryPath = WithSlash(p.configFolder) + "registry";

  // The registry defaults for the two target folders come from the desktop's own.
  settings.pathPictures = p.pathPictures;
  settings.pathVideo = p.pathVideo;
}

std::string Application::AppDataFolder(bool create) {
  // The folder holds passwords (settings, device tree): it is private to the user.
  std::string given = platform::DataFolderOverride();
  if (!given.empty()) {
    if (create) platform::CreatePrivateFolder(given);
    return given;
  }
  // The current folder is the base when the per-user data folder does not exist.
  std::string base = platform::DataHome();
  if (!platform::IsDirectory(base)) base = platform::CurrentDir();
  std::string folder = base + "/Velmora/Velmora NVR";
  std::string fallback = platform::CurrentDir() + "/Velmora/Velmora NVR";
  if (create) {
    if (!platform::CreatePrivateFolder(folder) && fallback != folder &&
        platform::CreatePrivateFolder(fallback)) {
      folder = fallback;
    }
  } else if (!platform::IsDirectory(folder) && platform::IsDirectory(fallback)) {
    folder = fallback;
  }
  return folder;
}

platform::SingleInstance::Result Application::TakeInstanceLock(platform::SingleInstance& instance,
                                                              std::string& folder,
                                                              std::string& error) {
  using Result = platform::SingleInstance::Result;
  // An instance with a data folder of its own is one per folder: its lock lives there.
  std::string given = platform::DataFolderOverride();
  if (!given.empty()) {
    platform::CreatePrivateFolder(given);
    Result own = instance.acquire(given);
    folder = given;
    if (own == Result::kError) {
      error = "cannot take the instance lock in the data folder (" + given + ": " +
              std::system_category().message(errno) + ")";
    }
    return own;
  }
  std::string runtime = platform::RuntimeDir();
  Result result = instance.acquire(runtime);
  if (result == Result::kOtherRunning) {
    folder = runtime;
    return result;
  }
  if (result == Result::kFirst) {
    // An instance whose runtime folder was unusable holds its lock in the data folder.
    std::string data = AppDataFolder(false);
    std::error_code same;
    if (!std::filesystem::equivalent(runtime, data, same) &&
        platform::SingleInstance::heldElsewhere(data)) {
      instance.release();
      folder = data;
      return Result::kOtherRunning;
    }
    folder = runtime;
    return result;
  }
  // The runtime folder cannot hold the lock: without a lock elsewhere two recorders
  // would write the same folders, so the data folder holds it instead.
  auto reason = [](const std::string& where) {
    return where + ": " + std::system_category().message(errno);
  };
  std::string runtimeError = reason(runtime);
  std::string data = AppDataFolder(true);
  result = instance.acquire(data);
  folder = data;
  if (result == Result::kError) {
    error = "cannot take the instance lock, neither in the runtime folder (" + runtimeError +
            ") nor in the data folder (" + reason(data) + ")";
  }
  return result;
}

void Application::LogPlatform() {
  utsname name{};
  if (::uname(&name) == 0) {
    int major = 0, minor = 0;
    std::sscanf(name.release, "%d.%d", &major, &minor);
    Log("Linux version %d.%d", major, minor);
  }
  struct statvfs disk {};
  if (::statvfs(paths_.pathData.c_str(), &disk) == 0) {
    Log("pathData[%s]; %u bytes per sector", paths_.pathData.c_str(),
        static_cast<unsigned>(disk.f_frsize));
  }
  Log("Page size: %u bytes", static_cast<unsigned>(::sysconf(_SC_PAGESIZE)));
  Log("Number of Processors: %u", static_cast<unsigned>(::sysconf(_SC_NPROCESSORS_ONLN)));
  // The architecture codes of the platform's processor record: 9 x64, 12 ARM64, 0 x86.
  unsigned short architecture = 0xFFFF;
  if (std::strcmp(name.machine, "x86_64") == 0) architecture = 9;
  else if (std::strcmp(name.machine, "aarch64") == 0) architecture = 12;
  else if (name.machine[0] == 'i' && std::strstr(name.machine, "86")) architecture = 0;
  Log("Processor Architecture: %hu", architecture);
  unsigned short level = 0, model = 0, stepping = 0;
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  auto value = [](const std::string& text) {
    auto colon = text.find(':');
    return colon == std::string::npos
               ? 0
               : static_cast<unsigned short>(std::strtoul(text.c_str() + colon + 1, nullptr, 10));
  };
  for (int i = 0; i < 64 && std::getline(cpuinfo, line); ++i) {
    if (line.rfind("cpu family", 0) == 0) level = value(line);
    else if (line.rfind("model\t", 0) == 0 || line.rfind("model ", 0) == 0) model = value(line);
    else if (line.rfind("stepping", 0) == 0) stepping = value(line);
    else if (line.empty()) break;
  }
  Log("Processor Level: %hu", level);
  Log("Processor Revision: %hu", static_cast<unsigned short>((model << 8) | stepping));
}

Application::StartResult Application::InitInstance(bool headless) {
  headless_ = headless;

  // 1. Only one instance runs: a second start asks the first to come to the front and
  //    ends without touching any file.
  //    When no lock can be had at all the start is refused: a second recorder would
  //    write into the same folders.
  std::string lockFolder;
  switch (TakeInstanceLock(instance_, lockFolder, startError_)) {
    case platform::SingleInstance::Result::kOtherRunning: {
      std::string answer;
      platform::SingleInstance::sendRequest(lockFolder, "activate", answer);
      return StartResult::kOtherInstance;
    }
    case platform::SingleInstance::Result::kError:
      return StartResult::kFailed;
    case platform::SingleInstance::Result::kFirst:
      break;
  }

  mainQueue().reopen();

  PrepareFolders(paths_, settings_);

  // 10.
  LogPlatform();

  // 12, 13.
  Log("%s version %s", kProductName, VersionString().c_str());

  // 14-16: sockets need no start-up here; the lines keep the log's familiar shape.
  Log("Initializing WinSock");
  Log("Calling CoInitialize");

  // 17.
  Log("Creating CMainFrame");
  CreateMainWindow();

  // 18, 19.
  Log("Updating window position");
  Log("%s: OK", "CDVRApp::InitInstance");
  running_ = true;
  return StartResult::kRunning;
}

void Application::PrepareFolders(Paths& p, Settings& settings, bool startingRecorder) {
  // 3. Folders.
  ResolveFolders(p, settings);

  // 4. Settings: the file, then the registry stand-in.
  const std::vector<std::string> notes = LoadSettings(settings, WithSlash(p.appDataFolder), p.registryPath);
  p.pathData = settings.pathData;
  if (!settings.pathPictures.empty()) p.pathPictures = settings.pathPictures;
  if (!settings.pathVideo.empty()) p.pathVideo = settings.pathVideo;

  // 5. Trailing separators.
  p.pathData = WithSlash(p.pathData);
  p.pathPictures = WithSlash(p.pathPictures);
  p.appDataFolder = WithSlash(p.appDataFolder);
  p.pathVideo = WithSlash(p.pathVideo);
  p.settingsPath = p.appDataFolder + "Velmora NVR.exe.config";

  // 6. The log.
  p.logPath = p.appDataFolder + "Velmora NVR.log";
  SetLogPath(p.logPath);
  SetLogProfile(settings.logProfile);
  // Started by the service manager: its journal collects the lines too.
  if (startingRecorder && platform::StderrIsJournal()) SetLogJournal(true, !settings.logJournalOnly);
  if (startingRecorder && settings.logClear) ClearLog();

  // 7.
  if (startingRecorder) Log("Starting up.");
  // Settings values the reader had to correct, now that the log is open.
  for (const std::string& note : notes) Log("LoadSettings: %s", note.c_str());

  // 8. The recordings folder. A value longer than the stored format holds is refused
  //    like a missing folder.
  size_t characters = 0;
  for (unsigned char c : settings.pathData) characters += (c & 0xC0) != 0x80;
  if (settings.pathData.empty() || characters > kMaxSettingText || !platform::IsDirectory(p.pathData)) {
    Log("invalid pathData [%s], using default", settings.pathData.c_str());
    p.pathData = p.appDataFolder + "Recordings";
    if (!platform::CreateFolders(p.pathData)) LogLastError("CreateDirectory");
    p.pathData = WithSlash(p.pathData);
  }

  // 9.
  p.deviceTreePath = p.appDataFolder + "Velmora NVR.xml";
}

void Application::CreateMainWindow() {
  // 1. Throughput meter and timer 3.
  meter_.start(static_cast<int64_t>(platform::WallSeconds()));
  lastTimer3Ms_ = platform::SteadyMs();
  // 2-4.
  if (parts_.window) {
    parts_.window->createWindow(*this);
    parts_.window->setTitle();
  }
  // 5.
  PostStatus(StringText(107));
  // 7.
  if (parts_.tree) parts_.tree->load();
  // 8.
  if (parts_.tree) parts_.tree->scanOldRecordings();
  // 10, 11.
  if (parts_.window) parts_.window->leaveStillMode();
  if (parts_.media) parts_.media->watch();
  // 12.
  if (parts_.fetch) parts_.fetch->openInternet();
  // 13-15. The signals the workers wait on exist before the first worker starts.
  ProgramSignals& signals = programSignals();
  if (parts_.media) parts_.media->startScanThread();
  if (parts_.net) parts_.net->startDiscovery();
  // 16. A first start with an empty tree begins with a scan of the local network.
  if (parts_.tree && !parts_.tree->hasViewable()) signals.networkScan.set();
  // 18, 19.
  if (parts_.playback) parts_.playback->start();
  if (parts_.recorder) parts_.recorder->startCleanupThread();
  // 20-22.
  if (parts_.tree) parts_.tree->selectSavedView();
  if (parts_.window) {
    parts_.window->showSavedView();
    parts_.window->applyLayout();
  }
  if (parts_.tree) parts_.tree->startRecordingFetches();
  // 23, 24.
  if (settings_.taskbarIcon && parts_.window) parts_.window->showTrayIcon(true);
  if (settings_.httpServer && parts_.net) parts_.net->startHttpServer();
}

void Application::tick() {
  if (!running_) return;
  const int64_t nowMs = platform::SteadyMs();
  if (!lastTimer3Ms_ || nowMs - *lastTimer3Ms_ >= 20) {
    lastTimer3Ms_ = nowMs;
    Timer3();
  }
  // Drain what is queued now; messages posted while handling wait for the next tick.
  for (std::size_t n = mainQueue().size(); n > 0; --n) {
    auto message = mainQueue().take();
    if (!message) break;
    Dispatch(*message);
  }
  ServeInstanceRequests();
}

void Application::Timer3() {
  // The meter reads and resets the byte counter only when a whole second has passed.
  int64_t nowSeconds = static_cast<int64_t>(platform::WallSeconds());
  uint64_t counter = 0;
  if (meter_.due(nowSeconds)) {
    counter = bytesReceived().exchange(0);
    meter_.tick(nowSeconds, counter);
    if (parts_.window) parts_.window->showThroughput(ShortByteSize(meter_.shown()) + "/s");
  }
  // The tiles first, then the removal pass's snapshot, the playback controller and the
  // fetch walk.
  if (parts_.window) parts_.window->periodic();
  if (parts_.recorder) parts_.recorder->periodic();
  if (parts_.playback) parts_.playback->periodic();
  if (parts_.fetch) parts_.fetch->periodic();
}

void Application::Dispatch(AppMessage& message) {
  if (auto* status = std::get_if<MsgStatusText>(&message)) {
    statusText_ = status->text.value_or(std::string());
    if (!statusText_.empty() && status->log) Log("%s", statusText_.c_str());
  } else if (parts_.router) {
    parts_.router->route(message);
  }
  // Then every other receiver (the window's panes, which show the status text) sees it,
  // the core's state already updated by the router.
  mainQueue().deliver(message);
}

void Application::ServeInstanceRequests() {
  for (auto& request : instance_.poll()) {
    if (request.line == "activate") {
      if (parts_.window) parts_.window->activate();
      platform::SingleInstance::reply(request, "ok");
    } else if (request.line.rfind("import ", 0) == 0) {
      // The file is opened here, in this process's working folder: only an absolute
      // name means what the sender meant. The answer is sent once the import is done.
      std::string file = request.line.substr(7);
      std::string answer;
      if (file.empty() || file[0] != '/') {
        answer = "error: the file name must be absolute";
      } else if (HasControlCharacter(file)) {
        answer = "error: the file name contains a control character";
      } else {
        answer = parts_.tree ? parts_.tree->importFile(file)
                             : std::string("error: import is not available");
      }
      platform::SingleInstance::reply(request, answer);
    } else {
      platform::SingleInstance::reply(request, "error: unknown request");
    }
  }
}

void Application::SaveAllSettings() { SaveSettings(settings_, paths_.appDataFolder, paths_.registryPath); }

void Application::ToggleRecordEnable() {
  settings_.recordEnable = !settings_.recordEnable;
  SaveAllSettings();
  if (parts_.recorder) {
    parts_.recorder->recordStop();
    parts_.recorder->closeRecordings();
  }
  if (parts_.tree) parts_.tree->startRecordingFetches();
}

void Application::OnExit() {
  if (!running_ || exited_) return;
  exited_ = true;
  // 1.
  programSignals().shutdown.set();
  // 2 (the layout is saved as it changes), 3.
  if (parts_.playback) parts_.playback->quit();
  // 4.
  Log("calling record_stop");
  if (parts_.recorder) parts_.recorder->recordStop();
  // 5.
  Log("calling record_close_handles");
  if (parts_.recorder) parts_.recorder->closeRecordings();
  // 6.
  Log("calling viewthread_shutdown");
  if (parts_.fetch) parts_.fetch->shutdown();
  // 7.
  Log("calling grouprecord_stop");
  if (parts_.tree) parts_.tree->stopAllFetches();
  if (parts_.net) parts_.net->stopHttpServer();
  // 8.
  if (settings_.taskbarIcon && parts_.window) parts_.window->showTrayIcon(false);
  // 9.
  Log("saving window size and position");
  if (parts_.window) {
    settings_.windowPlacement.length = sizeof(WindowPlacement);
    parts_.window->readWindowPlacement();
  }
  // 10.
  Log("saving application configuration");
  SaveAllSettings();
  // 11.
  Log("OnExit: done");
  DestroyMainWindow();
  mainQueue().close();
  running_ = false;
}

void Application::DestroyMainWindow() {
  if (parts_.media) parts_.media->unwatch();
  // 2. At most 2000 ms for both workers together (real waits: the system's steady clock).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
  auto left = [&] {
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return remaining.count() > 0 ? remaining : std::chrono::milliseconds(0);
  };
  bool cleanupEnded = !parts_.recorder || parts_.recorder->joinCleanup(left());
  bool playbackEnded = !parts_.playback || parts_.playback->join(left());
  if (!cleanupEnded) Log("CleanupThread still active");
  if (!playbackEnded) Log("PlayBackThread still active");
  if (parts_.net) parts_.net->stopDiscovery();
  // 5, 6.
  if (parts_.tree) parts_.tree->destroy();
  if (parts_.window) parts_.window->destroyWindow();
}

void Application::ExitInstance() {
  Log("Shutting down.");
  instance_.release();
}

}  // namespace velmora
