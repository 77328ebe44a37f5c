#include "backup_command.h"

#include <cstdio>

#include "backup/backup_cli.h"
#include "stop_signals.h"

namespace velmora {

int RunBackupCommand(const std::vector<std::string>& args) {
  // Stopped, the copy ends between two files; every file already copied stays complete
  // and verified.
  return backup::BackupCommandMain(args, stdout, stderr, CatchStopSignals());
}

}  // namespace velmora
