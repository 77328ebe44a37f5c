// Child processes of the tests, ended by their PID, every wait bounded:
// - ChildProcess starts the program (or a tool) with its own environment;
// - PipedChild starts a fake server whose standard output the test reads (the ports it
//   listens on, its "ready" line) and whose standard input it holds, so that a server
//   started with --watch-stdin ends by itself if the test process dies.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace velmora::test {

// Reaps `pid` if it ends within timeout; true (with its status) when it did. A pid that
// is no child of ours any more counts as ended.
inline bool ReapWithin(pid_t pid, std::chrono::milliseconds timeout, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0) {
      status = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Starts argv[0] (a path) with argv and the current environment, `env` entries
// ("NAME=value") added to it or replacing the entries of the same name ("NAME" alone
// removes it, as putenv does), after the file actions. -1 when it cannot be started. posix_spawn rather than fork: the test programs
// run threads, and the child of a forking threaded process may not even allocate before
// its exec.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const posix_spawn_file_actions_t& actions) {
  if (argv.empty()) return -1;
  std::vector<std::string> text = argv;
  std::vector<char*> args;
  for (auto& a : text) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view current(*entry);
    const std::string_view name = current.substr(0, current.find('='));
    const bool replaced = std::any_of(env.begin(), env.end(), [name](const std::string& added) {
      return std::string_view(added).substr(0, added.find('=')) == name;
    });
    if (!replaced) environment.emplace_back(current);
  }
  std::copy_if(env.begin(), env.end(), std::back_inserter(environment),
               [](const std::string& added) { return added.find('=') != std::string::npos; });
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) return -1;
  return pid;
}

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    start(argv, env);
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // env entries are "NAME=value" added to (or replacing in) the current environment.
  // outputPath, when given, receives the child's standard output and error. A program
  // that cannot be started leaves pid() at -1 (wait() then answers -1).
  void start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& workingDir = std::string(),
             const std::string& outputPath = std::string()) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // In this order, as a shell would: a relative output path is taken in workingDir.
    if (!workingDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    if (!outputPath.empty()) {
      posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_ = Spawn(argv, env, actions);
    posix_spawn_file_actions_destroy(&actions);
  }

  pid_t pid() const { return pid_; }

  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // Waits at most timeout for the child to end; returns its exit code, or -1 on time-out
  // (the child is then killed), or 128 + signal when a signal ended it.
  int wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    int status = 0;
    if (!ReapWithin(pid_, timeout, status)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    pid_ = -1;
    if (status != -1 && WIFEXITED(status)) return WEXITSTATUS(status);
    if (status != -1 && WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

class PipedChild {
 public:
  PipedChild() = default;
  ~PipedChild() { Stop(std::chrono::milliseconds(5000)); }
  PipedChild(const PipedChild&) = delete;
  PipedChild& operator=(const PipedChild&) = delete;

  // Starts argv[0] (a path) with argv. Its standard output, and its standard error when
  // mergeStderr is set, go to a pipe read here. False, with `error`, when it cannot start.
  bool Start(const std::vector<std::string>& argv, bool mergeStderr, std::string& error) {
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      error = "pipe failed";
      return false;
    }
    if (::pipe2(in, O_CLOEXEC) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      error = "pipe failed";
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (mergeStderr) posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    const pid_t pid = Spawn(argv, {}, actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    if (pid < 0) {
      ::close(out[0]);
      ::close(in[1]);
      error = "posix_spawn failed";
      return false;
    }
    pid_ = pid;
    stdinWrite_ = in[1];
    outRead_ = out[0];
    return true;
  }

  pid_t pid() const { return pid_; }

  // Reads the output line by line (each kept for output()) until `line` returns true for
  // one, the output ends or the time-out passes; true when `line` did.
  bool ReadLinesUntil(const std::function<bool(const std::string&)>& line, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (outRead_ >= 0) {
      for (std::size_t eol; (eol = pending_.find('\n')) != std::string::npos;) {
        const std::string text = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        Keep(text + "\n");
        if (line(text)) return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd p{outRead_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char buf[4096];
      const ssize_t n = ::read(outRead_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      pending_.append(buf, static_cast<std::size_t>(n));
    }
    return false;
  }

  // From now on the output is read on a thread, so that the child never blocks on a full
  // pipe, and kept for output() up to keepBytes (0: dropped).
  void DrainInBackground(std::size_t keepBytes) {
    if (outRead_ < 0 || drain_.joinable()) return;
    keepBytes_ = keepBytes;
    Keep(pending_);
    pending_.clear();
    drain_ = std::thread([this, fd = outRead_] {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        Keep(std::string(buf, static_cast<std::size_t>(n)));
      }
    });
  }

  // Everything kept of the output so far.
  std::string output() const {
    std::lock_guard<std::mutex> lock(outputLock_);
    return output_;
  }

  // SIGTERM, up to timeout for the exit, then SIGKILL; closes the pipes. True when the
  // child exited by itself with status 0 (also when it had been stopped so before).
  bool Stop(std::chrono::milliseconds timeout) {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      if (ReapWithin(pid_, timeout, status)) {
        exitedCleanly_ = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
      } else {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        exitedCleanly_ = false;
      }
      pid_ = -1;
    }
    if (stdinWrite_ >= 0) ::close(stdinWrite_);
    stdinWrite_ = -1;
    if (drain_.joinable()) drain_.join();  // the pipe ended with the child
    if (outRead_ >= 0) ::close(outRead_);
    outRead_ = -1;
    return exitedCleanly_;
  }

 private:
  void Keep(const std::string& text) {
    std::lock_guard<std::mutex> lock(outputLock_);
    if (output_.size() < keepBytes_) output_ += text;
  }

  pid_t pid_ = -1;
  int stdinWrite_ = -1;
  int outRead_ = -1;
  bool exitedCleanly_ = false;
  std::string pending_;  // read, not yet split into lines (reading thread only)
  std::size_t keepBytes_ = 1u << 20;
  mutable std::mutex outputLock_;
  std::string output_;  // guarded by outputLock_
  std::thread drain_;
};

// Polls a condition every 20 ms for at most timeout.
template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace velmora::test
