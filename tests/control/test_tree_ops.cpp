// The device tree's commands: names, templates, cameras, refusals, rename, delete,
// Enabled and Recording, drag and drop, and paste, on a real tree with its file and its
// recordings folder in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/settings.h"
#include "control/tree_ops.h"
#include "model/device_transfer.h"
#include "model/model_fixture.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::control {
namespace {

namespace fs = std::filesystem;
using namespace EntryKind;

class TreeOpsTest : public test::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    nvr_ = &add(root(), LocalNVR, "All Views");
    group_ = &add(*nvr_, Group, "Lobby");
    velmora::test::TestSettings().viewName = "All Views";
  }

  GroupRecord& device(GroupRecord& parent, const std::string& name, const std::string& location,
                      int32_t kind = Device) {
    GroupRecord& d = add(parent, kind, name);
    d.location = location;
    d.enabled = true;
    return d;
  }
  fs::path folder(const GroupRecord& entry) const { return fs::path(TestPaths().pathData) / entry.path; }
  static void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    WriteFile(file.string(), "x");
  }
  static std::vector<std::string> names(const GroupRecord& parent) {
    std::vector<std::string> out;
    for (const auto& c : parent.children) out.push_back(c->name);
    return out;
  }

  GroupRecord* nvr_ = nullptr;
  GroupRecord* group_ = nullptr;
};

TEST_F(TreeOpsTest, NewGroupTakesTheFirstFreeGeneratedNameAmongTheTopTwoLevels) {
  group_->name = "new group";  // taken regardless of case
  TreeOpResult first = NewGroup(TestTree());
  ASSERT_TRUE(first.changed);
  EXPECT_TRUE(first.editLabel);
  ASSERT_NE(first.select, nullptr);
  EXPECT_EQ(first.select->name, "New Group (1)");
  EXPECT_EQ(first.select->path, "New Group (1)");
  EXPECT_EQ(first.select->parent, nvr_);
  EXPECT_TRUE(fs::exists(TestPaths().deviceTreePath));

  // A device deeper down carrying the next name does not take it.
  device(*group_, "New Group (2)", "10.0.0.1");
  EXPECT_EQ(NewGroup(TestTree()).select->name, "New Group (2)");
  EXPECT_EQ(NewGroup(TestTree()).select->name, "New Group (3)");

  // With every candidate taken nothing is added.
  for (int n = 4; n <= 999; ++n) add(*nvr_, Group, NumberedName("New Group", n));
  add(*nvr_, Group, "New Group");
  const std::size_t before = nvr_->children.size();
  EXPECT_FALSE(GeneratedGroupName(root()).has_value());
  EXPECT_FALSE(NewGroup(TestTree()).changed);
  EXPECT_EQ(nvr_->children.size(), before);
}

