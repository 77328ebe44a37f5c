// One name per recordings folder: every way an entry gets a name (rename, the property
// settings, drop, paste, import, templates) refuses or numbers a name another entry of
// the group has, and a folder of old recordings that an entry takes over leaves the
// old-recordings branch and can no longer be deleted from it. On a real tree with its
// file and its recordings folder in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/settings.h"
#include "control/device_edit.h"
#include "control/tree_ops.h"
#include "model/device_transfer.h"
#include "model/model_fixture.h"
#include "model/old_recordings.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::control {
namespace {

namespace fs = std::filesystem;
using namespace EntryKind;

class TreeNamesTest : public test::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    nvr_ = &add(root(), LocalNVR, "All Views");
    yard_ = &add(*nvr_, Group, "Yard");
    velmora::test::TestSettings().viewName = "All Views";
  }

  GroupRecord& device(GroupRecord& parent, const std::string& name, const std::string& location = "127.0.0.1:19001",
                      int32_t kind = Device) {
    GroupRecord& d = add(parent, kind, name);
    d.location = location;
    d.enabled = true;
    return d;
  }
  fs::path recordings() const { return fs::path(TestPaths().pathData); }
  static void touch(const fs::path& file, const std::string& text = "x") {
    fs::create_directories(file.parent_path());
    WriteFile(file.string(), text);
  }
  static std::vector<std::string> names(const GroupRecord& parent) {
    std::vector<std::string> out;
    for (const auto& c : parent.children) out.push_back(c->name);
    return out;
  }
  // The leftover folder "Yard/Gate" listed as old recordings, as the start-up scan lists it.
  GroupRecord* listLeftoverGate() {
    touch(recordings() / "Yard/Gate/26121004.vlj", "old pictures");
    touch(recordings() / "Yard/Gate/26121004.vlx", "old index");
    AddOldRecordingsBranch(root(), FindOrphanFolders(root(), TestPaths().pathData));
    GroupRecord* node = FindByName(&root(), "Old Recordings With No Live View", false);
    if (node == nullptr) return nullptr;
    GroupRecord* sub = FindByName(node, "Yard", false);
    return sub == nullptr ? nullptr : FindByName(sub, "Gate", false);
  }
  static const GroupRecord* oldRecordingsNode(GroupRecord& root) {
    for (const auto& top : root.children) {
      if (top->kind == OldRecordingsNode) return top.get();
    }
    return nullptr;
  }

  GroupRecord* nvr_ = nullptr;
  GroupRecord* yard_ = nullptr;
};

TEST_F(TreeNamesTest, RenamesAndSettingsRefuseASiblingsNameButAllowTheirOwnInAnotherCase) {
  GroupRecord& gate = device(*yard_, "Gate");
  GroupRecord& door = device(*yard_, "Door");
  touch(recordings() / "Yard/Door/26121004.vlj");

  // F2 / Rename: any case of a sibling's name.
  TreeOpResult refused = RenameFromLabel(TestTree(), door, "  GATE ", false);
  EXPECT_EQ(refused.messageId, 377);
  EXPECT_FALSE(refused.changed);
  EXPECT_EQ(door.name, "Door");
  EXPECT_EQ(door.path, "Yard/Door");
  EXPECT_TRUE(fs::exists(recordings() / "Yard/Door/26121004.vlj"));

  // The property sheet's path.
  DeviceConfig s = ReadDeviceSettings(door);
  s.name = "gate";
  s.location = "127.0.0.1:19002";
  EditResult edit = ApplyDeviceSettings(TestTree(), door, s);
  EXPECT_FALSE(edit.ok);
  EXPECT_EQ(edit.messageId, 377);
  EXPECT_EQ(door.name, "Door");
  EXPECT_EQ(door.location, "127.0.0.1:19001") << "a refused sheet changes nothing";

  // An entry's own name in another case is no conflict; its folder follows.
  EXPECT_EQ(RenameFromLabel(TestTree(), door, "DOOR", false).messageId, 0);
  EXPECT_EQ(door.path, "Yard/DOOR");
  EXPECT_TRUE(fs::exists(recordings() / "Yard/DOOR/26121004.vlj"));

  // Storage folders and groups are held to the same rule.
  GroupRecord& nas = device(*yard_, "Archive", "/srv/archive", NASDevice);
  EXPECT_EQ(RenameFromLabel(TestTree(), nas, "gate", false).messageId, 377);
  EXPECT_EQ(nas.name, "Archive");
  add(*nvr_, Group, "Street");
  EXPECT_EQ(RenameFromLabel(TestTree(), *yard_, "street", false).messageId, 377);
  EXPECT_EQ(yard_->name, "Yard");
  EXPECT_EQ(gate.path, "Yard/Gate");

  // Names of other groups are free.
  GroupRecord& street = *FindByName(nvr_, "Street", false);
  GroupRecord& other = device(street, "Lamp");
  EXPECT_EQ(RenameFromLabel(TestTree(), other, "Gate", false).messageId, 0);
  EXPECT_EQ(other.path, "Street/Gate");
}

