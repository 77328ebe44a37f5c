// The fetch engine against the fake camera server on loopback: the connection states
// and their messages, the periodic reconnect rules driven by a test clock, every camera
// fault, stale completions after a drop, and the worker pool's start and stop.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "camsim_process.h"
#include "live/fetch_lifecycle.h"
#include "live/h264.h"
#include "platform/clock.h"
#include "test_fetch_support.h"
#include "test_tree.h"

using velmora::test::TestTree;

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::CamsimProcess;
using test::LiveTest;
using test::WaitUntil;

constexpr int kWidth = 160;
constexpr int kHeight = 120;

// Camera numbers of the shared fake server.
constexpr int kPlainCamera = 0;
constexpr int kStopCamera = 1;  // three frames, then silence
constexpr int kEncryptedCamera = 2;
constexpr int kMotionCamera = 3;
constexpr int kPaddedCamera = 4;  // 16 zero bytes in front of every end marker
constexpr int kExifCamera = 5;    // an EXIF thumbnail (FF D8 ... FF D9) inside every frame

// The tick the retry rules read; the tests move it. The time of day starts at the real one.
platform::ManualClock g_clock;

// A loopback port nobody listens on: connecting to it is refused.
uint16_t ClosedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  uint16_t port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(s);
  return port;
}

class FetchTest : public LiveTest {
 protected:
  static void SetUpTestSuite() {
    cams_ = new CamsimProcess({"--cameras", "6", "--pad", "4", "--exif", "5", "--width", std::to_string(kWidth), "--height",
                               std::to_string(kHeight), "--frames", "8", "--fault", "1:stop", "--encrypt", "2",
                               "--motion", "3:tagged", "--stall-ms", "4000", "--byte-interval-us", "20",
                               "--quiet"});
  }
  static void TearDownTestSuite() {
    delete cams_;
    cams_ = nullptr;
  }

  void SetUp() override {
    LiveTest::SetUp();
    ASSERT_TRUE(cams_->ok()) << cams_->error();
    FetchOptions options;
    options.connectTimeoutMs = 3000;
    options.sendTimeoutMs = 3000;
    options.headerTimeoutMs = 3000;
    options.stallTimeoutMs = 3000;
    SetFetchOptions(options);
    g_clock.setSteadyMs(100000);
    g_clock.setWallMs(platform::SystemClock().wallMs());
    useClock_.emplace(g_clock);
  }

  void TearDown() override {
    for (auto& record : records_) viewthread_refresh(*record, false);
    EXPECT_TRUE(WaitUntil([] { return FetchConnectionsAlive() == 0; }, 5s))
        << FetchConnectionsAlive() << " connection objects were never freed";
    if (TestTree().root) StopAllFetches(TestTree().root.get());
    records_.clear();
    useClock_.reset();
    SetFetchOptions(FetchOptions());
    LiveTest::TearDown();
  }

  static std::string Location(int camera) { return "127.0.0.1:" + std::to_string(cams_->port(camera)); }

  // A fetched device shown in `slot`.
  std::shared_ptr<GroupRecord> Device(const std::string& name, const std::string& location, uint32_t updateDelay,
                                      int slot, int32_t kind = EntryKind::Device) {
    auto record = CreateRecord(kind, name);
    record->location = location;
    record->updateDelay = updateDelay;
    record->enabled = true;
    record->fetchActive = true;
    record->viewIndex = slot;
    record->shownIn = &TestViewSlots();
    record->fetchIndex = slot;
    record->path = name;
    if (slot >= 0) TestViewSlots().SetCaptionAndClear(slot, "Connecting to " + name);
    records_.push_back(record);
    return record;
  }

  template <class Fn>
  static auto Locked(GroupRecord& record, Fn fn) {
    std::lock_guard<std::mutex> guard(record.fetchLock);
    return fn(record);
  }
  static int Frames(GroupRecord& r) {
    return Locked(r, [](GroupRecord& g) { return g.frameCount; });
  }
  static void* Connection(GroupRecord& r) {
    return Locked(r, [](GroupRecord& g) { return static_cast<void*>(g.live.connection.get()); });
  }
  static uint32_t LastTick(GroupRecord& r) {
    return Locked(r, [](GroupRecord& g) { return g.lastUpdateTick; });
  }
  static int Socket(GroupRecord& r) {
    return Locked(r, [](GroupRecord& g) { return g.live.socket; });
  }
  static bool WaitFrames(GroupRecord& r, int count, std::chrono::milliseconds timeout = 5s) {
    return WaitUntil([&r, count] { return Frames(r) >= count; }, timeout);
  }
  static bool WaitText(int slot, const std::string& text, std::chrono::milliseconds timeout = 5s) {
    return WaitUntil([slot, &text] { return TestViewSlots().Text(slot) == text; }, timeout);
  }
  static int SlotWidth(int slot) {
    int width = -1;
    TestViewSlots().at(slot)->Read([&width](const ViewSlotState& s) {
      if (s.image != nullptr && s.image->image) width = s.image->image->width();
    });
    return width;
  }

