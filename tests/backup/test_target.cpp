// Where a backup may go: the verdict on folder and image targets against an instance's
// recordings and device folders (links resolved), the markers of earlier backups, the
// instance's folders read from its settings and device-tree files, and the command
// running beside that instance.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "app/settings.h"
#include "backup/backup.h"
#include "backup/backup_cli.h"
#include "platform/clock.h"
#include "backup_support.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

namespace fs = std::filesystem;

// An instance: a recordings folder holding Yard/Door, a camera whose folder is a link
// to another disk, and a storage folder elsewhere; each with an hour of recordings.
struct Instance {
  test::TempDir root;
  fs::path recordings = fs::path(root.path()) / "Recordings";
  fs::path door = recordings / "Yard" / "Door";
  fs::path otherDisk = fs::path(root.path()) / "disk2" / "cam2";
  fs::path nas = fs::path(root.path()) / "nas" / "rec";
  InstanceFolders folders;
  Instance() {
    for (const fs::path& f : {door, otherDisk, nas}) {
      fs::create_directories(f);
      test::WriteBytes(f / "26120806.vlj", "an hour");
    }
    fs::create_symlink(otherDisk, recordings / "Yard" / "Cam2");
    folders.recordings = recordings;
    folders.devices = {{"Yard/Door", door}, {"Yard/Cam2", recordings / "Yard" / "Cam2"}, {"Yard/nas", nas}};
  }
  BackupOptions options(const std::string& target) const {
    BackupOptions o;
    o.source = door;
    o.devicePath = "Yard/Door";
    o.instance = folders;
    o.target = target;
    return o;
  }
  TargetCheck check(const std::string& target) const { return CheckTarget(options(target)); }
};

TEST(BackupTarget, FoldersWhereRecordingsLiveAreRefusedAsTheyResolve) {
  Instance in;
  struct Case {
    fs::path target;
    const char* says;
  };
  fs::create_directories(in.recordings / "Yard" / "empty");
  fs::create_directories(in.otherDisk / "sub");
  fs::create_directories(in.nas / "sub");
  const fs::path link = fs::path(in.root.path()) / "to-recordings";
  fs::create_symlink(in.recordings, link);
  const Case refused[] = {
      {in.recordings, "is the recordings folder '"},
      {in.recordings / "Yard" / "empty", "lies inside the recordings folder '"},
      {link, "is the recordings folder '"},                               // a link to it
      {in.recordings / "Yard" / "Cam2", "is the recordings folder of \"Yard/Cam2\""},
      {in.otherDisk / "sub", "lies inside the recordings folder of \"Yard/Cam2\""},  // the link's target
      {in.nas / "sub", "lies inside the recordings folder of \"Yard/nas\""},
      {in.door, "is the recordings folder itself (the source)"},
  };
  for (const Case& c : refused) {
    const TargetCheck check = in.check(c.target.string());
    EXPECT_EQ(check.verdict, TargetVerdict::kRefused) << c.target;
    EXPECT_NE(check.reason.find(c.says), std::string::npos) << check.reason;
    EXPECT_NE(check.reason.find("'" + c.target.string() + "'"), std::string::npos) << check.reason;
  }

  // Anywhere else: fine while it holds no hour files, or other files only.
  const fs::path stick = fs::path(in.root.path()) / "media" / "STICK";
  fs::create_directories(stick / "old");
  test::WriteBytes(stick / "readme.txt", "keep");
  test::WriteBytes(stick / "old" / "26120806.vlj", "below the target: not erased");
  EXPECT_EQ(in.check(stick.string()).verdict, TargetVerdict::kFine);
  EXPECT_EQ(TargetRefusal(in.options(stick.string())), "");
  EXPECT_NE(in.check((stick / "readme.txt").string()).reason.find("is not a folder"), std::string::npos);
}

