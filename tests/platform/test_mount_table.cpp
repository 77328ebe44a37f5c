// The mount table: mountinfo lines with escaped names, removable and optical drives told
// apart through a sysfs tree of the test's own, and the watcher's reports of drives that
// come and go, driven through a mount-table file of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mount_table.h"
#include "temp_dir.h"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

// A sysfs tree: sda (fixed disk, partition sda1), sdb (removable stick, partition sdb1),
// sr0 (optical drive, no partitions), reachable by device number and by name.
class FakeSysfs {
 public:
  explicit FakeSysfs(const std::string& root) : root_(root) {
    disk("sda", "8:0", false, {{"sda1", "8:1"}});
    disk("sdb", "8:16", true, {{"sdb1", "8:17"}});
    disk("sr0", "11:0", true, {});
  }
  const std::string& root() const { return root_; }

 private:
  void disk(const std::string& name, const std::string& number, bool removable,
            const std::vector<std::pair<std::string, std::string>>& parts) {
    const fs::path dir = fs::path(root_) / "devices/pci0000:00/host0/block" / name;
    fs::create_directories(dir);
    test::WriteFile((dir / "removable").string(), removable ? "1\n" : "0\n");
    link(dir, name, number);
    for (const auto& [part, partNumber] : parts) {
      fs::create_directories(dir / part);
      test::WriteFile((dir / part / "partition").string(), "1\n");
      link(dir / part, part, partNumber);
    }
  }
  void link(const fs::path& target, const std::string& name, const std::string& number) {
    fs::create_directories(fs::path(root_) / "dev/block");
    fs::create_directories(fs::path(root_) / "class/block");
    fs::create_symlink(fs::relative(target, fs::path(root_) / "dev/block"), fs::path(root_) / "dev/block" / number);
    fs::create_symlink(fs::relative(target, fs::path(root_) / "class/block"), fs::path(root_) / "class/block" / name);
  }
  std::string root_;
};

std::string Line(int id, const std::string& number, const std::string& point, const std::string& fs,
                 const std::string& source) {
  return std::to_string(id) + " 1 " + number + " / " + point + " rw,nosuid shared:1 - " + fs + " " + source +
         " rw\n";
}

// The fixed disk, a stick whose label holds a blank and a backslash, a DVD, a stick
// mounted outside the mount roots, and a fixed disk under /media.
const std::string kTable = Line(21, "8:1", "/", "ext4", "/dev/sda1") +
                           "22 21 0:5 / /proc rw - proc proc rw\n" +
                           Line(30, "8:17", "/media/ann/MY\\040STICK\\134X", "vfat", "/dev/sdb1") +
                           Line(31, "11:0", "/run/media/ann/DVD", "iso9660", "/dev/sr0") +
                           Line(32, "8:17", "/mnt/stick", "vfat", "/dev/sdb1") +
                           Line(33, "8:1", "/media/data", "ext4", "/dev/sda1") + "broken line\n";

TEST(MountTable, ParsesEscapesAndTellsRemovableOpticalAndFixedDrivesApart) {
  EXPECT_EQ(UnescapeMountField("a\\040b\\011c\\012d\\134e"), "a b\tc\nd\\e");
  EXPECT_EQ(UnescapeMountField("tail\\04"), "tail\\04");  // not three digits: kept
  EXPECT_EQ(UnescapeMountField("x\\999"), "x\\999");     // not octal: kept

  const auto entries = ParseMountInfo(kTable);
  ASSERT_EQ(entries.size(), 6u);  // the broken line is skipped
  EXPECT_EQ(entries[2].mountPoint, "/media/ann/MY STICK\\X");
  EXPECT_EQ(entries[2].major, 8u);
  EXPECT_EQ(entries[2].minor, 17u);
  EXPECT_EQ(entries[2].fsType, "vfat");
  EXPECT_EQ(entries[2].source, "/dev/sdb1");

  test::TempDir dir;
  FakeSysfs sys(dir.path() + "/sys");
  const BlockDeviceInfo part = DescribeBlockDevice(sys.root(), entries[2]);
  EXPECT_TRUE(part.found);
  EXPECT_TRUE(part.removable);  // from the partition's disk
  EXPECT_EQ(part.disk, "sdb");
  const BlockDeviceInfo fixed = DescribeBlockDevice(sys.root(), entries[0]);
  EXPECT_TRUE(fixed.found);
  EXPECT_FALSE(fixed.removable);
  EXPECT_FALSE(DescribeBlockDevice(sys.root(), entries[1]).found);  // proc: no block device
  // Without a device number, the node's name finds the device.
  MountEntry byName;
  byName.source = "/dev/sr0";
  EXPECT_TRUE(DescribeBlockDevice(sys.root(), byName).optical);

  MountTableSource source;
  source.sysfsRoot = sys.root();
  auto mounts = RemovableMounts(entries, source);
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].mountPoint, "/media/ann/MY STICK\\X");
  EXPECT_EQ(mounts[0].displayName, "MY STICK\\X");
  EXPECT_EQ(mounts[0].deviceNode, "/dev/sdb1");
  EXPECT_FALSE(mounts[0].optical);
  EXPECT_EQ(mounts[1].mountPoint, "/run/media/ann/DVD");
  EXPECT_TRUE(mounts[1].optical);

  // A root the user named takes its drives, fixed or not; the roots themselves never count.
  source.extraRoots = ParseMountRoots(" /mnt/ ; relative;;/media/data\n");
  ASSERT_EQ(source.extraRoots, (std::vector<std::string>{"/mnt", "/media/data"}));
  mounts = RemovableMounts(entries, source);
  ASSERT_EQ(mounts.size(), 4u);
  EXPECT_EQ(mounts[2].mountPoint, "/mnt/stick");
  EXPECT_EQ(mounts[3].mountPoint, "/media/data");
  MountTableSource plain;
  plain.sysfsRoot = sys.root();
  EXPECT_TRUE(RemovableMounts(ParseMountInfo(Line(40, "8:17", "/media", "vfat", "/dev/sdb1")), plain).empty());

  // The same through the file; an unreadable table lists nothing.
  source.mountInfoPath = dir.file("mountinfo");
  test::WriteFile(source.mountInfoPath, kTable);
  EXPECT_EQ(ListRemovableMounts(source).size(), 4u);
  source.mountInfoPath = dir.file("missing");
  EXPECT_TRUE(ListRemovableMounts(source).empty());
}

