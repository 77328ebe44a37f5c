// The service manager's side of a headless instance: readiness, the watchdog and the
// journal. Everything here does nothing (and costs nothing) when the program was not
// started by a service manager: no NOTIFY_SOCKET, no WATCHDOG_USEC, no JOURNAL_STREAM.
//
// Threads: NotifyServiceManager and SendToJournal may be called from any thread;
// ServiceWatchdog belongs to the loop that feeds it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::platform {

// Sends a state line ("READY=1", "STOPPING=1", "STATUS=...") to the service manager.
// False when there is none or the message could not be sent.
bool NotifyServiceManager(const std::string& state);

// The watchdog interval the service manager asks for, in microseconds; 0 when it asks
// for none (or the request is meant for another process).
uint64_t WatchdogIntervalUs();

// Keeps the service manager's watchdog fed from a loop: Tick sends "WATCHDOG=1" when
// half the interval has passed since the last message, so one late turn of the loop is
// not yet a hang. A loop that stops turning stops the messages, and the service manager
// restarts the program.
class ServiceWatchdog {
 public:
  // intervalUs: WatchdogIntervalUs() (0: Tick never sends).
  explicit ServiceWatchdog(uint64_t intervalUs) : intervalUs_(intervalUs) {}

  bool enabled() const { return intervalUs_ != 0; }
  // nowUs: a steady clock in microseconds. True when a message went out.
  bool Tick(uint64_t nowUs);
  // The decision alone: true (and the time kept) when a message is due at nowUs.
  bool Due(uint64_t nowUs);

 private:
  uint64_t intervalUs_;
  uint64_t lastUs_ = 0;
  bool sent_ = false;
};

// True when standard error is the journal's stream (JOURNAL_STREAM names its device
// and inode): the service manager started the program and collects its output.
bool StderrIsJournal();

// Syslog priorities of the journal's PRIORITY field.
constexpr int kJournalError = 3;
constexpr int kJournalWarning = 4;
constexpr int kJournalInfo = 6;
constexpr int kJournalDebug = 7;

// Writes one entry to the journal with its priority, tagged "velmora-nvr".
bool SendToJournal(int priority, std::string_view message);

}  // namespace velmora::platform
