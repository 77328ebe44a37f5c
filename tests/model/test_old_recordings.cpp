// Leftover recording folders: which folders are listed, the branch built from them, and
// that the branch never reaches the tree file.
#include <unistd.h>

#include <filesystem>

#include "model/old_recordings.h"
#include "model_fixture.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

class OldRecordings : public ModelTest {
 protected:
  void Touch(const std::string& relative) {
    const fs::path file = fs::path(TestPaths().pathData) / relative;
    fs::create_directories(file.parent_path());
    WriteFile(file.string(), "x");
  }
  // "name(kind)[children]" for the subtree below `record`; a disabled entry is marked
  // with "!" (it would get no tile when shown).
  static std::string Shape(const GroupRecord& record) {
    std::string text;
    for (const auto& child : record.children) {
      if (!text.empty()) text += " ";
      if (!child->enabled) text += "!";
      text += child->name + "(" + std::to_string(child->kind) + "," + child->path + ")";
      if (!child->children.empty()) text += "[" + Shape(*child) + "]";
    }
    return text;
  }
};

TEST_F(OldRecordings, FoldersWithRecordingFilesAndNoEntryAreListedAsANestedBranch) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "NVR");
  GroupRecord& yard = add(nvr, EntryKind::Group, "Yard");
  add(yard, EntryKind::Device, "Door");
  Touch("Yard/Door/26120801.vlj");          // owned by a device
  Touch("Yard/26120801.vlj");               // owned by a group
  Touch("26120801.vlx");                    // the recordings folder itself
  Touch("Yard/Gone/26120801.VLX");          // device deleted; any letter case
  Touch("Site/Floor/Cam/26120801.Vlj");
  Touch("Site/Floor/Other/26120801.vlx");
  Touch("Site/Lobby/anything.vlj");
  Touch("Notes/readme.txt");                // no recording files
  Touch("Notes/clip.vljx");
  Touch("Notes/vlj");
  fs::create_directories(fs::path(TestPaths().pathData) / "Odd/folder.vlj");  // a folder, not a file
  Touch("Odd/folder.vlj/.keep");
  const fs::path outside = fs::path(dir_) / "Elsewhere";
  fs::create_directories(outside);
  WriteFile((outside / "26120801.vlj").string(), "x");
  fs::create_directory_symlink(outside, fs::path(TestPaths().pathData) / "Link");  // not followed
  fs::create_symlink(outside / "26120801.vlj", fs::path(TestPaths().pathData) / "Notes/26120801.vlj");

  EXPECT_EQ(FindOrphanFolders(root(), TestPaths().pathData),
            (std::set<std::string>{"Site/Floor/Cam", "Site/Floor/Other", "Site/Lobby", "Yard/Gone"}));

  const std::string before = TreeFileText(root());
  EXPECT_EQ(BuildOldRecordingsBranch(TestTree()), 4);
  ASSERT_EQ(root().children.size(), 2u);
  const GroupRecord& old = *root().children.back();
  EXPECT_EQ(old.kind, EntryKind::OldRecordingsNode);
  EXPECT_EQ(old.name, "Old Recordings With No Live View");
  EXPECT_EQ(old.parent, &root());
  EXPECT_TRUE(old.enabled);
  EXPECT_EQ(Shape(old),
            "Site(-4,Site)[Floor(-4,Site/Floor)[Cam(-3,Site/Floor/Cam) Other(-3,Site/Floor/Other)] "
            "Lobby(-3,Site/Lobby)] Yard(-4,Yard)[Gone(-3,Yard/Gone)]");

  // The branch is rebuilt at every start from the folders: the tree file never holds it.
  EXPECT_EQ(TreeFileText(root()), before);
  ASSERT_TRUE(SaveTree(TestTree()));
  const std::string saved = ReadFile(TestPaths().deviceTreePath);
  EXPECT_NE(saved.find("Door"), std::string::npos);
  for (const char* name : {"Old Recordings", "Site", "Floor", "Lobby", "Gone"})
    EXPECT_EQ(saved.find(name), std::string::npos) << name;

  // Read back, the tree holds the devices only; the leftovers are found again.
  const std::string shape = Shape(old);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  ASSERT_TRUE(InitTree(TestTree(), TestPaths().deviceTreePath));
  EXPECT_EQ(BuildOldRecordingsBranch(TestTree()), 4);
  ASSERT_EQ(root().children.size(), 2u);
  EXPECT_EQ(Shape(*root().children.back()), shape);
}

