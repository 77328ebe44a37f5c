#include "cli/stop_signals.h"

#include <signal.h>

#include <csignal>

namespace velmora {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

std::atomic<bool>* CatchStopSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return &interrupted;
}

}  // namespace velmora
