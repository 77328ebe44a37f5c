// The whole chain with real programs: the fake camera streams, the recorder records it
// headless, and the export command turns the recordings into an AVI file and JPEG files
// that ffprobe and ffmpeg read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
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
using test::ReadFile;
using test::TempDir;
using test::WaitFor;
using test::WriteFile;

std::string Program() { return std::string(VELMORA_BINARY_DIR) + "/velmora-nvr"; }

// Output of a shell command (bounded by the command itself).
std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

size_t FileCount(const std::filesystem::path& folder, const std::string& extension) {
  size_t count = 0;
  std::error_code ec;
  for (auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
    if (entry.path().extension() == extension) ++count;
  }
  return count;
}

TEST(EndToEnd, RecordFromCameraThenExportAviAndJpeg) {
  if (Shell("command -v ffprobe").empty()) GTEST_SKIP() << "ffprobe is not installed";
  CamsimProcess camera({"--cameras", "1", "--quiet"});
  ASSERT_TRUE(camera.ok()) << camera.error();

  TempDir dir;
  for (const char* sub : {"/data", "/config", "/run"}) {
    std::filesystem::create_directories(dir.path() + sub);
  }
  const std::string appData = dir.path() + "/data/Velmora/Velmora NVR";
  std::filesystem::create_directories(appData);
  WriteFile(appData + "/Velmora NVR.xml",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DeviceTree version=\"1.0\">\r\n"
            "<LocalNVR name=\"All Views\"><Group name=\"Yard\"><Device name=\"Door\">"
            "<Enabled>true</Enabled><Location>127.0.0.1:" +
                std::to_string(camera.ports().at(0)) +
                "</Location><Recording>true</Recording><UpdateDelay>100</UpdateDelay>"
                "</Device></Group></LocalNVR></DeviceTree>\r\n");
  std::vector<std::string> env = {"XDG_DATA_HOME=" + dir.path() + "/data",
                                  "XDG_CONFIG_HOME=" + dir.path() + "/config",
                                  "XDG_RUNTIME_DIR=" + dir.path() + "/run"};

  // The recorder also serves its recordings over HTTP, as another instance reads them.
  const int httpPort = FreePort();
  ASSERT_GT(httpPort, 0);
  WriteFile(appData + "/Velmora NVR.exe.config",
            "\t\t<add key=\"httpServer\" value=\"true\"/>\n"
            "\t\t<add key=\"httpServerPort\" value=\"" + std::to_string(httpPort) + "\"/>\n");

  const std::filesystem::path folder = appData + "/Recordings/Yard/Door";
  {
    ChildProcess recorder({Program(), "--headless"}, env);
    // At least 20 frames recorded (the index holds 16 bytes per frame).
    ASSERT_TRUE(WaitFor(
        [&] {
          std::error_code ec;
          uintmax_t size = 0;
          for (auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.path().extension() == ".vlx") size += entry.file_size(ec);
          }
          return size >= 20 * 16;
        },
        30s))
        << ReadFile(appData + "/Velmora NVR.log");
    // Played back from the running instance through its HTTP server, by the same
    // playback engine and writer a second instance uses.
    const std::string remoteJpegs = dir.path() + "/remote";
    ChildProcess remote({Program(), "export", "--jpeg",
                         "http://127.0.0.1:" + std::to_string(httpPort) + "/Yard/Door/", remoteJpegs},
                        env);
    EXPECT_EQ(remote.wait(60s), 0);
    EXPECT_GE(FileCount(remoteJpegs, ".jpg"), 20u);

    recorder.signal(SIGTERM);
    ASSERT_EQ(recorder.wait(20s), 0);
  }

  const std::string avi = dir.path() + "/door.avi";
  ChildProcess exportAvi({Program(), "export", folder.string(), avi}, env);
  ASSERT_EQ(exportAvi.wait(60s), 0);
  std::string probe = Shell("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                          "stream=codec_name,nb_read_frames -of csv=p=0 '" + avi + "'");
  EXPECT_EQ(probe.rfind("mjpeg,", 0), 0u) << probe;
  int frames = std::atoi(probe.c_str() + probe.find(',') + 1);
  EXPECT_GE(frames, 20) << probe;
  EXPECT_EQ(Shell("ffmpeg -v error -i '" + avi + "' -f null - 2>&1 </dev/null"), "");

  const std::string jpegs = dir.path() + "/jpegs";
  ChildProcess exportJpeg({Program(), "export", "--jpeg", folder.string(), jpegs}, env);
  ASSERT_EQ(exportJpeg.wait(60s), 0);
  EXPECT_EQ(FileCount(jpegs, ".jpg"), static_cast<size_t>(frames));
}

}  // namespace
}  // namespace velmora