TEST_F(TreeOpsTest, TemplatesFillTheDeviceAndAServerBringsItsCameras) {
  ASSERT_EQ(DeviceTemplates().size(), 14u);
  EXPECT_EQ(FindTemplate(20003), nullptr);  // separators
  EXPECT_EQ(FindTemplate(20011), nullptr);
  EXPECT_EQ(FindTemplate(20014), nullptr);

  int sheets = 0;
  auto sheet = [&](GroupRecord& entry) {
    ++sheets;
    EXPECT_TRUE(entry.isNew);
    EXPECT_EQ(entry.parent, nullptr);  // not in the tree while the sheet is open
    entry.name = "Gate";
    entry.username = "op";
    entry.password = "pw";
    return true;
  };
  EXPECT_FALSE(AddFromTemplate(TestTree(), 20011, group_, sheet).changed);
  EXPECT_EQ(sheets, 0);

  TreeOpResult added = AddFromTemplate(TestTree(), 20009, group_, sheet);
  ASSERT_TRUE(added.changed);
  GroupRecord& server = *added.select;
  EXPECT_FALSE(server.isNew);
  EXPECT_EQ(server.kind, ServerDevice);
  EXPECT_EQ(server.path, "Lobby/Gate");
  EXPECT_FALSE(server.recording);
  EXPECT_EQ(server.updateDelay, 0u);
  EXPECT_EQ(server.uuid.size(), 36u);
  ASSERT_EQ(server.children.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    const GroupRecord& camera = *server.children[i];
    EXPECT_EQ(camera.kind, ServerCamera);
    EXPECT_EQ(camera.name, "Camera " + std::to_string(i + 1));
    EXPECT_EQ(camera.path, "Lobby/Gate/Camera " + std::to_string(i + 1));
    EXPECT_EQ(camera.cameraIndex, i);
    EXPECT_EQ(camera.location, "127.0.0.1");
    EXPECT_EQ(camera.username, "op");
    EXPECT_TRUE(camera.recording && camera.enabled);
    EXPECT_EQ(camera.updateDelay, 125u);
    EXPECT_EQ(camera.archiveTime, 604800);
  }

  auto camera = CreateFromTemplate(20001);
  EXPECT_EQ(camera->username, "admin");
  EXPECT_EQ(camera->password, "pelko");
  EXPECT_TRUE(camera->recording);
  EXPECT_EQ(camera->updateDelay, 125u);
  EXPECT_EQ(camera->grid4x4, 0xFFFF);
  auto storage = CreateFromTemplate(20013);
  EXPECT_EQ(storage->kind, NASDevice);
  EXPECT_FALSE(storage->recording);
  EXPECT_EQ(storage->updateDelay, 30000u);
  EXPECT_TRUE(storage->username.empty());
  EXPECT_EQ(CreateFromTemplate(20000)->location, "http://127.0.0.1/quorix.jpg");

  // A cancelled sheet, and a sheet that leaves no name, add nothing.
  const std::size_t before = group_->children.size();
  EXPECT_FALSE(AddFromTemplate(TestTree(), 20012, group_, [](GroupRecord&) { return false; }).changed);
  EXPECT_EQ(AddFromTemplate(TestTree(), 20012, group_, [](GroupRecord&) { return true; }).messageId, 130);
  EXPECT_EQ(group_->children.size(), before);
}

TEST_F(TreeOpsTest, NewEntriesSendThePasswordOnlyWhenAskedAndANewInputTakesItsServersAccount) {
  for (int id : {20000, 20001, 20004, 20005, 20012}) {
    auto entry = CreateFromTemplate(id);
    ASSERT_NE(entry, nullptr) << id;
    EXPECT_TRUE(entry->sendPasswordOnlyWhenAsked) << id;
  }
  // An input added to a server asks with the server's account at once, not only once
  // the tree was read back or the server's properties applied.
  GroupRecord& server = device(*group_, "Rack", "10.0.0.9", ServerDevice);
  server.username = "op";
  server.password = "pw";
  server.sendPasswordOnlyWhenAsked = true;
  TreeOpResult added = AddCamera(TestTree(), server);
  ASSERT_TRUE(added.changed);
  EXPECT_EQ(added.select->username, "op");
  EXPECT_EQ(added.select->password, "pw");
  EXPECT_TRUE(added.select->sendPasswordOnlyWhenAsked);
}

