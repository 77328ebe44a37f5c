// The HTTP server on 127.0.0.1: answers, interoperation with the program's own remote
// reads and HTTP client, and the bounds that keep slow or silent clients from holding
// it (every loop here is bounded in count and time).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "live/http_get.h"
#include "net/discovery.h"
#include "net/http_server.h"
#include "net_fixture.h"
#include "netns.h"
#include "platform/clock.h"
#include "playback/recorded_data.h"
#include "process.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::net {
namespace {

using namespace std::chrono_literals;
using test::AppendRecord;
using test::FakeJpeg;
using test::kRecordTime;

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recordings = dir.path() + "/rec/";
    std::filesystem::create_directories(recordings);
    config.bindAddress = "127.0.0.1";
    config.port = 0;
    config.askMainThread = false;
    config.recordingsFolder = recordings;
    // The main thread's fresh snapshots are of the test program's tree.
    config.tree = &TestTree();
    http_client_open();
  }
  void TearDown() override {
    server.stop();
    http_client_close();
  }
  bool start() {
    if (!server.start(config)) return false;
    server.publishTree(TakeTreeSnapshot(tree.root.get(), recordings));
    return true;
  }
  std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(server.port()) + path; }
  std::filesystem::path doorFolder() { return recordings + "Yard/Door"; }
  // A server as the program runs it, over the sample tree, asking the main thread for a
  // new snapshot once the published one is maxAge old; it starts with an old, empty view.
  HttpServer& StartGlobalAskingMainThread(std::chrono::milliseconds maxAge) {
    while (mainQueue().take()) {
    }
    TestTree().root = tree.root;
    TestPaths().pathData = recordings;
    TestTree().recordingsFolder = TestPaths().pathData;
    HttpServerConfig c = config;
    c.askMainThread = true;
    c.treeMaxAge = maxAge;
    if (asking.start(c)) asking.publishTree(TakeTreeSnapshot(nullptr, recordings));
    return asking;
  }
  void StopGlobal() {
    asking.stop();
    while (mainQueue().take()) {
    }
    TestTree().root.reset();
  }

  test::TempDir dir;
  std::string recordings;
  test::SampleTree tree;
  HttpServerConfig config;
  HttpServer server;
  HttpServer asking;  // the one StartGlobalAskingMainThread starts
};

TEST_F(HttpServerTest, AnswersOneRequestPerConnectionAndCloses) {
  ASSERT_TRUE(start());
  bool closed = false;
  const std::string raw = test::Exchange(server.port(), "GET /nvr.xml HTTP/1.0\r\nHost: x\r\n\r\n", 5000ms, &closed);
  EXPECT_TRUE(closed);
  const test::ParsedResponse r = test::ParseResponse(raw);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "text/xml");
  EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_NE(r.body.find("<device name=\"Door\">"), std::string::npos);

  // A request split over several segments, and one whose client closes its side at once.
  const int fd = test::ConnectLoopback(server.port());
  ASSERT_GE(fd, 0);
  for (const char* part : {"GE", "T /index", ".html HT", "TP/1.0\r\n\r\n"}) {
    ::send(fd, part, std::strlen(part), MSG_NOSIGNAL);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(test::ParseResponse(test::ReadAll(fd, 5000ms)).status, 200);
  ::close(fd);
  const int half = test::ConnectLoopback(server.port());
  ::send(half, "GET /missing", 12, MSG_NOSIGNAL);
  ::shutdown(half, SHUT_WR);
  EXPECT_EQ(test::ParseResponse(test::ReadAll(half, 5000ms)).status, 404);
  ::close(half);
}

