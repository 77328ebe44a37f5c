// "velmora-nvr backup ...": backs up one device folder's recordings to a folder or a disc.
#pragma once

#include <string>
#include <vector>

namespace velmora {

// args: the arguments after "backup". Returns the process exit status: 0 when the backup
// completed and was verified, 1 when it failed or was stopped, 2 on a usage error.
int RunBackupCommand(const std::vector<std::string>& args);

}  // namespace velmora
