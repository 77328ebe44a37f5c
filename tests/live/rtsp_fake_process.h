// Test-side helper: runs tools/rtsp_fake.py (GStreamer's RTSP server through python3-gi)
// as a child process on a loopback port and ends it, by its PID, when the object goes
// away. The child also watches its standard input, so it ends by itself if the test
// process dies without cleaning up.
//
//   RtspFakeProcess fake({"--width", "320", "--height", "240", "--fps", "25"});
//   ASSERT_TRUE(fake.ok()) << fake.error();
//   std::string url = fake.url("/h264");
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../common/process.h"  // found beside this header from the benchmarks too

namespace velmora::test {

class RtspFakeProcess {
 public:
  explicit RtspFakeProcess(std::vector<std::string> args, int startTimeoutMs = 20000) {
    Start(std::move(args), startTimeoutMs);
  }
  ~RtspFakeProcess() { Stop(); }
  RtspFakeProcess(const RtspFakeProcess&) = delete;
  RtspFakeProcess& operator=(const RtspFakeProcess&) = delete;

  // The script: $RTSP_FAKE when set, else the source tree's tools/rtsp_fake.py. It runs
  // under the system's python3 (where python3-gi is installed).
  static std::string ScriptPath() {
    if (const char* env = std::getenv("RTSP_FAKE"); env != nullptr && *env != 0) return env;
#ifdef VELMORA_SOURCE_DIR
    return std::string(VELMORA_SOURCE_DIR) + "/tools/rtsp_fake.py";
#else
    return "tools/rtsp_fake.py";
#endif
  }
  static constexpr const char* kPython = "/usr/bin/python3";

  bool ok() const { return child_.pid() > 0 && port_ != 0; }
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const { return "rtsp://127.0.0.1:" + std::to_string(port_) + path; }

  // SIGTERM, up to timeoutMs for the exit, then SIGKILL.
  void Stop(int timeoutMs = 5000) { child_.Stop(std::chrono::milliseconds(timeoutMs)); }

 private:
  void Start(std::vector<std::string> args, int startTimeoutMs) {
    if (access(kPython, X_OK) != 0 || access(ScriptPath().c_str(), R_OK) != 0) {
      error_ = std::string("no ") + kPython + " or no " + ScriptPath();
      return;
    }
    std::vector<std::string> argv = {kPython, ScriptPath()};
    for (auto& a : args) argv.push_back(a);
    argv.push_back("--watch-stdin");
    if (!child_.Start(argv, true, error_)) return;
    const bool ready = child_.ReadLinesUntil(
        [this](const std::string& line) {
          const std::string tag = "listening on 127.0.0.1:";
          const std::size_t at = line.find(tag);
          if (at != std::string::npos && port_ == 0) port_ = static_cast<uint16_t>(std::atoi(line.c_str() + at + tag.size()));
          return line.find("rtsp_fake: ready") != std::string::npos;
        },
        std::chrono::milliseconds(startTimeoutMs));
    if (!ready || port_ == 0) {
      error_ = "rtsp_fake did not start: " + child_.output();
      port_ = 0;
      Stop(1000);
      return;
    }
    // Later output (GStreamer's warnings) is read and dropped, so the child never
    // blocks on a full pipe.
    child_.DrainInBackground(0);
  }

  PipedChild child_;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace velmora::test
