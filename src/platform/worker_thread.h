// A long-lived worker thread that the ordered shutdown waits for with a time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velmora::platform {

class WorkerThread {
 public:
  WorkerThread() = default;
  // A thread still running at destruction is left to end with the process; keep
  // worker objects alive for the whole process (static, never destroyed).
  ~WorkerThread() {
    if (thread_.joinable()) thread_.detach();
  }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs body on a new thread unless one is running. False when one runs, or when the
  // thread could not be created (errno then holds the reason).
  bool start(std::function<void()> body) {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_) return false;
    if (thread_.joinable()) thread_.join();  // an earlier run that has ended
    running_ = true;
    try {
      thread_ = std::thread([this, body = std::move(body)] {
        body();
        std::lock_guard<std::mutex> done(lock_);
        running_ = false;
        ended_.notify_all();
      });
    } catch (const std::system_error& error) {
      running_ = false;
      errno = error.code().value();
      return false;
    }
    return true;
  }

  // Waits at most timeout for the thread to end. True when it ended (or never ran);
  // false on time-out, when it keeps running and may be waited for again.
  bool join(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!ended_.wait_for(guard, timeout, [this] { return !running_; })) return false;
    if (thread_.joinable()) {
      std::thread finished = std::move(thread_);
      guard.unlock();
      finished.join();
    }
    return true;
  }

  bool running() const {
    std::lock_guard<std::mutex> guard(lock_);
    return running_;
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable ended_;
  std::thread thread_;    // guarded by lock_
  bool running_ = false;  // guarded by lock_
};

}  // namespace velmora::platform
