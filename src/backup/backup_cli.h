// The backup command line: one device folder's recordings of a range of days copied to a
// folder (a removable disk) or written to a disc (a libburn address, "stdio:IMAGE" for an
// image file). It runs beside a running instance: no instance lock, no settings written.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "backup/backup.h"

namespace velmora::backup {

struct BackupCommandArgs {
  bool help = false;
  bool hasFrom = false;
  bool hasTo = false;
  LocalDate from;
  LocalDate to;
  bool simulate = false;
  bool eject = false;
  bool replace = false;  // another device's backup on the target may be erased
  std::string label;
  std::string source;
  std::string target;
};

// Parses the arguments after "backup". False (with a message in `error`) on a usage error.
bool ParseBackupArgs(const std::vector<std::string>& args, BackupCommandArgs& out,
                     std::string& error);

const char* BackupCommandHelp();

// Runs the command: 0 only when the backup completed (and a copy was verified), 1 when
// it failed or was stopped, 2 on a usage error. Progress and messages go to `err`, the
// help text to `out`. `interrupted` stops a copy between two files. The default dates
// come from the program's clock (platform/clock.h). `instance`: the folders of the
// instance it runs beside, never written into (ReadInstanceFolders).
// Everything is checked before anything is written: the source holds recordings of the
// days, the target is allowed (CheckTarget; another device's backup is erased only with
// --replace), a disc drive holds a writable disc. Only then is the marker written.
int BackupCommandMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                      const std::atomic<bool>* interrupted = nullptr,
                      const InstanceFolders& instance = InstanceFolders{});

}  // namespace velmora::backup