  static CamsimProcess* cams_;
  std::vector<std::shared_ptr<GroupRecord>> records_;
  std::optional<platform::ScopedClock> useClock_;  // g_clock, from SetUp to TearDown
};

CamsimProcess* FetchTest::cams_ = nullptr;

// --- reconnect rules -----------------------------------------------------------

TEST_F(FetchTest, SnapshotIsFetchedAgainWhenTheDelayHasPassedSinceTheLastActivity) {
  auto cam = Device("Door", Location(kPlainCamera), 2000, 0);
  viewthread_iocp(*cam);
  // One frame, then the camera closes: the connection is finished but still present.
  ASSERT_TRUE(WaitUntil([&] { return Frames(*cam) == 1 && Socket(*cam) == -1; }, 5s)) << LogText();
  EXPECT_NE(Connection(*cam), nullptr);
  EXPECT_EQ(SlotWidth(0), kWidth);
  EXPECT_EQ(TestViewSlots().Text(0).rfind("Door", 0), 0u);
  const std::vector<bool> errors = TakeFetchErrors();
  ASSERT_FALSE(errors.empty());
  EXPECT_FALSE(errors.back());

  const uint32_t last = LastTick(*cam);
  g_clock.setSteadyMs(last + 1999);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr) << "not due yet";
  g_clock.setSteadyMs(last + 2000);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr) << "the finished connection is dropped";
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr) << "the next tick reconnects";
  EXPECT_TRUE(WaitFrames(*cam, 2));
  EXPECT_FALSE(TestViewSlots().ErrorMark(0));
}

TEST_F(FetchTest, StalledStreamIsDroppedAfterOneSecondAndReconnected) {
  auto cam = Device("Yard", Location(kStopCamera), 0, 1);
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitFrames(*cam, 3));
  const uint32_t last = LastTick(*cam);
  g_clock.setSteadyMs(last + 999);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  g_clock.setSteadyMs(last + 1000);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr);
  // The receive still pending on the dropped connection ends with an abort.
  EXPECT_TRUE(WaitText(1, "Connection lost")) << TestViewSlots().Text(1);
  EXPECT_TRUE(TestViewSlots().ErrorMark(1));
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  EXPECT_TRUE(WaitFrames(*cam, 6));
  EXPECT_FALSE(TestViewSlots().ErrorMark(1));
}

TEST_F(FetchTest, CameraThatTakesSecondsForItsFirstFrameIsGivenTheConnectTimeOutThenTheOneSecondRule) {
  // The camera answers at once, then starts its encoder: 3 s to the first frame, three
  // frames, then silence.
  CamsimProcess own({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--first-frame-delay-ms",
                     "3000", "--fault", "0:stop", "--stop-after", "3", "--stall-ms", "20000", "--quiet"});
  ASSERT_TRUE(own.ok()) << own.error();
  FetchOptions options = GetFetchOptions();
  options.connectTimeoutMs = 10000;
  options.headerTimeoutMs = 10000;
  options.stallTimeoutMs = 10000;
  SetFetchOptions(options);
  auto cam = Device("Encoder", "127.0.0.1:" + std::to_string(own.port(0)), 0, 27);
  const auto headerRead = [&cam] {
    return WaitUntil([&cam] { return Locked(*cam, [](GroupRecord& r) { return r.live.fetchState == STATE_READING; }); },
                     5s);
  };
  const auto connectTick = [&cam] { return Locked(*cam, [](GroupRecord& r) { return r.live.connectTick; }); };

  viewthread_iocp(*cam);
  ASSERT_TRUE(headerRead()) << LogText();
  ASSERT_EQ(Frames(*cam), 0);
  void* first = Connection(*cam);
  // The header made the device one that delivers, yet a second without a frame is no
  // stall before the first frame.
  g_clock.setSteadyMs(LastTick(*cam) + 1000);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), first) << "dropped by the one-second rule before its first frame";
  g_clock.setSteadyMs(connectTick() + options.connectTimeoutMs - 1);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), first);
  ASSERT_TRUE(WaitFrames(*cam, 3, 10s)) << LogText();
  EXPECT_FALSE(TestViewSlots().ErrorMark(27)) << TestViewSlots().Text(27);
  EXPECT_EQ(Connection(*cam), first);

  // From the first frame on, a second of silence drops the stream.
  g_clock.setSteadyMs(LastTick(*cam) + 999);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), first);
  g_clock.setSteadyMs(LastTick(*cam) + 1000);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr);

  // The next connection waits for its own first frame again, up to the connect time-out.
  viewthread_check_update(*cam);
  void* second = Connection(*cam);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(headerRead()) << LogText();
  g_clock.setSteadyMs(LastTick(*cam) + 1000);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), second);
  g_clock.setSteadyMs(connectTick() + options.connectTimeoutMs);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr) << "a first frame that never comes ends at the connect time-out";
}

