// Changing a recorded device: renames and moves carry the recordings folder along, the
// files are closed first and nothing recorded is lost; refused edits change nothing;
// the other settings, Enabled and Recording land in the record.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>

#include "control/device_edit.h"
#include "live/view_slot.h"
#include "recording/test_recorder_fixture.h"
#include "test_tree.h"

using velmora::test::TestTree;

namespace velmora::control {
namespace {

using rectest::CheckPair;
using rectest::Frame;

// Open descriptors of this process whose target lies in `folder`.
int OpenFilesIn(const std::filesystem::path& folder) {
  int count = 0;
  const std::string prefix = folder.string() + "/";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(entry.path().c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    if (std::string(target, static_cast<std::size_t>(length)).rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

class DeviceEdit : public rectest::RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    SetRenameWait(std::chrono::milliseconds(0));
    tree = CreateRecord(EntryKind::Root, kRootName);
    nvr = &Add(*tree, EntryKind::LocalNVR, "All Views");
    yard = &Add(*nvr, EntryKind::Group, "Yard");
    gate = &Add(*yard, EntryKind::Device, "Gate");
    gate->enabled = gate->recording = true;
    gate->motionEnabled = false;
  }
  void TearDown() override {
    DestroyTree(tree.get());
    SetRenameWait(std::chrono::milliseconds(1000));
    RecordingTest::TearDown();
  }

  GroupRecord& Add(GroupRecord& parent, int32_t kind, const std::string& name) {
    auto record = CreateRecord(kind, name);
    record->path = ComputePath(&parent, kind, name);
    InsertEntry(&parent, record);
    return *record;
  }
  void Record(GroupRecord& device, int frames) {
    for (int i = 0; i < frames; ++i) {
      clock.advance(std::chrono::milliseconds(100));
      Frame(200, static_cast<uint8_t>(i)).RecordFor(device);
    }
  }
  uint64_t Records(const GroupRecord& device) { return CheckPair(Folder(device), Key()).records; }

  // The tiles a test shows its devices in; they outlive the tree.
  ViewSlots shown;
  std::shared_ptr<GroupRecord> tree;
  GroupRecord* nvr = nullptr;
  GroupRecord* yard = nullptr;
  GroupRecord* gate = nullptr;
};

TEST_F(DeviceEdit, RenamesCarryTheRecordingsAlongWithNothingLostOrLeftOpen) {
  Record(*gate, 3);
  const std::filesystem::path oldFolder = Folder(*gate);
  ASSERT_EQ(OpenFilesIn(oldFolder), 2) << "the data and index files are open";

  // The device's own rename: files closed, folder moved, the next frames go on there.
  EditResult result = RenameEntryLive(TestTree(), *gate, "  Front\tGate ");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.messageId, 0);
  EXPECT_EQ(gate->name, "Front Gate");
  EXPECT_EQ(gate->path, "Yard/Front Gate");
  EXPECT_FALSE(std::filesystem::exists(oldFolder));
  EXPECT_EQ(OpenFilesIn(oldFolder), 0);
  EXPECT_EQ(gate->files.dataFile, -1);
  Record(*gate, 2);
  EXPECT_EQ(Records(*gate), 5u);

  // A group's rename moves everything below it in one step.
  const std::filesystem::path before = Folder(*gate);
  ASSERT_TRUE(RenameEntryLive(TestTree(), *yard, "Garden").ok);
  EXPECT_EQ(gate->path, "Garden/Front Gate");
  EXPECT_FALSE(std::filesystem::exists(before));
  EXPECT_EQ(OpenFilesIn(root / "Yard"), 0);
  Record(*gate, 1);
  EXPECT_EQ(Records(*gate), 6u);

  // Renaming this recorder's entry changes no path; a case change is a rename of its own.
  ASSERT_TRUE(RenameEntryLive(TestTree(), *nvr, "Site").ok);
  EXPECT_EQ(gate->path, "Garden/Front Gate");
  ASSERT_TRUE(RenameEntryLive(TestTree(), *gate, "front gate").ok);
  EXPECT_EQ(Records(*gate), 6u);

  // A storage folder's recordings stay where its location says.
  GroupRecord& archive = Add(*yard, EntryKind::NASDevice, "Archive");
  archive.location = (temp.path() / "nas").string();
  std::filesystem::create_directories(archive.location);
  std::filesystem::create_directories(Folder(archive));
  ASSERT_TRUE(RenameEntryLive(TestTree(), archive, "Shelf").ok);
  EXPECT_EQ(archive.path, "Garden/Shelf");
  EXPECT_TRUE(std::filesystem::exists(root / "Garden" / "Archive")) << "nothing moved";
  EXPECT_FALSE(std::filesystem::exists(root / "Garden" / "Shelf"));
  EXPECT_TRUE(std::filesystem::exists(archive.location));
}

// While recordings folders are renamed every tile's recording mark goes off, also the
// tiles of entries outside the renamed branch; the next recorded frame sets a mark again.
// The tiles are the slots the tree's entries are shown in.
TEST_F(DeviceEdit, RenamesClearTheRecordingMarkOfEveryShownTile) {
  GroupRecord& porch = Add(Add(*nvr, EntryKind::Group, "House"), EntryKind::Device, "Porch");
  porch.enabled = porch.recording = true;
  porch.motionEnabled = false;
  gate->viewIndex = 2;
  gate->shownIn = &shown;
  porch.viewIndex = 5;
  porch.shownIn = &shown;
  Record(*gate, 1);
  Record(porch, 1);
  ASSERT_EQ(shown.RecordingMark(2), kRecordingMarkOn);
  ASSERT_EQ(shown.RecordingMark(5), kRecordingMarkOn);

  ASSERT_TRUE(RenameEntryLive(TestTree(), *gate, "Front").ok);
  EXPECT_EQ(shown.RecordingMark(2), kRecordingMarkOff);
  EXPECT_EQ(shown.RecordingMark(5), kRecordingMarkOff) << "a tile outside the renamed branch";

  // A group is never shown itself: its rename finds the slots through the entries below.
  Record(porch, 1);
  ASSERT_EQ(shown.RecordingMark(5), kRecordingMarkOn);
  ASSERT_TRUE(RenameEntryLive(TestTree(), *yard, "Garden").ok);
  EXPECT_EQ(shown.RecordingMark(5), kRecordingMarkOff);
}

TEST_F(DeviceEdit, RefusedRenamesChangeNothingAndKeepTheRecordings) {
  GroupRecord& web = Add(*yard, EntryKind::HTTPDevice, "Sky");
  Record(*gate, 2);
  EXPECT_EQ(RenameEntryLive(TestTree(), *gate, " \t").messageId, 130);
  EXPECT_EQ(RenameEntryLive(TestTree(), web, "").messageId, 266);
  EXPECT_EQ(RenameEntryLive(TestTree(), *gate, "Gate: east").messageId, 131);
  EXPECT_EQ(RenameEntryLive(TestTree(), *gate, "a*b").messageId, 131);
  EXPECT_EQ(gate->name, "Gate");
  EXPECT_EQ(web.name, "Sky");

  // The new folder is taken by recordings of another device: the rename is refused,
  // nothing moves, and the device goes on recording into its folder.
  std::filesystem::create_directories(root / "Yard" / "Door");
  rectest::AppendBytes(root / "Yard" / "Door" / "keep", "x", 1);
  const EditResult result = RenameEntryLive(TestTree(), *gate, "Door");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.messageId, 392);
  EXPECT_EQ(result.systemError, ENOTEMPTY);
  EXPECT_EQ(gate->name, "Gate");
  EXPECT_EQ(gate->path, "Yard/Gate");
  EXPECT_TRUE(std::filesystem::exists(root / "Yard" / "Door" / "keep"));
  Record(*gate, 1);
  EXPECT_EQ(Records(*gate), 3u);
  EXPECT_TRUE(rectest::TakePosted().Has("Error renaming folder for recorded images (39)!"));

