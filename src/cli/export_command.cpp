#include "cli/export_command.h"

#include <cstdio>

#include "app/command_log.h"
#include "playback/export_run.h"
#include "cli/stop_signals.h"

namespace velmora {

int RunExportCommand(const std::vector<std::string>& args) {
  // Its log lines also go to the log of the instance whose folders it uses (never made
  // here: without that folder they reach standard error only).
  UseInstanceLog();
  // Stopped, the export ends between two steps, so the file written so far is finished
  // and stays readable.
  return ExportCommandMain(args, stdout, stderr, CatchStopSignals());
}

}  // namespace velmora
