// The recorder: what is recorded when (switch, schedule, sizes, motion), what records
// and index entries hold, the hour switch, appending after a restart, failure reports
// and folder renames.
#include <gtest/gtest.h>

#include <vector>

#include "app/program_signals.h"
#include "live/stream.h"
#include "live/view_slot.h"
#include "test_recorder_fixture.h"
#include "test_view_slots.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::test::TestViewSlots;

namespace velmora {
namespace {

using rectest::CheckPair;
using rectest::FakeJpeg;
using rectest::Frame;
using rectest::TakePosted;
using rectest::Utc;

class Recorder : public rectest::RecordingTest {
 protected:
  // A root holding `device`, with the recorder installed for its files and marks.
  std::shared_ptr<GroupRecord> TreeOf(const std::shared_ptr<GroupRecord>& device) {
    auto tree = CreateRecord(EntryKind::Root, kRootName);
    InsertEntry(tree.get(), device);
    EXPECT_TRUE((InstallAs<FrameRecorder, DeviceRecording>(recorder_, installed_)));
    return tree;
  }

  DeviceRecorder recorder_{TestTreeShare()};
  std::vector<Installation> installed_;  // uninstalled when the test ends
};

TEST_F(Recorder, MotionOffRecordsEveryFrameWithZeroMasks) {
  auto cam = Camera("Yard/Door");
  cam->viewIndex = 7;
  cam->shownIn = &TestViewSlots();
  const std::size_t lengths[] = {100000, 20, 3000};
  for (std::size_t length : lengths) {
    clock.advance(std::chrono::milliseconds(250));
    Frame frame(length, static_cast<uint8_t>(length));
    frame.RecordFor(*cam);
    EXPECT_EQ(frame.holder.motion, 1);
  }
  EXPECT_EQ(TestViewSlots().RecordingMark(7), kRecordingMarkOn);
  const auto check = CheckPair(Folder(*cam), Key());
  ASSERT_EQ(check.entries, 3u);
  EXPECT_EQ(check.records, 3u);
  uint64_t offset = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& record = check.indexed[i];
    EXPECT_EQ(record.offset, offset);
    EXPECT_EQ(record.header.recordLength, lengths[i] + 52);
    EXPECT_EQ(record.header.motionMaskLow | record.header.motionMaskHigh, 0u);
    EXPECT_EQ(record.header.milliseconds, 250 * (i + 1));
    EXPECT_EQ(record.jpeg, FakeJpeg(lengths[i], static_cast<uint8_t>(lengths[i])));
    offset += lengths[i] + 52;
  }
  EXPECT_TRUE(TakePosted().status.empty());
}

// The recorder writes below the folder it was built with: the program's recorder keeps
// the folder the Core told it, never the one a test or a later start set elsewhere.
TEST_F(Recorder, WritesBelowTheFolderItWasBuiltWith) {
  const std::string elsewhere = (temp.path() / "other").string() + "/";
  std::filesystem::create_directories(elsewhere);
  auto other = std::make_shared<DeviceTree>();
  other->recordingsFolder = elsewhere;
  DeviceRecorder recorder(other);
  auto cam = Camera("Yard/Door");
  Frame frame(3000);
  recorder.recordFrame(*cam, frame.holder, frame.buffer.data(), frame.buffer.size() - kRecordOverheadBytes);
  EXPECT_EQ(frame.holder.motion, 1);
  record_close_files(*cam);
  EXPECT_EQ(CheckPair(DeviceFolder(elsewhere, cam->path), Key()).records, 1u);
  EXPECT_FALSE(std::filesystem::exists(Folder(*cam)));
}

TEST_F(Recorder, LengthsAtTheBoundsAreRecordedAndBeyondThemRefused) {
  auto cam = Camera("Cam");
  cam->viewIndex = 9;
  cam->shownIn = &TestViewSlots();
  TestViewSlots().SetRecordingMark(9, kRecordingMarkOff);
  Frame(15).RecordFor(*cam);
  Frame(4194305).RecordFor(*cam);
  EXPECT_FALSE(std::filesystem::exists(Folder(*cam)));
  EXPECT_EQ(TestViewSlots().RecordingMark(9), kRecordingMarkOff) << "the mark is not touched";
  const std::string log = LogText();
  EXPECT_NE(log.find("check_record: BAD SIZE; gr="), std::string::npos);
  EXPECT_NE(log.find(", size=15 [Cam]"), std::string::npos);
  EXPECT_NE(log.find(", size=4194305 [Cam]"), std::string::npos);

  Frame(16).RecordFor(*cam);
  Frame(4194304).RecordFor(*cam);
  const auto check = CheckPair(Folder(*cam), Key());
  ASSERT_EQ(check.entries, 2u);
  EXPECT_EQ(check.indexed[1].offset, 68u);
  EXPECT_EQ(check.indexed[1].header.recordLength, 4194356u);
}

TEST_F(Recorder, ScheduleNeedsTheLocalDayAndHourFlags) {
  auto cam = Camera("Cam");
  cam->viewIndex = 5;
  cam->shownIn = &TestViewSlots();
  cam->scheduleEnabled = true;
  struct tm local {};  // Saturday 2026-12-12 23:30 in the zone the test runs in
  local.tm_year = 126, local.tm_mon = 11, local.tm_mday = 12, local.tm_hour = 23, local.tm_min = 30;
  local.tm_isdst = -1;
  clock.setWall(std::chrono::system_clock::from_time_t(mktime(&local)));
  ASSERT_EQ(local.tm_wday, 6);

  cam->daysOfWeek.fill(true);  // no hour selected
  Frame(300).RecordFor(*cam);
  EXPECT_EQ(TestViewSlots().RecordingMark(5), kRecordingMarkIdle);
  cam->daysOfWeek.fill(false);
  cam->hoursOfDay.fill(true);  // no day selected
  Frame(300).RecordFor(*cam);
  cam->daysOfWeek[5] = true;  // Friday
  Frame(300).RecordFor(*cam);
  EXPECT_FALSE(std::filesystem::exists(Folder(*cam)));
  EXPECT_EQ(TestViewSlots().RecordingMark(5), kRecordingMarkIdle);

  cam->hoursOfDay.fill(false);
  cam->hoursOfDay[23] = cam->daysOfWeek[6] = true;
  Frame(300).RecordFor(*cam);
  EXPECT_EQ(TestViewSlots().RecordingMark(5), kRecordingMarkOn);
  EXPECT_EQ(CheckPair(Folder(*cam), Key()).entries, 1u);
}

TEST_F(Recorder, OnMotionAQuietSceneGivesOneStartRecordPerHourAndMotionItsZones) {
  auto cam = Camera("Yard/Gate");
  cam->motionEnabled = cam->motionAlert = true;
  // A grey 160 x 80 picture (zones of 10 x 10 pixels), zone 5 white when asked.
  auto picture = [&](bool zoneFive) {
    Frame frame(1000);
    frame.holder.image = Image::New(160, 80, 24);
    frame.holder.image->Fill(Colour{100, 100, 100});
    if (zoneFive) frame.holder.image->FillRect(Rect{50, 70, 10, 10}, Colour{255, 255, 255});
    frame.RecordFor(*cam);
    clock.advance(std::chrono::minutes(4));
    return frame.holder.motion;
  };
  clock.setWall(Utc(2026, 12, 8, 13, 30, 0));
  const std::string quietHour = Key();
  EXPECT_EQ(picture(false), 1) << "the detector's start frame";
  for (int i = 0; i < 6; ++i) EXPECT_EQ(picture(false), 0);
  clock.setWall(Utc(2026, 12, 8, 14, 0, 1));
  EXPECT_EQ(picture(false), 0) << "first of the hour: written, but not a motion frame";
  EXPECT_EQ(picture(false), 0);
  EXPECT_EQ(picture(true), 1);  // zone 5 moved
  EXPECT_EQ(picture(true), 1);  // hold 2
  EXPECT_EQ(picture(true), 1);  // hold 1
  EXPECT_EQ(picture(true), 0);

  const auto quiet = CheckPair(Folder(*cam), quietHour);
  ASSERT_EQ(quiet.entries, 1u);
  EXPECT_EQ(quiet.indexed[0].header.motionMaskLow & quiet.indexed[0].header.motionMaskHigh,
            kAllZones);
  const auto moving = CheckPair(
      Folder(*cam), HourKey(static_cast<int32_t>(std::chrono::system_clock::to_time_t(Now()))));
  ASSERT_EQ(moving.entries, 4u);
  EXPECT_EQ(moving.indexed[0].header.motionMaskLow, kAllZones);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(moving.indexed[i].header.motionMaskLow, uint64_t{1} << 5);
    EXPECT_EQ(moving.indexed[i].header.motionMaskHigh, 0u);
  }
  EXPECT_EQ(TakePosted().motionAlerts, 1);
}

