// The saved view: the entry the views come back to when they are refreshed.
#include <gtest/gtest.h>

#include "app/settings.h"
#include "model/group_record.h"
#include "model/saved_view.h"
#include "test_tree.h"

namespace velmora {
namespace {

// The views come back to the entry named by viewName, found anywhere in the tree in any
// letter case; without it the first top-level entry takes its place and its name.
TEST(ShowEntry, SavedViewIsFoundByNameOrFallsBackToTheFirstEntry) {
  const Settings saved = velmora::test::TestSettings();
  auto root = CreateRecord(EntryKind::Root, kRootName);
  bool stored = true;
  EXPECT_EQ(SavedViewEntry(*root, velmora::test::TestSettings(), &stored), nullptr);
  EXPECT_FALSE(stored);
  auto nvr = CreateRecord(EntryKind::LocalNVR, "All Views");
  InsertEntry(root.get(), nvr);
  auto yard = CreateRecord(EntryKind::Group, "Yard");
  InsertEntry(nvr.get(), yard);
  auto gate = CreateRecord(EntryKind::Device, "Gate");
  InsertEntry(yard.get(), gate);

  velmora::test::TestSettings().viewName = "gate";
  EXPECT_EQ(SavedViewEntry(*root, velmora::test::TestSettings(), &stored), gate.get());
  EXPECT_FALSE(stored);
  EXPECT_EQ(velmora::test::TestSettings().viewName, "gate");
  velmora::test::TestSettings().viewName = "Gone";
  EXPECT_EQ(SavedViewEntry(*root, velmora::test::TestSettings(), &stored), nvr.get());
  EXPECT_TRUE(stored);
  EXPECT_EQ(velmora::test::TestSettings().viewName, "All Views");
  DestroyTree(root.get());
  velmora::test::TestSettings() = saved;
}

}  // namespace
}  // namespace velmora