TEST_F(FetchTest, RefusedCameraShowsUnableToConnectAndIsRetriedEvery30Seconds) {
  auto cam = Device("Gate", "127.0.0.1:" + std::to_string(ClosedPort()), 0, 2);
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitText(2, "Unable to connect")) << LogText();
  EXPECT_TRUE(TestViewSlots().ErrorMark(2));
  EXPECT_EQ(TakeFetchErrors(), std::vector<bool>{true});
  EXPECT_TRUE(LogHas("; GetQueuedCompletionStatus failed (111: "));
  void* first = Connection(*cam);
  ASSERT_NE(first, nullptr) << "the failed connection stays present until the check drops it";

  const uint32_t last = LastTick(*cam);
  g_clock.setSteadyMs(last + 29999);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), first);
  g_clock.setSteadyMs(last + 30000);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr);
  TestViewSlots().SetText(2, "");
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  EXPECT_TRUE(WaitText(2, "Unable to connect"));
  EXPECT_TRUE(WaitUntil([] { return FetchConnectionsAlive() == 1; }, 3s)) << "the first attempt was freed";
}

TEST_F(FetchTest, CameraGoneAfterDeliveringShowsConnectionLostAndIsRetriedAfterItsDelay) {
  CamsimProcess own({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--quiet"});
  ASSERT_TRUE(own.ok()) << own.error();
  auto cam = Device("Porch", "127.0.0.1:" + std::to_string(own.port(0)), 1500, 3);
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitUntil([&] { return Frames(*cam) == 1 && Socket(*cam) == -1; }, 5s));
  own.Stop();

  const uint32_t last = LastTick(*cam);
  g_clock.setSteadyMs(last + 1499);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  g_clock.setSteadyMs(last + 1500);
  viewthread_check_update(*cam);
  viewthread_check_update(*cam);
  ASSERT_NE(Connection(*cam), nullptr);
  EXPECT_TRUE(WaitText(3, "Connection lost")) << TestViewSlots().Text(3);
  EXPECT_TRUE(TestViewSlots().ErrorMark(3));

  // Refused again: with a connection present the silence limit is the delay.
  const uint32_t again = LastTick(*cam);
  g_clock.setSteadyMs(again + 1499);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  g_clock.setSteadyMs(again + 1500);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr);
}

TEST_F(FetchTest, RetryRuleHoldsAcrossTheWrapOfTheMillisecondTick) {
  auto cam = Device("Wrap", "127.0.0.1:" + std::to_string(ClosedPort()), 2000, 4);
  Locked(*cam, [](GroupRecord& r) {
    r.receivedData = true;
    r.lastUpdateTick = 0xFFFFFF00u;
    return 0;
  });
  g_clock.setSteadyMs(0x00000100u);  // 512 ms later, after the wrap
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr) << "not due after 512 ms";
  g_clock.setSteadyMs(0xFFFFFF00u + 2000u);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr) << "due 2000 ms after the last activity";
  EXPECT_TRUE(WaitText(4, "Connection lost"));
}

TEST_F(FetchTest, ForcedRefreshConnectsOnlyWhenNothingIsConnected) {
  auto cam = Device("Shed", Location(kPlainCamera), 5000, 5);
  viewthread_refresh(*cam, false);
  EXPECT_EQ(Connection(*cam), nullptr);
  viewthread_refresh(*cam, true);
  EXPECT_NE(Connection(*cam), nullptr);
  ASSERT_TRUE(WaitFrames(*cam, 1));
  viewthread_refresh(*cam, true);
  EXPECT_EQ(Connection(*cam), nullptr) << "with a connection, even a forced refresh only drops it";
  EXPECT_TRUE(Locked(*cam, [](GroupRecord& r) { return r.live.restartPending; }));
}

