// Manual- and auto-reset events for threads that wait on "something happened".
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velmora::platform {

class Event {
 public:
  enum class Reset { kManual, kAuto };
  explicit Event(Reset reset, bool initiallySet = false)
      : autoReset_(reset == Reset::kAuto), set_(initiallySet) {}

  void set() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      set_ = true;
    }
    if (autoReset_) {
      changed_.notify_one();
    } else {
      changed_.notify_all();
    }
  }
  void reset() {
    std::lock_guard<std::mutex> guard(lock_);
    set_ = false;
  }
  bool isSet() const {
    std::lock_guard<std::mutex> guard(lock_);
    return set_;
  }
  // Waits until the event is set or the time-out passes; true when it was set.
  // An auto-reset event is cleared by the wait that sees it.
  bool wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    bool signalled = changed_.wait_for(guard, timeout, [this] { return set_; });
    if (signalled && autoReset_) set_ = false;
    return signalled;
  }
  void wait() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return set_; });
    if (autoReset_) set_ = false;
  }

 private:
  const bool autoReset_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool set_;  // guarded by lock_
};

}  // namespace velmora::platform
