#include "backup_command.h"

#include <signal.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "backup/backup_cli.h"

namespace velmora {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

int RunBackupCommand(const std::vector<std::string>& args) {
  std::signal(SIGPIPE, SIG_IGN);
  // Ctrl-C and a termination request stop the copy between two files; every file
  // already copied stays complete and verified.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return backup::BackupCommandMain(args, stdout, stderr, &interrupted);
}

}  // namespace velmora
