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
  if (probe.selected >= 0 && sources.examine)
    probe.info = sources.examine(probe.devices[static_cast<std::size_t>(probe.selected)]);
  return probe;
}

BackupView InitialBackupView(const std::filesystem::path& source, const std::string& devicePath, int64_t now) {
  BackupView view;
  view.source = source;
  view.devicePath = devicePath;
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

void EndExamination(BackupView& view, bool haveDevice, const backup::DriveInfo& info, bool quiet) {
  view.haveDevice = haveDevice;
  view.drive = haveDevice ? info : backup::DriveInfo{};
  if (view.phase == BackupPhase::kExamining) view.phase = BackupPhase::kIdle;
  if (view.phase != BackupPhase::kIdle) return;  // a backup's progress stays shown
  if (quiet && BackupAllowed(view)) return;      // the outcome stays shown
  view.progressPosition = 0;
  view.progressRange = 100;
  view.status = IdleStatus(view);
}

bool BackupAllowed(const BackupView& view) {
  return view.phase == BackupPhase::kIdle && view.haveDevice && view.drive.ready && !RangeReversed(view.range);
}

bool SelectionTooLarge(const BackupView& view) { return view.drive.mediaBytes < view.count.totalBytes; }

backup::BackupOptions BackupOptionsFor(const BackupView& view, const BackupDevice& device) {
  backup::BackupOptions options;
  options.source = view.source;
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
  } else if (!outcome.ok) {
    view.status = outcome.reason.empty() ? std::string("Failure.") : outcome.reason;
  }
}

}  // namespace velmora::control
