// The tree observer: every change of the tree's structure is told before (old shape) and
// after (new shape), so a window's item model can keep a mirror of the tree in step.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/device_transfer.h"
#include "model/fetch_error.h"
#include "model/group_record.h"
#include "model/model_fixture.h"
#include "model/tree_file.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::test {
namespace {

std::vector<GroupRecord*> ChildrenOf(const GroupRecord& r) {
  std::vector<GroupRecord*> out;
  for (const auto& child : r.children) out.push_back(child.get());
  return out;
}

// Keeps its own copy of the tree from the notifications alone, the way an item model
// does, and checks at each call that the tree has the shape the call promises.
class MirrorObserver : public TreeObserver {
 public:
  std::map<const GroupRecord*, std::vector<GroupRecord*>> mirror;
  const GroupRecord* root = nullptr;
  std::vector<std::string> events;
  bool open = false;  // a begin without its end

  void rebuild(GroupRecord* top) {
    mirror.clear();
    root = top;
    if (top != nullptr) copy(*top);
  }

  // The mirror and the tree agree everywhere below the root.
  void expectInStep() const {
    ASSERT_NE(root, nullptr);
    expectSame(*root);
  }

  void beginInsert(GroupRecord& parent, int position, GroupRecord& record) override {
    begin("insert " + record.name);
    EXPECT_EQ(record.parent, nullptr);
    EXPECT_EQ(mirror.at(&parent), ChildrenOf(parent));
    EXPECT_LE(static_cast<std::size_t>(position), parent.children.size());
  }
  void endInsert(GroupRecord& parent, int position, GroupRecord& record) override {
    end();
    ASSERT_LT(static_cast<std::size_t>(position), parent.children.size());
    EXPECT_EQ(parent.children[static_cast<std::size_t>(position)].get(), &record);
    EXPECT_EQ(record.parent, &parent);
    auto& list = mirror.at(&parent);
    list.insert(list.begin() + position, &record);
    copy(record);
    expectSame(parent);
  }
  void beginRemove(GroupRecord& parent, int position, GroupRecord& record) override {
    begin("remove " + record.name);
    EXPECT_EQ(parent.children.at(static_cast<std::size_t>(position)).get(), &record);
    EXPECT_EQ(mirror.at(&parent), ChildrenOf(parent));
  }
  void endRemove(GroupRecord& parent, int position, GroupRecord& record) override {
    end();
    EXPECT_EQ(record.parent, nullptr);
    auto& list = mirror.at(&parent);
    list.erase(list.begin() + position);
    drop(record);
    expectSame(parent);
  }
  void beginMove(GroupRecord& record, GroupRecord& from, int fromPosition, GroupRecord& to,
                 int toPosition) override {
    begin("move " + record.name + " " + std::to_string(fromPosition) + "->" + to.name + "/" +
          std::to_string(toPosition));
    EXPECT_EQ(from.children.at(static_cast<std::size_t>(fromPosition)).get(), &record);
    EXPECT_EQ(record.parent, &from);
  }
  void endMove(GroupRecord& record, GroupRecord& from, int fromPosition, GroupRecord& to,
               int toPosition) override {
    end();
    EXPECT_EQ(to.children.at(static_cast<std::size_t>(toPosition)).get(), &record);
    EXPECT_EQ(record.parent, &to);
    auto& source = mirror.at(&from);
    source.erase(source.begin() + fromPosition);
    auto& target = mirror.at(&to);
    target.insert(target.begin() + toPosition, &record);
    expectSame(from);
    expectSame(to);
  }
  void beginReorder(GroupRecord& parent) override {
    begin("reorder " + parent.name);
    EXPECT_EQ(mirror.at(&parent), ChildrenOf(parent));
  }
  void endReorder(GroupRecord& parent) override {
    end();
    auto before = mirror.at(&parent);
    auto after = ChildrenOf(parent);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after) << "a reorder keeps the same children";
    mirror[&parent] = ChildrenOf(parent);
  }
  void beginReset(GroupRecord& top) override { begin("reset " + top.name); }
  void endReset(GroupRecord&) override {
    end();
    rebuild(TestTree().root.get());
  }
  void changed(GroupRecord& record) override {
    EXPECT_FALSE(open) << "a change inside a structure change";
    events.push_back("changed " + record.name);
  }