// --- faults ------------------------------------------------------------------------

struct FaultCase {
  const char* fault;
  const char* text;  // expected slot text, or null
  const char* log;   // expected log text, or null
};

TEST_F(FetchTest, EveryCameraFaultEndsInItsMessageAndAReconnect) {
  const FaultCase cases[] = {
      {"status-401", "HTTP 401 Unauthorized", nullptr},
      {"status-404", "HTTP 404 Not", nullptr},
      {"status-500", "HTTP 500 Internal", nullptr},
      {"garbage", "Missing JPEG start marker", nullptr},
      {"big-header", nullptr, "viewthread_iocp_state_header: BAD HEADER;"},
      {"big-frame", nullptr, "; BAD LENGTH; vto="},
      {"close-mid-frame", nullptr, "IOCP["},
      {"refuse", nullptr, "disconnecting from Fault-refuse"},
      {"stall", "Connection lost", nullptr},
      {"slow", nullptr, nullptr},
  };
  int slot = 10;
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string name = std::string("Fault-") + c.fault;
    auto cam = Device(name, "http://127.0.0.1:" + std::to_string(cams_->port(kPlainCamera)) +
                                "/nph-mjpeg.cgi?fps=25&fault=" + c.fault,
                      0, slot, EntryKind::HTTPDevice);
    cam->debugLevel = 1;
    viewthread_iocp(*cam);
    const std::string fault = c.fault;
    if (fault == "stall") {
      // Nothing ever arrives: after 30 s the periodic check drops the connection.
      std::this_thread::sleep_for(100ms);
      g_clock.setSteadyMs(LastTick(*cam) + 30000);
      viewthread_check_update(*cam);
      EXPECT_EQ(Connection(*cam), nullptr);
    }
    if (c.text != nullptr) {
      EXPECT_TRUE(WaitText(slot, c.text)) << TestViewSlots().Text(slot);
    }
    if (c.log != nullptr) {
      EXPECT_TRUE(WaitUntil([&] { return LogHas(c.log); }, 5s));
    }
    if (fault == "close-mid-frame") {
      EXPECT_TRUE(WaitUntil([&] { return Frames(*cam) == 2 && Socket(*cam) == -1; }, 5s));
    } else if (fault == "slow") {
      EXPECT_TRUE(WaitFrames(*cam, 1, 10s));
    } else if (fault != "stall") {
      // Every other fault ends with this side closing the connection.
      EXPECT_TRUE(WaitUntil([&] { return Socket(*cam) == -1; }, 5s));
      EXPECT_EQ(Frames(*cam), 0);
    }
    // The periodic check drops what is left of the connection, and the next one
    // reconnects. A camera still sending (slowly) may note its tick at the moved clock
    // between the move and the check, so the clock moves again until a check finds the
    // 30 s of silence, as later checks of the program would.
    if (Connection(*cam) != nullptr) {
      EXPECT_TRUE(WaitUntil(
          [&] {
            g_clock.setSteadyMs(LastTick(*cam) + 30000);
            viewthread_check_update(*cam);
            return Connection(*cam) == nullptr;
          },
          5s));
    }
    g_clock.setSteadyMs(LastTick(*cam) + 30000);
    viewthread_check_update(*cam);
    EXPECT_NE(Connection(*cam), nullptr) << LogText();
    viewthread_refresh(*cam, false);
    ++slot;
  }
}

TEST_F(FetchTest, SilentCameraIsCutOffByItsTimeOutEvenWithoutThePeriodicCheck) {
  FetchOptions options = GetFetchOptions();
  options.headerTimeoutMs = 300;
  options.stallTimeoutMs = 300;
  SetFetchOptions(options);
  auto silent = Device("Silent", "http://" + Location(kPlainCamera) + "/nph-mjpeg.cgi?fault=stall", 0, 25,
                       EntryKind::HTTPDevice);
  viewthread_iocp(*silent);
  EXPECT_TRUE(WaitText(25, "Connection lost"));
  EXPECT_TRUE(WaitUntil([&] { return Socket(*silent) == -1; }, 3s));
  EXPECT_TRUE(LogHas("Silent; GetQueuedCompletionStatus failed (110: "));
  EXPECT_NE(Connection(*silent), nullptr) << "the periodic check still owns the reconnect";

  // A stream that stops after three frames is cut off the same way.
  auto stopping = Device("Stopping", Location(kStopCamera), 0, 26);
  viewthread_iocp(*stopping);
  ASSERT_TRUE(WaitFrames(*stopping, 3));
  EXPECT_TRUE(WaitText(26, "Connection lost"));
  EXPECT_TRUE(WaitUntil([&] { return Socket(*stopping) == -1; }, 3s));
}

