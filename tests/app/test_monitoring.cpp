// The recorder's monitoring routes as a monitor sees them: the real program records a
// fake camera headless, and its HTTP server's /metrics and /healthz are read while the
// camera delivers, after it went away and once it is back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "live/camsim_process.h"
#include "net/net_fixture.h"
#include "process.h"
#include "temp_dir.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::CamsimProcess;
using test::ChildProcess;
using test::FreePort;
using test::Get;
using test::ReadFile;
using test::TempDir;
using test::WaitFor;
using test::WriteFile;

// The value of one sample line of the exposition ("NAME{LABELS} VALUE"); -1 when absent.
long long Sample(const std::string& metrics, const std::string& series) {
  const std::size_t at = metrics.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::atoll(metrics.c_str() + at + series.size() + 2);
}

// Bytes in the folder's files with the extension.
uintmax_t Bytes(const std::filesystem::path& folder, const std::string& extension) {
  uintmax_t size = 0;
  std::error_code ec;
  for (auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().extension() == extension) size += entry.file_size(ec);
  }
  return size;
}

TEST(Monitoring, MetricsCountWhatWasRecordedAndHealthFollowsTheCamera) {
  auto camera = std::make_unique<CamsimProcess>(std::vector<std::string>{"--cameras", "1", "--quiet"});
  ASSERT_TRUE(camera->ok()) << camera->error();
  const uint16_t cameraPort = camera->port(0);

  TempDir dir;
  for (const char* sub : {"/data", "/config", "/run"}) std::filesystem::create_directories(dir.path() + sub);
  const std::string appData = dir.path() + "/data/Velmora/Velmora NVR";
  std::filesystem::create_directories(appData);
  WriteFile(appData + "/Velmora NVR.xml",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DeviceTree version=\"1.0\">\r\n"
            "<LocalNVR name=\"All Views\"><Group name=\"Yard\"><Device name=\"Door\">"
            "<Enabled>true</Enabled><Location>127.0.0.1:" +
                std::to_string(cameraPort) +
                "</Location><Recording>true</Recording><UpdateDelay>100</UpdateDelay>"
                "</Device></Group></LocalNVR></DeviceTree>\r\n");
  const int httpPort = FreePort();
  ASSERT_GT(httpPort, 0);
  // A device silent for 2 s makes the health answer fail (a minute unless set).
  WriteFile(appData + "/Velmora NVR.exe.config",
            "\t\t<add key=\"httpServer\" value=\"true\"/>\n"
            "\t\t<add key=\"httpServerPort\" value=\"" +
                std::to_string(httpPort) +
                "\"/>\n"
                "\t\t<add key=\"httpHealthFrameSeconds\" value=\"2\"/>\n");
  const std::vector<std::string> env = {"XDG_DATA_HOME=" + dir.path() + "/data",
                                        "XDG_CONFIG_HOME=" + dir.path() + "/config",
                                        "XDG_RUNTIME_DIR=" + dir.path() + "/run"};
  const std::filesystem::path folder = appData + "/Recordings/Yard/Door";
  const std::string log = appData + "/Velmora NVR.log";
  const std::string recorded = "velmora_device_frames_recorded_total{device=\"Yard/Door\"}";

  ChildProcess recorder({std::string(VELMORA_BINARY_DIR) + "/velmora-nvr", "--headless"}, env);
  ASSERT_TRUE(WaitFor([&] { return Bytes(folder, ".vlx") >= 10 * 16; }, 30s)) << ReadFile(log);
  EXPECT_EQ(Get(httpPort, "/healthz").body, "ok\n");

  // The camera goes away: the health answer names the device once it has been silent
  // for the limit, and from then on nothing more is recorded.
  camera->Stop();
  camera.reset();
  test::ParsedResponse health;
  ASSERT_TRUE(WaitFor(
      [&] {
        health = Get(httpPort, "/healthz");
        if (health.status == 503) return true;
        std::this_thread::sleep_for(100ms);
        return false;
      },
      15s))
      << health.status << " " << health.body;
  EXPECT_EQ(health.body.rfind("Yard/Door: no frame for ", 0), 0u) << health.body;

  const test::ParsedResponse metrics = Get(httpPort, "/metrics");
  ASSERT_EQ(metrics.status, 200);
  const uintmax_t entries = Bytes(folder, ".vlx") / 16;
  EXPECT_EQ(Sample(metrics.body, recorded), static_cast<long long>(entries)) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, "velmora_device_recorded_bytes_total{device=\"Yard/Door\"}"),
            static_cast<long long>(Bytes(folder, ".vlj")));
  EXPECT_GE(Sample(metrics.body, "velmora_device_frames_received_total{device=\"Yard/Door\"}"),
            static_cast<long long>(entries));
  EXPECT_EQ(Sample(metrics.body, "velmora_device_recording{device=\"Yard/Door\"}"), 1);

  // Back on its port: frames again, the answer healthy, and the comeback counted.
  CamsimProcess again({"--cameras", "1", "--quiet", "--port", std::to_string(cameraPort)});
  ASSERT_TRUE(again.ok()) << again.error();
  ASSERT_TRUE(WaitFor(
      [&] {
        if (Get(httpPort, "/healthz").status == 200) return true;
        std::this_thread::sleep_for(100ms);
        return false;
      },
      20s))
      << ReadFile(log);
  const test::ParsedResponse after = Get(httpPort, "/metrics");
  EXPECT_GT(Sample(after.body, recorded), static_cast<long long>(entries));
  EXPECT_GE(Sample(after.body, "velmora_device_reconnects_total{device=\"Yard/Door\"}"), 1);

  recorder.signal(SIGTERM);
  EXPECT_EQ(recorder.wait(20s), 0);
  // Dozens of polls of the two routes left no line in the log: none of their own, and no
  // request for a fresh snapshot answered by the main thread (each logs "HttpAccept").
  const std::string text = ReadFile(log);
  EXPECT_EQ(text.find("/healthz"), std::string::npos);
  EXPECT_EQ(text.find("HttpAccept"), std::string::npos);
}

}  // namespace
}  // namespace velmora
