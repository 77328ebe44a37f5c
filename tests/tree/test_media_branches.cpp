// Drive branches in the tree, driven as the program drives them: a mount-table file and
// a sysfs tree of the test's own, the mount watcher posting drive changes, the scan
// thread posting its results, and the main thread's message handling adding and removing
// the branches and clearing the tiles that showed a removed drive's folders.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/program_signals.h"
#include "model/media_scan.h"
#include "app/messages.h"
#include "live/view_slot.h"
#include "model/model_fixture.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "playback/playback_thread.h"
#include "platform/mount_table.h"
#include "tree/media_branches.h"
#include "program_slots.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::test::ProgramSlots;

namespace velmora {
namespace {

namespace fs = std::filesystem;
using namespace EntryKind;

class MediaBranchesTest : public test::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    programPlayback().controller.setTree(TestTreeShare());
    ClearMediaScanQueue();
    mainQueue().reopen();
    while (mainQueue().take()) {
    }
    base_ = fs::path(TestPaths().appDataFolder) / "media";
    // sysfs: a stick sdb (removable) with its partition sdb1 as 8:17.
    const fs::path sys = base_ / "sys";
    const fs::path disk = sys / "devices/usb1/block/sdb";
    fs::create_directories(disk / "sdb1");
    WriteFile((disk / "removable").string(), "1\n");
    WriteFile((disk / "sdb1" / "partition").string(), "1\n");
    fs::create_directories(sys / "dev/block");
    fs::create_symlink("../../devices/usb1/block/sdb/sdb1", sys / "dev/block/8:17");
    // The stick's files: recordings at its root and in a camera folder.
    stick_ = base_ / "mnt" / "STICK";
    touch(stick_ / "091201.vlj");
    touch(stick_ / "Lobby" / "Door" / "091201.vlj");
    touch(stick_ / "photos" / "a.jpg");

    source_.mountInfoPath = (base_ / "mountinfo").string();
    source_.sysfsRoot = sys.string();
    source_.extraRoots = {(base_ / "mnt").string()};  // a root the user named
    WriteFile(source_.mountInfoPath, kFixed);
  }
  void TearDown() override {
    programSignals().playbackMode.store(false);
    for (int t = 0; t < ViewSlots::size(); ++t) ProgramSlots().SetPlaybackSlot(t, -1);
    ClearMediaScanQueue();
    ModelTest::TearDown();
  }

