// The HTTP server under a flood of slow clients on loopback: attackers on 127.0.0.2 and
// up trickle requests and reconnect whenever they are closed, or ask for a large file
// and never read it, while an ordinary client on 127.0.0.1 keeps getting its answers.
// Every loop is bounded in count and time; the attack ends by itself.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/http_listing.h"
#include "net/http_server.h"
#include "net_fixture.h"
#include "process.h"

namespace velmora::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Keeps `count` connections from `source` open, each sending one byte of a request every
// `pace` and never finishing it; a connection the server closes is replaced at once.
void TrickleFlood(const char* source, uint16_t port, int count, Clock::time_point end, std::atomic<int>& reconnects) {
  const std::string request = "GET /nvr.xml HTTP/1.0\r\nX-Filler: " + std::string(200, 'a') + "\r\n\r\n";
  std::vector<int> fds(static_cast<std::size_t>(count), -1);
  std::vector<std::size_t> sent(fds.size(), 0);
  for (int round = 0; round < 2000 && Clock::now() < end; ++round) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i] >= 0 && test::PeerGone(fds[i])) {
        ::close(fds[i]);
        fds[i] = -1;
        ++reconnects;
      }
      if (fds[i] < 0) {
        fds[i] = test::ConnectFrom(source, port);
        sent[i] = 0;
      }
      if (fds[i] >= 0 && round % 10 == 0 && sent[i] < request.size())
        ::send(fds[i], &request[sent[i]++], 1, MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(20ms);
  }
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
}

// Keeps `count` connections from `source` asking for a large file that they never read;
// one the server cuts off is replaced.
void NeverRead(const char* source, uint16_t port, int count, const std::string& path, Clock::time_point end) {
  const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
  std::vector<int> fds(static_cast<std::size_t>(count), -1);
  for (int round = 0; round < 1000 && Clock::now() < end; ++round) {
    for (int& fd : fds) {
      if (fd >= 0 && test::PeerGone(fd)) {
        ::close(fd);
        fd = -1;
      }
      if (fd < 0) {
        fd = test::ConnectFrom(source, port, 4096);
        if (fd >= 0) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
}

TEST(HttpFlood, AnOrdinaryClientIsAnsweredWhileSlowClientsFloodTheServer) {
  test::TempDir dir;
  const std::string recordings = dir.path() + "/rec/";
  test::SampleTree tree;
  // A data file of 8 MB: far more than the system's buffers hold for a client that
  // never reads.
  for (int i = 0; i < 80; ++i)
    test::AppendRecord(recordings + "Yard/Door", test::kRecordTime + i, 0,
                       test::FakeJpeg(100000, static_cast<uint8_t>(i)));

  HttpServerConfig config;
  config.bindAddress = "127.0.0.1";
  config.port = 0;
  config.askMainThread = false;
  config.maxConnections = 48;
  config.maxConnectionsPerAddress = 8;
  config.readTimeout = 4000ms;  // longer than the attack lasts: only eviction frees places
  config.writeTimeout = 1000ms;
  HttpServer server;
  ASSERT_TRUE(server.start(config));
  server.publishTree(TakeTreeSnapshot(tree.root.get(), recordings));
  const uint16_t port = server.port();

  // Four addresses trickle (12 connections each, 8 allowed), two never read (10 each,
  // 8 allowed): 32 + 16 places, every one of the 48.
  const Clock::time_point end = Clock::now() + 4500ms;
  std::atomic<int> reconnects{0};
  std::vector<std::thread> attackers;
  for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"})
    attackers.emplace_back(TrickleFlood, source, port, 12, end, std::ref(reconnects));
  for (const char* source : {"127.0.0.6", "127.0.0.7"})
    attackers.emplace_back(NeverRead, source, port, 10, "/Yard/Door/26120814.vlj", end);
  ASSERT_TRUE(test::WaitFor([&] { return server.stats().openConnections == config.maxConnections; }, 3000ms));

  int answered = 0;
  int asked = 0;
  std::size_t mostOpen = 0;
  for (; asked < 40 && Clock::now() < end - 300ms; ++asked) {
    if (test::Get(port, "/nvr.xml").status == 200) ++answered;
    mostOpen = std::max(mostOpen, server.stats().openConnections);
    std::this_thread::sleep_for(30ms);
  }
  for (auto& attacker : attackers) attacker.join();

  const HttpServerStats stats = server.stats();
  EXPECT_GE(asked, 20);
  EXPECT_EQ(answered, asked);
  EXPECT_LE(mostOpen, config.maxConnections);
  EXPECT_GT(stats.addressRefused, 0u);  // the attackers' surplus connections
  EXPECT_GT(stats.evicted, 0u);         // places made for the client
  EXPECT_GE(stats.timedOut, 16u);       // the stalled downloads, after a second without progress
  EXPECT_GT(reconnects.load(), 0);
  EXPECT_TRUE(test::WaitFor([&] { return server.stats().openConnections == 0; }, 5000ms));
  EXPECT_EQ(test::Get(port, "/nvr.xml").status, 200);
  server.stop();
}

}  // namespace
}  // namespace velmora::net
