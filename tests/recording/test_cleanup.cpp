// Automatic removal: age deletion by hour keys, the fullness loop, what is never
// touched, giving way to playback, renames and shutdown, the tree copy, the thread.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/program_signals.h"
#include "recording/cleanup.h"
#include "test_recorder_fixture.h"
#include "test_tree.h"

using velmora::test::TestTree;

namespace velmora {
namespace {

using rectest::TakePosted;

class Cleanup : public rectest::RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    programSignals().renaming = programSignals().playbackMode = false;
    tree = CreateRecord(EntryKind::Root, kRootName);
    yard = CreateRecord(EntryKind::Group, "Yard");
    yard->path = "Yard";
    InsertEntry(tree.get(), yard);
    clock.setWall(rectest::Utc(2026, 12, 8, 12, 10, 0));
  }
  void TearDown() override {
    programSignals().renaming = programSignals().playbackMode = false;
    programSignals().deletePass.set();
    RecordingTest::TearDown();
  }
  std::shared_ptr<GroupRecord> Add(GroupRecord& parent, const std::string& name, int32_t archive,
                                   int32_t kind = EntryKind::Device) {
    auto record = Camera(parent.path.empty() ? name : parent.path + "/" + name, archive);
    record->kind = kind;
    InsertEntry(&parent, record);
    return record;
  }
  void MakeHours(const std::string& folder, std::initializer_list<const char*> keys) {
    std::filesystem::create_directories(root / folder);
    for (const char* key : keys) {
      rectest::AppendBytes(root / folder / (std::string(key) + ".vlj"), "data", 4);
      rectest::AppendBytes(root / folder / (std::string(key) + ".vlx"), "index...", 8);
    }
  }
  // Both files of the hour are there (true), or neither (false).
  bool Kept(const std::string& folder, const std::string& key) const {
    const bool data = std::filesystem::exists(root / folder / (key + ".vlj"));
    EXPECT_EQ(data, std::filesystem::exists(root / folder / (key + ".vlx"))) << folder << key;
    return data;
  }
  std::string Path(const std::string& relative) const { return (root / relative).string(); }
  // The recordings folder as the program spells it (with its trailing "/").
  std::string Folder() const { return root.string() + "/"; }
  CleanupOptions Options() {
    CleanupOptions options;
    options.diskUsage = [this](const std::string&) { return usage ? usage() : 10; };
    options.devices = [this] { return CleanupDevicesOf(tree.get(), Folder()); };
    options.root = Folder();
    options.stop = &stop;
    options.entryWait = std::chrono::milliseconds(0);
    return options;
  }
  // 60 % plus 5 % for each data file left.
  int DataFileUsage() const {
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
      files += entry.path().extension() == ".vlj";
    return 60 + 5 * files;
  }

  std::shared_ptr<GroupRecord> tree, yard;
  platform::Event stop{platform::Event::Reset::kManual};
  std::function<int()> usage;
};

TEST_F(Cleanup, OneDayArchiveDeletesBeforeTheCutOffHourAndListsTheRestAsCandidates) {
  Add(*yard, "Door", 86400);
  MakeHours("Yard/Door", {"26120710", "26120711", "26120810", "26120811", "26120812"});
  CleanupRunner runner(Options());
  EXPECT_TRUE(runner.RunPass());
  EXPECT_FALSE(Kept("Yard/Door", "26120710"));
  for (const char* key : {"26120711", "26120810", "26120811", "26120812"})
    EXPECT_TRUE(Kept("Yard/Door", key));
  const std::string door = Path("Yard/Door") + "/";
  EXPECT_EQ(runner.candidates(),
            (std::vector<std::string>{door + "26120711.vlj", door + "26120711.vlx",
                                      door + "26120810.vlj", door + "26120810.vlx"}));
  const auto posted = TakePosted();
  EXPECT_EQ(posted.status,
            (std::vector<std::string>{
                "Starting file delete by age, pass 1.", "Checking " + root.string() + "...",
                "Checking " + Path("Yard") + "...", "Checking " + Path("Yard/Door") + "...",
                "Deleting " + door + "26120710.vlx", "Deleting " + door + "26120710.vlj",
                "Finished file delete pass 1 within specified capacity."}));
  EXPECT_EQ(posted.diskUsage, 1);
  EXPECT_NE(LogText().find("trimming log file"), std::string::npos);
  EXPECT_TRUE(programSignals().deletePass.isSet());
}

