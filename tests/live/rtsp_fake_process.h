// Test-side helper: runs tools/rtsp_fake.py (GStreamer's RTSP server through python3-gi)
// as a child process on a loopback port and ends it, by its PID, when the object goes
// away. The child also watches its standard input, so it ends by itself if the test
// process dies without cleaning up.
//
//   RtspFakeProcess fake({"--width", "320", "--height", "240", "--fps", "25"});
//   ASSERT_TRUE(fake.ok()) << fake.error();
//   std::string url = fake.url("/h264");
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

  bool ok() const { return pid_ > 0 && port_ != 0; }
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const { return "rtsp://127.0.0.1:" + std::to_string(port_) + path; }

  // SIGTERM, up to timeoutMs for the exit, then SIGKILL.
  void Stop(int timeoutMs = 5000) {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    bool reaped = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || r < 0) {
        reaped = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (stdinWrite_ >= 0) close(stdinWrite_);
    stdinWrite_ = -1;
    if (drain_.joinable()) drain_.join();  // the pipe ended with the child
    if (outRead_ >= 0) close(outRead_);
    outRead_ = -1;
  }

 private:
  void Start(std::vector<std::string> args, int startTimeoutMs) {
    if (access(kPython, X_OK) != 0 || access(ScriptPath().c_str(), R_OK) != 0) {
      error_ = std::string("no ") + kPython + " or no " + ScriptPath();
      return;
    }
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(in, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return;
    }
    std::vector<std::string> text = {kPython, ScriptPath()};
    for (auto& a : args) text.push_back(a);
    text.push_back("--watch-stdin");
    std::vector<char*> argv;
    for (auto& a : text) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(in[0]);
    if (rc != 0) {
      close(out[0]);
      close(in[1]);
      error_ = "posix_spawn failed";
      return;
    }
    pid_ = pid;
    stdinWrite_ = in[1];
    outRead_ = out[0];
    std::string pending;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(startTimeoutMs);
    bool ready = false;
    while (!ready) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{outRead_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[1024];
      const ssize_t n = read(outRead_, buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, static_cast<std::size_t>(n));
      const std::string tag = "listening on 127.0.0.1:";
      const std::size_t at = pending.find(tag);
      if (at != std::string::npos && port_ == 0) port_ = static_cast<uint16_t>(std::atoi(pending.c_str() + at + tag.size()));
      ready = pending.find("rtsp_fake: ready") != std::string::npos;
    }
    if (!ready || port_ == 0) {
      error_ = "rtsp_fake did not start: " + pending;
      port_ = 0;
      Stop(1000);
      return;
    }
    // Later output (GStreamer's warnings) is read and dropped, so the child never
    // blocks on a full pipe.
    drain_ = std::thread([fd = outRead_] {
      char buf[4096];
      for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
      }
    });
  }

  pid_t pid_ = -1;
  int stdinWrite_ = -1;
  int outRead_ = -1;
  uint16_t port_ = 0;
  std::string error_;
  std::thread drain_;
};

}  // namespace velmora::test
