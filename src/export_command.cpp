#include "export_command.h"

#include <atomic>
#include <signal.h>

#include <csignal>
#include <cstdio>

#include "playback/export_run.h"

namespace velmora {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

int RunExportCommand(const std::vector<std::string>& args) {
  // A reader that goes away must come back as an error, never end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Ctrl-C and a termination request end the export between two steps, so the file
  // written so far is finished and stays readable.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return ExportCommandMain(args, stdout, stderr, &interrupted);
}

}  // namespace velmora