TEST_F(Cleanup, ZeroArchiveKeepsOnlyTheLastTwoHoursAndRemovesEmptiedFolders) {
  Add(*yard, "Door", 0);
  Add(*yard, "Gate", 0);
  MakeHours("Yard/Door", {"25010102", "26120810", "26120811", "26120812"});
  MakeHours("Yard/Gate", {"26120805", "26120809"});
  CleanupRunner runner(Options());
  runner.RunPass();
  EXPECT_FALSE(Kept("Yard/Door", "25010102"));
  EXPECT_FALSE(Kept("Yard/Door", "26120810"));
  EXPECT_TRUE(Kept("Yard/Door", "26120811"));
  EXPECT_TRUE(Kept("Yard/Door", "26120812"));
  EXPECT_FALSE(std::filesystem::exists(root / "Yard/Gate"));
  const auto posted = TakePosted();
  EXPECT_TRUE(posted.Has("Deleting " + Path("Yard/Gate")));
  EXPECT_FALSE(posted.Has("Deleting " + Path("Yard/Door")));
}

TEST_F(Cleanup, ArchiveReachingBefore2000DeletesNothingByAge) {
  // Taken as it is, the cut-off's key ("58..." for 1958) sorts after every key of this
  // century and would delete everything.
  Add(*yard, "Door", INT32_MAX);
  MakeHours("Yard/Door", {"01010100", "26120801"});
  CleanupRunner runner(Options());
  runner.RunPass();
  EXPECT_TRUE(Kept("Yard/Door", "01010100"));
  EXPECT_TRUE(Kept("Yard/Door", "26120801"));
  EXPECT_EQ(runner.candidates().size(), 4u);
}

TEST_F(Cleanup, FoldersWithoutARecordingDeviceSubfoldersAndOtherFilesAreLeftAlone) {
  Add(*yard, "Door", 0);
  auto old = Add(*tree, "Old", 0, EntryKind::OldRecordingsNode);
  Add(*old, "Porch", 0, EntryKind::OldRecordingsFolder)->path = "Porch";  // leftovers
  MakeHours("Foreign/Cam", {"26010101"});
  MakeHours("Porch", {"26010101"});
  MakeHours("Yard/Door/Sub", {"26010101"});
  MakeHours("Yard/Door", {"26010101"});
  for (const char* name : {"notes.vlj", "1.VLJ", "26010101.jpg"})
    rectest::AppendBytes(root / "Yard/Door" / name, "x", 1);
  rectest::TempFolder outside;  // a link to a folder elsewhere, not a device's: not followed
  rectest::AppendBytes(outside.path() / "26010101.vlj", "x", 1);
  std::filesystem::create_directory_symlink(outside.path(), root / "Yard/Gate");

  CleanupRunner runner(Options());
  runner.RunPass();
  EXPECT_TRUE(Kept("Foreign/Cam", "26010101"));
  EXPECT_TRUE(Kept("Porch", "26010101"));
  EXPECT_TRUE(Kept("Yard/Door/Sub", "26010101"));
  EXPECT_FALSE(Kept("Yard/Door", "26010101"));
  for (const char* name : {"notes.vlj", "1.VLJ", "26010101.jpg"})
    EXPECT_TRUE(std::filesystem::exists(root / "Yard/Door" / name));
  EXPECT_TRUE(std::filesystem::exists(outside.path() / "26010101.vlj"));
  const auto posted = TakePosted();
  EXPECT_TRUE(posted.Has("Checking " + Path("Foreign/Cam") + "..."));
  EXPECT_TRUE(posted.Has("Skipping " + Path("Yard/Door/Sub") + "..."));
  EXPECT_FALSE(posted.Has("Checking " + Path("Yard/Door/Sub") + "..."));
}