TEST(BackupTarget, HourFilesNeedAMarkerAndAnotherDevicesMarkerNeedsLeave) {
  Instance in;
  const fs::path stick = fs::path(in.root.path()) / "STICK";
  fs::create_directories(stick);
  // Hour files that no backup made (no marker): refused, whatever the case of the name.
  test::WriteBytes(stick / "26120806.VLX", "x");
  TargetCheck check = in.check(stick.string());
  EXPECT_EQ(check.verdict, TargetVerdict::kRefused);
  EXPECT_NE(check.reason.find("holds recordings that no backup made"), std::string::npos) << check.reason;

  // This device's backup: renewed without a question.
  ASSERT_TRUE(WriteBackupMarker(stick, "Yard/Door"));
  EXPECT_EQ(in.check(stick.string()).verdict, TargetVerdict::kFine);
  // Without a device path given, the source's own marker names the device.
  BackupOptions unnamed = in.options(stick.string());
  unnamed.devicePath.clear();
  EXPECT_EQ(CheckTarget(unnamed).verdict, TargetVerdict::kReplace);  // the source has no marker yet
  ASSERT_TRUE(WriteBackupMarker(in.door, "Yard/Door"));
  EXPECT_EQ(CheckTarget(unnamed).verdict, TargetVerdict::kFine);

  // Another device's backup, or a marker naming none: asked for, with the device named.
  ASSERT_TRUE(WriteBackupMarker(stick, "Yard/Gate"));
  check = in.check(stick.string());
  EXPECT_EQ(check.verdict, TargetVerdict::kReplace);
  EXPECT_EQ(check.otherDevice, "Yard/Gate");
  BackupOptions options = in.options(stick.string());
  EXPECT_EQ(TargetRefusal(options),
            "the target '" + stick.string() + "' holds the backup of \"Yard/Gate\", which would be erased");
  options.replace = true;
  EXPECT_EQ(TargetRefusal(options), "");
  options.replace = false;
  options.simulate = true;  // erases nothing
  EXPECT_EQ(TargetRefusal(options), "");
  test::WriteBytes(stick / ".nvr", "garbage");
  check = in.check(stick.string());
  EXPECT_EQ(check.verdict, TargetVerdict::kReplace);
  EXPECT_EQ(check.otherDevice, "");
  // A marker alone (an earlier backup of days without hour files) is asked for too.
  fs::remove(stick / "26120806.VLX");
  ASSERT_TRUE(WriteBackupMarker(stick, "Yard/Gate"));
  EXPECT_EQ(in.check(stick.string()).verdict, TargetVerdict::kReplace);

  std::string root;
  EXPECT_TRUE(ReadMarkerRoot(stick, root));
  EXPECT_EQ(root, "Yard/Gate");
  EXPECT_FALSE(ReadMarkerRoot(in.recordings, root));
  EXPECT_TRUE(HoldsHourFiles(in.door));
  EXPECT_FALSE(HoldsHourFiles(stick));
  EXPECT_FALSE(SelectsHourFiles({{".nvr", 10}}));
  EXPECT_TRUE(SelectsHourFiles({{".nvr", 10}, {"26120806.VLJ", 0}}));
}

TEST(BackupTarget, ImagesAreRefusedWhereRecordingsLiveAndOverOtherFiles) {
  Instance in;
  const fs::path out = fs::path(in.root.path()) / "out";
  fs::create_directories(out);
  // Inside the recordings folder, a device's folder (through its link), the source.
  for (const fs::path& image : {in.recordings / "x.iso", in.recordings / "Yard" / "Cam2" / "26120806.vlj",
                                in.otherDisk / "x.iso", in.door / "26120806.vlj"}) {
    const TargetCheck check = in.check("stdio:" + image.string());
    EXPECT_EQ(check.verdict, TargetVerdict::kRefused) << image;
    EXPECT_NE(check.reason.find("would lie inside"), std::string::npos) << check.reason;
  }
  // A link outside pointing at a recording is judged by the file it leads to.
  fs::create_symlink(in.door / "26120806.vlj", out / "link.iso");
  EXPECT_EQ(in.check("stdio:" + (out / "link.iso").string()).verdict, TargetVerdict::kRefused);
  EXPECT_EQ(test::ReadBytes(in.door / "26120806.vlj"), "an hour");

  // Existing files: an empty one or a disc image may be written over, nothing else.
  test::WriteBytes(out / "empty.iso", "");
  std::string iso(40000, '\0');
  iso.replace(32768, 6, "\x01" "CD001");
  test::WriteBytes(out / "old.iso", iso);
  test::WriteBytes(out / "short.iso", "CD001");  // ends before any volume descriptor
  EXPECT_EQ(in.check("stdio:" + (out / "new.iso").string()).verdict, TargetVerdict::kFine);
  EXPECT_EQ(in.check("stdio:" + (out / "empty.iso").string()).verdict, TargetVerdict::kFine);
  EXPECT_EQ(in.check("stdio:" + (out / "old.iso").string()).verdict, TargetVerdict::kFine);
  EXPECT_NE(in.check("stdio:" + (out / "short.iso").string()).reason.find("is not a disc image"), std::string::npos);
  EXPECT_NE(in.check("stdio:").reason.find("no image file"), std::string::npos);
  // A drive is left to the examination of its medium.
  EXPECT_EQ(in.check("/dev/sr0").verdict, TargetVerdict::kFine);
}