// --- connections and completions ----------------------------------------------

TEST_F(FetchTest, CompletionsOfDroppedConnectionsNeverTouchTheNewOne) {
  auto cam = Device("Hall", Location(kPlainCamera), 40, 20);
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitFrames(*cam, 2));
  for (int i = 0; i < 30; ++i) {
    viewthread_refresh(*cam, false);
    viewthread_iocp(*cam);
    if (i % 10 == 0) std::this_thread::sleep_for(5ms);
  }
  const int frames = Frames(*cam);
  EXPECT_TRUE(WaitFrames(*cam, frames + 5)) << "the newest connection keeps delivering";
  EXPECT_TRUE(WaitUntil([] { return FetchConnectionsAlive() == 1; }, 5s)) << FetchConnectionsAlive();
  const int socket = Socket(*cam);
  EXPECT_NE(socket, -1);
  EXPECT_NE(::fcntl(socket, F_GETFD), -1) << "the current socket is still open";
  EXPECT_TRUE(WaitFrames(*cam, Frames(*cam) + 3));
}

TEST_F(FetchTest, RecorderGetsEveryDecodedFrameWithItsHeadroom) {
  std::atomic<int> recorded{0};
  std::atomic<bool> bad{false};
  upper_.onRecordFrame = [&](GroupRecord& r, ImageHolder& holder, uint8_t* headroom, std::size_t length) {
    const uint8_t* begin = r.live.streamBuffer.data();
    const uint8_t* jpeg = headroom + kStreamHeadroom;
    if (headroom < begin || jpeg + length + kStreamTrailer > begin + r.live.streamBuffer.size()) bad = true;
    if (jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[length - 2] != 0xFF || jpeg[length - 1] != 0xD9) bad = true;
    if (!holder.image || holder.image->width() != kWidth) bad = true;
    ++recorded;
  };
  auto cam = Device("Lab", Location(kMotionCamera), 40, -1);
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitUntil([&] { return recorded >= 5; }, 5s));
  EXPECT_FALSE(bad);
  EXPECT_TRUE(TakeFetchErrors().empty()) << "a device without a slot posts nothing";
}

TEST_F(FetchTest, EncryptedCameraFramesAreDecryptedAndShown) {
  auto cam = Device("Vault", Location(kEncryptedCamera), 40, 21);
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitFrames(*cam, 5)) << LogText();
  EXPECT_EQ(SlotWidth(21), kWidth);
  EXPECT_FALSE(LogHas("ImageFromBuffer failed"));
}

TEST_F(FetchTest, PaddedAndExifFramesAreShownAndRecordedWhole) {
  std::atomic<int> recorded{0};
  std::atomic<bool> bad{false};
  upper_.onRecordFrame = [&](GroupRecord&, ImageHolder& holder, uint8_t*, std::size_t length) {
    // A frame cut at the thumbnail's end would be a few hundred bytes and 20 wide.
    if (!holder.image || holder.image->width() != kWidth || length < 1000) bad = true;
    ++recorded;
  };
  auto padded = Device("Padded", Location(kPaddedCamera), 40, 23);
  auto exif = Device("Exif", Location(kExifCamera), 40, 24);
  auto snapshot = Device("ExifSnap", Location(kExifCamera), 1000, 25);
  viewthread_iocp(*padded);
  viewthread_iocp(*exif);
  viewthread_iocp(*snapshot);
  ASSERT_TRUE(WaitFrames(*padded, 5)) << LogText();
  ASSERT_TRUE(WaitFrames(*exif, 5)) << LogText();
  ASSERT_TRUE(WaitFrames(*snapshot, 1)) << LogText();
  EXPECT_FALSE(bad);
  for (int slot : {23, 24, 25}) {
    EXPECT_EQ(SlotWidth(slot), kWidth);
    EXPECT_FALSE(TestViewSlots().ErrorMark(slot));
  }
  EXPECT_FALSE(LogHas("ImageFromBuffer")) << LogText();
  EXPECT_FALSE(LogHas("fetch error for"));
}

