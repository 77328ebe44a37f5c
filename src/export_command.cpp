#include "export_command.h"

#include <cstdio>

#include "playback/export_run.h"
#include "stop_signals.h"

namespace velmora {

int RunExportCommand(const std::vector<std::string>& args) {
  // Stopped, the export ends between two steps, so the file written so far is finished
  // and stays readable.
  return ExportCommandMain(args, stdout, stderr, CatchStopSignals());
}

}  // namespace velmora