TEST_F(Recorder, HourBoundarySwitchesToANewPairStartingAtOffsetZero) {
  auto cam = Camera("Cam");
  clock.setWall(Utc(2026, 12, 8, 13, 59, 59, 900));
  Frame(4000).RecordFor(*cam);
  clock.setWall(Utc(2026, 12, 8, 14, 0, 0, 100));
  Frame(5000).RecordFor(*cam);
  EXPECT_EQ(cam->files.recordFileName, (Folder(*cam) / "26120814").string());
  const auto before = CheckPair(Folder(*cam), "26120813");
  const auto after = CheckPair(Folder(*cam), "26120814");
  ASSERT_EQ(before.entries, 1u);
  ASSERT_EQ(after.entries, 1u);
  EXPECT_EQ(before.indexed[0].header.milliseconds, 900);
  EXPECT_EQ(after.indexed[0].offset, 0u);
  EXPECT_EQ(after.indexed[0].header.milliseconds, 100);
}

TEST_F(Recorder, RestartAppendsToTheHourAfterCuttingATornRecord) {
  auto cam = Camera("Cam");
  Frame(1000).RecordFor(*cam);
  Frame(2000).RecordFor(*cam);
  record_close_files(*cam);
  EXPECT_EQ(cam->files.dataFile, -1);
  EXPECT_TRUE(cam->files.recordFileName.empty());
  // The restart finds half a record behind the two, with an entry as if indexed.
  const auto data = DataFilePath(Folder(*cam), Key());
  const uint64_t goodEnd = std::filesystem::file_size(data);
  std::vector<uint8_t> torn(5052);
  FillRecord(torn.data(), 5000, RecordTimeOf(Now()), 0, 0);
  rectest::AppendBytes(data, torn.data(), 2600);
  uint8_t entry[kIndexEntryBytes];
  MakeIndexEntry(RecordTimeOf(Now()), goodEnd).ToBytes(entry);
  rectest::AppendBytes(IndexFilePath(Folder(*cam), Key()), entry, sizeof entry);

  auto restarted = Camera("Cam");
  Frame(700).RecordFor(*restarted);
  const auto check = CheckPair(Folder(*cam), Key());
  ASSERT_EQ(check.entries, 3u);
  EXPECT_EQ(check.records, 3u);
  EXPECT_FALSE(check.tornTail);
  EXPECT_EQ(check.indexed[2].offset, goodEnd);
  EXPECT_EQ(check.indexed[2].header.recordLength, 752u);
}

