// Picking tiles: playback slots given and taken by plain, Ctrl and Shift clicks with the
// range anchor, and the selection corners of a tile or of a device subtree.
#include <gtest/gtest.h>

#include <vector>

#include "control/view_select.h"
#include "live/view_slot.h"
#include "model/group_record.h"

namespace velmora {
namespace {

std::vector<int> SlotsOf(const ViewSlots& slots, int first, int last) {
  std::vector<int> out;
  for (int t = first; t <= last; ++t) out.push_back(slots.PlaybackSlot(t));
  return out;
}

TEST(ViewSelect, PlainCtrlAndShiftClicksEditPlaybackSlotsAroundTheAnchor) {
  ViewSlots slots;
  int anchor = -1;

  // Shift without an anchor changes nothing.
  TilePick pick = PickPlaybackSlots(slots, anchor, 4, false, true);
  EXPECT_TRUE(pick.changed.empty());
  EXPECT_FALSE(pick.beep);
  EXPECT_EQ(slots.LowestFreePlaybackSlot(), 0);

  // A plain click: the tile alone gets slot 0 and becomes the anchor.
  slots.SetPlaybackSlot(9, 3);
  pick = PickPlaybackSlots(slots, anchor, 2, false, false);
  EXPECT_EQ(anchor, 2);
  EXPECT_EQ(slots.PlaybackSlot(2), 0);
  EXPECT_EQ(slots.PlaybackSlot(9), -1);
  EXPECT_EQ(pick.changed, (std::vector<int>{9, 2}));

  // Ctrl adds tiles with the lowest free slots; the last one added is the anchor.
  PickPlaybackSlots(slots, anchor, 7, true, false);
  PickPlaybackSlots(slots, anchor, 5, true, false);
  EXPECT_EQ(SlotsOf(slots, 2, 7), (std::vector<int>{0, -1, -1, 2, -1, 1}));
  EXPECT_EQ(anchor, 5);
  // Ctrl on a tile with a slot takes it away and drops the anchor; the freed slot is reused.
  PickPlaybackSlots(slots, anchor, 2, true, false);
  EXPECT_EQ(slots.PlaybackSlot(2), -1);
  EXPECT_EQ(anchor, -1);
  PickPlaybackSlots(slots, anchor, 10, true, false);
  EXPECT_EQ(slots.PlaybackSlot(10), 0);
  EXPECT_EQ(anchor, 10);

  // Shift from the anchor (either direction) fills the tiles without a slot.
  pick = PickPlaybackSlots(slots, anchor, 4, false, true);
  EXPECT_EQ(SlotsOf(slots, 4, 10), (std::vector<int>{3, 2, 4, 1, 5, 6, 0}));
  EXPECT_EQ(pick.changed, (std::vector<int>{4, 6, 8, 9}));
  EXPECT_EQ(anchor, 10) << "the anchor stays where it was";

  // Ctrl and Shift together act as Ctrl.
  PickPlaybackSlots(slots, anchor, 30, true, true);
  EXPECT_EQ(slots.PlaybackSlot(30), 7);
  EXPECT_EQ(anchor, 30);
}

TEST(ViewSelect, RunningOutOfSlotsBeepsAndLongRangesAreRefused) {
  ViewSlots slots;
  int anchor = -1;
  PickPlaybackSlots(slots, anchor, 0, false, false);
  // A range of 17 tiles is too long: a beep and no change.
  TilePick pick = PickPlaybackSlots(slots, anchor, 16, false, true);
  EXPECT_TRUE(pick.beep);
  EXPECT_TRUE(pick.changed.empty());
  EXPECT_EQ(slots.PlaybackSlot(16), -1);
  // 16 tiles fit exactly.
  pick = PickPlaybackSlots(slots, anchor, 15, false, true);
  EXPECT_FALSE(pick.beep);
  EXPECT_EQ(pick.changed.size(), 15u);
  EXPECT_EQ(slots.PlaybackSlot(15), 15);
  EXPECT_EQ(slots.LowestFreePlaybackSlot(), -1);
  // All sixteen taken: Ctrl on a new tile beeps and leaves the anchor.
  pick = PickPlaybackSlots(slots, anchor, 40, true, false);
  EXPECT_TRUE(pick.beep);
  EXPECT_EQ(slots.PlaybackSlot(40), -1);
  EXPECT_EQ(anchor, 0);
  // A range with no free slot left changes nothing but does not beep.
  PickPlaybackSlots(slots, anchor, 3, true, false);  // frees slot 3
  EXPECT_EQ(anchor, -1);
  PickPlaybackSlots(slots, anchor, 20, true, false);
  EXPECT_EQ(slots.PlaybackSlot(20), 3);
  pick = PickPlaybackSlots(slots, anchor, 25, false, true);
  EXPECT_FALSE(pick.beep);
  EXPECT_TRUE(pick.changed.empty());

  // Tiles outside the grid are ignored; clearing drops every slot and the anchor.
  EXPECT_TRUE(PickPlaybackSlots(slots, anchor, 100, false, false).changed.empty());
  ClearPlaybackSlots(slots, anchor);
  EXPECT_EQ(anchor, -1);
  EXPECT_EQ(slots.LowestFreePlaybackSlot(), 0);
}

TEST(ViewSelect, CornersMarkOneTileOrTheDevicesOfASubtree) {
  ViewSlots slots;
  auto group = CreateRecord(EntryKind::Group, "Yard");
  auto camera = CreateRecord(EntryKind::Device, "Gate");
  auto server = CreateRecord(EntryKind::ServerDevice, "Box");
  auto input = CreateRecord(EntryKind::ServerCamera, "Input 1");
  auto folder = CreateRecord(EntryKind::OldRecordingsFolder, "Old");
  camera->viewIndex = 2;
  input->viewIndex = 5;
  folder->viewIndex = 6;
  server->viewIndex = 7;  // a server's own index is not a tile of its own
  server->children.push_back(input);
  group->children = {camera, server, folder};

  MarkOnlyTile(slots, 9);
  slots.TakeDirty();
  MarkSubtree(slots, group.get(), true);
  std::vector<int> marked;
  for (int t = 0; t < viewSlotCount; ++t)
    if (slots.at(t)->Selected()) marked.push_back(t);
  EXPECT_EQ(marked, (std::vector<int>{2, 5}));
  EXPECT_EQ(slots.TakeDirty(), (std::vector<int>{2, 5, 9})) << "only changed corners are repainted";

  MarkSubtree(slots, camera.get(), false);
  EXPECT_FALSE(slots.at(2)->Selected()) << "no tile in use: corners cleared only";
  MarkOnlyTile(slots, 5);
  MarkOnlyTile(slots, 6);
  EXPECT_FALSE(slots.at(5)->Selected());
  EXPECT_TRUE(slots.at(6)->Selected());
}

}  // namespace
}  // namespace velmora
