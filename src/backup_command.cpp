#include "backup_command.h"

#include <cstdio>

#include "app/application.h"
#include "backup/backup_cli.h"
#include "stop_signals.h"

namespace velmora {

int RunBackupCommand(const std::vector<std::string>& args) {
  // Stopped, the copy ends between two files; every file already copied stays complete
  // and verified.
  // The running instance's recordings and device folders are never a target.
  return backup::BackupCommandMain(args, stdout, stderr, CatchStopSignals(), 0,
                                   backup::ReadInstanceFolders(Application::AppDataFolder(false)));
}

}  // namespace velmora
