// The system clock and the process-wide clock in effect (see clock.h).
#include "platform/clock.h"

#include <time.h>

namespace velmora::platform {

namespace {

int64_t ReadMs(clockid_t id) {
  timespec now{};
  clock_gettime(id, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const SystemClock& systemClock() {
  static const SystemClock clock;
  return clock;
}

// The clock in effect; null means the system clock (so no reader depends on the order in
// which statics are built).
std::atomic<const Clock*> g_clockInEffect{nullptr};

}  // namespace

int64_t SystemClock::wallMs() const { return ReadMs(CLOCK_REALTIME); }

int64_t SystemClock::steadyMs() const { return ReadMs(CLOCK_MONOTONIC); }

const Clock& clock() {
  const Clock* installed = g_clockInEffect.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : systemClock();
}

ScopedClock::ScopedClock(const Clock& clock)
    : previous_(g_clockInEffect.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedClock::~ScopedClock() { g_clockInEffect.store(previous_, std::memory_order_release); }

}  // namespace velmora::platform