// The generic cameras: web images whose address names the way the camera sends its
// pictures, added through the same sheet, sibling checks and limit as any template.
TEST_F(TreeOpsTest, GenericCamerasAreWebImagesOfTheirSchemeThroughTheTemplatePath) {
  ASSERT_EQ(GenericCameraTemplates().size(), 3u);
  const std::pair<int, const char*> schemes[] = {{20100, "http://"}, {20101, "rtsp://"}, {20102, "https://"}};
  for (const auto& [id, scheme] : schemes) {
    auto entry = CreateFromTemplate(id);
    ASSERT_NE(entry, nullptr) << id;
    EXPECT_EQ(entry->kind, HTTPDevice) << id;
    EXPECT_EQ(entry->location.rfind(scheme, 0), 0u) << entry->location;
    EXPECT_TRUE(entry->username.empty() && entry->recording);
    EXPECT_EQ(entry->updateDelay, 125u) << "watched live, as the named cameras";
  }
  EXPECT_EQ(FindTemplate(20103), nullptr);

  // The popup: the generic cameras, a separator, the named templates with theirs.
  const std::vector<int> menu = AddCameraMenu();
  ASSERT_EQ(menu.size(), 18u);
  EXPECT_EQ(std::vector<int>(menu.begin(), menu.begin() + 5), (std::vector<int>{20100, 20101, 20102, 0, 20000}));
  EXPECT_EQ(menu[7], 0);  // 20003
  EXPECT_EQ(menu.back(), 20013);

  std::string seen;
  auto sheet = [&seen](GroupRecord& entry) {
    seen = entry.location;
    entry.name = "Front";
    entry.location = "rtsp://127.0.0.1:18654/h264";
    return true;
  };
  TreeOpResult added = AddFromTemplate(TestTree(), 20101, group_, sheet);
  ASSERT_TRUE(added.changed);
  EXPECT_EQ(seen, "rtsp://127.0.0.1:554/");
  EXPECT_EQ(added.select->parent, group_);
  EXPECT_EQ(added.select->kind, HTTPDevice);
  EXPECT_EQ(added.select->path, "Lobby/Front");
  EXPECT_TRUE(added.refreshViews);
  // The same name again is refused; so is the same address under another name.
  EXPECT_EQ(AddFromTemplate(TestTree(), 20102, group_, sheet).messageId, 377);
  EXPECT_EQ(AddFromTemplate(TestTree(), 20100, group_,
                            [](GroupRecord& entry) {
                              entry.name = "Back";
                              entry.location = "rtsp://127.0.0.1:18654/h264";
                              return true;
                            })
                .messageId,
            375);
  EXPECT_EQ(group_->children.size(), 1u);
}

// Where a template's device goes: the selection's group, else the recorder's first group.
TEST_F(TreeOpsTest, AddedDevicesGoIntoTheSelectionsGroup) {
  GroupRecord& gate = device(*group_, "Gate", "10.0.0.1");
  GroupRecord& rack = device(*group_, "Rack", "10.0.0.2", ServerDevice);
  GroupRecord& input = add(rack, ServerCamera, "Camera 1");
  GroupRecord& yard = add(*nvr_, Group, "Yard");
  GroupRecord& inner = add(yard, Group, "Inner");
  EXPECT_EQ(AddDeviceTarget(TestTree(), group_), group_);
  EXPECT_EQ(AddDeviceTarget(TestTree(), &gate), group_);
  EXPECT_EQ(AddDeviceTarget(TestTree(), &input), group_);
  EXPECT_EQ(AddDeviceTarget(TestTree(), &inner), &inner);
  EXPECT_EQ(AddDeviceTarget(TestTree(), nvr_), group_);  // the recorder's first group
  EXPECT_EQ(AddDeviceTarget(TestTree(), nullptr), group_);
  GroupRecord& old = add(*nvr_, OldRecordingsNode, "Old Recordings With No Live View");
  EXPECT_EQ(AddDeviceTarget(TestTree(), &old), group_);
  // A recorder without groups takes the device itself.
  nvr_->children.clear();
  EXPECT_EQ(AddDeviceTarget(TestTree(), nullptr), nvr_);
  root().children.clear();
  EXPECT_EQ(AddDeviceTarget(TestTree(), nullptr), nullptr);
}

TEST_F(TreeOpsTest, AddCameraFillsTheFirstFreeInputAndStopsAtSixteen) {
  GroupRecord& server = device(*group_, "Rack", "10.0.0.9", ServerDevice);
  for (int index : {0, 1, 3}) InsertEntry(&server, CreateServerCamera(server, index));
  TreeOpResult added = AddCamera(TestTree(), server);
  ASSERT_TRUE(added.changed);
  EXPECT_TRUE(added.editLabel);
  EXPECT_EQ(added.select->cameraIndex, 2);
  EXPECT_EQ(added.select->name, "Camera 3");
  EXPECT_EQ(server.children.back().get(), added.select);
  EXPECT_EQ(added.select->location, "10.0.0.9");
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(AddCamera(TestTree(), server).changed);
  EXPECT_EQ(server.children.size(), 16u);
  EXPECT_FALSE(AddCamera(TestTree(), server).changed);
  EXPECT_EQ(server.children.size(), 16u);
}

