// Recording onto a small file system of its own (a 2 MiB tmpfs mounted for the test): a
// full disk and files that cannot be created drop frames with their reports, damage
// nothing already written, and recording resumes once there is room. Mounting needs
// root; without it the tests are skipped with a message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recording/cleanup.h"
#include "test_recorder_fixture.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora {
namespace {

using rectest::CheckPair;
using rectest::Frame;
using rectest::TakePosted;

class SmallDisk : public rectest::RecordingTest {
 protected:
  // Mounts the tmpfs and moves the recordings folder onto it; false when not allowed.
  bool Mount(const char* options) {
    disk = temp.path() / "disk";
    std::filesystem::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
      error = std::strerror(errno);
      return false;
    }
    mounted = true;
    root = disk / "rec";
    std::filesystem::create_directories(root);
    TestPaths().pathData = root.string() + "/";
    TestTree().recordingsFolder = TestPaths().pathData;
    return true;
  }
  void TearDown() override {
    if (mounted) ::umount2(disk.c_str(), MNT_DETACH);
    RecordingTest::TearDown();
  }
  std::filesystem::path Filler(int i) const { return disk / ("filler" + std::to_string(i)); }

  std::filesystem::path disk;
  bool mounted = false;
  std::string error;
};

#define MOUNT_OR_SKIP(options) \
  if (!Mount(options)) GTEST_SKIP() << "cannot mount a small tmpfs (" << error << "): needs root"

TEST_F(SmallDisk, FullDiskDropsFramesKeepsWhatWasWrittenAndResumesWithRoom) {
  MOUNT_OR_SKIP("size=2m,nr_inodes=64");
  std::vector<char> reserve(600 * 1024, 'f');  // room to give back later
  rectest::AppendBytes(disk / "reserve", reserve.data(), reserve.size());
  auto cam = Camera("Cam");
  int recorded = 0;
  std::vector<std::string> reports;
  for (int i = 0; i < 40 && reports.empty(); ++i) {
    Frame(100000, static_cast<uint8_t>(i)).RecordFor(*cam);
    reports = TakePosted().status;
    recorded += reports.empty();
  }
  ASSERT_EQ(reports.size(), 1u) << "the disk never filled";
  EXPECT_EQ(reports[0].rfind("WriteFile(", 0), 0u);
  EXPECT_NE(reports[0].find(", 100052, "), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find(" [Cam] (vlj) failed (28: No space left on device)"),
            std::string::npos);
  EXPECT_GE(DiskUsagePercent(root.string()), 95);
  for (int i = 0; i < 3; ++i) Frame(100000).RecordFor(*cam);
  EXPECT_EQ(TakePosted().status.size(), 3u);

  auto check = CheckPair(Folder(*cam), Key());
  EXPECT_EQ(check.entries, static_cast<uint64_t>(recorded));
  EXPECT_EQ(check.records, check.entries);
  EXPECT_FALSE(check.tornTail) << "the partial record was cut off again";

  std::filesystem::remove(disk / "reserve");
  for (int i = 0; i < 3; ++i) Frame(100000, 200).RecordFor(*cam);
  EXPECT_TRUE(TakePosted().status.empty());
  check = CheckPair(Folder(*cam), Key());
  EXPECT_EQ(check.entries, static_cast<uint64_t>(recorded) + 3);
  EXPECT_EQ(check.records, check.entries);
  EXPECT_EQ(check.indexed.back().jpeg, rectest::FakeJpeg(100000, 200));
}

TEST_F(SmallDisk, FilesThatCannotBeCreatedAreReportedAndRecordingResumes) {
  MOUNT_OR_SKIP("size=2m,nr_inodes=16");
  int fillers = 0;  // take every inode left
  for (int fd;
       fillers < 100 && (fd = ::open(Filler(fillers).c_str(), O_CREAT | O_WRONLY, 0644)) >= 0;
       ++fillers)
    ::close(fd);
  ASSERT_GE(fillers, 4);
  auto cam = Camera("Yard/Cam");
  const std::string noSpace = ") failed (28: No space left on device)";
  const std::string data = "CreateFile(" + DataFilePath(Folder(*cam), Key()).string() + noSpace;
  const std::string index = "CreateFile(" + IndexFilePath(Folder(*cam), Key()).string() + noSpace;

  Frame(3000).RecordFor(*cam);  // not even the folders
  EXPECT_EQ(TakePosted().status, std::vector<std::string>{data});
  std::filesystem::remove(Filler(0));
  std::filesystem::remove(Filler(1));
  Frame(3000).RecordFor(*cam);  // the folders, but no data file
  EXPECT_EQ(TakePosted().status, std::vector<std::string>{data});
  EXPECT_TRUE(std::filesystem::is_directory(Folder(*cam)));
  std::filesystem::remove(Filler(2));
  Frame(3000).RecordFor(*cam);  // the data file, but no index: the record stays unindexed
  EXPECT_EQ(TakePosted().status, std::vector<std::string>{index});
  std::filesystem::remove(Filler(3));
  Frame(2000).RecordFor(*cam);
  EXPECT_TRUE(TakePosted().status.empty());
  const auto check = CheckPair(Folder(*cam), Key());
  EXPECT_EQ(check.records, 2u);
  ASSERT_EQ(check.entries, 1u);
  EXPECT_EQ(check.indexed[0].offset, 3052u) << "the write position moved past the unindexed record";
}

TEST_F(SmallDisk, FullDiskIsLoggedOncePerDeviceAndMinuteAndShownForEveryFrame) {
  MOUNT_OR_SKIP("size=2m,nr_inodes=64");
  auto door = Camera("Door");
  auto yard = Camera("Yard");
  Frame(3000).RecordFor(*door);  // both folders and pairs exist before the disk fills
  Frame(3000).RecordFor(*yard);
  ASSERT_TRUE(TakePosted().status.empty());
  const std::vector<char> block(64 * 1024, 'f');
  const int fd = ::open(Filler(0).c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 100 && ::write(fd, block.data(), block.size()) > 0; ++i) {
  }
  ::close(fd);

  // Frames arrive for minutes: each failure is shown, one per device and minute logged.
  std::vector<bool> doorLogged, yardLogged;
  for (int second = 0; second < 150; second += 5) {
    clock.advance(std::chrono::seconds(5));
    Frame(3000).RecordFor(*door);
    Frame(3000).RecordFor(*yard);
    const rectest::Posted posted = TakePosted();
    ASSERT_EQ(posted.status.size(), 2u) << second;
    EXPECT_NE(posted.status[0].find(" [Door] (vlj) failed (28: No space left on device)"), std::string::npos);
    doorLogged.push_back(posted.logged[0]);
    yardLogged.push_back(posted.logged[1]);
  }
  // Logged at 5 s, 65 s and 125 s: the first failure, then every twelfth frame.
  std::vector<bool> expected(30, false);
  expected[0] = expected[12] = expected[24] = true;
  EXPECT_EQ(doorLogged, expected);
  EXPECT_EQ(yardLogged, expected);

  // A clock set back does not silence the log for the time it went back.
  clock.advance(-std::chrono::hours(1));
  Frame(3000).RecordFor(*door);
  const rectest::Posted back = TakePosted();
  ASSERT_EQ(back.logged.size(), 1u);
  EXPECT_TRUE(back.logged[0]);
}

}  // namespace
}  // namespace velmora
