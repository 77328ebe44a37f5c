// The Backup dialog's state without widgets: the size and count texts with the locale's
// grouping, the device list from mounts and drives, the device worker's pass, the status
// line and Backup button through examination, date changes and a backup, and targets
// that are refused or hold another device's backup.
#include <gtest/gtest.h>

#include <locale>
#include <string>
#include <vector>

#include "backup/backup_support.h"
#include "control/backup_view.h"
#include "temp_dir.h"

namespace velmora::control {
namespace {

// Groups of three with a dot, as many European locales write numbers.
struct DotGrouping : std::numpunct<char> {
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(BackupView, SizeAndCountTextsGroupDigitsByTheLocale) {
  const std::locale dots(std::locale::classic(), new DotGrouping);
  EXPECT_EQ(GroupedNumber(0, dots), "0");
  EXPECT_EQ(GroupedNumber(999, dots), "999");
  EXPECT_EQ(GroupedNumber(1234567, dots), "1.234.567");
  EXPECT_EQ(GroupedNumber(18446744073709551615ull, dots), "18.446.744.073.709.551.615");
  EXPECT_EQ(GroupedNumber(1234567, std::locale::classic()), "1234567");

  EXPECT_EQ(ByteSizeText(0, dots), "0 bytes (0 bytes)");
  EXPECT_EQ(ByteSizeText(1536, dots), "1.50 KB (1.536 bytes)");
  EXPECT_EQ(ByteSizeText(4700000000ull, dots), "4.37 GB (4.700.000.000 bytes)");
  EXPECT_EQ(MediaSizeText(0, dots), "No disc present.");
  EXPECT_EQ(MediaSizeText(1536, dots), "1.50 KB (1.536 bytes)");
  EXPECT_EQ(FileCountText(0), "0");
  EXPECT_EQ(FileCountText(4294967296ull), "4294967296");  // beyond 32 bits
  // The user's locale is usable whatever the environment names.
  EXPECT_FALSE(GroupedNumber(12, UserLocale()).empty());
}

TEST(BackupView, DeviceListHoldsSticksAndDrivesOnceAndKeepsTheSelection) {
  std::vector<platform::RemovableMount> mounts = {
      {"/media/ann/STICK", "/dev/sdb1", "STICK", false},
      {"/run/media/ann/DVD", "/dev/sr0", "DVD", true},  // a mounted disc: through its drive
      {"/media/ann/CARD", "/dev/sdc1", "", false},
      {"/media/ann/OLD", "/dev/sr1", "OLD", true},      // a disc no drive writes: left out
  };
  std::vector<backup::OpticalDrive> drives = {
      {"/dev/sr0", "ACME", "Writer 8", "1.0", "/dev/sr0"},
      {"stdio:/tmp/image.iso", "", "", "", ""},
  };
  const auto devices = BackupDeviceList(mounts, drives);
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[0], (BackupDevice{"/media/ann/STICK", "STICK (/media/ann/STICK)", false}));
  EXPECT_EQ(devices[1], (BackupDevice{"/media/ann/CARD", "/media/ann/CARD (/media/ann/CARD)", false}));
  EXPECT_EQ(devices[2], (BackupDevice{"/dev/sr0", "ACME Writer 8 (/dev/sr0)", true}));
  EXPECT_EQ(devices[3], (BackupDevice{"stdio:/tmp/image.iso", "Disc drive (stdio:/tmp/image.iso)", true}));

  EXPECT_EQ(ChooseDevice(devices, "/dev/sr0"), 2);
  EXPECT_EQ(ChooseDevice(devices, "/media/gone"), 0);
  EXPECT_EQ(ChooseDevice(devices, ""), 0);
  EXPECT_EQ(ChooseDevice({}, "/dev/sr0"), -1);