TEST_F(TreeOpsTest, SiblingConflictsAreCheckedByNameThenLocationThenHardwareAddress) {
  GroupRecord& gate = device(*group_, "Gate", "10.0.0.1");
  gate.hwAddr = "00408C-AABBCC";
  add(*group_, Group, "Yard");  // groups are not compared
  auto sheetWith = [](std::string name, std::string location, std::string hw) {
    return [=](GroupRecord& entry) {
      entry.name = name;
      entry.location = location;
      entry.hwAddr = hw;
      return true;
    };
  };
  const std::size_t before = group_->children.size();
  EXPECT_EQ(AddFromTemplate(TestTree(), 20001, group_, sheetWith("GATE", "10.0.0.1", "00408c-aabbcc")).messageId, 377);
  EXPECT_EQ(AddFromTemplate(TestTree(), 20001, group_, sheetWith("Door", "10.0.0.1", "")).messageId, 375);
  EXPECT_EQ(AddFromTemplate(TestTree(), 20001, group_, sheetWith("Door", "10.0.0.2", "00408c-aabbcc")).messageId, 376);
  EXPECT_EQ(group_->children.size(), before);

  gate.hwAddr = "000000-000000";
  EXPECT_TRUE(AddFromTemplate(TestTree(), 20001, group_, sheetWith("Door", "10.0.0.2", "000000-000000")).changed);
  EXPECT_TRUE(AddFromTemplate(TestTree(), 20001, group_, sheetWith("Yard", "10.0.0.3", "")).changed);
}

TEST_F(TreeOpsTest, TheViewableLimitRefusesThe1025thEntry) {
  GroupRecord& big = add(*nvr_, Group, "Big");
  for (int i = 0; i < kMaxViewableEntries - 2; ++i) device(big, "d" + std::to_string(i), "10.1." + std::to_string(i));
  int n = 0;
  auto sheet = [&](GroupRecord& entry) {
    entry.name = "n" + std::to_string(++n);
    entry.location = "10.2.0." + std::to_string(n);
    return true;
  };
  // A server with four cameras would pass the limit as a whole.
  TreeOpResult server = AddFromTemplate(TestTree(), 20008, group_, sheet);
  EXPECT_EQ(server.messageId, 616);
  EXPECT_EQ(server.messageValue, 1024);
  EXPECT_TRUE(AddFromTemplate(TestTree(), 20001, group_, sheet).changed);  // 1023
  EXPECT_TRUE(AddFromTemplate(TestTree(), 20012, group_, sheet).changed);  // 1024
  EXPECT_EQ(AddFromTemplate(TestTree(), 20013, group_, sheet).messageId, 616);
  EXPECT_EQ(CountViewable(TestTree().root.get()), kMaxViewableEntries);
  GroupRecord& rack = device(*group_, "Rack", "10.3.0.1", ServerDevice);
  EXPECT_EQ(AddCamera(TestTree(), rack).messageId, 616);
  // Groups are not viewable: they are still added.
  EXPECT_TRUE(NewGroup(TestTree()).changed);
}

