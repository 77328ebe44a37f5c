#include "control/backup_view.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "app/application.h"

namespace velmora::control {

namespace {

constexpr const char* kExamining = "Getting device information.";
constexpr const char* kNoDevice = "No removable disk or disc drive found.";
constexpr const char* kReversed = "The start date lies after the end date.";

}  // namespace

const std::locale& UserLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

std::string GroupedNumber(uint64_t value, const std::locale& locale) {
  std::ostringstream text;
  text.imbue(locale);
  text << value;
  return text.str();
}

std::string ByteSizeText(uint64_t bytes, const std::locale& locale) {
  return ShortByteSize(bytes) + " (" + GroupedNumber(bytes, locale) + " bytes)";
}

std::string MediaSizeText(uint64_t bytes, const std::locale& locale) {
  return bytes != 0 ? ByteSizeText(bytes, locale) : std::string("No disc present.");
}

std::string FileCountText(uint64_t count) { return std::to_string(count); }

std::vector<BackupDevice> BackupDeviceList(const std::vector<platform::RemovableMount>& mounts,
                                           const std::vector<backup::OpticalDrive>& drives) {
  std::vector<BackupDevice> devices;
  for (const platform::RemovableMount& mount : mounts) {
    // Discs are written through their drive, never copied to like a folder.
    if (mount.optical) continue;
    const std::string name = mount.displayName.empty() ? mount.mountPoint : mount.displayName;
    devices.push_back({mount.mountPoint, name + " (" + mount.mountPoint + ")", false});
  }
  for (const backup::OpticalDrive& drive : drives) {
    std::string name = drive.vendor;
    if (!drive.product.empty()) name += (name.empty() ? "" : " ") + drive.product;
    if (name.empty()) name = "Disc drive";
    const std::string where = drive.devicePath.empty() ? drive.address : drive.devicePath;
    devices.push_back({drive.address, name + " (" + where + ")", true});
  }
  return devices;
}

int ChooseDevice(const std::vector<BackupDevice>& devices, const std::string& target) {
  if (devices.empty()) return -1;
  for (std::size_t i = 0; i < devices.size(); ++i)
    if (devices[i].target == target) return static_cast<int>(i);
  return 0;
}

DeviceSources SystemDeviceSources(const platform::MountTableSource& source) {
  DeviceSources sources;
  sources.mounts = [source] { return platform::ListRemovableMounts(source); };
  sources.drives = [] { return backup::ListOpticalDrives(); };
  sources.examine = [](const BackupDevice& device) {
    return device.optical ? backup::ExamineDisc(device.target) : backup::ExamineRemovable(device.target);
  };
  // The check depends on the dialog's device: the dialog adds it (CheckBackupDevice).
  return sources;
}

DeviceProbe ProbeDevices(bool relist, std::vector<BackupDevice> devices, const std::string& selectedTarget,
                         const DeviceSources& sources) {
  DeviceProbe probe;
  probe.relisted = relist;
  if (relist) {
    devices = BackupDeviceList(sources.mounts ? sources.mounts() : std::vector<platform::RemovableMount>{},
                               sources.drives ? sources.drives() : std::vector<backup::OpticalDrive>{});
  }
  probe.devices = std::move(devices);
  probe.selected = ChooseDevice(probe.devices, selectedTarget);
  if (probe.selected >= 0) {
    const BackupDevice& device = probe.devices[static_cast<std::size_t>(probe.selected)];
    if (sources.examine) probe.info = sources.examine(device);
    if (sources.check) probe.target = sources.check(device);
  }
  return probe;
}

BackupView InitialBackupView(const std::filesystem::path& source, const std::string& devicePath, int64_t now,
                             backup::InstanceFolders instance) {
  BackupView view;
  view.source = source;
  view.devicePath = devicePath;
  view.instance = std::move(instance);
  view.range = backup::DefaultRange(now);
  view.volumeLabel = backup::DefaultVolumeLabel(source, now);
  return view;
}

bool RangeReversed(const backup::DateRange& range) {
  return std::tie(range.start.year, range.start.month, range.start.day) >
         std::tie(range.end.year, range.end.month, range.end.day);
}

namespace {

// What the status line shows while nothing runs.
std::string IdleStatus(const BackupView& view) {
  if (RangeReversed(view.range)) return kReversed;
  if (!view.haveDevice) return kNoDevice;
  if (view.drive.ready && view.target.verdict == backup::TargetVerdict::kRefused)
    return Sentence(view.target.reason);
  return view.drive.status;
}

}  // namespace

void SetDates(BackupView& view, const backup::LocalDate& start, const backup::LocalDate& end) {
  view.range.start = start;
  view.range.end = end;
  if (view.phase == BackupPhase::kIdle) view.status = IdleStatus(view);
}

void BeginExamination(BackupView& view, bool quiet) {
  view.phase = BackupPhase::kExamining;
  if (!quiet) view.status = kExamining;
}

void EndExamination(BackupView& view, bool haveDevice, const backup::DriveInfo& info, bool quiet,
                    const backup::TargetCheck& target) {
  view.haveDevice = haveDevice;
  view.drive = haveDevice ? info : backup::DriveInfo{};
  view.target = haveDevice ? target : backup::TargetCheck::Fine();
  if (view.phase == BackupPhase::kExamining) view.phase = BackupPhase::kIdle;
  if (view.phase != BackupPhase::kIdle) return;  // a backup's progress stays shown
  if (quiet && BackupAllowed(view)) return;      // the outcome stays shown
  view.progressPosition = 0;
  view.progressRange = 100;
  view.status = IdleStatus(view);
}

bool BackupAllowed(const BackupView& view) {
  return view.phase == BackupPhase::kIdle && view.haveDevice && view.drive.ready &&
         view.target.verdict != backup::TargetVerdict::kRefused && !RangeReversed(view.range);
}

std::string ReplaceQuestion(const BackupView& view) {
  if (view.target.verdict != backup::TargetVerdict::kReplace || view.simulate) return std::string();
  const std::string other =
      view.target.otherDevice.empty() ? std::string("another device") : "\"" + view.target.otherDevice + "\"";
  return "The medium holds the backup of " + other + ". Erase it and back up \"" + view.devicePath +
         "\" in its place?";
}

backup::TargetCheck CheckBackupDevice(const BackupView& view, const BackupDevice& device) {
  return backup::CheckTarget(BackupOptionsFor(view, device));
}

std::string Sentence(std::string text) {
  if (text.empty()) return text;
  if (text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  const char last = text.back();
  const bool closed = last == ')' && text.size() > 1 && text[text.size() - 2] == '.';
  if (last != '.' && last != '!' && last != '?' && !closed) text += '.';
  return text;
}

bool SelectionTooLarge(const BackupView& view) { return view.drive.mediaBytes < view.count.totalBytes; }

backup::BackupOptions BackupOptionsFor(const BackupView& view, const BackupDevice& device, bool replace) {
  backup::BackupOptions options;
  options.source = view.source;
  options.devicePath = view.devicePath;
  options.instance = view.instance;
  options.replace = replace;
  options.range = view.range;
  options.target = device.target;
  options.simulate = view.simulate;
  options.eject = view.eject && device.optical;
  options.volumeLabel = view.volumeLabel;
  return options;
}

void BeginBackup(BackupView& view) {
  view.phase = BackupPhase::kBackingUp;
  view.progressPosition = 0;
  view.progressRange = 100;
}

void ApplyProgress(BackupView& view, const backup::BackupProgress& progress) {
  if (!progress.status.empty()) view.status = progress.status;
  view.progressRange = progress.range;
  view.progressPosition = std::min(progress.position, progress.range);
}

void EndBackup(BackupView& view, const backup::BackupOutcome& outcome) {
  view.phase = BackupPhase::kIdle;
  if (!outcome.status.empty()) {
    view.status = outcome.status;
    // What went wrong, in the libraries' words where they gave any.
    if (!outcome.ok && !outcome.reason.empty()) view.status += " " + Sentence(outcome.reason);
  } else if (!outcome.ok) {
    view.status = outcome.reason.empty() ? std::string("Failure.") : outcome.reason;
  }
}

}  // namespace velmora::control