TEST(BackupTarget, InstanceFoldersComeFromItsSettingsAndDeviceTreeFiles) {
  Instance in;
  test::TempDir data;
  const std::string appData = data.path() + "/";
  Settings settings;
  settings.pathData = in.recordings.string();
  ASSERT_TRUE(WriteSettingsFile(appData + "Velmora NVR.exe.config", settings));
  test::WriteBytes(appData + "Velmora NVR.xml",
                   "<?xml version=\"1.0\"?>\r\n<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\">"
                   "<Group name=\"Yard\"><Device name=\"Door\"/><Device name=\"Cam2\"/>"
                   "<HTTPDevice name=\"Weather\"><Location>http://example.com/a.jpg</Location></HTTPDevice>"
                   "<NASDevice name=\"nas\"><Location>" + in.nas.string() + "</Location></NASDevice>"
                   "<NASDevice name=\"remote\"><Location>http://127.0.0.1:8080/Yard/Door/</Location></NASDevice>"
                   "<ServerDevice name=\"srv\"><CameraList><Camera name=\"in1\"/></CameraList></ServerDevice>"
                   "</Group></LocalNVR></DeviceTree>\r\n");
  const InstanceFolders folders = ReadInstanceFolders(data.path());
  EXPECT_EQ(fs::path(folders.recordings), fs::path(in.recordings.string() + "/"));
  std::map<std::string, fs::path> devices;
  for (const DeviceFolder& d : folders.devices) devices[d.devicePath] = d.folder;
  EXPECT_EQ(devices.size(), 5u);
  EXPECT_EQ(devices["Yard/Door"], fs::path(in.recordings.string() + "/") / "Yard/Door");
  EXPECT_EQ(devices["Yard/Weather"], fs::path(in.recordings.string() + "/") / "Yard/Weather");
  EXPECT_EQ(devices["Yard/nas"], in.nas);
  EXPECT_EQ(devices["Yard/srv/in1"], fs::path(in.recordings.string() + "/") / "Yard/srv/in1");
  EXPECT_EQ(devices.count("Yard/remote"), 0u);  // another instance serves it

  // A source is known by the device whose folder it is, also through a link.
  EXPECT_EQ(DevicePathOf(in.door, folders), "Yard/Door");
  EXPECT_EQ(DevicePathOf(in.otherDisk, folders), "Yard/Cam2");
  EXPECT_EQ(DevicePathOf(fs::path(in.root.path()) / "copies" / "Gate/", folders), "Gate");

  // Without a usable pathData the instance records into its data folder's Recordings.
  settings.pathData = in.recordings.string() + "/missing";
  ASSERT_TRUE(WriteSettingsFile(appData + "Velmora NVR.exe.config", settings));
  EXPECT_EQ(ReadInstanceFolders(data.path()).recordings, fs::path(appData + "Recordings/"));
  fs::remove(appData + "Velmora NVR.xml");
  EXPECT_TRUE(ReadInstanceFolders(data.path()).devices.empty());
}

TEST(BackupTarget, CommandBesideAnInstanceRefusesItsFoldersAndNamesItsDevice) {
  test::ZoneForTest zone("UTC0");
  Instance in;
  test::MakeHours(in.door, test::UtcHour(2026, 12, 8, 6), 2);
  platform::ManualClock clock(int64_t{test::UtcHour(2026, 12, 8, 12)} * 1000);
  platform::ScopedClock useClock(clock);
  auto run = [&](const std::vector<std::string>& args, std::string& err) {
    std::FILE* out = std::tmpfile();
    std::FILE* errFile = std::tmpfile();
    const int rc = BackupCommandMain(args, out, errFile, nullptr, in.folders);
    std::fflush(errFile);
    std::rewind(errFile);
    err.clear();
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, errFile)) > 0) err.append(buffer, n);
    std::fclose(out);
    std::fclose(errFile);
    return rc;
  };
  std::string err;
  // The recordings root, and a folder inside a linked camera folder on another disk.
  fs::create_directories(in.otherDisk / "sub");
  EXPECT_EQ(run({in.door.string(), in.recordings.string()}, err), 1);
  EXPECT_NE(err.find("is the recordings folder"), std::string::npos) << err;
  EXPECT_EQ(run({in.door.string(), (in.otherDisk / "sub").string()}, err), 1);
  EXPECT_NE(err.find("recordings folder of \"Yard/Cam2\""), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(in.door / ".nvr"));

  // A good target: the marker names the device by its tree path.
  test::TempDir stick;
  EXPECT_EQ(run({in.door.string(), stick.path()}, err), 0) << err;
  EXPECT_EQ(test::ReadBytes(in.door / ".nvr"), "root=\"Yard/Door\"\r\n");
  EXPECT_EQ(test::ReadBytes(fs::path(stick.path()) / ".nvr"), "root=\"Yard/Door\"\r\n");
}

}  // namespace
}  // namespace velmora::backup