TEST_F(TreeNamesTest, GroupsUnderTwoRecorderEntriesNeverShareAFolder) {
  // A device file whose recorder entry carries another name brings a second one.
  GroupRecord& mine = device(*yard_, "Gate");
  const std::string file = TestPaths().appDataFolder + "other.xml";
  WriteFile(file,
            "<DeviceTree version=\"1.0\"><LocalNVR name=\"Office NVR\"><Group name=\"yard\">"
            "<Device name=\"Gate\"><Location>127.0.0.1:19004</Location></Device></Group></LocalNVR></DeviceTree>");
  ASSERT_TRUE(ImportDeviceFile(TestTree(), file));
  GroupRecord* office = FindByName(&root(), "Office NVR", false);
  ASSERT_NE(office, nullptr);
  ASSERT_EQ(office->children.size(), 1u);
  const GroupRecord& imported = *office->children[0]->children[0];
  EXPECT_EQ(office->children[0]->name, "yard (1)");
  EXPECT_NE(imported.path, mine.path);
  EXPECT_EQ(imported.path, "yard (1)/Gate");

  // Renaming or adding a group checks the other recorder entry's groups as well.
  EXPECT_EQ(RenameFromLabel(TestTree(), *office->children[0], "YARD", false).messageId, 377);
  EXPECT_TRUE(NameInUse(*office, Group, "Yard"));
  EXPECT_FALSE(NameInUse(*office, Group, "Street"));
  EXPECT_FALSE(NameInUse(*nvr_, Group, "Yard", yard_));
}

TEST_F(TreeNamesTest, TemplatesDropsAndPastesNeverGiveASiblingsName) {
  GroupRecord& gate = device(*yard_, "Gate");
  auto sheet = [](const std::string& name) {
    return [name](GroupRecord& entry) {
      entry.name = name;
      entry.location = "127.0.0.1:19005";
      return true;
    };
  };
  EXPECT_EQ(AddFromTemplate(TestTree(), 20001, yard_, sheet("GATE")).messageId, 377);
  EXPECT_EQ(yard_->children.size(), 1u);

  // A drop into a group holding the name numbers it.
  GroupRecord& street = add(*nvr_, Group, "Street");
  GroupRecord& other = device(street, "gate", "127.0.0.1:19006");
  DropResult moved = DropEntry(TestTree(), other, yard_, false);
  EXPECT_EQ(moved.outcome, DropOutcome::kMoved);
  EXPECT_EQ(other.name, "gate (1)");
  EXPECT_EQ(other.path, "Yard/gate (1)");

  // With the name and all 999 numbered names taken the drop moves nothing and says so.
  for (int n = 2; n <= 999; ++n) device(*yard_, NumberedName("Gate", n), "127.0.0.1:" + std::to_string(20000 + n));
  GroupRecord& last = device(street, "Gate", "127.0.0.1:19007");
  DropResult refused = DropEntry(TestTree(), last, yard_, false);
  EXPECT_EQ(refused.outcome, DropOutcome::kNothing);
  EXPECT_EQ(refused.result.messageId, 377);
  EXPECT_EQ(last.parent, &street);
  EXPECT_EQ(last.path, "Street/Gate");

  // A paste of two devices of which one finds no name adds neither.
  const std::size_t before = yard_->children.size();
  std::string two = "<DEVICE>\n<Device name=\"Fresh\"><Location>127.0.0.1:19008</Location></Device>\n" +
                    DeviceText(gate).substr(std::string("<DEVICE>\n").size());
  TreeOpResult pasted = PasteDevices(TestTree(), &gate, two);
  EXPECT_EQ(pasted.messageId, 377);
  EXPECT_FALSE(pasted.changed);
  EXPECT_EQ(yard_->children.size(), before);
  EXPECT_EQ(FindByName(yard_, "Fresh", false), nullptr);
}