 private:
  void begin(const std::string& what) {
    EXPECT_FALSE(open) << "begin " << what << " inside another change";
    open = true;
    events.push_back(what);
  }
  void end() {
    EXPECT_TRUE(open) << "an end without its begin";
    open = false;
  }
  void copy(GroupRecord& record) {
    mirror[&record] = ChildrenOf(record);
    for (auto& child : record.children) copy(*child);
  }
  void drop(const GroupRecord& record) {
    for (GroupRecord* child : mirror[&record]) drop(*child);
    mirror.erase(&record);
  }
  void expectSame(const GroupRecord& record) const {
    auto it = mirror.find(&record);
    ASSERT_NE(it, mirror.end()) << record.name << " is not mirrored";
    EXPECT_EQ(it->second, ChildrenOf(record)) << "children of " << record.name;
    for (const auto& child : record.children) expectSame(*child);
  }
};

class TreeObserverTest : public ModelTest {
 protected:
  void TearDown() override {
    EXPECT_FALSE(observer_.open);
    ModelTest::TearDown();
  }
  // Adds an entry at `position` of `parent`.
  GroupRecord& addAt(GroupRecord& parent, std::size_t position, int32_t kind, const std::string& name) {
    auto record = CreateRecord(kind, name);
    InsertEntryAt(&parent, position, record);
    return *record;
  }
  static std::vector<std::string> Names(const GroupRecord& r) {
    std::vector<std::string> out;
    for (const auto& child : r.children) out.push_back(child->name);
    return out;
  }
  MirrorObserver observer_;
};

TEST_F(TreeObserverTest, InsertsMovesSortsAndRemovesKeepAMirrorInStep) {
  GroupRecord& top = root();
  observer_.rebuild(&top);
  Installation watching = Installed<TreeObserver>::install(observer_);
  ASSERT_TRUE(watching);
  GroupRecord& nvr = add(top, EntryKind::LocalNVR, "All Views");
  GroupRecord& yard = add(nvr, EntryKind::Group, "Yard");
  GroupRecord& hall = add(nvr, EntryKind::Group, "hall");
  add(yard, EntryKind::Device, "b");
  addAt(yard, 0, EntryKind::Device, "D");
  addAt(yard, 1, EntryKind::Device, "a");
  addAt(yard, 99, EntryKind::Device, "c");  // past the end: appended
  EXPECT_EQ(Names(yard), (std::vector<std::string>{"D", "a", "b", "c"}));

  // A record already in a tree is not inserted a second time.
  InsertEntry(&hall, yard.children[0]);
  EXPECT_TRUE(hall.children.empty());

  // Within one parent, down and up; positions count in the list after the move.
  GroupRecord& d = *yard.children[0];
  EXPECT_TRUE(MoveEntry(d, yard, 2));
  EXPECT_EQ(Names(yard), (std::vector<std::string>{"a", "b", "D", "c"}));
  EXPECT_TRUE(MoveEntry(d, yard, 0));
  EXPECT_EQ(Names(yard), (std::vector<std::string>{"D", "a", "b", "c"}));
  EXPECT_TRUE(MoveEntry(d, yard, 99));
  EXPECT_EQ(Names(yard), (std::vector<std::string>{"a", "b", "c", "D"}));
  const std::size_t eventsBefore = observer_.events.size();
  EXPECT_TRUE(MoveEntry(d, yard, 3));  // where it already is: nobody is told
  EXPECT_EQ(observer_.events.size(), eventsBefore);

  // To another parent, with its subtree; never into its own subtree.
  GroupRecord& server = add(yard, EntryKind::ServerDevice, "srv");
  add(server, EntryKind::ServerCamera, "Camera 1");
  EXPECT_TRUE(MoveEntry(server, hall, 0));
  EXPECT_EQ(server.parent, &hall);
  EXPECT_FALSE(MoveEntry(hall, server, 0));
  EXPECT_FALSE(MoveEntry(hall, hall, 0));
  EXPECT_FALSE(MoveEntry(top, nvr, 0));  // the root has no parent
  EXPECT_TRUE(MoveEntry(yard, hall, 1));
  EXPECT_EQ(Names(hall), (std::vector<std::string>{"srv", "Yard"}));

  // Sorting ignores case and keeps equal names in order; a sorted list tells nobody.
  add(yard, EntryKind::Device, "A");
  SortChildren(yard);
  EXPECT_EQ(Names(yard), (std::vector<std::string>{"a", "A", "b", "c", "D"}));
  const std::size_t afterSort = observer_.events.size();
  SortChildren(yard);
  EXPECT_EQ(observer_.events.size(), afterSort);

  // A rename and an overlay refresh are changes of one record, not of the structure.
  RenameEntry(*yard.children[0], "e");
  RefreshItemState(server);

  std::shared_ptr<GroupRecord> removed = RemoveEntry(yard);
  EXPECT_EQ(removed.get(), &yard);
  EXPECT_EQ(RemoveEntry(yard).get(), &yard);  // already detached: nothing told
  observer_.expectInStep();
  EXPECT_EQ(observer_.mirror.count(&yard), 0u);

  EXPECT_EQ(observer_.events,
            (std::vector<std::string>{
                "insert All Views", "insert Yard", "insert hall", "insert b", "insert D",
                "insert a", "insert c", "move D 0->Yard/2", "move D 2->Yard/0",
                "move D 0->Yard/3", "insert srv", "insert Camera 1", "move srv 4->hall/0",
                "move Yard 0->hall/1", "insert A", "reorder Yard", "changed e", "changed srv",
                "remove Yard"}));

  // Taking the tree apart is a reset; the mirror is then empty below the root.
  DestroyTree(&top);
  EXPECT_EQ(observer_.events.back(), "reset <ROOT>");
  observer_.expectInStep();
  EXPECT_EQ(observer_.mirror.size(), 1u);
}

