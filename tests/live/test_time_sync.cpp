// Camera clock synchronisation against the fake camera: the post and its 401 retry,
// the three status texts, and the 12-hour rule.
#include <ctime>
#include <string>

#include "camsim_process.h"
#include "live/http_get.h"
#include "live/time_sync.h"
#include "test_fetch_support.h"
#include "test_tree.h"

using velmora::test::TestTree;

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::CamsimProcess;

class TimeSyncTest : public test::LiveTest {
 protected:
  static void SetUpTestSuite() {
    open_ = new CamsimProcess({"--cameras", "2", "--width", "64", "--height", "48", "--frames", "2", "--fault",
                               "1:status-500", "--quiet"});
    locked_ = new CamsimProcess({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--user",
                                 "admin", "--password", "pw", "--quiet"});
  }
  static void TearDownTestSuite() {
    delete open_;
    delete locked_;
  }
  void SetUp() override {
    LiveTest::SetUp();
    ASSERT_TRUE(open_->ok()) << open_->error();
    ASSERT_TRUE(locked_->ok()) << locked_->error();
    http_client_open();
  }
  void TearDown() override {
    EXPECT_TRUE(WaitTimeSyncIdle(10s));
    LiveTest::TearDown();
  }
  // What the camera's clock was last set to: "posts=N\ndate=...\ntime=...\n".
  static std::string CameraClock(const CamsimProcess& cams) {
    const HttpResult result = http_get(cams.url(0, "/camsim/datetime"), "", "");
    return std::string(result.body.begin(), result.body.end());
  }

  static CamsimProcess* open_;
  static CamsimProcess* locked_;
};

CamsimProcess* TimeSyncTest::open_ = nullptr;
CamsimProcess* TimeSyncTest::locked_ = nullptr;