TEST_F(TreeOpsTest, RenameTrimsCutsAndRefusesWithoutTouchingTheEntry) {
  GroupRecord& nas = device(*group_, "Archive", "/srv/nas", NASDevice);
  touch(folder(nas) / "keep.vlj");

  EXPECT_EQ(RenameFromLabel(TestTree(), nas, "Arch:ive", false).messageId, 131);
  EXPECT_EQ(nas.name, "Archive");
  // A forbidden character past the 48th is cut off before the check.
  const std::string long49(48, 'a');
  EXPECT_TRUE(RenameFromLabel(TestTree(), nas, "  " + long49 + "|  ", false).changed);
  EXPECT_EQ(nas.name, long49);
  EXPECT_EQ(nas.path, "Lobby/" + long49);
  // A storage folder's recordings are where its location says: nothing moves.
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Lobby/Archive/keep.vlj"));

  EXPECT_FALSE(RenameFromLabel(TestTree(), nas, long49, false).changed);  // the same text
  EXPECT_FALSE(RenameFromLabel(TestTree(), nas, "   ", false).changed);   // an emptied label
  EXPECT_FALSE(RenameFromLabel(TestTree(), nas, "Other", true).changed);  // playback
  EXPECT_EQ(nas.name, long49);

  // Multi-byte characters count as one each.
  std::string wide;
  for (int i = 0; i < 49; ++i) wide += "\xC3\xA9";
  RenameFromLabel(TestTree(), nas, wide, false);
  EXPECT_EQ(nas.name, wide.substr(0, 96));

  GroupRecord& old = add(*nvr_, OldRecordingsFolder, "Old");
  EXPECT_FALSE(RenameFromLabel(TestTree(), old, "New", false).changed);
  EXPECT_TRUE(RenameFromLabel(TestTree(), *nvr_, "Everything", false).changed);
  EXPECT_EQ(nvr_->name, "Everything");
  EXPECT_EQ(group_->path, "Lobby");
}

TEST_F(TreeOpsTest, DeleteKeepsRecordingsAndSelectsANeighbour) {
  GroupRecord& a = device(*group_, "A", "10.0.0.1");
  GroupRecord& b = device(*group_, "B", "10.0.0.2");
  GroupRecord& c = device(*group_, "C", "10.0.0.3");
  touch(folder(b) / "26120910.vlj");
  fs::create_directories(folder(c));

  EXPECT_FALSE(CanDelete(*nvr_, false));
  EXPECT_FALSE(CanDelete(a, true));
  EXPECT_FALSE(DeleteEntry(TestTree(), a, true).changed);

  TreeOpResult deleted = DeleteEntry(TestTree(), b, false);
  EXPECT_TRUE(deleted.changed && deleted.refreshViews);
  EXPECT_EQ(deleted.select, &c);  // the next sibling
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Lobby/B/26120910.vlj"));
  EXPECT_EQ(DeleteEntry(TestTree(), c, false).select, &a);  // the previous one
  EXPECT_FALSE(fs::exists(fs::path(TestPaths().pathData) / "Lobby/C"));
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Lobby"));  // still holds B's folder
  EXPECT_EQ(DeleteEntry(TestTree(), a, false).select, group_);    // the parent
  EXPECT_TRUE(group_->children.empty());
  EXPECT_NE(ReadFile(TestPaths().logPath).find("DeleteItem: B [Lobby/B]"), std::string::npos);

  // A group goes with its subtree; a server's cameras too.
  GroupRecord& rack = device(*group_, "Rack", "10.0.0.9", ServerDevice);
  InsertEntry(&rack, CreateServerCamera(rack, 0));
  DeleteEntry(TestTree(), *group_, false);
  EXPECT_TRUE(nvr_->children.empty());
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Lobby/B/26120910.vlj"));
}

TEST_F(TreeOpsTest, DeletingALeftoverFolderDeletesItsFilesAndEmptiedParents) {
  GroupRecord& oldNode = add(*nvr_, OldRecordingsNode, "Old Recordings With No Live View");
  GroupRecord& site = add(oldNode, OldRecordingsSub, "Site");
  site.path = "Site";
  GroupRecord& floor = add(site, OldRecordingsSub, "Floor");
  floor.path = "Site/Floor";
  GroupRecord& cam = add(floor, OldRecordingsFolder, "Cam");
  cam.path = "Site/Floor/Cam";
  GroupRecord& other = add(site, OldRecordingsFolder, "Other");
  other.path = "Site/Other";
  for (const char* file : {"26120910.vlj", "26120910.vlx", "26120911.VLJ", ".nvr"}) touch(folder(cam) / file);
  touch(folder(other) / "26120910.vlj");
  touch(folder(other) / "notes.txt");

  TreeOpResult deleted = DeleteEntry(TestTree(), cam, false);
  EXPECT_FALSE(deleted.refreshViews);
  EXPECT_FALSE(fs::exists(folder(site) / "Floor"));
  // Floor was emptied and went too; Site still holds Other.
  ASSERT_EQ(site.children.size(), 1u);
  EXPECT_EQ(site.children[0].get(), &other);
  EXPECT_EQ(deleted.select, &other);

  DeleteEntry(TestTree(), other, false);
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Site/Other/notes.txt"));
  EXPECT_FALSE(fs::exists(fs::path(TestPaths().pathData) / "Site/Other/26120910.vlj"));
  // Site is gone, the node itself stays.
  EXPECT_TRUE(oldNode.children.empty());
  EXPECT_EQ(oldNode.parent, nvr_);
}

