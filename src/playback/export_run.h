// The export command line: exports one device's recordings (a device folder, or a device
// URL of another instance) for a time range to an AVI file or a folder of JPEG files,
// through the playback engine, the export pump and the export writer, as fast as the
// recordings can be read. It runs beside a running instance: it takes no instance lock
// and writes no settings.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace velmora {

// A time of the command line: seconds since 1970, or "YYYY-MM-DD HH:MM:SS" in local
// time. False for anything else.
bool ParseExportTime(const std::string& text, int64_t& seconds);

struct ExportCommandArgs {
  bool help = false;
  bool jpeg = false;
  bool force = false;            // overwrite an existing AVI file
  std::string codec = "MJPG";
  bool hasFrom = false;
  bool hasTo = false;
  int64_t from = 0;
  int64_t to = 0;
  std::string source;
  std::string output;
};

// Parses the arguments after "export". False (with a message in `error`) on a usage error.
bool ParseExportArgs(const std::vector<std::string>& args, ExportCommandArgs& out, std::string& error);

// The help text of the command.
const char* ExportCommandHelp();

// Runs the command: 0 when the export completed, 1 when it failed or was interrupted,
// 2 on a usage error. The progress line and the messages go to `err`, the help text to
// `out`. When `interrupted` becomes true the export is cancelled between two steps and
// the file written so far is finished, so it stays readable.
int ExportCommandMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                      const std::atomic<bool>* interrupted = nullptr);

}  // namespace velmora
