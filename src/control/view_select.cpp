#include "control/view_select.h"

#include <algorithm>

#include "live/view_slot.h"
#include "model/group_record.h"

namespace velmora {

TilePick PickPlaybackSlots(ViewSlots& slots, int& anchor, int tile, bool ctrl, bool shift) {
  TilePick pick;
  if (slots.at(tile) == nullptr) return pick;
  if (ctrl) {
    if (slots.PlaybackSlot(tile) < 0) {
      const int free = slots.LowestFreePlaybackSlot();
      if (free < 0) {
        pick.beep = true;
        return pick;
      }
      slots.SetPlaybackSlot(tile, free);
      anchor = tile;
    } else {
      slots.SetPlaybackSlot(tile, -1);
      anchor = -1;
    }
    pick.changed.push_back(tile);
    return pick;
  }
  if (shift) {
    if (slots.at(anchor) == nullptr) return pick;
    const int first = std::min(anchor, tile);
    const int last = std::max(anchor, tile);
    if (last - first + 1 > kPlaybackSlotCount) {
      pick.beep = true;
      return pick;
    }
    for (int t = first; t <= last; ++t) {
      if (slots.PlaybackSlot(t) >= 0) continue;
      const int free = slots.LowestFreePlaybackSlot();
      if (free < 0) break;
      slots.SetPlaybackSlot(t, free);
      pick.changed.push_back(t);
    }
    return pick;
  }
  for (int t = 0; t < viewSlotCount; ++t) {
    if (t == tile || slots.PlaybackSlot(t) < 0) continue;
    slots.SetPlaybackSlot(t, -1);
    pick.changed.push_back(t);
  }
  if (slots.PlaybackSlot(tile) != 0) {
    slots.SetPlaybackSlot(tile, 0);
    pick.changed.push_back(tile);
  }
  anchor = tile;
  return pick;
}

void ClearPlaybackSlots(ViewSlots& slots, int& anchor) {
  for (int t = 0; t < viewSlotCount; ++t) {
    if (slots.PlaybackSlot(t) >= 0) slots.SetPlaybackSlot(t, -1);
  }
  anchor = -1;
}

void MarkOnlyTile(ViewSlots& slots, int tile) {
  for (int t = 0; t < viewSlotCount; ++t) {
    ViewSlot* slot = slots.at(t);
    const bool want = t == tile;
    if (slot->Selected() != want) slot->SetSelected(want);
  }
}

namespace {

void MarkBelow(ViewSlots& slots, const GroupRecord* node) {
  if (node == nullptr) return;
  switch (node->kind) {
    case EntryKind::LocalNVR:
    case EntryKind::Group:
    case EntryKind::ServerDevice:
      for (const auto& child : node->children) MarkBelow(slots, child.get());
      break;
    case EntryKind::Device:
    case EntryKind::HTTPDevice:
    case EntryKind::NASDevice:
    case EntryKind::ServerCamera:
      if (ViewSlot* slot = slots.at(node->viewIndex)) slot->SetSelected(true);
      break;
    default:
      break;
  }
}

}  // namespace

void MarkSubtree(ViewSlots& slots, const GroupRecord* node, bool anyTileInUse) {
  for (int t = 0; t < viewSlotCount; ++t) {
    ViewSlot* slot = slots.at(t);
    if (slot->Selected()) slot->SetSelected(false);
  }
  if (anyTileInUse) MarkBelow(slots, node);
}

}  // namespace velmora