TEST_F(Recorder, TogglingTheGlobalSwitchClosesFilesThenAppends) {
  auto cam = Camera("Door");
  cam->viewIndex = 11;
  cam->shownIn = &TestViewSlots();
  auto tree = TreeOf(cam);
  auto toggle = [&] {
    velmora::test::TestSettings().recordEnable = !velmora::test::TestSettings().recordEnable;
    record_stop(TestViewSlots());
    CloseAllRecordings(tree.get());
    ApplyRecordingState(velmora::test::TestTree(), tree.get());
  };
  Frame(1000).RecordFor(*cam);
  toggle();
  EXPECT_EQ(cam->files.dataFile, -1);
  EXPECT_EQ(cam->files.indexFile, -1);
  EXPECT_EQ(TestViewSlots().RecordingMark(11), kRecordingMarkOff);
  Frame(1000).RecordFor(*cam);
  EXPECT_EQ(TestViewSlots().RecordingMark(11), kRecordingMarkOff);
  toggle();
  Frame(1500).RecordFor(*cam);
  const auto check = CheckPair(Folder(*cam), Key());
  ASSERT_EQ(check.entries, 2u);
  EXPECT_EQ(check.indexed[1].offset, 1052u);
}

// The recorder's steps in the application's shutdown close the files of the whole tree,
// and do nothing when there is no tree (a start that ended before the tree was read).
TEST_F(Recorder, ShutdownStepsCloseTheWholeTreeAndBearAMissingOne) {
  auto cam = Camera("Door");
  cam->viewIndex = 12;
  cam->shownIn = &TestViewSlots();
  RecorderSteps steps(TestTree(), TestViewSlots());
  TestTree().root = TreeOf(cam);
  Frame(1000).RecordFor(*cam);
  ASSERT_NE(cam->files.dataFile, -1);
  steps.recordStop();
  steps.closeRecordings();
  EXPECT_EQ(cam->files.dataFile, -1);
  EXPECT_EQ(cam->files.indexFile, -1);
  EXPECT_EQ(TestViewSlots().RecordingMark(12), kRecordingMarkOff);
  TestTree().root.reset();
  steps.recordStop();
  steps.closeRecordings();
  EXPECT_EQ(TestTree().root, nullptr);
}

