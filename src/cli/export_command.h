// "velmora-nvr export ...": exports one device's recordings to an AVI file or JPEG files.
#pragma once

#include <string>
#include <vector>

namespace velmora {

// args: the arguments after "export". Returns the process exit status: 0 when the export
// completed, 1 when it failed, 2 on a usage error.
int RunExportCommand(const std::vector<std::string>& args);

}  // namespace velmora
