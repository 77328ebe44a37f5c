// The program's one clock: every reading of the time of day (record times, schedules, log
// lines, reply dates, file names) and of the monotonic millisecond tick (retry rules, the
// playback pace, ages of cached answers, transfer speeds) goes through Clock, so a test
// can drive all of them at once with a ManualClock.
//
// What stays on the real clocks: waits and time-outs handed to the operating system, to
// a condition variable or to a socket (a manual clock must not freeze a real wait), and
// the bounded loops of tests.
//
// Threads and locks: any thread reads the clock in effect; the readings of SystemClock and
// ManualClock take no lock (ManualClock keeps its two readings in atomics, since workers
// read it while a test moves it). The clock in effect is swapped only by ScopedClock, from
// a test's main thread, while the clock it installs outlives every reader.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace velmora::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since 1970-01-01 00:00 UTC.
  virtual int64_t wallMs() const = 0;
  // Milliseconds of a monotonic count with an arbitrary start.
  virtual int64_t steadyMs() const = 0;
};

// The system's clocks: the wall clock and the monotonic one.
class SystemClock final : public Clock {
 public:
  int64_t wallMs() const override;
  int64_t steadyMs() const override;
};

// A clock that moves only when told to. Both readings start where the constructor puts
// them; advance() moves both by the same step, as real time would.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(int64_t wallMs = 0, int64_t steadyMs = 0) : wallMs_(wallMs), steadyMs_(steadyMs) {}

  int64_t wallMs() const override { return wallMs_.load(std::memory_order_acquire); }
  int64_t steadyMs() const override { return steadyMs_.load(std::memory_order_acquire); }

  void setWallMs(int64_t ms) { wallMs_.store(ms, std::memory_order_release); }
  void setSteadyMs(int64_t ms) { steadyMs_.store(ms, std::memory_order_release); }
  void setWall(std::chrono::system_clock::time_point when) {
    setWallMs(std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
  }
  void advance(std::chrono::milliseconds step) {
    wallMs_.fetch_add(step.count(), std::memory_order_acq_rel);
    steadyMs_.fetch_add(step.count(), std::memory_order_acq_rel);
  }

 private:
  std::atomic<int64_t> wallMs_;
  std::atomic<int64_t> steadyMs_;
};

// The clock in effect: the system clock unless a ScopedClock installed another.
// Process-wide on purpose, as the one clock of the process: the log and the lowest layers
// read it before the program's Core exists, fetch workers and the playback thread that
// outlive the Core read it after, and a test that installs a ManualClock moves the time
// of every part at once (the readings of the Core's parts, the log's and the workers').
const Clock& clock();

// Installs a clock for the lifetime of the object and puts the previous one back after.
// The installed clock must outlive every thread that may still read it.
class ScopedClock {
 public:
  explicit ScopedClock(const Clock& clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  const Clock* previous_;
};

// Readings of the clock in effect in the forms the program uses.
inline int64_t WallMs() { return clock().wallMs(); }
inline int64_t SteadyMs() { return clock().steadyMs(); }
// Seconds since 1970 (floored), the time_t the C library's calendar functions take.
inline std::time_t WallSeconds() {
  const int64_t ms = WallMs();
  return static_cast<std::time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
}
inline std::chrono::system_clock::time_point WallTime() {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(WallMs()));
}

}  // namespace velmora::platform
