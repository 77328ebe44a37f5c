// Showing a tree entry: entries of recordings are shown in playback, every other entry
// live; playback running before is always left first. (The saved view the views come
// back to is the model's: tests/model/test_saved_view.cpp.)
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velmora::control
