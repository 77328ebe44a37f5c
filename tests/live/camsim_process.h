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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

  bool ok() const { return pid_ > 0 && !ports_.empty(); }
  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }
  const std::vector<uint16_t>& ports() const { return ports_; }
  uint16_t port(int camera = 0) const {
    return camera >= 0 && static_cast<size_t>(camera) < ports_.size() ? ports_[static_cast<size_t>(camera)] : 0;
  }
  // "http://127.0.0.1:<port><path>"
  std::string url(int camera, const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port(camera)) + path;
  }
  // Everything the server printed so far.
  std::string output() const {
    std::lock_guard<std::mutex> lock(outputLock_);
    return output_;
  }

  // Ends the server: SIGTERM, up to timeoutMs for it to exit, then SIGKILL. Returns
  // true when it exited by itself with status 0.
  bool Stop(int timeoutMs = 5000) {
    if (pid_ <= 0) return exitedCleanly_;
    kill(pid_, SIGTERM);
    int status = 0;
    bool reaped = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || r < 0) {
        reaped = r == pid_;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      exitedCleanly_ = false;
    } else {
      exitedCleanly_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    pid_ = -1;
    if (stdinWrite_ >= 0) {
      close(stdinWrite_);
      stdinWrite_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    return exitedCleanly_;
  }

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
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    if (pipe2(in, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      error_ = "pipe failed";
      return;
    }
    std::vector<std::string> argvText;
    argvText.push_back(binary);
    for (auto& a : args) argvText.push_back(a);
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
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

    // Read lines until "camsim: ready" (or the time-out), then keep draining the pipe
    // on a thread so that the server never blocks on a full pipe.
    std::string pending;
    bool ready = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(startTimeoutMs);
    while (!ready) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        {
          std::lock_guard<std::mutex> lock(outputLock_);
          output_ += line + "\n";
        }
        const std::string tag = "listening on 127.0.0.1:";
        const size_t at = line.find(tag);
        if (at != std::string::npos) ports_.push_back(static_cast<uint16_t>(std::atoi(line.c_str() + at + tag.size())));
        if (line == "camsim: ready") ready = true;
      }
    }
    const int readFd = out[0];
    reader_ = std::thread([this, readFd, rest = pending] {
      {
        std::lock_guard<std::mutex> lock(outputLock_);
        output_ += rest;
      }
      char buf[4096];
      for (;;) {
        const ssize_t n = read(readFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(outputLock_);
        if (output_.size() < (1u << 20)) output_.append(buf, static_cast<size_t>(n));
      }
      close(readFd);
    });
    // The server prints "ready" only after every camera's socket listens, so from here
    // connections are accepted (a probe connection would disturb the counters).
    if (!ready || ports_.empty()) {
      error_ = "camsim did not start: " + output();
      ports_.clear();
      Stop(1000);
    }
  }

  pid_t pid_ = -1;
  int stdinWrite_ = -1;
  bool exitedCleanly_ = false;
  std::vector<uint16_t> ports_;
  std::string error_;
  mutable std::mutex outputLock_;
  std::string output_;  // guarded by outputLock_
  std::thread reader_;
};

}  // namespace velmora::test
