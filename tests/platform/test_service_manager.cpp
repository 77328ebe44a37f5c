// The service manager's side: when the watchdog is fed, and whether standard error is
// the journal.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/service_manager.h"

namespace velmora::platform {
namespace {

// Restores an environment variable when the test ends.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* value = ::getenv(name);
    had_ = value != nullptr;
    if (had_) value_ = value;
  }
  ~EnvGuard() {
    if (had_) {
      ::setenv(name_, value_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string value_;
};

TEST(ServiceWatchdog, DueAtHalfTheIntervalFromAnyClockAndNeverWithoutOne) {
  ServiceWatchdog off(0);
  EXPECT_FALSE(off.enabled());
  EXPECT_FALSE(off.Due(0));
  EXPECT_FALSE(off.Tick(123'456'789));

  // Only the distance to the last message counts, wherever the clock stands.
  for (uint64_t start : {uint64_t{0}, uint64_t{7'000'000'000'000}}) {
    ServiceWatchdog watchdog(1'000'000);
    EXPECT_TRUE(watchdog.Due(start)) << "the first turn feeds the watchdog";
    int due = 0;
    // 2 s of 20 ms turns: a message every 500 ms.
    for (uint64_t t = start + 20'000; t <= start + 2'000'000; t += 20'000) due += watchdog.Due(t);
    EXPECT_EQ(due, 4) << start;
    // A turn that comes late (the loop was busy) sends at once, and the next one is
    // again half an interval later.
    EXPECT_TRUE(watchdog.Due(start + 3'000'000));
    EXPECT_FALSE(watchdog.Due(start + 3'499'999));
    EXPECT_TRUE(watchdog.Due(start + 3'500'000));
  }
}

TEST(ServiceWatchdog, NoServiceManagerNoMessagesNoInterval) {
  EnvGuard socket("NOTIFY_SOCKET"), usec("WATCHDOG_USEC"), pid("WATCHDOG_PID");
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  EXPECT_FALSE(NotifyServiceManager("READY=1"));
  EXPECT_EQ(WatchdogIntervalUs(), 0u);
  ::setenv("WATCHDOG_USEC", "30000000", 1);
  ::unsetenv("WATCHDOG_PID");
  EXPECT_EQ(WatchdogIntervalUs(), 30'000'000u);
  // Meant for another process (inherited from a watched parent): not ours to feed.
  ::setenv("WATCHDOG_PID", "1", 1);
  EXPECT_EQ(WatchdogIntervalUs(), 0u);
  ::setenv("WATCHDOG_USEC", "soon", 1);
  ::unsetenv("WATCHDOG_PID");
  EXPECT_EQ(WatchdogIntervalUs(), 0u);
}

TEST(StderrIsJournal, OnlyWhenTheStreamNamesStandardErrorItself) {
  EnvGuard stream("JOURNAL_STREAM");
  struct stat info {};
  ASSERT_EQ(::fstat(2, &info), 0);
  const std::string device = std::to_string(info.st_dev), inode = std::to_string(info.st_ino);
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(StderrIsJournal());
  ::setenv("JOURNAL_STREAM", (device + ":" + inode).c_str(), 1);
  EXPECT_TRUE(StderrIsJournal());
  // Inherited by a program whose standard error was redirected elsewhere.
  ::setenv("JOURNAL_STREAM", (device + ":" + std::to_string(info.st_ino + 1)).c_str(), 1);
  EXPECT_FALSE(StderrIsJournal());
  for (const char* bad : {"", "journal", ":", "12", "x:y"}) {
    ::setenv("JOURNAL_STREAM", bad, 1);
    EXPECT_FALSE(StderrIsJournal()) << bad;
  }
}

}  // namespace
}  // namespace velmora::platform
