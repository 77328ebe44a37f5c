// The monitoring routes of the HTTP server on 127.0.0.1: the metrics exposition as a
// real collector reads it (checked by promtool), the health verdict's limits, and who
// may read either.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "net/http_monitor.h"
#include "net/http_server.h"
#include "net_fixture.h"
#include "platform/clock.h"

namespace velmora::net {
namespace {

using namespace std::chrono_literals;

// Sends a GET from the loopback address `source` and parses the answer.
test::ParsedResponse GetFrom(const char* source, uint16_t port, const std::string& path,
                             const std::string& extraHeaders = {}) {
  const int fd = test::ConnectFrom(source, port);
  if (fd < 0) return {};
  const std::string request = "GET " + path + " HTTP/1.0\r\n" + extraHeaders + "\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  const std::string raw = test::ReadAll(fd, 5000ms);
  ::close(fd);
  return test::ParseResponse(raw);
}

// The output and exit status of a shell command (bounded by the command itself).
std::string Shell(const std::string& command, int* status) {
  std::string out;
  *status = -1;
  if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    *status = ::pclose(pipe);
  }
  return out;
}

class HttpMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recordings = dir.path() + "/rec/";
    std::filesystem::create_directories(recordings);
    config.bindAddress = "127.0.0.1";
    config.port = 0;
    config.askMainThread = false;
    config.recordingsFolder = recordings;
  }
  void TearDown() override { server.stop(); }

  test::TempDir dir;
  std::string recordings;
  test::SampleTree tree;
  HttpServerConfig config;
  HttpServer server;
};