// A tree that was never given its recordings folder names no folder on disk: deleting a
// leftover entry of it deletes nothing, rather than taking the entry's relative path
// from the working folder.
TEST_F(TreeOpsTest, ALeftoverOfATreeWithoutARecordingsFolderDeletesNothing) {
  GroupRecord& oldNode = add(*nvr_, OldRecordingsNode, "Old Recordings With No Live View");
  GroupRecord& cam = add(oldNode, OldRecordingsFolder, "Cam");
  cam.path = "Cam";
  const fs::path working = fs::current_path();
  const fs::path here = fs::path(TestPaths().appDataFolder) / "working";
  const fs::path recorded = folder(cam) / "26120910.vlj";
  touch(here / "Cam" / "26120910.vlj");
  touch(recorded);
  const std::string recordings = TestTree().recordingsFolder;
  TestTree().recordingsFolder.clear();
  fs::current_path(here);
  DeleteEntry(TestTree(), cam, false);
  fs::current_path(working);
  TestTree().recordingsFolder = recordings;
  EXPECT_TRUE(fs::exists(here / "Cam" / "26120910.vlj"));
  EXPECT_TRUE(fs::exists(recorded));
}

TEST_F(TreeOpsTest, EnabledAndRecordingFollowTheirRules) {
  GroupRecord& cam = device(*group_, "Cam", "10.0.0.1");
  cam.recording = true;
  cam.receivedData = true;
  EXPECT_TRUE(ToggleEnabled(TestTree(), cam).changed);
  EXPECT_FALSE(cam.enabled);
  EXPECT_FALSE(cam.recording);
  EXPECT_FALSE(cam.receivedData);
  EXPECT_FALSE(ToggleRecording(TestTree(), cam, false).changed);  // disabled
  cam.lastUpdateTick = 77;
  ToggleEnabled(TestTree(), cam);
  EXPECT_TRUE(cam.enabled);
  EXPECT_FALSE(cam.recording);  // not set again
  EXPECT_EQ(cam.lastUpdateTick, 0u);
  EXPECT_FALSE(ToggleRecording(TestTree(), cam, true).changed);  // playback
  EXPECT_TRUE(ToggleRecording(TestTree(), cam, false).changed);
  EXPECT_TRUE(cam.recording);
  GroupRecord& server = device(*group_, "Rack", "10.0.0.9", ServerDevice);
  EXPECT_FALSE(ToggleRecording(TestTree(), server, false).changed);
  EXPECT_FALSE(server.recording);

  device(*group_, "b", "1");
  device(*group_, "Aa", "2");
  SortEntry(TestTree(), *group_);
  EXPECT_EQ(names(*group_), (std::vector<std::string>{"Aa", "b", "Cam", "Rack"}));
}