  // A long name is cut to 48 characters, a slash becomes an underscore.
  ASSERT_TRUE(RenameEntryLive(TestTree(), *gate, "a/b" + std::string(60, 'x')).ok);
  EXPECT_EQ(gate->name, "a_b" + std::string(45, 'x'));
  EXPECT_EQ(Records(*gate), 3u);
}

TEST_F(DeviceEdit, MovesTakeTheFolderToTheNewParentAndRefuseDescendants) {
  GroupRecord& server = Add(*yard, EntryKind::ServerDevice, "Box");
  GroupRecord& input = Add(server, EntryKind::ServerCamera, "Camera 1");
  input.enabled = input.recording = true;
  input.motionEnabled = false;
  Record(input, 2);
  Record(*gate, 1);

  // No group folder exists yet for the target: it is made, then the server moves in.
  GroupRecord& shed = Add(*nvr, EntryKind::Group, "Shed");
  ASSERT_TRUE(MoveEntryLive(TestTree(), server, shed, 0).ok);
  EXPECT_EQ(server.parent, &shed);
  EXPECT_EQ(input.path, "Shed/Box/Camera 1");
  EXPECT_EQ(OpenFilesIn(root / "Yard"), 2) << "only the gate's two files stay open";
  EXPECT_EQ(OpenFilesIn(root / "Yard" / "Box"), 0);
  Record(input, 1);
  EXPECT_EQ(Records(input), 3u);

  // Onto itself or below itself: nothing changes.
  EXPECT_FALSE(MoveEntryLive(TestTree(), server, input, 0).ok);
  EXPECT_FALSE(MoveEntryLive(TestTree(), server, server, 0).ok);
  EXPECT_EQ(server.parent, &shed);

  // Within the same parent only the order changes.
  GroupRecord& other = Add(*yard, EntryKind::Device, "Other");
  ASSERT_TRUE(MoveEntryLive(TestTree(), other, *yard, 0).ok);
  EXPECT_EQ(yard->children.front().get(), &other);
  EXPECT_EQ(gate->path, "Yard/Gate");
  Record(*gate, 1);
  EXPECT_EQ(Records(*gate), 2u);

  // A target folder taken by other recordings refuses the move, nothing moved.
  std::filesystem::create_directories(root / "Shed" / "Gate");
  rectest::AppendBytes(root / "Shed" / "Gate" / "keep", "x", 1);
  const EditResult refused = MoveEntryLive(TestTree(), *gate, shed, 5);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.messageId, 392);
  EXPECT_EQ(gate->parent, yard);
  EXPECT_EQ(gate->path, "Yard/Gate");
  EXPECT_EQ(Records(*gate), 2u);
}

