#include "platform/service_manager.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace velmora::platform {

bool NotifyServiceManager(const std::string& state) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return false;
  return sd_notify(0, state.c_str()) > 0;
}

uint64_t WatchdogIntervalUs() {
  uint64_t interval = 0;
  // Checks WATCHDOG_PID as well: a variable inherited from a parent that was itself
  // watched is not ours.
  if (sd_watchdog_enabled(0, &interval) <= 0) return 0;
  return interval;
}

bool ServiceWatchdog::Due(uint64_t nowUs) {
  if (intervalUs_ == 0) return false;
  if (sent_ && nowUs - lastUs_ < intervalUs_ / 2) return false;
  sent_ = true;
  lastUs_ = nowUs;
  return true;
}

bool ServiceWatchdog::Tick(uint64_t nowUs) { return Due(nowUs) && NotifyServiceManager("WATCHDOG=1"); }

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  uintmax_t device = 0, inode = 0;
  if (std::sscanf(stream, "%ju:%ju", &device, &inode) != 2) return false;
  struct stat info {};
  if (::fstat(2, &info) != 0) return false;
  return static_cast<uintmax_t>(info.st_dev) == device && static_cast<uintmax_t>(info.st_ino) == inode;
}

bool SendToJournal(int priority, std::string_view message) {
  return sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(), "PRIORITY=%d", priority,
                         "SYSLOG_IDENTIFIER=velmora-nvr", nullptr) == 0;
}

}  // namespace velmora::platform
