#include "backup/backup_cli.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "app/command_log.h"
#include "app/command_options.h"
#include "backup/backup_internal.h"
#include "platform/clock.h"

namespace velmora::backup {

namespace {

// Seven days before a date, as the dialog's range has it.
LocalDate WeekBefore(const LocalDate& date) {
  struct tm local {};
  local.tm_year = date.year - 1900;
  local.tm_mon = date.month - 1;
  local.tm_mday = date.day - 7;
  local.tm_hour = 12;  // clear of any daylight-saving change
  local.tm_isdst = -1;
  return LocalDateOf(static_cast<int64_t>(mktime(&local)));
}

bool Before(const LocalDate& a, const LocalDate& b) {
  if (a.year != b.year) return a.year < b.year;
  if (a.month != b.month) return a.month < b.month;
  return a.day < b.day;
}

}  // namespace

bool ParseBackupArgs(const std::vector<std::string>& args, BackupCommandArgs& out,
                     std::string& error) {
  // A date option stores its value and notes that it was given.
  auto date = [](LocalDate& target, bool& given) {
    return [&target, &given](const std::string& text, std::string& why) {
      if (!ParseLocalDate(text, target)) {
        why = "not a date: '" + text + "' (use YYYY-MM-DD, from 1970-01-01 to 2037-12-31)";
        return false;
      }
      given = true;
      return true;
    };
  };
  CommandOptions options;
  options.Flag("--simulate", out.simulate)
      .Flag("--eject", out.eject)
      .Flag("--replace", out.replace)
      .Value("--label",
             [&out](const std::string& text, std::string& why) {
               if (text.empty()) {
                 why = "--label needs a text";
                 return false;
               }
               out.label = text;
               return true;
             })
      .Value("--from", date(out.from, out.hasFrom))
      .Value("--to", date(out.to, out.hasTo));
  std::vector<std::string> positional;
  if (!options.Parse(args, positional, out.help, error)) return false;
  if (out.help) return true;
  if (positional.size() != 2) {
    error = "SOURCE and TARGET are needed";
    return false;
  }
  out.source = positional[0];
  out.target = positional[1];
  if (out.hasFrom && out.hasTo && Before(out.to, out.from)) {
    error = "--to lies before --from";
    return false;
  }
  return true;
}

const char* BackupCommandHelp() {
  return "Usage: velmora-nvr backup [--from DATE] [--to DATE] [--simulate] [--eject]\n"
         "                          [--replace] [--label TEXT] SOURCE TARGET\n"
         "\n"
         "Backs up the recordings of one device folder SOURCE for a range of days.\n"
         "TARGET is a folder (a removable disk: old backup files directly in it are\n"
         "erased, then every file is copied and checked against the source) or a disc\n"
         "drive: a device such as /dev/sr0, or stdio:FILE to write a disc image file.\n"
         "Discs get an ISO 9660 + Joliet image with the files in its root; the written\n"
         "disc is read back and checked against the source.\n"
         "\n"
         "  --from DATE   first day, YYYY-MM-DD local time (default: 7 days before --to)\n"
         "  --to DATE     last day, YYYY-MM-DD local time (default: today)\n"
         "  --simulate    count the files and go through the steps without changing the\n"
         "                target (a disc drive writes in its simulation mode)\n"
         "  --eject       eject the disc when it is written\n"
         "  --replace     erase another device's backup on the target folder\n"
         "  --label TEXT  the disc's volume label (default: SOURCE's last folder name\n"
         "                followed by -YYYYMMDD of today)\n"
         "\n"
         "Refused targets: a folder inside the recordings folder or a device's folder of\n"
         "the instance this runs beside, the source itself, a folder containing it, a\n"
         "folder holding recordings that no backup made, an image file inside those\n"
         "folders or over a file that is not a disc image. A folder holding another\n"
         "device's backup is erased only with --replace. An image file is written beside\n"
         "its name and renamed when it is complete and checked.\n"
         "\n"
         "A \".nvr\" marker is written into SOURCE once everything has been checked, and\n"
         "backed up with it. Progress goes to standard error. Ctrl-C stops a copy between\n"
         "two files; a disc that is being written is finished. Exit status: 0 when the\n"
         "backup completed and was verified, 1 when it failed, was refused or stopped, or\n"
         "found nothing to back up, 2 on a usage error.\n";
}

namespace {

// The backup's options from the command's arguments: the range's days (by default the
// week up to today), the device path on the medium, the volume label. 0, else the exit
// status with the reason written to `err`.
int BackupOptionsOf(const BackupCommandArgs& a, int64_t now, const InstanceFolders& instance,
                    BackupOptions& options, std::FILE* err) {
  options.source = a.source;
  options.target = a.target;
  options.simulate = a.simulate;
  options.eject = a.eject;
  options.replace = a.replace;
  options.instance = instance;
  options.devicePath = DevicePathOf(options.source, instance);
  options.range.end = a.hasTo ? a.to : LocalDateOf(now);
  options.range.start = a.hasFrom ? a.from : WeekBefore(options.range.end);
  if (Before(options.range.end, options.range.start)) {
    std::fprintf(err, "velmora-nvr backup: --from lies after the last day %s\n",
                 FormatLocalDate(options.range.end).c_str());
    return 2;
  }
  options.volumeLabel = a.label.empty() ? DefaultVolumeLabel(options.source, now) : a.label;
  return 0;
}

// Whether the target may be written (CheckTarget): a refused target ends the command, and
// another device's backup on it is erased only with --replace (a simulation only says so).
bool AcceptTarget(const BackupCommandArgs& a, const BackupOptions& options, std::FILE* err) {
  const TargetCheck check = CheckTarget(options);
  if (check.verdict == TargetVerdict::kRefused) {
    std::fprintf(err, "velmora-nvr backup: %s\n", check.reason.c_str());
    return false;
  }
  if (check.verdict != TargetVerdict::kReplace) return true;
  const std::string whose =
      check.otherDevice.empty() ? std::string("another device") : "\"" + check.otherDevice + "\"";
  if (a.simulate) {
    std::fprintf(err,
                 "velmora-nvr backup: '%s' holds the backup of %s; a backup that is not simulated "
                 "erases it only with --replace\n",
                 a.target.c_str(), whose.c_str());
  } else if (!a.replace) {
    std::fprintf(err,
                 "velmora-nvr backup: '%s' holds the backup of %s, which this backup would erase; "
                 "give --replace to erase it\n",
                 a.target.c_str(), whose.c_str());
    return false;
  } else {
    std::fprintf(err, "velmora-nvr backup: the backup of %s in '%s' is erased (--replace)\n", whose.c_str(),
                 a.target.c_str());
  }
  return true;
}

// Whether the source holds hour files of the range's days to back up.
bool SourceHasFiles(const BackupCommandArgs& a, const BackupOptions& options, std::FILE* err) {
  std::vector<SelectedFile> files;
  if (!ListSelectedFiles(options.source, MakeSelection(options.range), files)) {
    std::fprintf(err, "velmora-nvr backup: the recordings folder '%s' cannot be read\n", a.source.c_str());
    return false;
  }
  if (!SelectsHourFiles(files)) {
    std::fprintf(err, "velmora-nvr backup: nothing to back up: %s\n", NothingToBackUp(options).c_str());
    return false;
  }
  return true;
}

// Whether a disc drive target (not an image file) holds a disc that can be written.
bool DriveReady(const BackupCommandArgs& a, std::FILE* err) {
  if (!IsDiscAddress(a.target) || a.target.starts_with("stdio:")) return true;
  const DriveInfo drive = ExamineTarget(a.target);
  if (drive.ready) return true;
  const std::string why = drive.deviceType == "Unknown" ? std::string("there is no disc drive")
                          : drive.status != "Ready."     ? drive.status
                                                         : std::string("there is no disc in it");
  std::fprintf(err, "velmora-nvr backup: '%s' cannot be written: %s\n", a.target.c_str(), why.c_str());
  return false;
}

// Runs the backup with a progress line per status and percent, then reports the outcome
// (files, bytes and rate). The command's exit status.
int RunAndReport(const BackupCommandArgs& a, const BackupOptions& options, std::FILE* err,
                 const std::atomic<bool>* interrupted) {
  std::string lastStatus;
  int lastPercent = -1;
  const int64_t startedMs = platform::SteadyMs();
  const BackupOutcome outcome = RunBackup(
      options,
      [&](const BackupProgress& p) {
        const int percent = p.range > 0 ? static_cast<int>(p.position * 100 / p.range) : -1;
        if (p.status == lastStatus && percent == lastPercent) return;
        lastStatus = p.status;
        lastPercent = percent;
        if (percent >= 0)
          std::fprintf(err, "velmora-nvr backup: %s %d%%\n", p.status.c_str(), percent);
        else
          std::fprintf(err, "velmora-nvr backup: %s\n", p.status.c_str());
      },
      interrupted);
  const double seconds = static_cast<double>(platform::SteadyMs() - startedMs) / 1000.0;
  if (!outcome.ok) {
    std::fprintf(err, "velmora-nvr backup: %s\n",
                 outcome.reason.empty() ? "failed" : outcome.reason.c_str());
    return 1;
  }
  std::fprintf(err, "velmora-nvr backup: %llu files, %llu bytes in %.1f s (%.1f MB/s)%s\n",
               static_cast<unsigned long long>(outcome.files),
               static_cast<unsigned long long>(outcome.bytes), seconds,
               seconds > 0 ? static_cast<double>(outcome.bytes) / 1e6 / seconds : 0.0,
               a.simulate ? ", simulated" : "");
  return 0;
}

}  // namespace

int BackupCommandMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                      const std::atomic<bool>* interrupted, const InstanceFolders& instance) {
  // What the backup's code logs (copy and disc failures, the disc library's messages) is
  // shown too, each line apart.
  CommandLogScope log(err, "velmora-nvr backup");
  BackupCommandArgs a;
  std::string error;
  if (!ParseBackupArgs(args, a, error)) {
    std::fprintf(err, "velmora-nvr backup: %s (see velmora-nvr backup --help)\n", error.c_str());
    return 2;
  }
  if (a.help) {
    std::fputs(BackupCommandHelp(), out);
    return 0;
  }
  const int64_t now = static_cast<int64_t>(platform::WallSeconds());
  std::error_code ec;
  if (!std::filesystem::is_directory(a.source, ec)) {
    std::fprintf(err, "velmora-nvr backup: no recordings folder '%s'\n", a.source.c_str());
    return 1;
  }
  BackupOptions options;
  if (const int status = BackupOptionsOf(a, now, instance, options, err); status != 0) return status;

  // Everything is checked before anything is written, the source's marker included.
  if (!AcceptTarget(a, options, err) || !SourceHasFiles(a, options, err) || !DriveReady(a, err)) return 1;

  // The marker names the folder as a device folder on the backup medium.
  if (!WriteBackupMarker(options.source, options.devicePath)) {
    std::fprintf(err, "velmora-nvr backup: the marker file cannot be written in '%s'\n",
                 a.source.c_str());
    return 1;
  }
  std::fprintf(err, "velmora-nvr backup: %s to %s, days %s to %s%s\n", a.source.c_str(),
               a.target.c_str(), FormatLocalDate(options.range.start).c_str(),
               FormatLocalDate(options.range.end).c_str(), a.simulate ? " (simulated)" : "");
  return RunAndReport(a, options, err, interrupted);
}

}  // namespace velmora::backup