  // The worker's pass: a new list only when asked, the chosen entry examined.
  int listed = 0;
  std::vector<std::string> examined;
  DeviceSources sources;
  sources.mounts = [&] {
    ++listed;
    return mounts;
  };
  sources.drives = [&] { return drives; };
  sources.examine = [&](const BackupDevice& device) {
    examined.push_back(device.target);
    backup::DriveInfo info;
    info.deviceType = device.optical ? "ACME Writer 8 (1.0)" : "Removable Disk";
    info.mediaBytes = 1000;
    info.ready = true;
    return info;
  };
  DeviceProbe probe = ProbeDevices(true, {}, "/dev/sr0", sources);
  EXPECT_TRUE(probe.relisted);
  EXPECT_EQ(listed, 1);
  EXPECT_EQ(probe.devices, devices);
  EXPECT_EQ(probe.selected, 2);
  EXPECT_EQ(probe.info.deviceType, "ACME Writer 8 (1.0)");
  probe = ProbeDevices(false, devices, "/media/ann/CARD", sources);
  EXPECT_FALSE(probe.relisted);
  EXPECT_EQ(listed, 1);
  EXPECT_EQ(probe.selected, 1);
  EXPECT_EQ(examined, (std::vector<std::string>{"/dev/sr0", "/media/ann/CARD"}));
  // Nothing to list: nothing examined, the defaults stand.
  mounts.clear();
  drives.clear();
  probe = ProbeDevices(true, devices, "/media/ann/CARD", sources);
  EXPECT_EQ(probe.selected, -1);
  EXPECT_TRUE(probe.devices.empty());
  EXPECT_EQ(probe.info.deviceType, "Unknown");
  EXPECT_FALSE(probe.info.ready);
  EXPECT_EQ(examined.size(), 2u);
}

TEST(BackupView, StatusAndBackupButtonFollowExaminationDatesAndBackup) {
  const int64_t now = 1700000000;  // 2023-11-14
  BackupView view = InitialBackupView("/data/Recordings/Gate/", "Gate", now);
  const backup::DateRange defaults = backup::DefaultRange(now);
  EXPECT_EQ(view.range.start, defaults.start);
  EXPECT_EQ(view.range.end, backup::LocalDateOf(now));
  EXPECT_EQ(view.range.start, backup::LocalDateOf(now - 604800));
  EXPECT_EQ(view.volumeLabel, backup::DefaultVolumeLabel("/data/Recordings/Gate/", now));
  EXPECT_EQ(view.volumeLabel.substr(0, 5), "Gate-");
  EXPECT_TRUE(view.simulate);
  EXPECT_EQ(view.status, "Ready.");
  EXPECT_FALSE(BackupAllowed(view));  // nothing examined yet

  BeginExamination(view);
  EXPECT_EQ(view.status, "Getting device information.");
  EXPECT_FALSE(BackupAllowed(view));
  backup::DriveInfo stick;
  stick.deviceType = "Removable Disk";
  stick.mediaBytes = 5000;
  stick.ready = true;
  EndExamination(view, true, stick);
  EXPECT_EQ(view.status, "Ready.");
  EXPECT_TRUE(BackupAllowed(view));

  // The selection against the medium: the warning only when it does not fit, Backup
  // allowed either way.
  view.count = {3, 5000, true, 0};
  EXPECT_FALSE(SelectionTooLarge(view));
  view.count.totalBytes = 5001;
  EXPECT_TRUE(SelectionTooLarge(view));
  EXPECT_TRUE(BackupAllowed(view));

  // A start after the end selects nothing: said, and Backup waits for sound dates.
  SetDates(view, {2023, 11, 15}, {2023, 11, 14});
  EXPECT_TRUE(RangeReversed(view.range));
  EXPECT_EQ(view.status, "The start date lies after the end date.");
  EXPECT_FALSE(BackupAllowed(view));
  SetDates(view, {2023, 11, 14}, {2023, 11, 14});
  EXPECT_FALSE(RangeReversed(view.range));
  EXPECT_EQ(view.status, "Ready.");
  EXPECT_TRUE(BackupAllowed(view));

  // A disc the drive cannot write keeps its status and Backup disabled.
  backup::DriveInfo disc;
  disc.deviceType = "ACME Writer 8 (1.0)";
  disc.status = "BD-R recording not supported by this drive.";
  BeginExamination(view);
  EndExamination(view, true, disc);
  EXPECT_EQ(view.status, disc.status);
  EXPECT_FALSE(BackupAllowed(view));
  // No device at all.
  EndExamination(view, false, stick);
  EXPECT_EQ(view.status, "No removable disk or disc drive found.");
  EXPECT_EQ(view.drive.deviceType, "Unknown");
  EXPECT_FALSE(BackupAllowed(view));

  // A backup: the options from the view, progress clamped, the last status kept.
  EndExamination(view, true, stick);
  view.eject = true;
  view.simulate = false;
  view.volumeLabel = "Yard";
  const backup::BackupOptions toStick = BackupOptionsFor(view, {"/media/ann/STICK", "STICK", false});
  EXPECT_EQ(toStick.target, "/media/ann/STICK");
  EXPECT_FALSE(toStick.eject);  // a removable disk is not ejected
  EXPECT_FALSE(toStick.simulate);
  EXPECT_EQ(toStick.source, view.source);
  const backup::BackupOptions toDisc = BackupOptionsFor(view, {"/dev/sr0", "drive", true});
  EXPECT_TRUE(toDisc.eject);
  EXPECT_EQ(toDisc.volumeLabel, "Yard");

  BeginBackup(view);
  EXPECT_FALSE(BackupAllowed(view));
  ApplyProgress(view, {"Copying files...", 9, 4});
  EXPECT_EQ(view.status, "Copying files...");
  EXPECT_EQ(view.progressPosition, 4u);
  EXPECT_EQ(view.progressRange, 4u);
  // An examination ending meanwhile (a volume came) does not end the backup.
  EndExamination(view, true, stick);
  EXPECT_EQ(view.phase, BackupPhase::kBackingUp);
  EXPECT_EQ(view.status, "Copying files...");
  EXPECT_EQ(view.progressPosition, 4u);
  backup::BackupOutcome failed;
  failed.status = "Failure.";
  failed.reason = "disk full";
  EndBackup(view, failed);
  EXPECT_EQ(view.status, "Failure. Disk full.");  // the reason follows the outcome
  EXPECT_TRUE(BackupAllowed(view));  // the dialog can be used again
  // The medium looked at again quietly: the outcome stays while the device is ready,
  // gives way to the device's own status when it is not.
  BeginExamination(view, true);
  EXPECT_EQ(view.status, "Failure. Disk full.");
  EXPECT_FALSE(BackupAllowed(view));
  EndExamination(view, true, stick, true);
  EXPECT_EQ(view.status, "Failure. Disk full.");
  EXPECT_EQ(view.progressPosition, 4u);
  BeginExamination(view, true);
  EndExamination(view, true, disc, true);
  EXPECT_EQ(view.status, disc.status);
  EXPECT_EQ(view.progressPosition, 0u);
  EndExamination(view, true, stick);
  BeginBackup(view);
  backup::BackupOutcome unstarted;
  unstarted.reason = "no recordings folder";
  EndBackup(view, unstarted);
  EXPECT_EQ(view.status, "no recordings folder");
  EXPECT_EQ(view.phase, BackupPhase::kIdle);
}

TEST(BackupView, RefusedTargetsDisableBackupAndAnotherDevicesBackupIsAskedFor) {
  namespace fs = std::filesystem;
  test::TempDir root;
  const fs::path recordings = fs::path(root.path()) / "Recordings";
  const fs::path door = recordings / "Yard" / "Door";
  fs::create_directories(door);
  test::WriteBytes(door / "26120806.vlj", "an hour");
  backup::InstanceFolders instance;
  instance.recordings = recordings;
  instance.devices = {{"Yard/Door", door}};
  BackupView view = InitialBackupView(door, "Yard/Door", 1700000000, instance);
  ASSERT_EQ(view.instance.devices.size(), 1u);

  // The worker checks the chosen entry as a target, on the folders themselves: a stick
  // mounted inside the recordings folder is refused, one elsewhere is fine.
  const fs::path inside = recordings / "stick";
  const fs::path outside = fs::path(root.path()) / "media" / "STICK";
  fs::create_directories(inside);
  fs::create_directories(outside);
  DeviceSources sources;
  sources.examine = [](const BackupDevice&) {
    backup::DriveInfo info;
    info.deviceType = "Removable Disk";
    info.mediaBytes = 1000;
    info.ready = true;
    return info;
  };
  sources.check = [&view](const BackupDevice& device) { return CheckBackupDevice(view, device); };
  const std::vector<BackupDevice> sticks = {{inside.string(), "IN", false}, {outside.string(), "OUT", false}};
  DeviceProbe probe = ProbeDevices(false, sticks, inside.string(), sources);
  EXPECT_EQ(probe.target.verdict, backup::TargetVerdict::kRefused);
  EndExamination(view, true, probe.info, false, probe.target);
  EXPECT_FALSE(BackupAllowed(view));
  EXPECT_EQ(view.status, "The target '" + inside.string() + "' lies inside the recordings folder '" +
                             recordings.string() + "'; a backup there would erase recordings.");
  EXPECT_EQ(ReplaceQuestion(view), "");
  probe = ProbeDevices(false, sticks, outside.string(), sources);
  EXPECT_EQ(probe.target.verdict, backup::TargetVerdict::kFine);
  EndExamination(view, true, probe.info, false, probe.target);
  EXPECT_TRUE(BackupAllowed(view));
  EXPECT_EQ(view.status, "Ready.");

  // A drive that is not ready says so first.
  backup::DriveInfo disc;
  disc.status = "The disc is full.";
  EndExamination(view, true, disc, false, backup::TargetCheck::Refused("somewhere refused"));
  EXPECT_EQ(view.status, "The disc is full.");

  // Another device's backup on the stick: Backup allowed, but a real backup asks first,
  // naming both devices; a simulation erases nothing and asks nothing.
  test::WriteBytes(outside / ".nvr", "root=\"Yard/Gate\"\r\n");
  probe = ProbeDevices(false, sticks, outside.string(), sources);
  ASSERT_EQ(probe.target.verdict, backup::TargetVerdict::kReplace);
  EXPECT_EQ(probe.target.otherDevice, "Yard/Gate");
  EndExamination(view, true, probe.info, false, probe.target);
  EXPECT_TRUE(BackupAllowed(view));
  EXPECT_EQ(view.status, "Ready.");
  view.simulate = true;
  EXPECT_EQ(ReplaceQuestion(view), "");
  view.simulate = false;
  EXPECT_EQ(ReplaceQuestion(view),
            "The medium holds the backup of \"Yard/Gate\". Erase it and back up \"Yard/Door\" in its place?");
  EndExamination(view, true, probe.info, false, backup::TargetCheck::Replace(""));
  EXPECT_EQ(ReplaceQuestion(view),
            "The medium holds the backup of another device. Erase it and back up \"Yard/Door\" in its place?");
  // The answer travels with the options; the core refuses without it.
  const backup::BackupOptions asked = BackupOptionsFor(view, sticks[1], true);
  EXPECT_TRUE(asked.replace);
  EXPECT_EQ(asked.devicePath, "Yard/Door");
  EXPECT_EQ(asked.instance.recordings, recordings);
  EXPECT_EQ(backup::TargetRefusal(asked), "");
  EXPECT_NE(backup::TargetRefusal(BackupOptionsFor(view, sticks[1])).find("holds the backup of \"Yard/Gate\""),
            std::string::npos);

  // A disc backup's failure shows the libraries' words after its status.
  backup::BackupOutcome burned;
  burned.status = "Failed (0x00020148)";
  burned.reason = "the disc was not written completely (libburn: Cannot write desired amount of 32768 bytes.)";
  BeginBackup(view);
  EndBackup(view, burned);
  EXPECT_EQ(view.status,
            "Failed (0x00020148) The disc was not written completely (libburn: Cannot write desired amount of 32768 "
            "bytes.)");
  EXPECT_EQ(Sentence("done."), "Done.");
  EXPECT_EQ(Sentence(""), "");
}

}  // namespace
}  // namespace velmora::control