TEST_F(HttpMonitorTest, MetricsOfAwkwardDeviceNamesPassPromtool) {
  // Names that reach the exposition from a tree file may hold what a label value must
  // escape; the snapshot below stands in for such a tree.
  auto snapshot = std::make_shared<TreeSnapshot>(*TakeTreeSnapshot(tree.root.get(), recordings));
  auto odd = std::make_shared<DeviceCounters>();
  odd->add(odd->framesRecorded, 7);
  odd->add(odd->bytesRecorded, 7 * 4096);
  odd->lastFrameMs = platform::SteadyMs() - 1500;
  odd->fetchError = true;
  snapshot->devices.push_back(MonitoredDevice{"Yard/Say \"hi\"\\back\nslash", 0, odd});
  snapshot->devices.push_back(MonitoredDevice{"Hof/Tür", 0, std::make_shared<DeviceCounters>()});
  tree.door->counters->add(tree.door->counters->framesReceived, 3);
  ASSERT_TRUE(server.start(config));
  server.publishTree(snapshot);

  const test::ParsedResponse r = test::Get(server.port(), "/metrics");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string& body = r.body;
  EXPECT_NE(body.find("velmora_device_frames_recorded_total{device=\"Yard/Say \\\"hi\\\"\\\\back\\nslash\"} 7\n"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("velmora_device_recorded_bytes_total{device=\"Yard/Say \\\"hi\\\"\\\\back\\nslash\"} 28672\n"),
            std::string::npos);
  EXPECT_NE(body.find("velmora_device_fetch_error{device=\"Yard/Say \\\"hi\\\"\\\\back\\nslash\"} 1\n"),
            std::string::npos);
  EXPECT_NE(body.find("velmora_device_frames_received_total{device=\"Yard/Door\"} 3\n"), std::string::npos);
  EXPECT_NE(body.find("velmora_device_frames_received_total{device=\"Hof/Tür\"} 0\n"), std::string::npos);
  // This very request was accepted before the answer was built.
  EXPECT_NE(body.find("velmora_http_connections_accepted_total 1\n"), std::string::npos);
  EXPECT_NE(body.find("velmora_disk_free_bytes "), std::string::npos);
  // Only the device that had a frame has an age.
  EXPECT_EQ(body.find("velmora_device_last_frame_age_seconds{device=\"Yard/Door\"}"), std::string::npos);
  EXPECT_NE(body.find("velmora_device_last_frame_age_seconds{device=\"Yard/Say"), std::string::npos);

  int status = 0;
  if (Shell("command -v promtool", &status).empty() || status != 0) GTEST_SKIP() << "promtool is not installed";
  const std::string file = dir.file("metrics.txt");
  std::ofstream(file, std::ios::binary) << body;
  const std::string verdict = Shell("promtool check metrics < '" + file + "'", &status);
  EXPECT_EQ(status, 0) << verdict << "\n" << body;
}

TEST(HttpHealth, MainLoopAndRecordingDevicesWithGraceAndUpdateDelay) {
  TreeSnapshot tree;
  auto door = std::make_shared<DeviceCounters>();
  auto yard = std::make_shared<DeviceCounters>();
  auto idle = std::make_shared<DeviceCounters>();
  tree.devices = {{"Demo/Door", 100, door}, {"Demo/Yard", 300000, yard}, {"Demo/Idle", 100, idle}};
  MonitorState state;
  state.nowMs = 1000000;
  state.mainLoopMs = state.nowMs - 20;
  // Door and Yard became recording devices 59 s ago and have had no frame: still in
  // their grace. Idle records nothing and never counts.
  door->recordingSinceMs = state.nowMs - 59000;
  yard->recordingSinceMs = state.nowMs - 59000;
  HealthAnswer answer = CheckHealth(tree, state);
  EXPECT_TRUE(answer.healthy);
  EXPECT_EQ(answer.body, "ok\n");

  // 75 s on: the grace is over for Door; Yard asks for a picture every 5 minutes and is
  // given twice that. Then the main loop stops turning.
  state.nowMs += 16000;
  state.mainLoopMs = state.nowMs - 14500;
  answer = CheckHealth(tree, state);
  EXPECT_FALSE(answer.healthy);
  EXPECT_EQ(answer.body, "main loop stalled for 14 s\nDemo/Door: no frame for 75 s\n");

  // A frame a moment ago mends Door; the loop turns again.
  door->lastFrameMs = state.nowMs - 500;
  state.mainLoopMs = state.nowMs;
  EXPECT_TRUE(CheckHealth(tree, state).healthy);
  // A device that stops recording is no longer expected to deliver.
  state.nowMs += 120000;
  state.mainLoopMs = state.nowMs;
  EXPECT_EQ(CheckHealth(tree, state).body, "Demo/Door: no frame for 120 s\n");
  door->recordingSinceMs = DeviceCounters::kNever;
  EXPECT_TRUE(CheckHealth(tree, state).healthy);
}

TEST_F(HttpMonitorTest, LoginGuardsBothRoutesAndTheMetricsAddressReadsOnlyMetrics) {
  config.auth.user = "admin";
  config.auth.password = "secret";
  config.auth.metricsAddress = "127.0.0.2";
  ASSERT_TRUE(server.start(config));
  server.publishTree(TakeTreeSnapshot(tree.root.get(), recordings));
  const std::string login = "Authorization: Basic YWRtaW46c2VjcmV0\r\n";  // admin:secret

  EXPECT_EQ(GetFrom("127.0.0.1", server.port(), "/metrics").status, 401);
  EXPECT_EQ(GetFrom("127.0.0.1", server.port(), "/healthz").status, 401);
  EXPECT_EQ(GetFrom("127.0.0.1", server.port(), "/metrics", login).status, 200);
  const test::ParsedResponse health = GetFrom("127.0.0.1", server.port(), "/healthz", login);
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ok\n");
  EXPECT_EQ(health.header("Cache-Control"), "no-cache");

  // The collector's address: /metrics without the login, nothing else.
  const test::ParsedResponse metrics = GetFrom("127.0.0.2", server.port(), "/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_NE(metrics.body.find("velmora_device_frames_recorded_total{device=\"Yard/Door\"} 0\n"), std::string::npos);
  EXPECT_EQ(GetFrom("127.0.0.2", server.port(), "/healthz").status, 401);
  EXPECT_EQ(GetFrom("127.0.0.2", server.port(), "/nvr.xml").status, 401);
  EXPECT_EQ(GetFrom("127.0.0.2", server.port(), "/metrics?x=1").status, 401);
  EXPECT_EQ(GetFrom("127.0.0.3", server.port(), "/metrics").status, 401);
}

}  // namespace
}  // namespace velmora::net