TEST_F(TimeSyncTest, PostSetsTheCameraClockToTheLocalDateAndTime) {
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(time_sync_post(open_->url(0, "/jpeg.cgi"), "", ""), kTimeSyncOk);
  const std::string clock = CameraClock(*open_);
  std::tm local{};
  localtime_r(&before, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  EXPECT_NE(clock.find("posts=1\n"), std::string::npos) << clock;
  EXPECT_NE(clock.find(std::string("date=") + date), std::string::npos) << clock;
  EXPECT_FALSE(LogHas("HTTP_STATUS_DENIED"));
}

TEST_F(TimeSyncTest, CredentialsAreSentAfterA401AndRefusedOnesGiveMinusTwo) {
  EXPECT_EQ(time_sync_post(locked_->url(0, "/jpeg.cgi"), "admin", "pw"), kTimeSyncOk);
  EXPECT_TRUE(LogHas("HTTP_STATUS_DENIED"));
  EXPECT_NE(CameraClock(*locked_).find("posts=1\n"), std::string::npos);
  EXPECT_EQ(time_sync_post(locked_->url(0, "/jpeg.cgi"), "admin", "wrong"), kTimeSyncDenied);
  EXPECT_EQ(time_sync_post(locked_->url(0, "/jpeg.cgi"), "", ""), kTimeSyncDenied);
  EXPECT_NE(CameraClock(*locked_).find("posts=1\n"), std::string::npos);
}

TEST_F(TimeSyncTest, OtherFailuresGiveMinusOne) {
  EXPECT_EQ(time_sync_post(open_->url(1, "/jpeg.cgi"), "", ""), kTimeSyncFailed) << "status 500";
  EXPECT_EQ(time_sync_post("file:///tmp/camera", "", ""), kTimeSyncFailed);
  EXPECT_EQ(time_sync_post("not a url", "", ""), kTimeSyncFailed);
  // A port nobody listens on (the fake camera stopped on it).
  CamsimProcess gone({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "1", "--quiet"});
  ASSERT_TRUE(gone.ok());
  const std::string url = gone.url(0, "/jpeg.cgi");
  gone.Stop();
  EXPECT_EQ(time_sync_post(url, "", ""), kTimeSyncFailed);
}

TEST_F(TimeSyncTest, StatusTextsTellTheOutcome) {
  time_sync_thread(open_->url(0, "/jpeg.cgi"), "", "");
  time_sync_thread(locked_->url(0, "/jpeg.cgi"), "admin", "bad");
  time_sync_thread(open_->url(1, "/jpeg.cgi"), "", "");
  EXPECT_EQ(TakeStatusTexts(), (std::vector<std::string>{
                                   "Synced time on " + open_->url(0, "/jpeg.cgi") + ".",
                                   "Unable to sync device time, authentication failure.",
                                   "Unable to sync device time.",
                               }));
}

TEST_F(TimeSyncTest, DevicesAreSyncedAtMostOnceEvery12HoursWhateverTheOutcome) {
  auto camera = CreateRecord(EntryKind::Device, "cam");
  camera->location = "127.0.0.1:" + std::to_string(open_->port(0));
  camera->syncTime = true;
  auto failing = CreateRecord(EntryKind::Device, "bad");
  failing->location = "127.0.0.1:" + std::to_string(open_->port(1));
  failing->syncTime = true;

  const int64_t start = 1700000000;
  time_sync_check(*camera, start);
  time_sync_check(*failing, start);
  ASSERT_TRUE(WaitTimeSyncIdle(10s));
  EXPECT_EQ(camera->lastTimeSync, start);
  EXPECT_EQ(failing->lastTimeSync, start);
  EXPECT_EQ(TakeStatusTexts().size(), 2u);
  EXPECT_TRUE(LogHas("Synchronizing time on 127.0.0.1:"));

  time_sync_check(*camera, start + kTimeSyncIntervalSeconds - 1);
  time_sync_check(*failing, start + kTimeSyncIntervalSeconds - 1);
  EXPECT_EQ(TimeSyncRunning(), 0);
  EXPECT_TRUE(TakeStatusTexts().empty());

  time_sync_check(*camera, start + kTimeSyncIntervalSeconds);
  ASSERT_TRUE(WaitTimeSyncIdle(10s));
  EXPECT_EQ(TakeStatusTexts(), std::vector<std::string>{"Synced time on http://" + camera->location + "/jpeg.cgi."});

  camera->syncTime = false;
  time_sync_check(*camera, start + 10 * kTimeSyncIntervalSeconds);
  EXPECT_EQ(TimeSyncRunning(), 0);
}

TEST_F(TimeSyncTest, TheWalkSyncsVideoServersThroughTheirOwnAddressOnly) {
  TestTree().root = CreateRecord(EntryKind::Root, kRootName);
  auto nvr = CreateRecord(EntryKind::LocalNVR, "nvr");
  InsertEntry(TestTree().root.get(), nvr);
  auto server = CreateRecord(EntryKind::ServerDevice, "server");
  server->location = "127.0.0.1:" + std::to_string(open_->port(0));
  server->syncTime = true;
  server->enabled = true;
  InsertEntry(nvr.get(), server);
  auto input = CreateRecord(EntryKind::ServerCamera, "input");
  input->location = server->location;
  input->syncTime = true;
  input->enabled = true;
  InsertEntry(server.get(), input);
  auto disabled = CreateRecord(EntryKind::Device, "disabled");
  disabled->location = server->location;
  disabled->syncTime = true;
  InsertEntry(nvr.get(), disabled);

  FetchPeriodic(TestTree().root.get(), Notices());
  ASSERT_TRUE(WaitTimeSyncIdle(10s));
  EXPECT_EQ(TakeStatusTexts(), std::vector<std::string>{"Synced time on http://" + server->location + "."});
  EXPECT_EQ(input->lastTimeSync, 0);
  EXPECT_EQ(disabled->lastTimeSync, 0);
}

TEST(TimeSyncBody, FormFieldsOfTheLocalTime) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 1;
  t.tm_mday = 29;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(TimeSyncBody(t), "mode=manual&date=2024-02-29&time=07:05:09");
}

}  // namespace
}  // namespace velmora