TEST_F(TreeNamesTest, ADropWhoseRenameFailsStaysWhereItWas) {
  device(*yard_, "Gate");
  GroupRecord& street = add(*nvr_, Group, "Street");
  GroupRecord& gate = device(street, "Gate", "127.0.0.1:19009");
  touch(recordings() / "Street/Gate/26121004.vlj", "street pictures");
  // A folder already holding recordings blocks the numbered name's folder: the rename
  // to "Gate (1)" inside Street cannot move the recordings there.
  touch(recordings() / "Street/Gate (1)/26121004.vlj", "someone else's pictures");

  DropResult drop = DropEntry(TestTree(), gate, yard_, false);
  EXPECT_NE(drop.outcome, DropOutcome::kMoved);
  EXPECT_EQ(drop.result.messageId, 392);
  EXPECT_EQ(gate.parent, &street);
  EXPECT_EQ(gate.name, "Gate");
  EXPECT_EQ(gate.path, "Street/Gate");
  EXPECT_EQ(ReadFile((recordings() / "Street/Gate/26121004.vlj").string()), "street pictures");
  EXPECT_EQ(ReadFile((recordings() / "Street/Gate (1)/26121004.vlj").string()), "someone else's pictures");
}

TEST_F(TreeNamesTest, AFolderTakenOverByAnEntryLeavesTheOldRecordingsBranch) {
  GroupRecord* leftover = listLeftoverGate();
  ASSERT_NE(leftover, nullptr);
  ASSERT_NE(oldRecordingsNode(root()), nullptr);

  // A device added from a template under the name of the device that left the folder.
  TreeOpResult added = AddFromTemplate(TestTree(), 20001, yard_, [](GroupRecord& entry) {
    entry.name = "gate";  // another case: another folder on this file system
    entry.location = "127.0.0.1:19010";
    return true;
  });
  ASSERT_TRUE(added.changed);
  EXPECT_NE(oldRecordingsNode(root()), nullptr) << "Yard/gate is not Yard/Gate";

  // Renamed to the exact name, it records into the folder: the entry goes.
  EXPECT_EQ(RenameFromLabel(TestTree(), *added.select, "Gate", false).messageId, 0);
  EXPECT_EQ(oldRecordingsNode(root()), nullptr);
  EXPECT_TRUE(fs::exists(recordings() / "Yard/Gate/26121004.vlj"));
}