  static void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    WriteFile(file.string(), "x");
  }
  void mount(bool withStick) {
    std::string table = kFixed;
    if (withStick) {
      std::string point = stick_.string();
      table += "40 21 8:17 / " + point + " rw - vfat /dev/sdb1 rw\n";
    }
    WriteFile(source_.mountInfoPath, table);
  }
  // Runs the main thread's side until `done` holds (at most 5 s).
  template <class Done>
  bool pump(Done done) {
    for (int i = 0; i < 250; ++i) {
      while (auto message = mainQueue().take())
        HandleMediaMessage(*message, TestTree(), source_, programPlayback().controller);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string log() const { return ReadFile(TestPaths().logPath); }

  static inline const std::string kFixed = "21 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
  fs::path base_;
  fs::path stick_;
  // The mount table and sysfs of the test, as the program's Core hands its own.
  platform::MountTableSource source_;
};

TEST_F(MediaBranchesTest, DriveBranchIsAddedOnceAndRemovedOnUnmountWithItsTileCleared) {
  add(root(), LocalNVR, "All Views");
  platform::Event stop(platform::Event::Reset::kManual);
  ASSERT_TRUE(StartMediaScanThread(&stop));
  platform::MountWatcher watcher(source_, PostDriveChange, std::chrono::milliseconds(20));
  ASSERT_TRUE(watcher.start());

  // No removable drive: scanning all drives queues nothing.
  AppMessage all = MsgScanAllMedia{};
  EXPECT_TRUE(HandleMediaMessage(all, TestTree(), source_, programPlayback().controller));
  EXPECT_EQ(PendingMediaScans(), 0u);
  EXPECT_EQ(log().find("queing"), std::string::npos);

  mount(true);
  ASSERT_TRUE(pump([&] { return FindDriveBranch(root(), stick_.string()) != nullptr; }));
  GroupRecord* drive = FindDriveBranch(root(), stick_.string());
  EXPECT_EQ(drive->name, "STICK");
  EXPECT_EQ(drive->location, "/dev/sdb1");
  EXPECT_TRUE(drive->enabled);
  EXPECT_FALSE(IsOpticalDrive(*drive));
  ASSERT_EQ(drive->children.size(), 2u);  // the root's recordings, then "Lobby"; no "photos"
  GroupRecord& rootData = *drive->children[0];
  EXPECT_EQ(rootData.kind, RemovableFolder);
  EXPECT_EQ(rootData.name, "STICK");
  EXPECT_EQ(rootData.path, stick_.string());
  GroupRecord& lobby = *drive->children[1];
  EXPECT_EQ(lobby.kind, RemovableEntry);
  ASSERT_EQ(lobby.children.size(), 1u);
  GroupRecord& door = *lobby.children[0];
  ASSERT_EQ(door.children.size(), 1u);
  GroupRecord& doorData = *door.children[0];
  EXPECT_EQ(doorData.kind, RemovableFolder);
  EXPECT_EQ(doorData.path, (stick_ / "Lobby" / "Door").string());
  EXPECT_NE(log().find("srm_add: STICK/" + stick_.string() + ", type=-8, children=2"), std::string::npos);

  // The drive arrives again (a second notice, or a scan of all drives): no second branch.
  AppMessage again = MsgShellChange{stick_.string(), true, "/dev/sdb1", "STICK"};
  EXPECT_TRUE(HandleMediaMessage(again, TestTree(), source_, programPlayback().controller));
  EXPECT_TRUE(HandleMediaMessage(all, TestTree(), source_, programPlayback().controller));
  EXPECT_EQ(PendingMediaScans(), 0u);
  ScanNode late;
  late.scanType = RemovableDrive;
  late.name = "STICK";
  late.path = stick_.string();
  late.children.push_back(std::make_unique<ScanNode>());
  late.children[0]->scanType = RemovableFolder;
  EXPECT_EQ(AddScanResult(root(), late), nullptr);
  int drives = 0;
  for (const auto& child : root().children) drives += child->kind == RemovableDrive;
  EXPECT_EQ(drives, 1);

  // The door's recordings play alone in tile 3.
  doorData.viewIndex = 3;
  doorData.shownIn = &ProgramSlots();
  doorData.fetchIndex = 3;
  ProgramSlots().SetCaptionAndClear(3, doorData.name);
  ProgramSlots().SetPlaybackSlot(3, 0);
  programSignals().playbackMode.store(true);
  std::shared_ptr<GroupRecord> held = doorData.shared_from_this();

  mount(false);
  ASSERT_TRUE(pump([&] { return FindDriveBranch(root(), stick_.string()) == nullptr; }));
  EXPECT_EQ(held->parent, nullptr);
  EXPECT_EQ(held->viewIndex, -1);
  EXPECT_EQ(ProgramSlots().Text(3), kTextNoViewSelected);
  EXPECT_EQ(ProgramSlots().PlaybackSlot(3), -1);
  EXPECT_FALSE(programSignals().playbackMode.load());  // it was the only playback tile
  EXPECT_NE(log().find("CMainFrame::OnSHChangeNotify: deleting 'STICK'"), std::string::npos);
  ASSERT_EQ(root().children.size(), 1u);  // this recorder's entry stays

  // A removal of a drive nobody shows changes nothing.
  AppMessage gone = MsgShellChange{stick_.string(), false, "", ""};
  EXPECT_TRUE(HandleMediaMessage(gone, TestTree(), source_, programPlayback().controller));
  EXPECT_EQ(root().children.size(), 1u);

  watcher.stop();
  stop.set();
  EXPECT_TRUE(JoinMediaScanThread(std::chrono::milliseconds(5000)));
  programSignals().mediaScan.reset();
}

TEST_F(MediaBranchesTest, RemovalKeepsPlaybackForOtherTilesAndDropsAWaitingScan) {
  ScanNode scan;
  scan.scanType = RemovableDrive;
  scan.name = "DVD";
  scan.path = "/media/ann/DVD";
  scan.device = "/dev/sr0";
  auto data = std::make_unique<ScanNode>();
  data->scanType = RemovableFolder;
  data->scanDepth = 1;
  data->name = "DVD\tdisc\xff";  // a name as the medium may hold it
  data->path = scan.path;
  scan.children.push_back(std::move(data));
  auto emptyFolder = std::make_unique<ScanNode>();  // a folder without children is not added
  emptyFolder->scanType = RemovableEntry;
  emptyFolder->name = "empty";
  scan.children.push_back(std::move(emptyFolder));
  GroupRecord* drive = AddScanResult(root(), scan);
  ASSERT_NE(drive, nullptr);
  EXPECT_TRUE(IsOpticalDrive(*drive));
  ASSERT_EQ(drive->children.size(), 1u);
  GroupRecord& folder = *drive->children[0];
  EXPECT_EQ(folder.name, "DVD disc\xEF\xBF\xBD") << "cleaned like any other name";
  EXPECT_EQ(folder.path, "/media/ann/DVD");

  // Two tiles are played, the drive's and a leftover folder's; the drive goes.
  GroupRecord& old = add(root(), OldRecordingsFolder, "Gate");
  old.viewIndex = 1;
  old.shownIn = &ProgramSlots();
  folder.viewIndex = 0;
  folder.shownIn = &ProgramSlots();
  ProgramSlots().SetPlaybackSlot(0, 0);
  ProgramSlots().SetPlaybackSlot(1, 1);
  programSignals().playbackMode.store(true);
  int cleared = 0;
  bool played = false;
  EXPECT_TRUE(RemoveDriveBranch(TestTree(), "/media/ann/DVD", [&](GroupRecord& shown) {
    ++cleared;
    played = ClearRemovedFolderTile(shown, ProgramSlots());
  }));
  EXPECT_EQ(cleared, 1);
  EXPECT_TRUE(played);
  FollowRemovedTiles(played, ProgramSlots(), programPlayback().controller);
  ASSERT_EQ(root().children.size(), 1u);
  EXPECT_EQ(ProgramSlots().PlaybackSlot(0), -1);
  EXPECT_TRUE(programSignals().playbackMode.load());  // the other tile plays on
  EXPECT_EQ(ProgramSlots().PlaybackSlot(1), 1);
  EXPECT_EQ(programPlayback().controller.playbackTiles(), std::vector<int>{1});

  // A drive that goes before its scan started: the scan is dropped.
  EXPECT_TRUE(QueueDriveScan(root(), "/media/ann/USB", ""));
  EXPECT_FALSE(RemoveDriveBranch(TestTree(), "/media/ann/USB", {}));
  EXPECT_EQ(PendingMediaScans(), 0u);
  EXPECT_NE(log().find("queing removable media scan for 'USB'"), std::string::npos);

  // A drive that goes while it is scanned: the late result adds nothing; once the drive
  // is back, its result is added.
  scan.path = "/media/ann/DVD2";
  scan.children[0]->path = scan.path;
  EXPECT_FALSE(RemoveDriveBranch(TestTree(), scan.path, {}));
  EXPECT_EQ(AddScanResult(root(), scan), nullptr);
  EXPECT_FALSE(RemoveDriveBranch(TestTree(), scan.path, {}));
  EXPECT_TRUE(QueueDriveScan(root(), scan.path, "DVD2"));
  ClearMediaScanQueue();
  EXPECT_NE(AddScanResult(root(), scan), nullptr);
}

// What a medium holds reaches the log only escaped: the scan's names and paths in the
// "srm_add" lines, and the removal's "deleting" and "DeleteItem" lines, where the path
// is the medium's own.
TEST_F(MediaBranchesTest, NamesAndPathsFromTheMediumReachTheLogEscaped) {
  const std::string evil = "Cam\r\n[Mon Jan 01 00:00:00 2024]: forged\x1b[2J";
  ScanNode scan;
  scan.scanType = RemovableDrive;
  scan.name = "STICK\x1b]0;owned\x07";
  scan.path = "/media/ann/ST\nICK";
  auto folder = std::make_unique<ScanNode>();
  folder->scanType = RemovableEntry;
  folder->scanDepth = 1;
  folder->name = evil;
  folder->path = scan.path + "/" + evil;
  auto data = std::make_unique<ScanNode>();
  data->scanType = RemovableFolder;
  data->scanDepth = 2;
  data->name = evil;
  data->path = folder->path;
  folder->children.push_back(std::move(data));
  scan.children.push_back(std::move(folder));
  ASSERT_NE(AddScanResult(root(), scan), nullptr);
  EXPECT_TRUE(RemoveDriveBranch(TestTree(), scan.path, {}));

  const std::string text = log();
  for (char raw : {'\x1b', '\x07'}) EXPECT_EQ(text.find(raw), std::string::npos) << text;
  EXPECT_EQ(text.find("\n[Mon Jan 01 00:00:00 2024]"), std::string::npos) << text;
  const std::string shownPath = "/media/ann/ST\\nICK/Cam\\r\\n[Mon Jan 01 00:00:00 2024]: forged\\x1b[2J";
  EXPECT_NE(text.find("]: srm_add: STICK\\x1b]0;owned\\x07//media/ann/ST\\nICK, type=-8, children=1\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("]: srm_add: Cam\\r\\n[Mon Jan 01 00:00:00 2024]: forged\\x1b[2J/" + shownPath +
                      ", type=-6, children=0\r\n"),
            std::string::npos)
      << text;
  // The tree's names were cleaned when the entries were made; their paths are the medium's.
  EXPECT_NE(text.find("]: DeleteItem: Cam  [Mon Jan 01 00:00:00 2024]: forged [2J [" + shownPath + "]\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("]: CMainFrame::OnSHChangeNotify: deleting 'STICK ]0;owned'\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace velmora
