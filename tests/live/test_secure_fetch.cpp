// Digest and HTTPS cameras against the fake camera server on loopback: answers to
// MD5 and SHA-256 challenges for snapshots and streams without the 30 s wait, stale
// nonces, wrong passwords and endless challenges, trust on first use of a camera's
// certificate (pinned, changed and refused, trusted again), a handshake answered with
// garbage, the clock sync (and one-shot requests) over Digest and HTTPS, and the
// password sent only when a camera asks for it (a Digest camera kept as such).
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "camsim_process.h"
#include "live/digest.h"
#include "live/http_get.h"
#include "live/time_sync.h"
#include "live/tls.h"
#include "model/tree_file.h"
#include "platform/clock.h"
#include "test_fetch_support.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::CamsimProcess;
using test::LiveTest;
using test::WaitUntil;

// The tick the retry rules read; the tests move it. The time of day starts at the real one.
platform::ManualClock g_clock;

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A number of camsim's statistics line for one camera ("unasked", "challenges", ...).
uint64_t CamsimStat(const CamsimProcess& cams, int camera, const std::string& name) {
  http_client_open();
  const HttpResult r = http_get(cams.url(camera, "/camsim/stats"), "", "");
  const std::string text(r.body.begin(), r.body.end());
  const std::size_t at = text.find(" " + name + "=");
  if (r.status != 200 || at == std::string::npos) return UINT64_MAX;
  return std::strtoull(text.c_str() + at + name.size() + 2, nullptr, 10);
}

// The fingerprint camsim prints for its first or second certificate.
std::string PrintedFingerprint(const CamsimProcess& cams, bool second) {
  std::smatch m;
  const std::string out = cams.output();
  const std::regex line(second ? "second certificate sha256 ([0-9a-f]{64})" : "camsim: certificate sha256 ([0-9a-f]{64})");
  return std::regex_search(out, m, line) ? m[1].str() : std::string();
}

class SecureFetchTest : public LiveTest {
 protected:
  void SetUp() override {
    LiveTest::SetUp();
    FetchOptions options;
    options.connectTimeoutMs = 3000;
    options.sendTimeoutMs = 3000;
    options.headerTimeoutMs = 3000;
    options.stallTimeoutMs = 3000;
    SetFetchOptions(options);
    g_clock.setSteadyMs(500000);
    g_clock.setWallMs(platform::SystemClock().wallMs());
    useClock_.emplace(g_clock);
  }

  void TearDown() override {
    for (auto& record : records_) viewthread_refresh(*record, false);
    EXPECT_TRUE(WaitUntil([] { return FetchConnectionsAlive() == 0; }, 5s));
    records_.clear();
    useClock_.reset();
    SetFetchOptions(FetchOptions());
    LiveTest::TearDown();
  }