TEST_F(TreeNamesTest, PastedImportedAndDroppedDevicesTakeTheirFoldersFromTheBranch) {
  // Paste.
  GroupRecord* leftover = listLeftoverGate();
  ASSERT_NE(leftover, nullptr);
  GroupRecord& street = add(*nvr_, Group, "Street");
  GroupRecord& source = device(street, "Gate", "127.0.0.1:19011");
  ASSERT_EQ(PasteDevices(TestTree(), yard_, DeviceText(source)).messageId, 0);
  EXPECT_EQ(oldRecordingsNode(root()), nullptr);

  // Import into a tree whose leftover folder the file's device takes.
  DeleteEntry(TestTree(), *FindByName(yard_, "Gate", false), false);
  touch(recordings() / "Lot/Cam/26121004.vlj");
  AddOldRecordingsBranch(root(), FindOrphanFolders(root(), TestPaths().pathData));
  ASSERT_NE(oldRecordingsNode(root()), nullptr);
  const std::string file = TestPaths().appDataFolder + "lot.xml";
  WriteFile(file,
            "<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\"><Group name=\"Lot\">"
            "<Device name=\"Cam\"><Location>127.0.0.1:19012</Location></Device></Group></LocalNVR></DeviceTree>");
  ASSERT_TRUE(ImportDeviceFile(TestTree(), file));
  const GroupRecord* node = oldRecordingsNode(root());
  ASSERT_NE(node, nullptr) << "Yard/Gate is still nobody's";
  EXPECT_EQ(FindByName(const_cast<GroupRecord*>(node), "Lot", false), nullptr);

  // Drop: the street camera moved into Yard becomes Yard/Gate.
  DropResult drop = DropEntry(TestTree(), source, yard_, false);
  ASSERT_EQ(drop.outcome, DropOutcome::kMoved);
  EXPECT_EQ(source.path, "Yard/Gate");
  EXPECT_EQ(oldRecordingsNode(root()), nullptr);
}

TEST_F(TreeNamesTest, DeleteRefusesAFolderAnEntryRecordsInto) {
  GroupRecord* leftover = listLeftoverGate();
  ASSERT_NE(leftover, nullptr);
  std::shared_ptr<GroupRecord> held = leftover->shared_from_this();
  // A device takes the folder without the branch being told (the state a tree had when
  // the branch was built before the device arrived).
  GroupRecord& gate = add(*yard_, Device, "Gate");
  gate.location = "127.0.0.1:19013";

  TreeOpResult deleted = DeleteEntry(TestTree(), *leftover, false);
  EXPECT_EQ(deleted.messageId, 700);
  EXPECT_EQ(ReadFile((recordings() / "Yard/Gate/26121004.vlj").string()), "old pictures");
  EXPECT_EQ(ReadFile((recordings() / "Yard/Gate/26121004.vlx").string()), "old index");
  EXPECT_EQ(held->parent, nullptr) << "the entry left the list";
  EXPECT_NE(ReadFile(TestPaths().logPath).find("nothing deleted"), std::string::npos);
}

TEST_F(TreeNamesTest, DeleteRefusesAFolderADeviceReachesThroughALink) {
  GroupRecord* leftover = listLeftoverGate();
  ASSERT_NE(leftover, nullptr);
  // A device whose folder is a link to the listed folder (recordings put on another disk).
  fs::create_directories(recordings() / "Street");
  fs::create_directory_symlink(recordings() / "Yard/Gate", recordings() / "Street/Cam");
  GroupRecord& street = add(*nvr_, Group, "Street");
  add(street, Device, "Cam");

  EXPECT_EQ(DeleteEntry(TestTree(), *leftover, false).messageId, 700);
  EXPECT_TRUE(fs::exists(recordings() / "Yard/Gate/26121004.vlj"));

  // Nobody's folder is still deleted as before.
  touch(recordings() / "Lot/Old/26121004.vlj");
  GroupRecord* node = AddOldRecordingsBranch(root(), {"Lot/Old"});
  ASSERT_NE(node, nullptr);
  GroupRecord* lot = FindByName(node, "Lot", false);
  ASSERT_NE(lot, nullptr);
  EXPECT_EQ(DeleteEntry(TestTree(), *lot->children[0], false).messageId, 0);
  EXPECT_FALSE(fs::exists(recordings() / "Lot/Old/26121004.vlj"));
}

}  // namespace
}  // namespace velmora::control