TEST(MountTable, WatcherReportsArrivalsAndRemovalsOnceAndKeepsItsViewWhenTheTableVanishes) {
  test::TempDir dir;
  FakeSysfs sys(dir.path() + "/sys");
  MountTableSource source;
  source.sysfsRoot = sys.root();
  source.mountInfoPath = dir.file("mountinfo");
  const std::string base = Line(21, "8:1", "/", "ext4", "/dev/sda1");
  const std::string stick = Line(30, "8:17", "/media/ann/STICK", "vfat", "/dev/sdb1");
  const std::string dvd = Line(31, "11:0", "/media/ann/DVD", "iso9660", "/dev/sr0");
  test::WriteFile(source.mountInfoPath, base + dvd);

  std::mutex lock;
  std::vector<std::string> reports;
  auto report = [&](const RemovableMount& mount, bool added) {
    std::lock_guard<std::mutex> guard(lock);
    reports.push_back((added ? "+" : "-") + mount.mountPoint);
  };
  auto taken = [&] {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> out;
    out.swap(reports);
    return out;
  };

  {
    // By hand: what was mounted at the start is not reported.
    MountWatcher watcher(source, report);
    watcher.Refresh();
    EXPECT_EQ(taken(), (std::vector<std::string>{"+/media/ann/DVD"}));  // not started: no baseline
    test::WriteFile(source.mountInfoPath, base + stick + dvd);
    watcher.Refresh();
    watcher.Refresh();
    EXPECT_EQ(taken(), (std::vector<std::string>{"+/media/ann/STICK"}));
    fs::remove(source.mountInfoPath);
    watcher.Refresh();  // unreadable: no drive reported gone
    EXPECT_TRUE(taken().empty());
    EXPECT_EQ(watcher.current().size(), 2u);
    test::WriteFile(source.mountInfoPath, base + stick);
    watcher.Refresh();
    EXPECT_EQ(taken(), (std::vector<std::string>{"-/media/ann/DVD"}));
  }

  // On its thread, with a short period for the plain file.
  test::WriteFile(source.mountInfoPath, base);
  MountWatcher watcher(source, report, std::chrono::milliseconds(20));
  ASSERT_TRUE(watcher.start());
  EXPECT_TRUE(watcher.current().empty());
  test::WriteFile(source.mountInfoPath, base + stick);
  auto waitFor = [&](std::size_t count) {
    std::vector<std::string> seen;
    for (int i = 0; i < 250 && seen.size() < count; ++i) {
      for (auto& r : taken()) seen.push_back(r);
      if (seen.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return seen;
  };
  EXPECT_EQ(waitFor(1), (std::vector<std::string>{"+/media/ann/STICK"}));
  test::WriteFile(source.mountInfoPath, base);
  EXPECT_EQ(waitFor(1), (std::vector<std::string>{"-/media/ann/STICK"}));
  watcher.stop();
  watcher.stop();
  EXPECT_FALSE(watcher.running());
  test::WriteFile(source.mountInfoPath, base + stick);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_TRUE(taken().empty());  // nothing after stop
}

TEST(MountTable, WatcherOnTheRealTableStartsAndStopsPromptly) {
  // The process's own table: no drive is expected to come or go; the thread must wake
  // from its wait at once when stopped.
  MountWatcher watcher(MountTableSource{}, [](const RemovableMount&, bool) {}, std::chrono::milliseconds(60000));
  ASSERT_TRUE(watcher.start());
  const auto before = std::chrono::steady_clock::now();
  watcher.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

}  // namespace
}  // namespace velmora::platform