TEST_F(DeviceEdit, SendingThePasswordOnlyWhenAskedReachesTheRecordAndServerInputs) {
  GroupRecord& server = Add(*yard, EntryKind::ServerDevice, "Box");
  GroupRecord& one = Add(server, EntryKind::ServerCamera, "Camera 1");
  DeviceConfig s = ReadDeviceSettings(server);
  EXPECT_FALSE(s.sendPasswordOnlyWhenAsked);
  s.sendPasswordOnlyWhenAsked = true;
  ASSERT_TRUE(ApplyDeviceSettings(TestTree(), server, s).ok);
  EXPECT_TRUE(server.sendPasswordOnlyWhenAsked);
  EXPECT_TRUE(one.sendPasswordOnlyWhenAsked) << "the cameras ask with the server's account";
  EXPECT_TRUE(ReadDeviceSettings(one).sendPasswordOnlyWhenAsked);
  s.sendPasswordOnlyWhenAsked = false;
  ASSERT_TRUE(ApplyDeviceSettings(TestTree(), server, s).ok);
  EXPECT_FALSE(one.sendPasswordOnlyWhenAsked);

  DeviceConfig g = ReadDeviceSettings(*gate);
  g.sendPasswordOnlyWhenAsked = true;
  ASSERT_TRUE(ApplyDeviceSettings(TestTree(), *gate, g).ok);
  EXPECT_TRUE(gate->sendPasswordOnlyWhenAsked);
}

// The sheet holds a copy while it is open; meanwhile the program may learn the device's
// certificate and authentication scheme. Applying the copy stores what the operator
// edits in one assignment and keeps what was learnt, the entry's kind and identity.
TEST_F(DeviceEdit, ASheetCopyKeepsWhatTheProgramLearntMeanwhile) {
  gate->uuid = "0b0e6c9e-6a55-4f55-9d0e-3a4c1b2d3e4f";
  gate->hwAddr = "00408c-aabbcc";
  DeviceConfig sheet = ReadDeviceSettings(*gate);
  EXPECT_TRUE(sheet == static_cast<const DeviceConfig&>(*gate));
  {
    std::lock_guard<std::mutex> guard(gate->fetchLock);
    gate->certificate = std::string(64, 'a');
    gate->authScheme = kAuthSchemeDigest;
  }
  sheet.updateDelay = 2000;
  sheet.sensitivity = 3;
  sheet.kind = EntryKind::HTTPDevice;  // not the sheet's to change
  sheet.uuid.clear();
  ASSERT_TRUE(ApplyDeviceSettings(TestTree(), *gate, sheet).ok);
  EXPECT_EQ(gate->updateDelay, 2000u);
  EXPECT_EQ(gate->sensitivity, 3u);
  EXPECT_EQ(gate->certificate, std::string(64, 'a'));
  EXPECT_EQ(gate->authScheme, kAuthSchemeDigest);
  EXPECT_EQ(gate->kind, EntryKind::Device);
  EXPECT_EQ(gate->uuid, "0b0e6c9e-6a55-4f55-9d0e-3a4c1b2d3e4f");
  EXPECT_EQ(gate->hwAddr, "00408c-aabbcc");
  // Read back, it is the entry's configuration, compared as one value.
  EXPECT_TRUE(ReadDeviceSettings(*gate) == static_cast<const DeviceConfig&>(*gate));
}

