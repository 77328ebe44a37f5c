// Picking tiles without widgets: the playback slots that a click with Ctrl or Shift
// gives or takes (with the range-selection anchor), the selection corners of the picked
// tile, and the corners on every tile of a selected subtree of the device tree.
#pragma once

#include <vector>

namespace velmora {

class ViewSlots;
struct GroupRecord;

struct TilePick {
  bool beep = false;          // the slots ran out (or the range was too long): nothing more happens
  std::vector<int> changed;   // tiles whose playback slot changed (to repaint)
};

// Playback slots when tile t is picked outside playback mode:
// - Ctrl: t without a slot gets the lowest free one and becomes the anchor (a beep when
//   all sixteen are taken); t with a slot loses it and the anchor becomes -1.
// - Shift (without Ctrl) with an anchor: every tile from the anchor to t without a slot
//   gets the lowest free one (a beep, and no change, when the range holds more than 16
//   tiles); without an anchor nothing changes.
// - Neither: every slot is cleared, t gets slot 0 and becomes the anchor.
TilePick PickPlaybackSlots(ViewSlots& slots, int& anchor, int tile, bool ctrl, bool shift);

// Clears every playback slot and the anchor (a new view, or playback chosen for one tile).
void ClearPlaybackSlots(ViewSlots& slots, int& anchor);

// Selection corners on tile t only.
void MarkOnlyTile(ViewSlots& slots, int tile);

// Selection change in the device tree: every corner is cleared; then, when some tile is
// in use, the tiles of the subtree are marked (this recorder, groups and video servers
// pass to their children; cameras, web images, storage folders and camera inputs mark
// their own tile).
void MarkSubtree(ViewSlots& slots, const GroupRecord* node, bool anyTileInUse);

}  // namespace velmora