TEST_F(TreeOpsTest, DropTargetsFollowTheKindsOfSourceAndHit) {
  GroupRecord& yard = add(*nvr_, Group, "Yard");
  GroupRecord& cam = device(*group_, "Cam", "10.0.0.1");
  GroupRecord& rack = device(yard, "Rack", "10.0.0.9", ServerDevice);
  auto input = CreateServerCamera(rack, 0);
  InsertEntry(&rack, input);
  GroupRecord& old = add(*nvr_, OldRecordingsFolder, "Old");

  EXPECT_FALSE(CanDrag(*nvr_));
  EXPECT_FALSE(CanDrag(*input));
  EXPECT_TRUE(CanDrag(*group_) && CanDrag(cam) && CanDrag(rack));

  // A group climbs to the nearest group or recorder entry.
  EXPECT_EQ(DropTarget(*group_, input.get()), &yard);
  EXPECT_EQ(DropTarget(*group_, nvr_), nvr_);
  EXPECT_EQ(DropTarget(*group_, group_), nullptr);
  EXPECT_EQ(DropTarget(*group_, &cam), group_);  // its own subtree: refused at the drop
  // Other entries take the hit item unless it cannot hold them.
  EXPECT_EQ(DropTarget(cam, &rack), &rack);
  EXPECT_EQ(DropTarget(cam, &yard), &yard);
  EXPECT_EQ(DropTarget(cam, input.get()), nullptr);
  EXPECT_EQ(DropTarget(cam, nvr_), nullptr);
  EXPECT_EQ(DropTarget(cam, &old), nullptr);
  EXPECT_EQ(DropTarget(cam, nullptr), nullptr);

  // Places: first child, or right after the target.
  EXPECT_EQ(DropPlacement(*group_, *nvr_)->parent, nvr_);
  EXPECT_EQ(DropPlacement(*group_, *nvr_)->position, 0u);
  EXPECT_EQ(DropPlacement(cam, yard)->position, 0u);
  EXPECT_EQ(DropPlacement(cam, rack)->parent, &yard);
  EXPECT_EQ(DropPlacement(cam, rack)->position, 1u);
  // Lobby, Yard, Old: a group dropped on Yard follows it (counted without itself).
  EXPECT_EQ(DropPlacement(*group_, yard)->position, 1u);

  // Nothing moves onto itself, into its own subtree, from a server input or in playback.
  EXPECT_EQ(DropEntry(TestTree(), *group_, group_, false).outcome, DropOutcome::kNothing);
  EXPECT_EQ(DropEntry(TestTree(), *group_, &cam, false).outcome, DropOutcome::kNothing);
  EXPECT_EQ(DropEntry(TestTree(), *input, &yard, false).outcome, DropOutcome::kNothing);
  EXPECT_EQ(DropEntry(TestTree(), *nvr_, &yard, false).outcome, DropOutcome::kNothing);
  EXPECT_EQ(DropEntry(TestTree(), cam, &yard, true).outcome, DropOutcome::kBeep);
  EXPECT_EQ(DropEntry(TestTree(), *group_, &rack, false).outcome, DropOutcome::kBeep);
  EXPECT_EQ(cam.parent, group_);
  EXPECT_EQ(names(*nvr_), (std::vector<std::string>{"Lobby", "Yard", "Old"}));
}

TEST_F(TreeOpsTest, DropsMoveEntriesToTheirPlacesWithNumberedNamesAndFolders) {
  GroupRecord& yard = add(*nvr_, Group, "Yard");
  GroupRecord& cam = device(*group_, "Cam", "10.0.0.1");
  GroupRecord& door = device(*group_, "Door", "10.0.0.2");
  GroupRecord& gate = device(yard, "Gate", "10.0.0.3");
  device(yard, "cam", "10.0.0.4");
  touch(folder(cam) / "26120910.vlj");

  // A device dropped on a device follows it; its name is taken there, so it is numbered
  // and its recordings folder follows the new path.
  DropResult moved = DropEntry(TestTree(), cam, &gate, false);
  ASSERT_EQ(moved.outcome, DropOutcome::kMoved);
  EXPECT_EQ(moved.result.select, &cam);
  EXPECT_TRUE(moved.result.refreshViews);
  EXPECT_EQ(names(yard), (std::vector<std::string>{"Gate", "Cam (1)", "cam"}));
  EXPECT_EQ(cam.path, "Yard/Cam (1)");
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Yard/Cam (1)/26120910.vlj"));
  EXPECT_FALSE(fs::exists(fs::path(TestPaths().pathData) / "Lobby/Cam"));

  // A device dropped on a group becomes its first child; within one parent the name stays.
  ASSERT_EQ(DropEntry(TestTree(), door, &yard, false).outcome, DropOutcome::kMoved);
  EXPECT_EQ(names(yard).front(), "Door");
  ASSERT_EQ(DropEntry(TestTree(), door, &cam, false).outcome, DropOutcome::kMoved);
  EXPECT_EQ(names(yard), (std::vector<std::string>{"Gate", "Cam (1)", "Door", "cam"}));

  // A group dropped on a device of another group follows that group; on the recorder's
  // entry it becomes the first child.
  ASSERT_EQ(DropTarget(*group_, &gate), &yard);
  ASSERT_EQ(DropEntry(TestTree(), *group_, &yard, false).outcome, DropOutcome::kMoved);
  EXPECT_EQ(names(*nvr_), (std::vector<std::string>{"Yard", "Lobby"}));
  ASSERT_EQ(DropEntry(TestTree(), *group_, nvr_, false).outcome, DropOutcome::kMoved);
  EXPECT_EQ(names(*nvr_), (std::vector<std::string>{"Lobby", "Yard"}));
  // A group dropped into its own subtree (a device of its own) stays where it is.
  GroupRecord& inside = device(yard, "Inside", "10.0.0.5");
  EXPECT_EQ(DropEntry(TestTree(), yard, DropTarget(yard, &inside), false).outcome, DropOutcome::kNothing);
  EXPECT_EQ(names(*nvr_), (std::vector<std::string>{"Lobby", "Yard"}));
}