TEST_F(TreeObserverTest, LoadingPastingAndImportingTellEveryEntry) {
  // No root yet: loading creates it and the observer hears of it as a reset.
  Installation watching = Installed<TreeObserver>::install(observer_);
  ASSERT_TRUE(watching);
  WriteFile(TestPaths().deviceTreePath,
            "<?xml version=\"1.0\"?>\n<DeviceTree version=\"1.0\">"
            "<LocalNVR name=\"Site\"><Group name=\"Yard\">"
            "<Device name=\"Gate\"><Location>10.0.0.2</Location></Device>"
            "<ServerDevice name=\"Box\"><Location>10.0.0.3</Location><CameraList>"
            "<Camera name=\"Camera 1\"><Index>0</Index></Camera>"
            "<Camera name=\"Camera 2\"><Index>1</Index></Camera></CameraList></ServerDevice>"
            "</Group></LocalNVR></DeviceTree>\n");
  ASSERT_TRUE(InitTree(TestTree(), TestPaths().deviceTreePath));
  ASSERT_EQ(observer_.events.front(), "reset <ROOT>");
  observer_.expectInStep();
  ASSERT_EQ(observer_.mirror.size(), 7u);  // root, Site, Yard, Gate, Box and its two cameras

  // Pasting a copy of the server numbers it and adds it with its cameras.
  GroupRecord* yard = FindByName(TestTree().root.get(), "Yard", true);
  ASSERT_NE(yard, nullptr);
  const std::string text = DeviceText(*yard->children[1]);
  EXPECT_EQ(PasteDeviceText(TestTree(), yard, text), 2);
  observer_.expectInStep();
  EXPECT_EQ(observer_.mirror.size(), 10u);

  // Importing the saved file again merges every device into the running tree.
  ASSERT_TRUE(SaveTree(TestTree()));
  ImportDeviceFile(TestTree(), TestPaths().deviceTreePath);
  observer_.expectInStep();
  EXPECT_EQ(CountViewable(TestTree().root.get()), 10);
}

// A device's fetch error state reaches its entry once per change: every decoded frame
// reports "no error" again, and only a change is stored, redrawn and marked for the
// receivers after the core. Other messages are not this handler's.
TEST_F(TreeObserverTest, FetchErrorStateRedrawsTheEntryOnlyWhenItChanges) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "Site");
  GroupRecord& gate = add(nvr, EntryKind::Device, "Gate");
  observer_.rebuild(&root());
  Installation watching = Installed<TreeObserver>::install(observer_);
  ASSERT_TRUE(watching);
  auto report = [&](bool error) {
    AppMessage message = MsgFetchError{error, gate.shared_from_this(), false};
    EXPECT_TRUE(HandleFetchErrorMessage(message));
    return std::get<MsgFetchError>(message).changed;
  };
  EXPECT_TRUE(report(true));
  EXPECT_TRUE(gate.errorShown);
  EXPECT_FALSE(report(true));
  EXPECT_TRUE(report(false));
  EXPECT_FALSE(gate.errorShown);
  EXPECT_FALSE(report(false));
  EXPECT_EQ(observer_.events, (std::vector<std::string>{"changed Gate", "changed Gate"}));

  AppMessage lost = MsgFetchError{true, nullptr, false};
  EXPECT_TRUE(HandleFetchErrorMessage(lost));
  EXPECT_FALSE(std::get<MsgFetchError>(lost).changed);
  AppMessage other = MsgScanAllMedia{};
  EXPECT_FALSE(HandleFetchErrorMessage(other));
}

}  // namespace
}  // namespace velmora::test
