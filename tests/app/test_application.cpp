#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/log.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/program_signals.h"
#include "app/settings.h"
#include "temp_dir.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TempDir;

// Core parts that note the order in which the application calls their steps. The answers
// (viewable devices, whether the workers end in time) are set by each test.
class NotingParts final : public WindowPort, public DeviceTreePart, public RecorderPart,
                          public FetchPart, public PlaybackPart, public NetPart, public MessageRouter {
 public:
  // The core's parts, and the window when `withWindow`.
  AppParts parts(bool withWindow = false) {
    AppParts parts;
    if (withWindow) parts.window = this;
    parts.fetch = this;
    parts.tree = this;
    parts.recorder = this;
    parts.playback = this;
    parts.net = this;
    parts.router = this;
    parts.settings = &settings;
    return parts;
  }

  void createWindow(Application&) override { note("createWindow"); }
  void setTitle() override { note("setTitle"); }
  void leaveStillMode() override { note("leaveStillMode"); }
  void showSavedView() override { note("showSavedView"); }
  void applyLayout() override { note("applyLayout"); }
  void showTrayIcon(bool shown) override { note(shown ? "showTrayIcon" : "hideTrayIcon"); }
  void readWindowPlacement() override { note("readWindowPlacement"); }
  void destroyWindow() override { note("destroyWindow"); }
  void showThroughput(const std::string&) override {}
  void activate() override { note("activate"); }

  void load() override { note("loadDeviceTree"); }
  void scanOldRecordings() override {}
  bool hasViewable() override { return viewable; }
  void selectSavedView() override { note("selectSavedView"); }
  void startRecordingFetches() override { note("startRecordingFetches"); }
  void stopAllFetches() override { note("stopAllFetches"); }
  void destroy() override { note("destroyTree"); }
  std::string importFile(const std::string&) override { return "ok: 0 devices added"; }

  void recordStop() override { note("recordStop"); }
  void closeRecordings() override { note("closeRecordings"); }
  void startCleanupThread() override { note("startCleanupThread"); }
  bool joinCleanup(std::chrono::milliseconds) override { return cleanupEnds; }
  // Timer 3 of the window, the recorder, playback and the fetch engine alike.
  void periodic() override {}

  void openInternet() override {}
  void shutdown() override { note("fetchShutdown"); }

  void start() override { note("startPlaybackThread"); }
  void quit() override { note("quitPlayback"); }
  bool join(std::chrono::milliseconds left) override { return left.count() >= 0; }

  void startDiscovery() override { note("startNetworkScanThread"); }
  void stopDiscovery() override {}
  void startHttpServer() override { note("startHttpServer"); }
  void stopHttpServer() override {}

  void route(AppMessage& message) override {
    if (std::holds_alternative<MsgDiskUsage>(message)) ++diskUsageRouted;
  }

  bool viewable = true;
  bool cleanupEnds = true;
  int diskUsageRouted = 0;
  std::vector<std::string> calls;
  Settings settings;  // the program's, as the Core hands them

 private:
  void note(const char* step) { calls.push_back(step); }
};

// Each test gets its own folders through the XDG variables the program reads.
class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"/data", "/config", "/run"}) {
      std::filesystem::create_directories(dir_.path() + sub);
    }
    setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir_.path() + "/run").c_str(), 1);
    while (mainQueue().take()) {
    }
  }
  void TearDown() override { SetLogPath(""); }

  TempDir dir_;
  NotingParts parts_;
  std::vector<std::string>& calls_ = parts_.calls;
};

TEST_F(ApplicationTest, PartsRunInStartAndShutdownOrder) {
  Application app(parts_.parts());
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  EXPECT_EQ(calls_, (std::vector<std::string>{"loadDeviceTree", "startNetworkScanThread",
                                              "startPlaybackThread", "startCleanupThread",
                                              "selectSavedView", "startRecordingFetches"}))
      << "the HTTP server starts only when httpServer is on";
  calls_.clear();
  app.OnExit();
  EXPECT_EQ(calls_, (std::vector<std::string>{"quitPlayback", "recordStop", "closeRecordings",
                                              "fetchShutdown", "stopAllFetches", "destroyTree"}));
  EXPECT_TRUE(programSignals().shutdown.isSet());
  app.OnExit();  // a second call does nothing
  EXPECT_EQ(calls_.size(), 6u);
  app.ExitInstance();
}

// The window's steps stand at their places among the core's: created before the tree is
// read, the saved view shown after the tree selected it, the tray icon taken away and the
// placement read before the settings are saved, destroyed last.
TEST_F(ApplicationTest, WindowStepsStandAmongTheCoreSteps) {
  parts_.settings.taskbarIcon = true;
  Application app(parts_.parts(true));
  ASSERT_EQ(app.InitInstance(false), Application::StartResult::kRunning);
  EXPECT_EQ(calls_, (std::vector<std::string>{"createWindow", "setTitle", "loadDeviceTree",
                                              "leaveStillMode", "startNetworkScanThread",
                                              "startPlaybackThread", "startCleanupThread",
                                              "selectSavedView", "showSavedView", "applyLayout",
                                              "startRecordingFetches", "showTrayIcon"}));
  calls_.clear();
  app.OnExit();
  EXPECT_EQ(calls_, (std::vector<std::string>{"quitPlayback", "recordStop", "closeRecordings",
                                              "fetchShutdown", "stopAllFetches", "hideTrayIcon",
                                              "readWindowPlacement", "destroyTree",
                                              "destroyWindow"}));
  app.ExitInstance();
}

