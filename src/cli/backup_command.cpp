#include "cli/backup_command.h"

#include <cstdio>

#include "app/application.h"
#include "app/command_log.h"
#include "backup/backup_cli.h"
#include "cli/stop_signals.h"

namespace velmora {

int RunBackupCommand(const std::vector<std::string>& args) {
  // Its log lines also go to the log of the instance whose folders it uses (never made
  // here: without that folder they reach standard error only).
  UseInstanceLog();
  // Stopped, the copy ends between two files; every file already copied stays complete
  // and verified.
  // The running instance's recordings and device folders are never a target.
  return backup::BackupCommandMain(args, stdout, stderr, CatchStopSignals(),
                                   backup::ReadInstanceFolders(Application::AppDataFolder(false)));
}

}  // namespace velmora
