// Test-side helper: runs the fake camera server as a child process on free loopback
// ports and ends it (by its PID) when the object goes away.
//
//   CamsimProcess cams({"--cameras", "2", "--width", "320", "--height", "240"});
//   ASSERT_TRUE(cams.ok()) << cams.error();
//   std::string url = cams.url(0, "/jpeg.cgi");
//
// Ports: unless the arguments name --port or --base-port, every camera binds port 0 and
// the helper reads the ports the server prints. The child also watches its standard
// input, so it ends by itself if the test process dies without cleaning up.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../common/process.h"  // found beside this header from the benchmarks too

namespace velmora::test {

class CamsimProcess {
 public:
  explicit CamsimProcess(std::vector<std::string> args, int startTimeoutMs = 15000) { Start(std::move(args), startTimeoutMs); }
  ~CamsimProcess() { Stop(); }
  CamsimProcess(const CamsimProcess&) = delete;
  CamsimProcess& operator=(const CamsimProcess&) = delete;

  // The server binary: $CAMSIM when set, else the build tree's tools/camsim/camsim.
  static std::string BinaryPath() {
    if (const char* env = std::getenv("CAMSIM"); env != nullptr && *env != 0) return env;
    const char* dir = std::getenv("VELMORA_BINARY_DIR");
#ifdef VELMORA_BINARY_DIR
    if (dir == nullptr || *dir == 0) dir = VELMORA_BINARY_DIR;
#endif
    return std::string(dir != nullptr ? dir : ".") + "/tools/camsim/camsim";
  }

  bool ok() const { return child_.pid() > 0 && !ports_.empty(); }
  const std::string& error() const { return error_; }
  pid_t pid() const { return child_.pid(); }
  const std::vector<uint16_t>& ports() const { return ports_; }
  uint16_t port(int camera = 0) const {
    return camera >= 0 && static_cast<size_t>(camera) < ports_.size() ? ports_[static_cast<size_t>(camera)] : 0;
  }
  // "http://127.0.0.1:<port><path>"
  std::string url(int camera, const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port(camera)) + path;
  }
  // Everything the server printed so far (up to 1 MiB).
  std::string output() const { return child_.output(); }

  // Ends the server: SIGTERM, up to timeoutMs for it to exit, then SIGKILL. Returns
  // true when it exited by itself with status 0.
  bool Stop(int timeoutMs = 5000) { return child_.Stop(std::chrono::milliseconds(timeoutMs)); }

 private:
  void Start(std::vector<std::string> args, int startTimeoutMs) {
    bool portGiven = false;
    for (const std::string& a : args) portGiven = portGiven || a == "--port" || a == "--base-port";
    if (!portGiven) {
      args.push_back("--base-port");
      args.push_back("0");
    }
    args.push_back("--watch-stdin");
    const std::string binary = BinaryPath();
    if (access(binary.c_str(), X_OK) != 0) {
      error_ = "camsim not built at " + binary;
      return;
    }
    args.insert(args.begin(), binary);
    if (!child_.Start(args, false, error_)) return;
    // Every camera prints its port; the server prints "ready" only after every camera's
    // socket listens, so from then connections are accepted (a probe connection would
    // disturb the counters).
    const bool ready = child_.ReadLinesUntil(
        [this](const std::string& line) {
          const std::string tag = "listening on 127.0.0.1:";
          const size_t at = line.find(tag);
          if (at != std::string::npos) ports_.push_back(static_cast<uint16_t>(std::atoi(line.c_str() + at + tag.size())));
          return line == "camsim: ready";
        },
        std::chrono::milliseconds(startTimeoutMs));
    child_.DrainInBackground(1u << 20);
    if (!ready || ports_.empty()) {
      error_ = "camsim did not start: " + output();
      ports_.clear();
      Stop(1000);
    }
  }

  PipedChild child_;
  std::vector<uint16_t> ports_;
  std::string error_;
};

}  // namespace velmora::test