// The folders the program hands over with the parts are the ones the start-up fills and
// the application reads afterwards.
TEST_F(ApplicationTest, StartUpFillsTheFoldersHandedOverWithTheParts) {
  Paths folders;
  AppParts parts = parts_.parts();
  parts.paths = &folders;
  Application app(parts);
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  EXPECT_EQ(&app.paths(), &folders);
  const std::string data = dir_.path() + "/data/Velmora/Velmora NVR/";
  EXPECT_EQ(folders.appDataFolder, data);
  EXPECT_EQ(folders.logPath, data + "Velmora NVR.log");
  EXPECT_EQ(folders.pathData, data + "Recordings/");
  EXPECT_EQ(folders.deviceTreePath, data + "Velmora NVR.xml");
  EXPECT_NE(ReadFile(folders.logPath).find("Starting up."), std::string::npos);
  app.OnExit();
  app.ExitInstance();
}

TEST_F(ApplicationTest, EmptyTreeStartsANetworkScan) {
  programSignals().networkScan.reset();
  parts_.viewable = false;
  Application app(parts_.parts());
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  EXPECT_TRUE(programSignals().networkScan.wait(0ms));
  app.OnExit();
  app.ExitInstance();
}

TEST_F(ApplicationTest, SlowWorkersAreLoggedAndShutdownGoesOn) {
  parts_.cleanupEnds = false;
  Application app(parts_.parts());
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  app.OnExit();
  app.ExitInstance();
  std::string log = ReadFile(app.paths().logPath);
  EXPECT_NE(log.find("CleanupThread still active"), std::string::npos);
  EXPECT_EQ(log.find("PlayBackThread still active"), std::string::npos);
  EXPECT_EQ(calls_.back(), "destroyTree");
}

TEST_F(ApplicationTest, StatusTextsAreLoggedAndOtherMessagesForwarded) {
  Application app(parts_.parts());
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  PostStatus("Recording to disk failed.");
  mainQueue().post(MsgDiskUsage{});
  mainQueue().post(MsgStatusText{});
  app.tick();
  EXPECT_EQ(parts_.diskUsageRouted, 1);
  EXPECT_EQ(app.statusText(), "");
  EXPECT_NE(ReadFile(app.paths().logPath).find("]: Recording to disk failed.\r\n"), std::string::npos);
  // A repeat its sender has logged lately is shown, not logged again.
  PostStatus("Disk still full.", false);
  app.tick();
  EXPECT_EQ(app.statusText(), "Disk still full.");
  EXPECT_EQ(ReadFile(app.paths().logPath).find("Disk still full."), std::string::npos);
  app.OnExit();
  // After shutdown the queue refuses posts.
  EXPECT_FALSE(mainQueue().post(MsgStatusText{"late"}));
  app.ExitInstance();
}

TEST_F(ApplicationTest, GlobalRecordToggleSavesAndReappliesRecording) {
  Application app(parts_.parts());
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  calls_.clear();
  ASSERT_TRUE(parts_.settings.recordEnable);
  app.ToggleRecordEnable();
  EXPECT_FALSE(parts_.settings.recordEnable);
  EXPECT_EQ(calls_, (std::vector<std::string>{"recordStop", "closeRecordings", "startRecordingFetches"}));
  EXPECT_NE(ReadFile(app.paths().settingsPath).find("<add key=\"recordEnable\" value=\"false\"/>"),
            std::string::npos);
  app.OnExit();
  app.ExitInstance();
}

TEST(MessageQueueTest, FullQueueRefusesAndFreesPayload) {
  MessageQueue queue(2);
  EXPECT_TRUE(queue.post(MsgPlaying{}));
  EXPECT_TRUE(queue.post(MsgPaused{}));
  EXPECT_FALSE(queue.post(MsgOnvifDevice{"192.0.2.1", "02-5a-3c"}));
  EXPECT_EQ(queue.size(), 2u);
  ASSERT_TRUE(queue.take().has_value());
  ASSERT_TRUE(queue.take().has_value());
  EXPECT_FALSE(queue.take().has_value());
}

TEST(Throughput, MeterAveragesOverWholeSeconds) {
  ThroughputMeter meter;
  meter.start(100);
  uint64_t counter = 5000;
  EXPECT_FALSE(meter.due(100));
  ASSERT_TRUE(meter.tick(102, counter));  // 2 s: 2500 B/s shown at once
  EXPECT_EQ(meter.shown(), 2500u);
  EXPECT_EQ(counter, 0u);
  counter = 12500;
  ASSERT_TRUE(meter.tick(103, counter));
  EXPECT_EQ(meter.shown(), (2500u * 9 + 12500u) / 10);
  EXPECT_EQ(ShortByteSize(532), "532 bytes");
  EXPECT_EQ(ShortByteSize(1536), "1.50 KB");
  EXPECT_EQ(ShortByteSize(12345678), "11.7 MB");
}

}  // namespace
}  // namespace velmora