TEST_F(Recorder, DataFileThatCannotBeCreatedDropsFramesUntilItCan) {
  auto cam = Camera("Yard/Door");
  rectest::AppendBytes(root / "Yard", "x", 1);  // a file where the group's folder belongs
  Frame(800).RecordFor(*cam);
  const auto posted = TakePosted();
  ASSERT_EQ(posted.status.size(), 1u);
  EXPECT_EQ(posted.status[0], "CreateFile(" + DataFilePath(Folder(*cam), Key()).string() +
                                  ") failed (20: Not a directory)");
  std::filesystem::remove(root / "Yard");
  Frame(800).RecordFor(*cam);
  EXPECT_TRUE(TakePosted().status.empty());
  EXPECT_EQ(CheckPair(Folder(*cam), Key()).entries, 1u);

  auto escape = Camera("../Escape");  // a group named ".." must not lead outside
  Frame(800).RecordFor(*escape);
  EXPECT_EQ(TakePosted().status,
            std::vector<std::string>{"CreateFile(" + DataFilePath(Folder(*escape), Key()).string() +
                                     ") failed (22: Invalid argument)"});
  EXPECT_FALSE(std::filesystem::exists(temp.path() / "Escape"));
}

TEST_F(Recorder, OnlyADeviceFolderItselfMayBeALinkToAnotherDisk) {
  // A camera's recordings put on another disk: its folder is a link, and recording goes
  // through it.
  rectest::TempFolder disk;
  std::filesystem::create_directories(root / "Yard");
  std::filesystem::create_directory_symlink(disk.path(), root / "Yard/Door");
  auto door = Camera("Yard/Door");
  Frame(900).RecordFor(*door);
  Frame(700).RecordFor(*door);
  EXPECT_TRUE(TakePosted().status.empty());
  EXPECT_EQ(CheckPair(disk.path(), Key()).entries, 2u);
  EXPECT_TRUE(std::filesystem::is_symlink(root / "Yard/Door"));

  // A link above a device folder is not followed: nothing is written through it.
  rectest::TempFolder elsewhere;
  std::filesystem::create_directory_symlink(elsewhere.path(), root / "Back");
  auto cam = Camera("Back/Cam");
  Frame(900).RecordFor(*cam);
  EXPECT_EQ(TakePosted().status,
            std::vector<std::string>{"CreateFile(" + DataFilePath(Folder(*cam), Key()).string() +
                                     ") failed (40: Too many levels of symbolic links)"});
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));

  // Nor a link in place of an hour file: the file it names stays as it was.
  rectest::AppendBytes(elsewhere.path() / "keep.bin", "precious", 8);
  std::filesystem::create_directories(root / "Yard/Gate");
  std::filesystem::create_symlink(elsewhere.path() / "keep.bin", DataFilePath(root / "Yard/Gate", Key()));
  auto gate = Camera("Yard/Gate");
  Frame(900).RecordFor(*gate);
  EXPECT_EQ(TakePosted().status,
            std::vector<std::string>{"CreateFile(" + DataFilePath(Folder(*gate), Key()).string() +
                                     ") failed (40: Too many levels of symbolic links)"});
  EXPECT_EQ(rectest::ReadText(elsewhere.path() / "keep.bin"), "precious");

  // A device link whose disk is gone is not replaced by a folder on the recordings disk.
  std::filesystem::create_directory_symlink(temp.path() / "unmounted", root / "Yard/Porch");
  auto porch = Camera("Yard/Porch");
  Frame(900).RecordFor(*porch);
  EXPECT_EQ(TakePosted().status,
            std::vector<std::string>{"CreateFile(" + DataFilePath(Folder(*porch), Key()).string() +
                                     ") failed (2: No such file or directory)"});
  EXPECT_FALSE(std::filesystem::exists(temp.path() / "unmounted"));
  for (auto* device : {door.get(), cam.get(), gate.get(), porch.get()}) record_close_files(*device);
}

