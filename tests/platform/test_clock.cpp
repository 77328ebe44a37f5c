// The program's clock: the manual clock as workers see it, the installer that puts the
// previous clock back, and the conversions to seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

int64_t SystemWallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(ManualClock, SetAndAdvanceAreSeenByAnotherThread) {
  ManualClock manual(1000, 50);
  ScopedClock use(manual);
  std::atomic<int> stage{0};
  std::atomic<int64_t> seenWall{0}, seenSteady{0};
  std::thread worker([&] {
    // Waits (bounded, on the real clock) for each step of the main thread.
    const auto end = std::chrono::steady_clock::now() + 10s;
    for (int step = 1; step <= 2 && std::chrono::steady_clock::now() < end;) {
      if (stage.load() == step) {
        seenWall = WallMs();
        seenSteady = SteadyMs();
        stage = step + 10;
        ++step;
      }
      std::this_thread::yield();
    }
  });
  auto waitFor = [&](int value) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (stage.load() != value && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return stage.load() == value;
  };
  manual.setWallMs(1'765'000'000'000);
  stage = 1;
  ASSERT_TRUE(waitFor(11));
  EXPECT_EQ(seenWall.load(), 1'765'000'000'000);
  EXPECT_EQ(seenSteady.load(), 50);

  manual.advance(2500ms);
  stage = 2;
  ASSERT_TRUE(waitFor(12));
  worker.join();
  EXPECT_EQ(seenWall.load(), 1'765'000'002'500);
  EXPECT_EQ(seenSteady.load(), 2550);
}

TEST(ManualClock, SetWallLeavesTheSteadyCountAlone) {
  ManualClock manual;
  manual.setSteadyMs(7);
  manual.setWall(std::chrono::system_clock::from_time_t(86400) + 250ms);
  EXPECT_EQ(manual.wallMs(), 86'400'250);
  EXPECT_EQ(manual.steadyMs(), 7);
  manual.advance(-1h);  // a test may set the time of day back
  EXPECT_EQ(manual.wallMs(), 86'400'250 - 3'600'000);
  EXPECT_EQ(manual.steadyMs(), 7 - 3'600'000);
}

TEST(ScopedClock, RestoresThePreviousClockInNestedScopes) {
  const Clock* system = &clock();
  EXPECT_NEAR(static_cast<double>(WallMs()), static_cast<double>(SystemWallMs()), 60000.0);
  {
    ManualClock outer(5000, 5);
    ScopedClock useOuter(outer);
    EXPECT_EQ(&clock(), &outer);
    {
      ManualClock inner(9000, 9);
      ScopedClock useInner(inner);
      EXPECT_EQ(WallMs(), 9000);
      EXPECT_EQ(SteadyMs(), 9);
    }
    EXPECT_EQ(&clock(), &outer);
    EXPECT_EQ(WallMs(), 5000);
  }
  EXPECT_EQ(&clock(), system);
}

TEST(ClockReadings, SecondsAreFlooredOnBothSidesOf1970) {
  ManualClock manual;
  ScopedClock use(manual);
  const struct {
    int64_t ms;
    std::time_t seconds;
  } cases[] = {{0, 0}, {999, 0}, {1000, 1}, {1999, 1}, {-1, -1}, {-1000, -1}, {-1001, -2}};
  for (const auto& c : cases) {
    manual.setWallMs(c.ms);
    EXPECT_EQ(WallSeconds(), c.seconds) << c.ms;
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(WallTime().time_since_epoch()).count(), c.ms);
  }
}

}  // namespace
}  // namespace velmora::platform
