#include "backup_command.h"

#include <cstdio>

#include "app/command_log.h"
#include "backup/backup_cli.h"
#include "stop_signals.h"

namespace velmora {

int RunBackupCommand(const std::vector<std::string>& args) {
  // Its log lines also go to the log of the instance whose folders it uses (never made
  // here: without that folder they reach standard error only).
  UseInstanceLog();
  // Stopped, the copy ends between two files; every file already copied stays complete
  // and verified.
  return backup::BackupCommandMain(args, stdout, stderr, CatchStopSignals());
}

}  // namespace velmora