TEST_F(TreeOpsTest, RenamingDevicesAndGroupsMovesTheirFoldersAndCarriesViewName) {
  GroupRecord& cam = device(*group_, "Cam", "10.0.0.1");
  touch(folder(cam) / "26120910.vlj");
  TreeOpResult renamed = RenameFromLabel(TestTree(), cam, "cam", false);  // case alone counts
  EXPECT_TRUE(renamed.changed);
  EXPECT_EQ(renamed.messageId, 0);
  EXPECT_EQ(cam.path, "Lobby/cam");
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Lobby/cam/26120910.vlj"));

  velmora::test::TestSettings().viewName = "LOBBY";
  TreeOpResult group = RenameFromLabel(TestTree(), *group_, "Hall", false);
  EXPECT_TRUE(group.saveSettings);
  EXPECT_EQ(velmora::test::TestSettings().viewName, "Hall");
  EXPECT_EQ(cam.path, "Hall/cam");
  EXPECT_TRUE(fs::exists(fs::path(TestPaths().pathData) / "Hall/cam/26120910.vlj"));
  EXPECT_NE(ReadFile(TestPaths().deviceTreePath).find("Hall"), std::string::npos);
  velmora::test::TestSettings().viewName = "All Views";
  EXPECT_FALSE(RenameFromLabel(TestTree(), *group_, "Front", false).saveSettings);
  EXPECT_EQ(velmora::test::TestSettings().viewName, "All Views");
}

TEST_F(TreeOpsTest, PasteNumbersTheCopyKeepsItsUuidAndGoesToTheGroup) {
  GroupRecord& cam = device(*group_, "Cam", "10.0.0.1");
  cam.uuid = "01890000-0000-7000-8000-000000000001";
  GroupRecord& rack = device(*group_, "Rack", "10.0.0.9", ServerDevice);
  auto input = CreateServerCamera(rack, 0);
  InsertEntry(&rack, input);
  const std::string text = DeviceText(cam);

  TreeOpResult pasted = PasteDevices(TestTree(), &cam, text);
  EXPECT_TRUE(pasted.changed && pasted.refreshViews);
  // With a server's camera selected the copy goes into the server's group.
  PasteDevices(TestTree(), input.get(), text);
  EXPECT_EQ(names(*group_), (std::vector<std::string>{"Cam", "Rack", "Cam (1)", "Cam (2)"}));
  EXPECT_EQ(group_->children[2]->uuid, cam.uuid);
  EXPECT_EQ(group_->children[2]->path, "Lobby/Cam (1)");
  EXPECT_EQ(rack.children.size(), 1u);
  EXPECT_FALSE(PasteDevices(TestTree(), nvr_, text).changed);
}

}  // namespace
}  // namespace velmora::control