// How often `needle` occurs in `text`.
int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST_F(FetchTest, RefusedCredentialsWaitThirtySecondsAndEveryChangeIsLoggedOnceWithoutThePassword) {
  CamsimProcess own({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--user", "admin",
                     "--password", "right-7Z", "--quiet"});
  ASSERT_TRUE(own.ok()) << own.error();
  const std::string rest = "@127.0.0.1:" + std::to_string(own.port(0)) + "/nph-mjpeg.cgi?fps=20";
  // A web image with its credentials in its URL, recorded without a tile (headless).
  auto cam = Device("Web", "http://admin:wrong-9Q" + rest, 0, -1, EntryKind::HTTPDevice);
  cam->debugLevel = 4;
  const std::string refused = "fetch error for Web [http://admin:***" + rest + "]: HTTP 401 Unauthorized";
  const std::string answer = "HTTP response [HTTP/1.0 401 Unauthorized]";
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitUntil([&] { return LogHas(refused) && Socket(*cam) == -1; }, 5s)) << LogText();

  // A stream that delivered is normally dropped after a second of silence; a refusal
  // waits 30 s, as a camera that cannot be reached.
  uint32_t last = LastTick(*cam);
  g_clock.setSteadyMs(last + 1000);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  g_clock.setSteadyMs(last + 29999);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  g_clock.setSteadyMs(last + 30000);
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), nullptr);
  viewthread_check_update(*cam);
  ASSERT_TRUE(WaitUntil([&] { return Count(LogText(), answer) == 2 && Socket(*cam) == -1; }, 5s)) << LogText();
  EXPECT_EQ(Count(LogText(), "fetch error for Web"), 1) << "the same error is logged once";

  // The password is corrected: the next attempt, 30 s on, delivers frames.
  Locked(*cam, [&rest](GroupRecord& r) {
    r.location = "http://admin:right-7Z" + rest;
    return 0;
  });
  last = LastTick(*cam);
  g_clock.setSteadyMs(last + 29999);
  viewthread_check_update(*cam);
  EXPECT_NE(Connection(*cam), nullptr);
  g_clock.setSteadyMs(last + 30000);
  viewthread_check_update(*cam);
  viewthread_check_update(*cam);
  ASSERT_TRUE(WaitFrames(*cam, 3)) << LogText();
  EXPECT_FALSE(Locked(*cam, [](GroupRecord& r) { return r.live.accessRefused; }));
  const std::string log = LogText();
  EXPECT_EQ(Count(log, "fetch recovered for Web [http://admin:***" + rest + "] after: HTTP 401 Unauthorized"), 1);
  EXPECT_EQ(Count(log, "fetch error for"), 1);
  EXPECT_NE(log.find("Authorization: Basic ***"), std::string::npos);
  EXPECT_EQ(log.find("wrong-9Q"), std::string::npos);
  EXPECT_EQ(log.find("right-7Z"), std::string::npos);
  EXPECT_EQ(log.find("YWRtaW46"), std::string::npos) << "nor the encoded credentials";
}

TEST_F(FetchTest, H264WebImageShowsAPlaceholderPerSeiUnit) {
  std::atomic<int> recorded{0};
  upper_.onRecordFrame = [&](GroupRecord&, ImageHolder&, uint8_t*, std::size_t) { ++recorded; };
  auto cam = Device("Street", "http://127.0.0.1:" + std::to_string(cams_->port(kPlainCamera)) + "/video/nph-h264.cgi",
                    0, 22, EntryKind::HTTPDevice);
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitFrames(*cam, 4)) << LogText();
  EXPECT_EQ(SlotWidth(22), kH264PlaceholderWidth);
  EXPECT_EQ(recorded, 0);
}

TEST_F(FetchTest, NamesAreResolvedBeforeConnecting) {
  std::ifstream hosts("/etc/hosts");
  std::string text((std::istreambuf_iterator<char>(hosts)), std::istreambuf_iterator<char>());
  if (text.find("127.0.0.1") == std::string::npos || text.find("localhost") == std::string::npos) {
    GTEST_SKIP() << "localhost is not in /etc/hosts";
  }
  auto cam = Device("Named", "localhost:" + std::to_string(cams_->port(kPlainCamera)), 2000, 23);
  cam->debugLevel = 1;
  viewthread_iocp(*cam);
  EXPECT_TRUE(WaitFrames(*cam, 1)) << LogText();
  EXPECT_TRUE(LogHas("IOCP: getting IP address for 'localhost'..."));
  EXPECT_TRUE(LogHas("connecting to 127.0.0.1:"));
}