  std::shared_ptr<GroupRecord> Device(const std::string& name, const std::string& location, uint32_t updateDelay,
                                      int slot, const std::string& user = "", const std::string& password = "") {
    auto record = CreateRecord(EntryKind::Device, name);
    record->location = location;
    record->updateDelay = updateDelay;
    record->enabled = true;
    record->fetchActive = true;
    record->viewIndex = slot;
    record->shownIn = &TestViewSlots();
    record->fetchIndex = slot;
    record->path = name;
    record->username = user;
    record->password = password;
    record->debugLevel = 4;
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
  static int Socket(GroupRecord& r) {
    return Locked(r, [](GroupRecord& g) { return g.live.socket; });
  }
  // Runs the periodic check (at the frozen test clock) until `count` frames arrived:
  // only an answer sent at once can bring them, as no wait ever ends.
  static bool FramesWithoutWaiting(GroupRecord& r, int count, std::chrono::milliseconds timeout = 5s) {
    return WaitUntil(
        [&r, count] {
          viewthread_check_update(r);
          return Frames(r) >= count;
        },
        timeout);
  }
  // The ordinary next connection: the clock moves on by `ms` and the check runs twice
  // (drop, then connect).
  static void Advance(GroupRecord& r, uint32_t ms) {
    g_clock.advance(std::chrono::milliseconds(ms));
    viewthread_check_update(r);
    viewthread_check_update(r);
  }

  std::vector<std::shared_ptr<GroupRecord>> records_;
  std::optional<platform::ScopedClock> useClock_;  // g_clock, from SetUp to TearDown
};

TEST_F(SecureFetchTest, DigestMd5AndSha256CamerasDeliverSnapshotsAndStreamsAtOnceWithoutThePasswordInTheLog) {
  CamsimProcess md5({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "3", "--user", "admin",
                     "--password", "Md5-secret-41", "--digest", "md5", "--quiet"});
  CamsimProcess sha({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "3", "--user", "admin",
                     "--password", "Sha-secret-42", "--digest", "sha256", "--quiet"});
  ASSERT_TRUE(md5.ok()) << md5.error();
  ASSERT_TRUE(sha.ok()) << sha.error();
  const std::string md5At = "127.0.0.1:" + std::to_string(md5.port(0));
  const std::string shaAt = "127.0.0.1:" + std::to_string(sha.port(0));
  auto md5Snap = Device("Md5Snap", md5At, 1000, 0, "admin", "Md5-secret-41");
  auto md5Stream = Device("Md5Stream", md5At, 0, 1, "admin", "Md5-secret-41");
  auto shaSnap = Device("ShaSnap", shaAt, 1000, 2, "admin", "Sha-secret-42");
  auto shaStream = Device("ShaStream", shaAt, 50, 3, "admin", "Sha-secret-42");
  for (auto& r : records_) viewthread_iocp(*r);
  EXPECT_TRUE(FramesWithoutWaiting(*md5Snap, 1)) << LogText();
  EXPECT_TRUE(FramesWithoutWaiting(*md5Stream, 5)) << LogText();
  EXPECT_TRUE(FramesWithoutWaiting(*shaSnap, 1)) << LogText();
  EXPECT_TRUE(FramesWithoutWaiting(*shaStream, 5)) << LogText();
  for (auto& r : records_) EXPECT_FALSE(Locked(*r, [](GroupRecord& g) { return g.live.accessRefused; }));

  // The next snapshot reuses the challenge: no 401 in between.
  const int refusals = Count(LogText(), "HTTP response [HTTP/1.0 401 Unauthorized]");
  ASSERT_TRUE(WaitUntil([&] { return Socket(*shaSnap) == -1; }, 5s));
  Advance(*shaSnap, 1000);
  EXPECT_TRUE(WaitUntil([&] { return Frames(*shaSnap) >= 2; }, 5s));
  EXPECT_EQ(Count(LogText(), "HTTP response [HTTP/1.0 401 Unauthorized]"), refusals);

  const std::string log = LogText();
  EXPECT_NE(log.find("Authorization: Digest ***"), std::string::npos);
  for (const char* secret : {"Md5-secret-41", "Sha-secret-42", "response=", "cnonce="}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  }
}

TEST_F(SecureFetchTest, StaleNonceIsRenewedAtOnceAndAWrongPasswordWaitsThirtySeconds) {
  CamsimProcess cams({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--user", "admin",
                      "--password", "pw", "--digest", "sha256", "--nonce-ms", "300", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  auto cam = Device("Cam", "127.0.0.1:" + std::to_string(cams.port(0)), 1000, 0, "admin", "pw");
  viewthread_iocp(*cam);
  ASSERT_TRUE(FramesWithoutWaiting(*cam, 1)) << LogText();

  // The nonce expires; the next snapshot is refused as stale and answered again at once.
  std::this_thread::sleep_for(400ms);
  Advance(*cam, 1000);
  ASSERT_TRUE(FramesWithoutWaiting(*cam, 2)) << LogText();
  EXPECT_NE(LogText().find("Digest challenge (SHA-256, stale)"), std::string::npos);
  EXPECT_EQ(Count(LogText(), "fetch error for Cam"), 0) << "a renewed nonce is no error";

  // A wrong password: refused, and not asked again before 30 s.
  Locked(*cam, [](GroupRecord& r) {
    r.password = "wrong";
    return 0;
  });
  Advance(*cam, 1000);
  ASSERT_TRUE(WaitUntil(
      [&] {
        viewthread_check_update(*cam);
        return Locked(*cam, [](GroupRecord& r) { return r.live.accessRefused; }) && Socket(*cam) == -1;
      },
      5s))
      << LogText();
  EXPECT_TRUE(WaitUntil([] { return TestViewSlots().Text(0) == "HTTP 401 Unauthorized"; }, 2s));
  const int refusals = Count(LogText(), "HTTP response [HTTP/1.0 401 Unauthorized]");
  void* held = Connection(*cam);
  g_clock.advance(std::chrono::milliseconds(29999));
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), held) << "no new attempt before 30 s";
  g_clock.advance(std::chrono::milliseconds(1));
  viewthread_check_update(*cam);
  viewthread_check_update(*cam);
  EXPECT_TRUE(WaitUntil([&] { return Count(LogText(), "HTTP response [HTTP/1.0 401 Unauthorized]") == refusals + 1; }, 5s));
  EXPECT_EQ(LogText().find("wrong"), std::string::npos);
}

TEST_F(SecureFetchTest, CameraThatChallengesEveryAnswerIsAskedTwicePerWaitNeverInALoop) {
  CamsimProcess cams({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--user", "admin",
                      "--password", "pw", "--digest", "md5", "--fault", "0:challenge", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  auto cam = Device("Loop", "127.0.0.1:" + std::to_string(cams.port(0)), 0, 0, "admin", "pw");
  const std::string answer = "HTTP response [HTTP/1.0 401 Unauthorized]";
  viewthread_iocp(*cam);
  // 1.5 s of checks every 5 ms at a frozen clock: the first challenge is answered once.
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  for (int i = 0; i < 300 && std::chrono::steady_clock::now() < until; ++i) {
    viewthread_check_update(*cam);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(Count(LogText(), answer), 2) << LogText();
  EXPECT_TRUE(Locked(*cam, [](GroupRecord& r) { return r.live.accessRefused; }));
  // After the wait: one ordinary attempt and one answer again.
  Advance(*cam, 30000);
  EXPECT_TRUE(WaitUntil(
      [&] {
        viewthread_check_update(*cam);
        return Count(LogText(), answer) >= 4;
      },
      5s));
  std::this_thread::sleep_for(300ms);
  for (int i = 0; i < 20; ++i) viewthread_check_update(*cam);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Count(LogText(), answer), 4);
  EXPECT_EQ(Frames(*cam), 0);
}

TEST_F(SecureFetchTest, OversizedChallengeIsShownAndRetriedAfterTheWait) {
  CamsimProcess cams({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--user", "admin",
                      "--password", "pw", "--digest", "md5", "--fault", "0:bad-challenge", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  auto cam = Device("Odd", "127.0.0.1:" + std::to_string(cams.port(0)), 1000, 0, "admin", "pw");
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitUntil([] { return TestViewSlots().Text(0) == "Bad authentication challenge"; }, 5s)) << LogText();
  EXPECT_TRUE(WaitUntil([&] { return Socket(*cam) == -1; }, 5s));
  EXPECT_NE(LogText().find("bad authentication challenge from Odd: the challenge header is longer than 8192 bytes"),
            std::string::npos);
  void* held = Connection(*cam);
  g_clock.advance(std::chrono::milliseconds(29999));
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), held) << "no answer at once to a challenge that cannot be kept";
  Advance(*cam, 1);
  EXPECT_TRUE(WaitUntil([&] { return Count(LogText(), "HTTP response [HTTP/1.0 401 Unauthorized]") == 2; }, 5s));
  EXPECT_EQ(Count(LogText(), "fetch error for Odd"), 1);
}

TEST_F(SecureFetchTest, HttpsCertificateIsPinnedOnFirstUseAcceptedAgainAndAChangeRefusedUntilTrusted) {
  CamsimProcess cams({"--cameras", "1", "--width", "64", "--height", "48", "--frames", "2", "--tls", "0",
                      "--tls-switch-after", "2", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  const std::string first = PrintedFingerprint(cams, false);
  const std::string second = PrintedFingerprint(cams, true);
  ASSERT_EQ(first.size(), 64u) << cams.output();
  ASSERT_EQ(second.size(), 64u);
  int kept = 0;
  onFetchNotice_ = [&kept](FetchNotice notice) {
    if (notice == FetchNotice::kCertificateKept) ++kept;
  };
  TestTree().root = CreateRecord(EntryKind::Root, "");
  auto cam = Device("Tls", "https://127.0.0.1:" + std::to_string(cams.port(0)), 1000, 0);
  InsertEntry(TestTree().root.get(), cam);

  // First use: accepted, noted, then kept by the periodic walk (which asks for a save).
  viewthread_iocp(*cam);
  ASSERT_TRUE(WaitUntil([&] { return Frames(*cam) >= 1; }, 5s)) << LogText();
  EXPECT_EQ(Locked(*cam, [](GroupRecord& r) { return r.live.certificateFirstSeen; }), first);
  EXPECT_TRUE(cam->certificate.empty());
  EXPECT_FALSE(CertificateChangeSeen(*cam));
  EXPECT_FALSE(TrustNewCertificate(*cam)) << "nothing to trust";
  // The walk (every 20 ms in the program) passes over a device whose worker holds its lock
  // at that moment, as the worker may while it closes the snapshot's connection; one of
  // its next runs keeps the certificate.
  ASSERT_TRUE(WaitUntil([&] {
    FetchPeriodic(TestTree().root.get(), Notices());
    return kept == 1;
  }, 5s)) << LogText();
  EXPECT_EQ(cam->certificate, first);
  FetchPeriodic(TestTree().root.get(), Notices());
  EXPECT_EQ(kept, 1) << "kept once";

  // The pinned certificate again (a snapshot's connection is closed before the next one).
  ASSERT_TRUE(WaitUntil([&] { return Socket(*cam) == -1; }, 5s));
  Advance(*cam, 1000);
  ASSERT_TRUE(WaitUntil([&] { return Frames(*cam) >= 2; }, 5s)) << LogText();

  // The camera shows another certificate: refused, shown and logged once, retried after 30 s.
  ASSERT_TRUE(WaitUntil([&] { return Socket(*cam) == -1; }, 5s));
  Advance(*cam, 1000);
  ASSERT_TRUE(WaitUntil([] { return TestViewSlots().Text(0) == kCertificateChangedText; }, 5s)) << LogText();
  EXPECT_TRUE(CertificateChangeSeen(*cam));
  EXPECT_EQ(cam->certificate, first) << "the kept one stays until the user trusts the new one";
  void* held = Connection(*cam);
  g_clock.advance(std::chrono::milliseconds(29999));
  viewthread_check_update(*cam);
  EXPECT_EQ(Connection(*cam), held);
  Advance(*cam, 1);
  ASSERT_TRUE(WaitUntil([&] { return Count(LogText(), "TLS handshake with 127.0.0.1") >= 4 && Socket(*cam) == -1; }, 5s));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Count(LogText(), "certificate of Tls [https://127.0.0.1:" + std::to_string(cams.port(0)) + "] changed: sha256 " +
                                 second + ", expected " + first),
            1)
      << LogText();
  EXPECT_EQ(Frames(*cam), 2);

  // The user trusts it: reconnected at once, pinned to the new certificate.
  EXPECT_TRUE(TrustNewCertificate(*cam));
  EXPECT_TRUE(cam->certificate.empty());
  ASSERT_TRUE(WaitUntil([&] { return Frames(*cam) >= 3; }, 5s)) << LogText();
  ASSERT_TRUE(WaitUntil([&] {
    FetchPeriodic(TestTree().root.get(), Notices());
    return kept == 2;
  }, 5s)) << LogText();
  EXPECT_EQ(cam->certificate, second);
  EXPECT_FALSE(CertificateChangeSeen(*cam));
}

TEST_F(SecureFetchTest, HttpsDigestStreamGarbageInPlaceOfTheHandshakeAndAHandshakeNeverAnswered) {
  CamsimProcess cams({"--cameras", "3", "--width", "64", "--height", "48", "--frames", "4", "--tls", "0,1", "--user",
                      "admin", "--password", "pw", "--digest", "sha256", "--fault", "1:garbage-handshake", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  auto stream = Device("TlsStream", "https://127.0.0.1:" + std::to_string(cams.port(0)), 0, 0, "admin", "pw");
  auto garbage = Device("Garbage", "https://127.0.0.1:" + std::to_string(cams.port(1)), 0, 1);
  // A plain HTTP camera waits for a request line that the handshake never is.
  auto plain = Device("Plain", "https://127.0.0.1:" + std::to_string(cams.port(2)), 0, 2);
  viewthread_iocp(*stream);
  viewthread_iocp(*garbage);
  viewthread_iocp(*plain);
  EXPECT_TRUE(FramesWithoutWaiting(*stream, 10)) << LogText();
  EXPECT_TRUE(WaitUntil([] { return TestViewSlots().Text(1) == kTlsHandshakeFailedText; }, 5s)) << LogText();
  EXPECT_TRUE(WaitUntil([&] { return Socket(*garbage) == -1; }, 5s));
  // Nothing came: the next attempt waits 30 s.
  void* held = Connection(*garbage);
  g_clock.advance(std::chrono::milliseconds(29999));
  viewthread_check_update(*garbage);
  EXPECT_EQ(Connection(*garbage), held);
  Advance(*garbage, 1);
  EXPECT_TRUE(WaitUntil([&] { return Count(LogText(), "TLS handshake with Garbage") == 2; }, 5s)) << LogText();
  EXPECT_EQ(Count(LogText(), "fetch error for Garbage"), 1);
  EXPECT_EQ(Frames(*garbage), 0);

  // The handshake has the connect's time (3 s here).
  EXPECT_TRUE(WaitUntil([] { return TestViewSlots().Text(2) == "Unable to connect"; }, 6s)) << LogText();
  EXPECT_EQ(Frames(*plain), 0);
}

TEST_F(SecureFetchTest, ClockSyncAnswersDigestAndTrustsOnlyTheSystemOrThePinnedCertificate) {
  CamsimProcess cams({"--cameras", "2", "--width", "64", "--height", "48", "--frames", "2", "--tls", "1", "--user",
                      "admin", "--password", "pw", "--digest", "md5", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  const std::string plain = cams.url(0, "/jpeg.cgi");
  const std::string https = "https://127.0.0.1:" + std::to_string(cams.port(1)) + "/jpeg.cgi";
  const std::string pin = PrintedFingerprint(cams, false);
  EXPECT_EQ(time_sync_post(plain, "admin", "pw"), kTimeSyncOk);
  EXPECT_EQ(time_sync_post(plain, "admin", "bad"), kTimeSyncDenied);
  EXPECT_EQ(time_sync_post(https, "admin", "pw", pin), kTimeSyncOk);
  EXPECT_EQ(time_sync_post(https, "admin", "pw", std::string(64, 'a')), kTimeSyncFailed) << "another pin";
  EXPECT_EQ(time_sync_post(https, "admin", "pw"), kTimeSyncFailed) << "self-signed, nothing pinned";

  // The one-shot requests answer Digest too.
  ASSERT_TRUE(http_client_open());
  const HttpResult fetched = http_get(plain, "admin", "pw");
  EXPECT_EQ(fetched.status, 200);
  EXPECT_FALSE(fetched.body.empty());
  EXPECT_EQ(http_get(plain, "admin", "bad").status, 401);
}

// A new entry sends its password only as the answer to the camera's challenge; an
// entry of an older file keeps sending Basic at once. The clock sync and the one-shot
// requests ask first too.
TEST_F(SecureFetchTest, BasicCameraGetsThePasswordOnlyWhenItAsksUnlessTheEntryIsOlder) {
  CamsimProcess cams({"--cameras", "3", "--width", "64", "--height", "48", "--frames", "2", "--user", "admin",
                      "--password", "pw", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  auto asked = Device("Asked", "127.0.0.1:" + std::to_string(cams.port(0)), 1000, 0, "admin", "pw");
  asked->sendPasswordOnlyWhenAsked = true;
  auto older = Device("Older", "127.0.0.1:" + std::to_string(cams.port(1)), 1000, 1, "admin", "pw");
  viewthread_iocp(*asked);
  viewthread_iocp(*older);
  // The Basic challenge is answered at once: no 30 s wait.
  EXPECT_TRUE(FramesWithoutWaiting(*asked, 1)) << LogText();
  EXPECT_TRUE(WaitUntil([&] { return Frames(*older) >= 1; }, 5s)) << LogText();
  // The next snapshot carries what the camera asked for: no second challenge.
  ASSERT_TRUE(WaitUntil([&] { return Socket(*asked) == -1; }, 5s));
  Advance(*asked, 1000);
  EXPECT_TRUE(WaitUntil([&] { return Frames(*asked) >= 2; }, 5s)) << LogText();
  EXPECT_EQ(CamsimStat(cams, 0, "unasked"), 0u) << "the first request carried the password";
  EXPECT_EQ(CamsimStat(cams, 0, "challenges"), 1u);
  EXPECT_EQ(Count(LogText(), "fetch error for Asked"), 0) << "an answered challenge is no error";
  EXPECT_EQ(CamsimStat(cams, 1, "unasked"), 1u) << "an older entry's camera may never ask";
  EXPECT_EQ(CamsimStat(cams, 1, "challenges"), 0u);

  const std::string url = cams.url(2, "/jpeg.cgi");
  EXPECT_EQ(time_sync_post(url, "admin", "pw"), kTimeSyncOk);
  EXPECT_EQ(http_get(url, "admin", "pw").status, 200);
  EXPECT_EQ(CamsimStat(cams, 2, "unasked"), 0u);
}

// The first accepted Digest answer marks the device as a Digest device in the tree file;
// read back at the next start, it sends no password before the camera's challenge.
TEST_F(SecureFetchTest, DigestCameraIsKeptAsSuchAndGetsNoPasswordBeforeItAsksAtTheNextStart) {
  CamsimProcess cams({"--cameras", "2", "--width", "64", "--height", "48", "--frames", "2", "--user", "admin",
                      "--password", "pw", "--digest", "sha256", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();
  TestPaths().deviceTreePath = dir_ + "/tree.xml";
  TestTree().filePath = TestPaths().deviceTreePath;
  int saves = 0;
  onFetchNotice_ = [&saves](FetchNotice notice) {
    if (notice != FetchNotice::kAuthSchemeKept) return;
    ++saves;
    SaveTree(TestTree());
  };
  TestTree().root = CreateRecord(EntryKind::Root, kRootName);
  auto nvr = CreateRecord(EntryKind::LocalNVR, "All Views");
  auto group = CreateRecord(EntryKind::Group, "Cams");
  group->path = "Cams";
  InsertEntry(TestTree().root.get(), nvr);
  InsertEntry(nvr.get(), group);
  // An entry of an older file: nothing known of its camera.
  auto cam = Device("Door", "127.0.0.1:" + std::to_string(cams.port(0)), 1000, 0, "admin", "pw");
  InsertEntry(group.get(), cam);
  viewthread_iocp(*cam);
  ASSERT_TRUE(FramesWithoutWaiting(*cam, 1)) << LogText();
  EXPECT_EQ(CamsimStat(cams, 0, "unasked"), 1u) << "Basic went out before the challenge, as before";

  // The worker reported the scheme; the main thread keeps it and saves the tree.
  int reports = 0;
  while (auto message = mainQueue().take()) {
    if (std::holds_alternative<MsgAuthScheme>(*message)) ++reports;
    HandleFetchMessage(*message, Notices());
  }
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(Locked(*cam, [](GroupRecord& r) { return r.authScheme; }), kAuthSchemeDigest);
  std::ifstream in(TestPaths().deviceTreePath, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(file.find("<AuthScheme>Digest</AuthScheme>"), std::string::npos) << file;
  // Later snapshots report nothing more.
  ASSERT_TRUE(WaitUntil([&] { return Socket(*cam) == -1; }, 5s));
  Advance(*cam, 1000);
  EXPECT_TRUE(WaitUntil([&] { return Frames(*cam) >= 2; }, 5s));
  viewthread_refresh(*cam, false);

  // The next start: the entry as the file gives it, its camera fresh.
  auto again = CreateRecord(EntryKind::Root, kRootName);
  ASSERT_EQ(LoadTreeText(*again, file, "tree.xml"), 1);
  std::shared_ptr<GroupRecord> loaded = again->children.at(0)->children.at(0)->children.at(0);
  EXPECT_EQ(loaded->authScheme, kAuthSchemeDigest);
  EXPECT_FALSE(loaded->sendPasswordOnlyWhenAsked);
  loaded->location = "127.0.0.1:" + std::to_string(cams.port(1));
  loaded->enabled = true;
  loaded->fetchActive = true;
  loaded->viewIndex = 1;
  loaded->shownIn = &TestViewSlots();
  loaded->fetchIndex = 1;
  loaded->debugLevel = 4;
  records_.push_back(loaded);
  viewthread_iocp(*loaded);
  EXPECT_TRUE(FramesWithoutWaiting(*loaded, 1)) << LogText();
  EXPECT_EQ(CamsimStat(cams, 1, "unasked"), 0u) << "the password went out before the Digest challenge";
  EXPECT_EQ(CamsimStat(cams, 1, "challenges"), 1u);
  int reportsAgain = 0;
  while (auto message = mainQueue().take()) reportsAgain += std::holds_alternative<MsgAuthScheme>(*message) ? 1 : 0;
  EXPECT_EQ(reportsAgain, 0) << "a device known to use Digest is not reported again";
}

}  // namespace
}  // namespace velmora