TEST_F(DeviceEdit, SettingsEnabledAndRecordingReachTheRecordAndServerInputs) {
  velmora::test::TestSettings().recordEnable = true;
  GroupRecord& server = Add(*yard, EntryKind::ServerDevice, "Box");
  GroupRecord& one = Add(server, EntryKind::ServerCamera, "Camera 1");
  GroupRecord& two = Add(server, EntryKind::ServerCamera, "Camera 2");

  DeviceConfig s = ReadDeviceSettings(server);
  s.location = "10.1.1.9:8080";
  s.username = "admin";
  s.password = "secret";
  ASSERT_TRUE(ApplyDeviceSettings(TestTree(), server, s).ok);
  for (GroupRecord* input : {&one, &two}) {
    EXPECT_EQ(input->location, "10.1.1.9:8080");
    EXPECT_EQ(input->username, "admin");
    EXPECT_EQ(input->password, "secret");
  }

  DeviceConfig g = ReadDeviceSettings(*gate);
  g.updateDelay = 125;
  g.archiveTime = 7 * 86400;
  g.grid4x4 = 0x8001;
  g.motionType = 2;
  g.daysOfWeek[3] = true;
  g.hoursOfDay[23] = true;
  ASSERT_TRUE(ApplyDeviceSettings(TestTree(), *gate, g).ok);
  const DeviceConfig back = ReadDeviceSettings(*gate);
  EXPECT_EQ(back.updateDelay, 125u);
  EXPECT_EQ(back.archiveTime, 7 * 86400);
  EXPECT_EQ(back.grid4x4, 0x8001);
  EXPECT_EQ(back.motionType, 2u);
  EXPECT_TRUE(back.daysOfWeek[3]);
  EXPECT_TRUE(back.hoursOfDay[23]);
  EXPECT_TRUE(gate->fetchActive) << "recording starts the fetch";

  // Disabling ends recording and closes the files; enabling does not bring it back.
  Record(*gate, 1);
  ASSERT_GE(gate->files.dataFile, 0);
  gate->receivedData = true;
  SetEnabledLive(velmora::test::TestTree(), *gate, false);
  EXPECT_FALSE(gate->recording);
  EXPECT_FALSE(gate->receivedData);
  EXPECT_EQ(gate->files.dataFile, -1);
  EXPECT_FALSE(gate->fetchActive);
  gate->lastUpdateTick = 77;
  SetEnabledLive(velmora::test::TestTree(), *gate, true);
  EXPECT_FALSE(gate->recording);
  EXPECT_EQ(gate->lastUpdateTick, 0u);
  SetRecordingLive(velmora::test::TestTree(), *gate, true);
  EXPECT_TRUE(gate->recording);
  EXPECT_TRUE(gate->fetchActive);

  // An entry being added is written directly, path included.
  auto added = CreateRecord(EntryKind::Device, "");
  added->isNew = true;
  DeviceConfig n = ReadDeviceSettings(*added);
  n.name = "Porch";
  n.location = "10.0.0.7";
  EXPECT_EQ(ApplyDeviceSettings(TestTree(), *added, n).messageId, 0);
  EXPECT_EQ(added->name, "Porch");
  EXPECT_EQ(added->path, "Porch");
  EXPECT_FALSE(added->fetchActive);

  SetStillShownLive(*gate, true);
  EXPECT_TRUE(gate->stillShown);
  gate->grid4x4 = 0;
  EXPECT_EQ(ToggleZoneLive(*gate, 0), 0x0001);
  EXPECT_EQ(ToggleZoneLive(*gate, 15), 0x8001);
  EXPECT_EQ(ToggleZoneLive(*gate, 16), 0x8001);
  EXPECT_EQ(ToggleZoneLive(*gate, 0), 0x8000);
}

}  // namespace
}  // namespace velmora::control