// --- tree walk and view assignment ---------------------------------------------

class FetchTreeTest : public FetchTest {
 protected:
  void SetUp() override {
    FetchTest::SetUp();
    ASSERT_TRUE(InstallAs<DeviceFetch>(engine_, installed_));
    TestTree().root = CreateRecord(EntryKind::Root, kRootName);
    nvr_ = Add(TestTree().root.get(), EntryKind::LocalNVR, "This NVR");
    groupA_ = Add(nvr_.get(), EntryKind::Group, "A");
    groupB_ = Add(nvr_.get(), EntryKind::Group, "B");
  }
  std::shared_ptr<GroupRecord> Add(GroupRecord* parent, int32_t kind, const std::string& name) {
    auto record = CreateRecord(kind, name);
    record->path = ComputePath(parent, kind, name);
    InsertEntry(parent, record);
    return record;
  }
  std::shared_ptr<GroupRecord> Camera(GroupRecord* parent, const std::string& name, uint32_t delay = 5000) {
    auto record = Add(parent, EntryKind::Device, name);
    record->location = Location(kPlainCamera);
    record->updateDelay = delay;
    record->enabled = true;
    records_.push_back(record);
    return record;
  }
  std::shared_ptr<GroupRecord> nvr_, groupA_, groupB_;
  EngineDeviceFetch engine_;
};

TEST_F(FetchTreeTest, ShowingNodesStartsReusesAndStopsFetches) {
  auto cam1 = Camera(groupA_.get(), "cam1");
  auto cam2 = Camera(groupA_.get(), "cam2");
  auto off = Camera(groupA_.get(), "off");
  off->enabled = false;
  auto cam3 = Camera(groupB_.get(), "cam3");

  ViewAssignment shown = ShowNodeInSlots(TestTree().root.get(), groupA_.get(), TestViewSlots());
  EXPECT_EQ(shown.slotsGiven, 2);
  EXPECT_EQ(shown.enabledFound, 2);
  EXPECT_EQ(cam1->viewIndex, 0);
  EXPECT_EQ(cam2->viewIndex, 1);
  EXPECT_EQ(off->viewIndex, -1);
  EXPECT_FALSE(off->fetchActive);
  EXPECT_TRUE(LogHas("starting fetch 0/A/cam1"));
  EXPECT_EQ(TestViewSlots().Text(2), "No View Selected");
  EXPECT_EQ(TestViewSlots().Text(99), "No View Selected");
  ASSERT_TRUE(WaitFrames(*cam1, 1));
  ASSERT_TRUE(WaitFrames(*cam2, 1));
  void* connection1 = Connection(*cam1);

  ShowNodeInSlots(TestTree().root.get(), groupA_.get(), TestViewSlots());
  EXPECT_TRUE(LogHas("reusing fetch 0->0/A/cam1"));
  EXPECT_EQ(Connection(*cam1), connection1) << "a reused fetch opens no new connection";
  EXPECT_EQ(FetchConnectionsAlive(), 2);

  velmora::test::TestSettings().recordEnable = true;
  cam2->recording = true;
  shown = ShowNodeInSlots(TestTree().root.get(), groupB_.get(), TestViewSlots());
  EXPECT_EQ(shown.slotsGiven, 1);
  EXPECT_EQ(cam3->viewIndex, 0);
  TestViewSlots().at(0)->Read([](const ViewSlotState& s) { EXPECT_EQ(s.title, "Connecting to cam3"); });
  EXPECT_FALSE(cam1->fetchActive);
  EXPECT_EQ(Connection(*cam1), nullptr);
  EXPECT_TRUE(LogHas("stopping fetch 0/A/cam1"));
  EXPECT_TRUE(cam2->fetchActive) << "a recording device keeps its fetch";
  EXPECT_EQ(cam2->viewIndex, -1);
  EXPECT_EQ(cam2->fetchIndex, -1);
  EXPECT_TRUE(LogHas("removing view 1/A/cam2"));

  // Later walks reconnect the recording device, never the stopped one.
  ASSERT_TRUE(WaitFrames(*cam3, 1));
  g_clock.advance(std::chrono::milliseconds(60000));
  FetchPeriodic(TestTree().root.get(), Notices());
  FetchPeriodic(TestTree().root.get(), Notices());
  EXPECT_EQ(Connection(*cam1), nullptr);
  EXPECT_NE(Connection(*cam2), nullptr);
  EXPECT_TRUE(WaitFrames(*cam2, 2));
  EXPECT_EQ(Frames(*cam1), 1);
}

