// Showing a tree entry: entries of recordings are shown in playback, every other entry
// live; playback running before is always left first.
#include <gtest/gtest.h>

#include "app/settings.h"
#include "control/show_entry.h"
#include "model/group_record.h"

namespace velmora::control {
namespace {

TEST(ShowEntry, RecordingsEntriesEnterPlaybackAndEveryShowLeavesARunningOne) {
  for (int32_t kind = EntryKind::RemovableDrive; kind <= EntryKind::NASDevice; ++kind) {
    if (kind == EntryKind::Root) continue;
    auto entry = CreateRecord(kind, "x");
    const bool recordings = kind <= EntryKind::OldRecordingsFolder;
    EXPECT_EQ(IsRecordingsEntry(*entry), recordings) << kind;

    const ShowPlan live = PlanShowEntry(*entry, false);
    EXPECT_FALSE(live.leavePlayback) << kind;
    EXPECT_EQ(live.enterPlayback, recordings) << kind;

    // During playback the old feed goes first; recordings come back with a feed of
    // their own, anything else stays live.
    const ShowPlan played = PlanShowEntry(*entry, true);
    EXPECT_TRUE(played.leavePlayback) << kind;
    EXPECT_EQ(played.enterPlayback, recordings) << kind;
  }
}

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
}  // namespace velmora::control
