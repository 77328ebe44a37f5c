// The saved view: the entry the views come back to when they are refreshed.
#include <gtest/gtest.h>

#include "app/settings.h"
#include "model/group_record.h"
#include "model/saved_view.h"

namespace velmora {
namespace {

// The views come back to the entry named by viewName, found anywhere in the tree in any
// letter case; without it the first top-level entry takes its place and its name.
TEST(ShowEntry, SavedViewIsFoundByNameOrFallsBackToTheFirstEntry) {
  const Settings saved = settings();
  auto root = CreateRecord(EntryKind::Root, kRootName);
  bool stored = true;
  EXPECT_EQ(SavedViewEntry(*root, &stored), nullptr);
  EXPECT_FALSE(stored);
  auto nvr = CreateRecord(EntryKind::LocalNVR, "All Views");
  InsertEntry(root.get(), nvr);
  auto yard = CreateRecord(EntryKind::Group, "Yard");
  InsertEntry(nvr.get(), yard);
  auto gate = CreateRecord(EntryKind::Device, "Gate");
  InsertEntry(yard.get(), gate);

  settings().viewName = "gate";
  EXPECT_EQ(SavedViewEntry(*root, &stored), gate.get());
  EXPECT_FALSE(stored);
  EXPECT_EQ(settings().viewName, "gate");
  settings().viewName = "Gone";
  EXPECT_EQ(SavedViewEntry(*root, &stored), nvr.get());
  EXPECT_TRUE(stored);
  EXPECT_EQ(settings().viewName, "All Views");
  DestroyTree(root.get());
  settings() = saved;
}

}  // namespace
}  // namespace velmora