TEST_F(FetchTreeTest, RecordingDevicesAreFetchedWithoutASlot) {
  std::atomic<int> recorded{0};
  upper_.onRecordFrame = [&](GroupRecord&, ImageHolder&, uint8_t*, std::size_t) { ++recorded; };
  velmora::test::TestSettings().recordEnable = true;
  auto cam = Camera(groupA_.get(), "rec", 100);
  cam->recording = true;
  ApplyRecordingState(TestTree(), TestTree().root.get());
  EXPECT_TRUE(cam->fetchActive);
  EXPECT_EQ(cam->viewIndex, -1);
  EXPECT_NE(Connection(*cam), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return recorded >= 3; }, 5s));

  cam->recording = false;
  ApplyRecordingState(TestTree(), TestTree().root.get());
  EXPECT_FALSE(cam->fetchActive);
  EXPECT_EQ(Connection(*cam), nullptr);
}

TEST_F(FetchTreeTest, StorageFolderShowsItsNewestRecordedImageEvery30Seconds) {
  const std::string jpeg = test::MakeJpeg(48, 32);
  int calls = 0;
  upper_.onLastRecordedImage = [&](const GroupRecord& r, std::vector<uint8_t>& out) {
    ++calls;
    EXPECT_EQ(r.location, "/srv/nas/front");
    out.assign(jpeg.begin(), jpeg.end());
    return true;
  };
  auto nas = Add(groupA_.get(), EntryKind::NASDevice, "nas");
  nas->location = "/srv/nas/front";
  nas->enabled = true;
  ShowNodeInSlots(TestTree().root.get(), groupA_.get(), TestViewSlots());
  EXPECT_EQ(nas->viewIndex, 0);
  EXPECT_EQ(Connection(*nas), nullptr) << "storage folders open no connection";
  g_clock.setSteadyMs(500000);
  FetchPeriodic(TestTree().root.get(), Notices());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(SlotWidth(0), 48);
  EXPECT_EQ(TestViewSlots().Text(0).rfind("nas", 0), 0u);
  g_clock.setSteadyMs(500000 + 29999);
  FetchPeriodic(TestTree().root.get(), Notices());
  EXPECT_EQ(calls, 1);
  g_clock.setSteadyMs(500000 + 30000);
  FetchPeriodic(TestTree().root.get(), Notices());
  EXPECT_EQ(calls, 2);
}

TEST_F(FetchTreeTest, WalkSkipsDisabledAndUnfetchedDevices) {
  auto idle = Camera(groupA_.get(), "idle");
  auto disabled = Camera(groupA_.get(), "disabled");
  disabled->fetchActive = true;
  disabled->enabled = false;
  g_clock.setSteadyMs(1000000);
  FetchPeriodic(TestTree().root.get(), Notices());
  EXPECT_EQ(Connection(*idle), nullptr);
  EXPECT_EQ(Connection(*disabled), nullptr);
  idle->fetchActive = true;
  FetchPeriodic(TestTree().root.get(), Notices());
  EXPECT_NE(Connection(*idle), nullptr);
}

// --- worker pool -----------------------------------------------------------------

TEST_F(FetchTest, ShutdownStopsTheWorkersAndTheNextConnectionStartsThemAgain) {
  viewthread_shutdown();
  EXPECT_EQ(FetchWorkerCount(), 0);
  viewthread_shutdown();
  EXPECT_TRUE(LogHas("viewthread_shutdown: no IOCP threads"));

  FetchOptions options = GetFetchOptions();
  options.workerThreads = 3;
  SetFetchOptions(options);
  auto cam = Device("Again", Location(kPlainCamera), 2000, 24);
  viewthread_iocp(*cam);
  EXPECT_EQ(FetchWorkerCount(), 3);
  EXPECT_TRUE(LogHas("creating 3 IOCP threads"));
  ASSERT_TRUE(WaitFrames(*cam, 1));
  viewthread_refresh(*cam, false);
  ASSERT_TRUE(WaitUntil([] { return FetchConnectionsAlive() == 0; }, 3s));
  viewthread_shutdown();
  EXPECT_TRUE(LogHas("shutting down 3 IOCP threads"));
  EXPECT_TRUE(LogHas("IOCP thread shutdown complete"));
  EXPECT_FALSE(LogHas("failed to exit"));
  EXPECT_EQ(FetchWorkerCount(), 0);
}

}  // namespace
}  // namespace velmora
