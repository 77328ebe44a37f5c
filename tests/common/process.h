// Starts the program (or a tool) as a child process with its own environment, and
// ends it by its PID. Every wait is bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace velmora::test {

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
  // outputPath, when given, receives the child's standard output and error.
  void start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& workingDir = std::string(),
             const std::string& outputPath = std::string()) {
    pid_ = ::fork();
    if (pid_ == 0) {
      if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0) ::_exit(126);
      if (!outputPath.empty()) {
        int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(125);
        ::close(out);
      }
      for (const auto& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
      std::vector<char*> args;
      for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }

  pid_t pid() const { return pid_; }

  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // Waits at most timeout for the child to end; returns its exit code, or -1 on time-out
  // (the child is then killed), or 128 + signal when a signal ended it.
  int wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return -1;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  pid_t pid_ = -1;
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