TEST_F(Cleanup, ADeviceFolderThatIsALinkIsCleanedAndNoOtherLinkIsFollowed) {
  // Door's recordings are on another disk of the same volume here, Far's group folder is
  // a link (not followed, as the recorder does not write through it), and inside Door a
  // link poses as an hour file.
  rectest::TempFolder disk, group, keep;
  std::filesystem::create_directories(root / "Yard");
  std::filesystem::create_directory_symlink(disk.path(), root / "Yard/Door");
  auto doorNode = Add(*yard, "Door", 86400);
  for (const char* key : {"26120709", "26120710", "26120711", "26120812"}) {
    rectest::AppendBytes(disk.path() / (std::string(key) + ".vlj"), "data", 4);
    rectest::AppendBytes(disk.path() / (std::string(key) + ".vlx"), "index...", 8);
  }
  rectest::AppendBytes(keep.path() / "26010101.vlj", "keep", 4);
  std::filesystem::create_symlink(keep.path() / "26010101.vlj", disk.path() / "26010101.vlj");
  std::filesystem::create_directories(group.path() / "Cam");
  rectest::AppendBytes(group.path() / "Cam/26010101.vlj", "keep", 4);
  std::filesystem::create_directory_symlink(group.path(), root / "Far");
  auto far = Add(*tree, "Far", 0, EntryKind::Group);
  Add(*far, "Cam", 0);

  CleanupRunner runner(Options());
  runner.RunPass();
  EXPECT_FALSE(std::filesystem::exists(disk.path() / "26120709.vlj"));
  EXPECT_FALSE(std::filesystem::exists(disk.path() / "26120710.vlx"));
  EXPECT_TRUE(std::filesystem::exists(disk.path() / "26120711.vlj"));
  EXPECT_TRUE(std::filesystem::exists(disk.path() / "26120812.vlx"));
  EXPECT_TRUE(std::filesystem::is_symlink(disk.path() / "26010101.vlj"));
  EXPECT_TRUE(std::filesystem::exists(keep.path() / "26010101.vlj"));
  EXPECT_TRUE(std::filesystem::exists(group.path() / "Cam/26010101.vlj"));
  const std::string door = Path("Yard/Door") + "/";
  EXPECT_EQ(runner.candidates(), (std::vector<std::string>{door + "26120711.vlj", door + "26120711.vlx"}));
  const auto posted = TakePosted();
  EXPECT_TRUE(posted.Has("Deleting " + door + "26120709.vlj"));
  EXPECT_FALSE(posted.Has("Checking " + Path("Far") + "..."));

  // Emptied by age, the linked folder stays what it was: a link to a folder.
  std::filesystem::remove(disk.path() / "26010101.vlj");
  doorNode->archiveTime = 0;
  clock.setWall(rectest::Utc(2026, 12, 9, 12, 10, 0));
  runner.RunPass();
  EXPECT_TRUE(std::filesystem::is_symlink(root / "Yard/Door"));
  EXPECT_TRUE(std::filesystem::is_directory(disk.path()));
  EXPECT_TRUE(std::filesystem::is_empty(disk.path()));

  // On another volume the linked folder's hours are deleted by age, but never to make
  // room on the recordings folder's volume, where deleting them frees nothing.
  char pattern[] = "/dev/shm/velmora-clean-XXXXXX";
  struct stat shm {}, rec {};
  if (::mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no second volume at /dev/shm";
  const std::filesystem::path other(pattern);
  if (::stat(pattern, &shm) != 0 || ::stat(root.c_str(), &rec) != 0 || shm.st_dev == rec.st_dev) {
    std::filesystem::remove_all(other);
    GTEST_SKIP() << "/dev/shm is on the recordings folder's volume";
  }
  for (const char* key : {"26120801", "26120901"}) {
    rectest::AppendBytes(other / (std::string(key) + ".vlj"), "data", 4);
    rectest::AppendBytes(other / (std::string(key) + ".vlx"), "index...", 8);
  }
  std::filesystem::create_directory_symlink(other, root / "Yard/Gate");
  Add(*yard, "Gate", 86400);
  usage = [] { return 99; };
  runner.RunPass();
  EXPECT_FALSE(std::filesystem::exists(other / "26120801.vlj"));  // by age
  EXPECT_TRUE(std::filesystem::exists(other / "26120901.vlj"));   // no candidate
  EXPECT_TRUE(runner.candidates().empty());
  std::filesystem::remove_all(other);
}

TEST_F(Cleanup, FullnessDeletesTheOldestHoursOfAllDevicesUntilTheLimitIsMet) {
  Add(*yard, "A", 30 * 86400);
  auto server = Add(*yard, "Server", 0, EntryKind::ServerDevice);
  Add(*server, "Camera 1", 30 * 86400, EntryKind::ServerCamera);
  MakeHours("Yard/A", {"26120501", "26120603", "26120812"});
  MakeHours("Yard/Server/Camera 1", {"26120502", "26120604", "26120811"});
  usage = [this] { return DataFileUsage(); };  // 90 % at first
  CleanupRunner runner(Options());
  runner.RunPass();
  EXPECT_FALSE(Kept("Yard/A", "26120501"));
  EXPECT_FALSE(Kept("Yard/Server/Camera 1", "26120502"));
  EXPECT_FALSE(Kept("Yard/A", "26120603"));
  EXPECT_TRUE(Kept("Yard/Server/Camera 1", "26120604")) << "75 % is within the limit";
  const auto posted = TakePosted();
  const int start = posted.Index("Starting file delete by fullness, pass 1.");
  const int first = posted.Index("Deleting " + Path("Yard/A/26120501.vlx"));
  const int second = posted.Index("Deleting " + Path("Yard/Server/Camera 1/26120502.vlx"));
  EXPECT_TRUE(start >= 0 && start < first && first < second &&
              second < posted.Index("Finished file delete pass 1."));
  EXPECT_EQ(posted.diskUsage, 2);

  usage = [] { return 99; };  // the last two hours survive a disk that stays full
  runner.RunPass();
  EXPECT_FALSE(Kept("Yard/Server/Camera 1", "26120604"));
  EXPECT_TRUE(Kept("Yard/Server/Camera 1", "26120811"));
  EXPECT_TRUE(Kept("Yard/A", "26120812"));
}

// Without settings of their own the passes keep to the default limit (75 %, above); handed
// the program's, each pass reads the limit anew, so a lower one set between passes (as the
// Options dialog does) deletes more at the next pass.
TEST_F(Cleanup, FullnessFollowsTheHandedSettingsFromPassToPass) {
  Add(*yard, "A", 30 * 86400);
  MakeHours("Yard/A", {"26120501", "26120603", "26120702", "26120812"});
  usage = [this] { return DataFileUsage(); };  // 80 % at first
  auto settings = std::make_shared<Settings>();
  settings->diskFullness = 90;
  CleanupOptions options = Options();
  options.settings = settings;
  CleanupRunner runner(options);
  runner.RunPass();
  EXPECT_TRUE(Kept("Yard/A", "26120501")) << "80 % is within 90 %";
  settings->diskFullness = 70;
  runner.RunPass();
  EXPECT_FALSE(Kept("Yard/A", "26120501"));
  EXPECT_FALSE(Kept("Yard/A", "26120603"));
  EXPECT_TRUE(Kept("Yard/A", "26120702")) << "70 % is within the new limit";
  TakePosted();
}

TEST_F(Cleanup, LeftoverFoldersMakeRoomOldestFirstButAreNeverDeletedByAge) {
  // Leftovers nested under an intermediate folder entry, and one under another leftover.
  Add(*yard, "Door", 30 * 86400);
  auto old = Add(*tree, "Old", 0, EntryKind::OldRecordingsNode);
  auto site = Add(*old, "Site", 0, EntryKind::OldRecordingsSub);
  site->path = "Site";
  Add(*site, "Cam", 0, EntryKind::OldRecordingsFolder)->path = "Site/Cam";
  Add(*old, "Porch", 0, EntryKind::OldRecordingsFolder)->path = "Porch";
  Add(*old, "Inner", 0, EntryKind::OldRecordingsFolder)->path = "Porch/Inner";
  MakeHours("Site/Cam", {"25010101", "26120811"});
  MakeHours("Porch", {"26120602"});
  MakeHours("Porch/Inner", {"26120603"});
  MakeHours("Yard/Door", {"26120601", "26120604", "26120812"});

  // Not full: an archive time of 0 would wipe every leftover hour; none goes.
  CleanupRunner runner(Options());
  runner.RunPass();
  EXPECT_TRUE(Kept("Site/Cam", "25010101"));
  EXPECT_TRUE(Kept("Porch", "26120602"));
  EXPECT_TRUE(Kept("Porch/Inner", "26120603"));
  EXPECT_EQ(runner.candidates().size(), 2u * 5u) << "the last two hours are never candidates";
  EXPECT_EQ(runner.candidates().front(), Path("Site/Cam/25010101.vlj"));

  // Full: the oldest hours go first whoever recorded them, a leftover hour before a
  // newer live hour and a live hour before a newer leftover one.
  usage = [this] { return DataFileUsage(); };  // 60 % + 5 % x 7 data files = 95 %
  runner.RunPass();
  EXPECT_FALSE(Kept("Site/Cam", "25010101"));
  EXPECT_FALSE(Kept("Yard/Door", "26120601"));
  EXPECT_FALSE(Kept("Porch", "26120602"));
  EXPECT_FALSE(Kept("Porch/Inner", "26120603"));
  EXPECT_TRUE(Kept("Yard/Door", "26120604")) << "75 % is within the limit";
  EXPECT_TRUE(Kept("Site/Cam", "26120811"));
  EXPECT_TRUE(std::filesystem::exists(root / "Porch")) << "its subfolder is still there";
  EXPECT_FALSE(std::filesystem::exists(root / "Porch/Inner"));
  const auto posted = TakePosted();
  const int leftover = posted.Index("Deleting " + Path("Site/Cam/25010101.vlx"));
  const int live = posted.Index("Deleting " + Path("Yard/Door/26120601.vlx"));
  const int newer = posted.Index("Deleting " + Path("Porch/26120602.vlx"));
  EXPECT_TRUE(leftover >= 0 && leftover < live && live < newer);
  EXPECT_FALSE(posted.Has("Skipping " + Path("Site/Cam") + "..."));
  // The emptied leftover folder is reported so that its tree entry goes.
  EXPECT_EQ(posted.foldersGone, std::vector<std::string>{Path("Porch/Inner")});
}

TEST_F(Cleanup, BoundedCandidateListKeepsTheOldest) {
  Add(*yard, "A", 30 * 86400);
  Add(*yard, "B", 30 * 86400);
  MakeHours("Yard/A", {"26120804", "26120802"});
  MakeHours("Yard/B", {"26120805", "26120803"});
  CleanupOptions options = Options();
  options.candidateLimit = 3;
  CleanupRunner runner(std::move(options));
  runner.RunPass();
  EXPECT_EQ(runner.candidates(),
            (std::vector<std::string>{Path("Yard/A/26120802.vlj"), Path("Yard/A/26120802.vlx"),
                                      Path("Yard/B/26120803.vlj")}));
}

TEST_F(Cleanup, PassGivesWayToPlaybackRenameAndShutdown) {
  Add(*yard, "A", 30 * 86400);
  MakeHours("Yard/A", {"26120801", "26120802"});
  programSignals().playbackMode = true;  // playing back: the walk stops at once
  EXPECT_FALSE(CleanupRunner(Options()).RunPass());
  auto posted = TakePosted();
  EXPECT_TRUE(posted.Has("Delete pass suspended during playback..."));
  EXPECT_EQ(posted.Index("Checking " + Path("Yard") + "..."), -1);
  EXPECT_EQ(posted.diskUsage, 1) << "the display still refreshes";
  programSignals().playbackMode = false;

  programSignals().renaming = true;  // a rename before the pass does not matter; one during the loop does
  bool clearWhileRunning = false;
  usage = [&] {
    clearWhileRunning = !programSignals().deletePass.isSet();
    programSignals().renaming = true;
    return 99;
  };
  EXPECT_FALSE(CleanupRunner(Options()).RunPass());
  EXPECT_TRUE(clearWhileRunning);
  EXPECT_TRUE(programSignals().deletePass.isSet());
  posted = TakePosted();
  EXPECT_TRUE(posted.Has("Delete pass suspended during rename..."));
  EXPECT_TRUE(posted.Has("Finished file delete pass 1."));

  usage = [this] { return stop.set(), 99; };
  EXPECT_FALSE(CleanupRunner(Options()).RunPass());
  EXPECT_TRUE(Kept("Yard/A", "26120801"));
}

TEST_F(Cleanup, PassAsksTheMainThreadForAFreshCopyOfTheTree) {
  auto door = Add(*yard, "Door", 30 * 86400);
  MakeHours("Yard/Door", {"26120101"});
  PublishCleanupDevices(tree.get(), Folder());
  door->archiveTime = 0;  // changed after the last publication
  CleanupOptions options = Options();
  options.devices = nullptr;
  options.snapshotWait = std::chrono::milliseconds(20);
  CleanupRunner(options).RunPass();  // no main thread answers: the old copy is used
  EXPECT_TRUE(Kept("Yard/Door", "26120101"));
  EXPECT_NE(LogText().find("CleanupThread: no fresh device list from the main thread"),
            std::string::npos);

  std::atomic<bool> done{false};
  std::thread mainThread([&] {  // the main thread's tick
    for (int i = 0; i < 5000 && !done; ++i) {
      TestTree().root = tree;
      ServeCleanupSnapshot(TestTree().root.get(), Folder());
      TestTree().root = nullptr;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  options.snapshotWait = std::chrono::seconds(10);
  CleanupRunner(options).RunPass();
  done = true;
  mainThread.join();
  EXPECT_FALSE(Kept("Yard/Door", "26120101"));
  PublishCleanupDevices(CreateRecord(EntryKind::Root, kRootName).get(), Folder());
}

TEST_F(Cleanup, ThreadRunsIdlePassesUntilStoppedAndStartsOnce) {
  int policy = -1, nice = 0;
  std::thread probe([&] {
    EXPECT_TRUE(LowerThreadPriority());
    policy = sched_getscheduler(0);
    nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  });
  probe.join();
  EXPECT_EQ(policy, SCHED_IDLE);
  EXPECT_EQ(nice, 19);
  EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "only the removal thread is lowered";

  Add(*yard, "Door", 0);
  MakeHours("Yard/Door", {"26120101"});
  CleanupOptions options = Options();
  options.passInterval = std::chrono::milliseconds(10);
  ASSERT_TRUE(StartCleanupThread(options));
  EXPECT_FALSE(StartCleanupThread(options));
  bool secondPass = false;
  for (int i = 0; i < 2000 && !secondPass; ++i) {
    secondPass = TakePosted().Has("Starting file delete by age, pass 2.");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(secondPass);
  stop.set();
  EXPECT_TRUE(JoinCleanupThread(std::chrono::seconds(20)));
  EXPECT_FALSE(Kept("Yard/Door", "26120101"));
  EXPECT_NE(LogText().find("CleanupThread: exiting"), std::string::npos);
}

}  // namespace
}  // namespace velmora