TEST_F(HttpServerTest, NonGetIsClosedWithoutAnswer) {
  ASSERT_TRUE(start());
  for (const char* request : {"POST /nvr.xml HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "PUT / HTTP/1.0\r\n\r\n", "\r\n\r\n"}) {
    bool closed = false;
    EXPECT_EQ(test::Exchange(server.port(), request, 3000ms, &closed), "") << request;
    EXPECT_TRUE(closed) << request;
  }
  EXPECT_GE(server.stats().unanswered, 3u);
}

TEST_F(HttpServerTest, PlaybackReadsRecordingsThroughTheServer) {
  const auto first = AppendRecord(doorFolder(), kRecordTime, 10, FakeJpeg(3000, 1));
  const auto second = AppendRecord(doorFolder(), kRecordTime + 2, 20, FakeJpeg(45000, 2));
  ASSERT_TRUE(start());

  RecordedData data;
  data.setSources({url("/Yard/Door")});
  std::vector<std::string> statuses;
  data.setStatusSink([&](const std::string& text) { statuses.push_back(text); });
  const std::string key = HourKey(kRecordTime);

  RecordHeader header;
  ASSERT_EQ(data.ReadHeader(key, 0, static_cast<int64_t>(second.offset), header), 0);
  EXPECT_EQ(header.recordLength, second.bytes.size());
  uint64_t start = 1;
  ASSERT_EQ(data.ReadFooter(key, 0, -4, start), 0);
  EXPECT_EQ(start, second.offset);
  ASSERT_EQ(data.ReadFooter(key, 0, static_cast<int64_t>(second.offset) - 4, start), 0);
  EXPECT_EQ(start, first.offset);

  std::vector<uint8_t> jpeg;
  IndexEntry position;
  position.time = kRecordTime + 2;
  position.milliseconds = 20;
  position.offset = second.offset;
  ASSERT_TRUE(data.ReadJpegBytes(position, 0, jpeg, header));
  EXPECT_EQ(std::string(jpeg.begin(), jpeg.end()), second.jpeg);

  IndexEntry feedFirst, feedLast;
  ASSERT_TRUE(data.ReadFeedBounds(0, feedFirst, feedLast));
  EXPECT_EQ(feedFirst.offset, first.offset);
  EXPECT_EQ(feedLast.offset, second.offset);
  std::vector<uint8_t> index;
  ASSERT_TRUE(data.ReadIndexFile(0, key, index));
  EXPECT_EQ(index.size(), 32u);
  EXPECT_TRUE(statuses.empty());

  // The device's newest image through the program's HTTP client, as a browser gets it.
  const HttpResult image = http_get(url("/Yard/Door/image.jpg"), "", "");
  EXPECT_EQ(image.status, 200);
  EXPECT_EQ(std::string(image.body.begin(), image.body.end()), second.jpeg);
}

TEST_F(HttpServerTest, BasicAuthenticationWithTheProgramsClient) {
  config.auth = HttpAuth{"viewer", "s3cret"};
  ASSERT_TRUE(start());
  const test::ParsedResponse challenge = test::Get(server.port(), "/nvr.xml");
  EXPECT_EQ(challenge.status, 401);
  EXPECT_EQ(challenge.header("WWW-Authenticate"), "Basic realm=\"Velmora NVR\"");
  EXPECT_EQ(http_get(url("/nvr.xml"), "", "").status, 401);
  EXPECT_EQ(http_get(url("/nvr.xml"), "viewer", "wrong").status, 401);
  const HttpResult ok = http_get(url("/nvr.xml"), "viewer", "s3cret");
  EXPECT_EQ(ok.status, 200);
  EXPECT_NE(std::string(ok.body.begin(), ok.body.end()).find("Door"), std::string::npos);
}

TEST_F(HttpServerTest, WholeFilesAreStreamedCompletely) {
  // A data file far larger than one send chunk.
  for (int i = 0; i < 40; ++i) AppendRecord(doorFolder(), kRecordTime + i, 0, FakeJpeg(50000, static_cast<uint8_t>(i)));
  ASSERT_TRUE(start());
  const std::string expected = test::ReadFile((doorFolder() / "26120814.vlj").string());
  const test::ParsedResponse r = test::Get(server.port(), "/Yard/Door/26120814.vlj");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Length"), std::to_string(expected.size()));
  EXPECT_TRUE(r.body == expected);
}

TEST_F(HttpServerTest, SilentClientsHoldNoHandlerAndAreClosedAfterTheReadTimeout) {
  constexpr int kSilent = 40;
  config.readTimeout = 3000ms;
  config.handlerThreads = 1;
  config.maxConnectionsPerAddress = kSilent + 2;  // all come from 127.0.0.1
  ASSERT_TRUE(start());
  std::vector<int> silent;
  for (int i = 0; i < kSilent; ++i) {
    const int fd = test::ConnectLoopback(server.port());
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
  }
  // A client that trickles its request a byte at a time never completes it in time.
  const int slow = test::ConnectLoopback(server.port());
  ASSERT_GE(slow, 0);
  std::thread trickle([&] {
    const std::string request = "GET /nvr.xml HTTP/1.0\r\n\r\n";
    for (std::size_t i = 0; i < request.size() && i < 10; ++i) {
      if (::send(slow, &request[i], 1, MSG_NOSIGNAL) <= 0) break;
      std::this_thread::sleep_for(400ms);
    }
  });
  // Meanwhile an ordinary request is answered by the single handler while every silent
  // connection is still open.
  EXPECT_EQ(test::Get(server.port(), "/nvr.xml").status, 200);
  EXPECT_EQ(server.stats().timedOut, 0u);

  for (int fd : silent) {
    bool closed = false;
    EXPECT_EQ(test::ReadAll(fd, 10000ms, &closed), "");
    EXPECT_TRUE(closed);
    ::close(fd);
  }
  trickle.join();
  bool closed = false;
  EXPECT_EQ(test::ReadAll(slow, 10000ms, &closed), "");
  EXPECT_TRUE(closed);
  ::close(slow);
  EXPECT_GE(server.stats().timedOut, static_cast<uint64_t>(kSilent + 1));
  EXPECT_TRUE(test::WaitFor([&] { return server.stats().openConnections == 0; }, 3000ms));
}

TEST_F(HttpServerTest, AReaderThatStopsReadingIsCutOffByTheWriteDeadline) {
  for (int i = 0; i < 80; ++i) AppendRecord(doorFolder(), kRecordTime + i, 0, FakeJpeg(100000, static_cast<uint8_t>(i)));
  config.writeTimeout = 300ms;
  config.minSendBytesPerSecond = 1ull << 40;  // no allowance for the size
  ASSERT_TRUE(start());
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(server.port());
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  const std::string request = "GET /Yard/Door/26120814.vlj HTTP/1.0\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(test::WaitFor([&] { return server.stats().timedOut >= 1; }, 5000ms));
  // Others are served meanwhile and after.
  EXPECT_EQ(test::Get(server.port(), "/nvr.xml").status, 200);
  std::string partial = test::ReadAll(fd, 3000ms);
  EXPECT_LT(partial.size(), 80u * 100052u);
  ::close(fd);
}

TEST_F(HttpServerTest, LimitsPerAddressAndInAllMakeRoomByClosingTheOldestReader) {
  // 80 records of 100 KB: far more than the system's buffers hold for a client that
  // never reads.
  for (int i = 0; i < 80; ++i) AppendRecord(doorFolder(), kRecordTime + i, 0, FakeJpeg(100000, static_cast<uint8_t>(i)));
  config.maxConnections = 4;
  config.maxConnectionsPerAddress = 3;
  config.readTimeout = 20000ms;
  config.lingerTimeout = 20000ms;
  config.writeTimeout = 600ms;
  config.minSendBytesPerSecond = 1;  // only the progress deadline applies
  ASSERT_TRUE(start());
  const uint16_t port = server.port();

  // One address holds 3 silent connections; its fourth is closed at once.
  std::vector<int> silent;
  for (int i = 0; i < 3; ++i) {
    silent.push_back(test::ConnectFrom("127.0.0.2", port));
    ASSERT_GE(silent.back(), 0);
    ASSERT_TRUE(test::WaitFor([&] { return server.stats().openConnections == silent.size(); }, 2000ms));
  }
  const int fourth = test::ConnectFrom("127.0.0.2", port);
  EXPECT_TRUE(test::PeerGone(fourth, 3000ms));
  ::close(fourth);
  EXPECT_EQ(server.stats().addressRefused, 1u);
  silent.push_back(test::ConnectFrom("127.0.0.3", port));
  ASSERT_TRUE(test::WaitFor([&] { return server.stats().openConnections == 4; }, 2000ms));

  // The server is full: a newcomer with a request takes the place of the oldest silent
  // connection, and of that one only.
  EXPECT_EQ(test::Get(port, "/nvr.xml").status, 200);
  EXPECT_TRUE(test::PeerGone(silent[0], 3000ms));
  for (std::size_t i = 1; i < silent.size(); ++i) EXPECT_FALSE(test::PeerGone(silent[i])) << i;
  EXPECT_EQ(server.stats().evicted, 1u);
  EXPECT_EQ(server.stats().timedOut, 0u);
  for (int fd : silent) ::close(fd);
  ASSERT_TRUE(test::WaitFor([&] { return server.stats().openConnections == 0; }, 3000ms));

  // An address at its limit whose connections all have their replies (the client keeps
  // them open) gets its newcomer in, in place of the oldest of them.
  std::vector<int> done;
  for (int i = 0; i < 4; ++i) {
    done.push_back(test::ConnectFrom("127.0.0.6", port));
    const std::string get = "GET /nvr.xml HTTP/1.0\r\n\r\n";
    ::send(done.back(), get.data(), get.size(), MSG_NOSIGNAL);
    bool closed = false;
    EXPECT_EQ(test::ParseResponse(test::ReadAll(done.back(), 3000ms, &closed)).status, 200) << i;
    EXPECT_TRUE(closed) << i;  // the reply's end: the server has closed its side
  }
  EXPECT_EQ(server.stats().evicted, 2u);
  EXPECT_EQ(server.stats().addressRefused, 1u);
  for (int fd : done) ::close(fd);
  ASSERT_TRUE(test::WaitFor([&] { return server.stats().openConnections == 0; }, 3000ms));

  // Four clients that ask for the large file and never read it hold every place, and
  // none is reading: a newcomer is refused. Their writes stall, and after the progress
  // deadline they are cut off with a reset and the newcomer is served again.
  std::vector<int> stalled;
  const std::string request = "GET /Yard/Door/26120814.vlj HTTP/1.0\r\n\r\n";
  for (const char* source : {"127.0.0.4", "127.0.0.4", "127.0.0.5", "127.0.0.5"}) {
    stalled.push_back(test::ConnectFrom(source, port, 4096));
    ASSERT_GE(stalled.back(), 0);
    ::send(stalled.back(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  ASSERT_TRUE(test::WaitFor([&] { return server.stats().openConnections == 4 && server.stats().handling == 0 &&
                                         server.stats().queued == 0; }, 3000ms));
  const uint64_t refusedBefore = server.stats().refused;
  bool closed = false;
  EXPECT_EQ(test::Exchange(port, "GET /nvr.xml HTTP/1.0\r\n\r\n", 3000ms, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(server.stats().refused, refusedBefore + 1);
  EXPECT_EQ(server.stats().evicted, 2u);
  for (int fd : stalled) EXPECT_TRUE(test::PeerGone(fd, 5000ms));
  EXPECT_EQ(server.stats().timedOut, 4u);
  for (int fd : stalled) ::close(fd);
  EXPECT_EQ(test::Get(port, "/nvr.xml").status, 200);
}

TEST_F(HttpServerTest, WriteDeadlineCountsProgressNotTheSizeOfTheReply) {
  for (int i = 0; i < 60; ++i) AppendRecord(doorFolder(), kRecordTime + i, 0, FakeJpeg(100000, static_cast<uint8_t>(i)));
  const std::string expected = test::ReadFile((doorFolder() / "26120814.vlj").string());
  config.writeTimeout = 250ms;
  config.minSendBytesPerSecond = 1;  // an allowance of days for the size
  // The last bytes may still sit in the system's buffers for a while after the last
  // write: the time-outs counted below are then the write deadline's alone.
  config.lingerTimeout = 20000ms;
  ASSERT_TRUE(start());
  const std::string request = "GET /Yard/Door/26120814.vlj HTTP/1.0\r\n\r\n";

  // A client that reads steadily but slowly takes far longer than the deadline in all,
  // and gets the whole file: every byte it takes counts as progress.
  const int steady = test::ConnectFrom("127.0.0.2", server.port(), 65536);
  ASSERT_GE(steady, 0);
  ::send(steady, request.data(), request.size(), MSG_NOSIGNAL);
  std::string received;
  const auto start = std::chrono::steady_clock::now();
  char buffer[32768];
  for (int round = 0; round < 4000 && std::chrono::steady_clock::now() - start < 20s; ++round) {
    const ssize_t n = ::recv(steady, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(5ms);
  }
  ::close(steady);
  const test::ParsedResponse r = test::ParseResponse(received);
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.body == expected) << r.body.size() << " of " << expected.size();
  EXPECT_GT(std::chrono::steady_clock::now() - start, config.writeTimeout * 2);
  EXPECT_EQ(server.stats().timedOut, 0u);

  // One that stops reading is cut off although its allowance for the size is days.
  const int stopped = test::ConnectFrom("127.0.0.2", server.port(), 4096);
  ::send(stopped, request.data(), request.size(), MSG_NOSIGNAL);
  ::recv(stopped, buffer, 1000, 0);
  EXPECT_TRUE(test::WaitFor([&] { return server.stats().timedOut == 1; }, 5000ms));
  EXPECT_TRUE(test::WaitFor([&] { return server.stats().openConnections == 0; }, 3000ms));
  ::close(stopped);
}

TEST_F(HttpServerTest, AFullHandlerQueueAnswersBusyWithRetryAfter) {
  config.handlerThreads = 1;
  config.queueCapacity = 1;
  config.firstTreeWait = 10000ms;
  ASSERT_TRUE(server.start(config));  // no snapshot yet: the first request waits for one
  std::string first, second;
  std::thread a([&] { first = test::Exchange(server.port(), "GET /nvr.xml HTTP/1.0\r\n\r\n", 5000ms); });
  // The handler has taken the first request and waits; the second waits in the queue.
  ASSERT_TRUE(test::WaitFor([&] { return server.stats().handling == 1; }, 2000ms));
  std::thread b([&] { second = test::Exchange(server.port(), "GET /index.html HTTP/1.0\r\n\r\n", 5000ms); });
  ASSERT_TRUE(test::WaitFor([&] { return server.stats().queued == 1; }, 2000ms));
  // A third complete request finds no room: it hears so, and when to try again, and is
  // not cached (Expires is its Date).
  bool closed = false;
  const test::ParsedResponse busy =
      test::ParseResponse(test::Exchange(server.port(), "GET / HTTP/1.0\r\n\r\n", 2000ms, &closed));
  EXPECT_TRUE(closed);
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.head.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u);
  EXPECT_EQ(busy.header("Retry-After"), "1");
  EXPECT_EQ(busy.header("Expires"), busy.header("Date"));
  EXPECT_EQ(busy.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(busy.header("Content-Length"), std::to_string(busy.body.size()));
  EXPECT_NE(busy.body.find("Service Unavailable"), std::string::npos);
  EXPECT_LT(busy.body.size(), 400u);
  EXPECT_EQ(server.stats().queueFull, 1u);
  server.publishTree(TakeTreeSnapshot(tree.root.get(), recordings));
  a.join();
  b.join();
  EXPECT_EQ(test::ParseResponse(first).status, 200);
  EXPECT_EQ(test::ParseResponse(second).status, 200);
}

// The snapshot's age and the repeat of an unanswered request are measured on the
// program's clock: nothing is asked while it stands still, however long the test takes.
TEST_F(HttpServerTest, TheTreeAgeAndTheRequestRepeatFollowTheProgramClock) {
  platform::ManualClock manual(0, 1'000'000);
  platform::ScopedClock use(manual);
  HttpServer& global = StartGlobalAskingMainThread(1000ms);
  ASSERT_TRUE(global.running());
  auto requestsAfterAGet = [&] {
    test::Get(global.port(), "/nvr.xml");
    int requests = 0;
    while (std::optional<AppMessage> message = mainQueue().take())
      if (std::holds_alternative<MsgHttpListen>(*message)) ++requests;
    return requests;
  };
  EXPECT_EQ(requestsAfterAGet(), 0);
  manual.advance(999ms);
  EXPECT_EQ(requestsAfterAGet(), 0);
  manual.advance(1ms);
  EXPECT_EQ(requestsAfterAGet(), 1);
  EXPECT_TRUE(global.treeRequested());
  manual.advance(4999ms);  // unanswered: asked again only after 5 s
  EXPECT_EQ(requestsAfterAGet(), 0);
  manual.advance(1ms);
  EXPECT_EQ(requestsAfterAGet(), 1);
  StopGlobal();
}

TEST_F(HttpServerTest, AStaleTreeIsRefreshedThroughTheMainThread) {
  HttpServer& global = StartGlobalAskingMainThread(0ms);
  ASSERT_TRUE(global.running());
  EXPECT_EQ(test::Get(global.port(), "/nvr.xml").body.find("Door"), std::string::npos);
  EXPECT_TRUE(global.treeRequested());

  // The main thread answers the request with a fresh snapshot.
  bool handled = false;
  while (std::optional<AppMessage> message = mainQueue().take()) {
    if (std::holds_alternative<MsgHttpListen>(*message))
      handled = HandleNetMessage(*message, TestTree(), &global, DiscoveryConfig());
  }
  EXPECT_TRUE(handled);
  EXPECT_FALSE(global.treeRequested());
  EXPECT_NE(test::Get(global.port(), "/nvr.xml").body.find("Door"), std::string::npos);
  StopGlobal();
}

// A device that discovery adds reaches the server the message is handled for at once, so
// a peer sees it without waiting for a stale tree to be noticed.
TEST_F(HttpServerTest, AFoundDeviceReachesTheServerTheMessagesAreHandledFor) {
  TestTree().root = tree.root;
  TestPaths().pathData = recordings;
  TestTree().recordingsFolder = TestPaths().pathData;
  TestPaths().deviceTreePath = dir.file("Velmora NVR.xml");
  TestTree().filePath = TestPaths().deviceTreePath;
  ASSERT_TRUE(start());
  EXPECT_EQ(test::Get(server.port(), "/nvr.xml").body.find("ONVIF-127.0.0.9"), std::string::npos);
  AppMessage found = MsgOnvifDevice{"127.0.0.9", "ONVIF-127.0.0.9"};
  EXPECT_TRUE(HandleNetMessage(found, TestTree(), &server, DiscoveryConfig()));
  EXPECT_NE(test::Get(server.port(), "/nvr.xml").body.find("ONVIF-127.0.0.9"), std::string::npos);
  while (mainQueue().take()) {
  }
  TestPaths().deviceTreePath.clear();
  TestTree().root.reset();
}

TEST_F(HttpServerTest, StartupHookListensOnAllAddressesInsideANamespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "a fresh network namespace needs root";
  test::TempDir appDir;
  SetLogPath(appDir.file("app.log"));
  TestTree().root = tree.root;
  TestPaths().pathData = recordings;
  TestTree().recordingsFolder = TestPaths().pathData;
  velmora::test::TestSettings().httpServerPort = 8080;
  velmora::test::TestSettings().httpServerUser.clear();
  velmora::test::TestSettings().httpServerPassword.clear();
  HttpServer server;
  int status = 0;
  int secondPort = 0;
  // The hook binds every address: only inside an empty namespace of our own.
  const bool entered = test::RunInNamespace("", [&] {
    StartHttpServer(server, TestTree());
    StartHttpServer(server, TestTree());  // running already: nothing happens
    secondPort = server.port();
    status = test::Get(8080, "/nvr.xml").status;
    StopHttpServer(server);
  });
  if (!entered) GTEST_SKIP() << "cannot create a network namespace here";
  EXPECT_EQ(status, 200);
  EXPECT_EQ(secondPort, 8080);
  EXPECT_FALSE(server.running());
  const std::string log = test::ReadFile(appDir.file("app.log"));
  EXPECT_NE(log.find("starting HTTP server"), std::string::npos);
  SetLogPath(std::string());
  TestTree().root.reset();
}

TEST_F(HttpServerTest, BindFailureIsLoggedAndTheServerDoesNotRun) {
  ASSERT_TRUE(start());
  SetLogPath(dir.file("bind.log"));
  HttpServer other;
  HttpServerConfig taken = config;
  taken.port = server.port();
  EXPECT_FALSE(other.start(taken));
  EXPECT_FALSE(other.running());
  EXPECT_EQ(other.port(), 0);
  EXPECT_NE(test::ReadFile(dir.file("bind.log")).find("bind failed (98: "), std::string::npos);
  SetLogPath(std::string());
  // Stopping a server that never ran is harmless; a stopped one starts again.
  other.stop();
  server.stop();
  EXPECT_TRUE(start());
  EXPECT_EQ(test::Get(server.port(), "/").status, 200);
}

}  // namespace
}  // namespace velmora::net