TEST_F(Recorder, RenameMovesTheFolderRaisesTheFlagAndReportsRealFailures) {
  SetRenameWait(std::chrono::milliseconds(20));
  programSignals().renaming = false;
  for (const char* path : {"Yard/Door", "Yard/Gate"}) {
    auto cam = Camera(path);
    Frame(600).RecordFor(*cam);
    record_close_files(*cam);
  }
  EXPECT_TRUE(record_rename_folder(TestPaths().pathData, "Yard/Door", "Yard/Porch"));
  EXPECT_TRUE(programSignals().renaming.load());
  EXPECT_TRUE(std::filesystem::exists(DataFilePath(root / "Yard/Porch", Key())));
  EXPECT_TRUE(record_rename_folder(TestPaths().pathData, "Yard/Never", "Yard/Else"))
      << "never recorded: nothing to say";
  EXPECT_TRUE(TakePosted().status.empty());

  // The new parent is missing (the recordings would stay behind), the target is taken,
  // the target lies outside the recordings folder.
  EXPECT_FALSE(record_rename_folder(TestPaths().pathData, "Yard/Porch", "Moved/Porch"));
  EXPECT_FALSE(record_rename_folder(TestPaths().pathData, "Yard/Porch", "Yard/Gate"));
  EXPECT_FALSE(record_rename_folder(TestPaths().pathData, "Yard/Porch", "../Porch"));
  EXPECT_EQ(TakePosted().status,
            (std::vector<std::string>{"Error renaming folder for recorded images (2)!",
                                      "Error renaming folder for recorded images (39)!",
                                      "Error renaming folder for recorded images (22)!"}));
  EXPECT_EQ(LogText().find("delete thread still running"), std::string::npos);

  programSignals().deletePass.reset();  // a removal pass is running: wait, then go on
  EXPECT_TRUE(record_rename_folder(TestPaths().pathData, "Yard/Porch", "Yard/Door"));
  programSignals().deletePass.set();
  EXPECT_NE(LogText().find("record_rename_folder: delete thread still running"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(root / "Yard/Door"));
  SetRenameWait(std::chrono::milliseconds(1000));
  programSignals().renaming = false;
}

}  // namespace
}  // namespace velmora
