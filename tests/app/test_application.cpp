#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/events.h"
#include "app/log.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "temp_dir.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TempDir;

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
    settings() = Settings();
    while (mainQueue().take()) {
    }
  }
  void TearDown() override { SetLogPath(""); }

  // Records the order in which the hooks run.
  void recordHooks(Application& app) {
    auto& h = app.hooks();
    auto note = [this](const char* name) { return [this, name] { calls_.push_back(name); }; };
    h.loadDeviceTree = note("loadDeviceTree");
    h.startNetworkScanThread = note("startNetworkScanThread");
    h.startPlaybackThread = note("startPlaybackThread");
    h.startCleanupThread = note("startCleanupThread");
    h.selectSavedView = note("selectSavedView");
    h.startRecordingFetches = note("startRecordingFetches");
    h.startHttpServer = note("startHttpServer");
    h.quitPlayback = note("quitPlayback");
    h.recordStop = note("recordStop");
    h.closeRecordings = note("closeRecordings");
    h.fetchShutdown = note("fetchShutdown");
    h.stopAllFetches = note("stopAllFetches");
    h.destroyTree = note("destroyTree");
    h.treeHasViewable = [] { return true; };
  }

  TempDir dir_;
  std::vector<std::string> calls_;
};

TEST_F(ApplicationTest, HooksRunInStartAndShutdownOrder) {
  Application app;
  recordHooks(app);
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  EXPECT_EQ(calls_, (std::vector<std::string>{"loadDeviceTree", "startNetworkScanThread",
                                              "startPlaybackThread", "startCleanupThread",
                                              "selectSavedView", "startRecordingFetches"}))
      << "the HTTP server starts only when httpServer is on";
  calls_.clear();
  app.OnExit();
  EXPECT_EQ(calls_, (std::vector<std::string>{"quitPlayback", "recordStop", "closeRecordings",
                                              "fetchShutdown", "stopAllFetches", "destroyTree"}));
  EXPECT_TRUE(shutdownEvent().isSet());
  app.OnExit();  // a second call does nothing
  EXPECT_EQ(calls_.size(), 6u);
  app.ExitInstance();
}

TEST_F(ApplicationTest, EmptyTreeStartsANetworkScan) {
  networkScanEvent().reset();
  Application app;
  app.hooks().treeHasViewable = [] { return false; };
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  EXPECT_TRUE(networkScanEvent().wait(0ms));
  app.OnExit();
  app.ExitInstance();
}

TEST_F(ApplicationTest, SlowWorkersAreLoggedAndShutdownGoesOn) {
  Application app;
  bool treeDestroyed = false;
  app.hooks().joinCleanup = [](std::chrono::milliseconds) { return false; };
  app.hooks().joinPlayback = [](std::chrono::milliseconds left) { return left.count() >= 0; };
  app.hooks().destroyTree = [&] { treeDestroyed = true; };
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  app.OnExit();
  app.ExitInstance();
  std::string log = ReadFile(paths().logPath);
  EXPECT_NE(log.find("CleanupThread still active"), std::string::npos);
  EXPECT_EQ(log.find("PlayBackThread still active"), std::string::npos);
  EXPECT_TRUE(treeDestroyed);
}

TEST_F(ApplicationTest, StatusTextsAreLoggedAndOtherMessagesForwarded) {
  Application app;
  int forwarded = 0;
  app.hooks().onMessage = [&](AppMessage& message) {
    if (std::holds_alternative<MsgDiskUsage>(message)) ++forwarded;
  };
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  PostStatus("Recording to disk failed.");
  mainQueue().post(MsgDiskUsage{});
  mainQueue().post(MsgStatusText{});
  app.tick();
  EXPECT_EQ(forwarded, 1);
  EXPECT_EQ(app.statusText(), "");
  EXPECT_NE(ReadFile(paths().logPath).find("]: Recording to disk failed.\r\n"), std::string::npos);
  // A repeat its sender has logged lately is shown, not logged again.
  PostStatus("Disk still full.", false);
  app.tick();
  EXPECT_EQ(app.statusText(), "Disk still full.");
  EXPECT_EQ(ReadFile(paths().logPath).find("Disk still full."), std::string::npos);
  app.OnExit();
  // After shutdown the queue refuses posts.
  EXPECT_FALSE(mainQueue().post(MsgStatusText{"late"}));
  app.ExitInstance();
}

TEST_F(ApplicationTest, GlobalRecordToggleSavesAndReappliesRecording) {
  Application app;
  recordHooks(app);
  ASSERT_EQ(app.InitInstance(true), Application::StartResult::kRunning);
  calls_.clear();
  ASSERT_TRUE(settings().recordEnable);
  app.ToggleRecordEnable();
  EXPECT_FALSE(settings().recordEnable);
  EXPECT_EQ(calls_, (std::vector<std::string>{"recordStop", "closeRecordings", "startRecordingFetches"}));
  EXPECT_NE(ReadFile(paths().settingsPath).find("<add key=\"recordEnable\" value=\"false\"/>"),
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