TEST_F(OldRecordings, FoldersEmptiedByTheRemovalPassLeaveTheBranch) {
  add(root(), EntryKind::LocalNVR, "NVR");
  for (const char* folder : {"Site/Floor/Cam", "Site/Floor/Other", "Yard/Gone"})
    Touch(std::string(folder) + "/26120801.vlj");
  ASSERT_EQ(BuildOldRecordingsBranch(TestTree()), 3);
  const GroupRecord& old = *root().children.back();
  const std::string base = TestPaths().pathData;
  const auto gone = [&](const std::string& relative) {
    fs::remove_all(fs::path(base) / relative);
    return RemoveGoneOldRecordings(root(), base, WithSlash(base) + relative);
  };

  // A folder that still exists, or that no entry lists, changes nothing.
  EXPECT_FALSE(RemoveGoneOldRecordings(root(), base, WithSlash(base) + "Site/Floor/Cam"));
  EXPECT_FALSE(gone("Elsewhere"));
  EXPECT_FALSE(RemoveGoneOldRecordings(root(), base, "/tmp"));
  // The folder entry goes; its group entries stay while they hold another.
  EXPECT_TRUE(gone("Site/Floor/Cam"));
  EXPECT_EQ(Shape(old), "Site(-4,Site)[Floor(-4,Site/Floor)[Other(-3,Site/Floor/Other)]] Yard(-4,Yard)[Gone(-3,Yard/Gone)]");
  EXPECT_TRUE(gone("Site/Floor/Other"));
  EXPECT_EQ(Shape(old), "Yard(-4,Yard)[Gone(-3,Yard/Gone)]");
  // The last one takes the whole branch with it.
  EXPECT_TRUE(gone("Yard/Gone"));
  ASSERT_EQ(root().children.size(), 1u);
  EXPECT_EQ(root().children.front()->kind, EntryKind::LocalNVR);
}

TEST_F(OldRecordings, NothingLeftOverAddsNoBranchAndOddFoldersAreSkipped) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "NVR");
  GroupRecord& yard = add(nvr, EntryKind::Group, "Yard");
  add(yard, EntryKind::Device, "Door");
  Touch("Yard/Door/26120801.vlj");
  Touch("Yard/Door/26120801.vlx");
  EXPECT_EQ(BuildOldRecordingsBranch(TestTree()), 0);
  EXPECT_EQ(root().children.size(), 1u);
  EXPECT_EQ(AddOldRecordingsBranch(root(), {}), nullptr);

  // No recordings folder at all: nothing, and a log line rather than a failure.
  EXPECT_TRUE(FindOrphanFolders(root(), dir_ + "/Missing/").empty());
  EXPECT_NE(logText().find("old recordings: cannot list"), std::string::npos);

  // An unreadable folder is skipped; its readable neighbours are still listed.
  Touch("Locked/Cam/26120801.vlj");
  Touch("Open/26120801.vlj");
  const fs::path locked = fs::path(TestPaths().pathData) / "Locked";
  fs::permissions(locked, fs::perms::none);
  const bool enforced = ::access(locked.c_str(), R_OK) != 0;  // not for a superuser
  const std::set<std::string> found = FindOrphanFolders(root(), TestPaths().pathData);
  fs::permissions(locked, fs::perms::owner_all);
  if (enforced) EXPECT_EQ(found, (std::set<std::string>{"Open"}));
  else EXPECT_EQ(found, (std::set<std::string>{"Locked/Cam", "Open"}));

  // Nesting beyond the bound is not walked.
  std::string deep;
  for (int i = 0; i <= kOldRecordingsMaxDepth; ++i) deep += "d/";
  Touch(deep + "26120801.vlj");
  Touch("d/26120801.vlj");
  EXPECT_EQ(FindOrphanFolders(root(), TestPaths().pathData).count("d"), 1u);
  EXPECT_EQ(FindOrphanFolders(root(), TestPaths().pathData).count(deep.substr(0, deep.size() - 1)), 0u);
}

}  // namespace
}  // namespace velmora::test
