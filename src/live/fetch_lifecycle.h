// Which devices are fetched: the view assignment that gives the devices under a shown
// node their view slots (starting or reusing their fetches), the stop pass that ends
// the fetches nobody looks at or records, and the start of a node's showing in the
// view slots. All of it runs on the main thread.
#pragma once

#include <string>

namespace velmora {

struct GroupRecord;
class ViewSlots;

// The most slots one assignment hands out (the view slots, and never more than the
// tree's viewable entries).
constexpr int kMaxAssignedSlots = 1024;

struct ViewAssignment {
  int slotsGiven = 0;    // slots handed out
  int enabledFound = 0;  // enabled assignable entries found (sets the scroll range)
};

// Sets viewIndex -1 on every entry below (and including) root.
void ClearViewIndices(GroupRecord* root);

// Gives slots 0, 1, ... in tree order to the enabled entries of kinds 2, 4, 5, -2, -3
// and -6 under node, while slots remain (at most slotLimit). A device already fetched
// is reused ("reusing fetch %d->%d/%s"; its slot's caption becomes "Connecting to %s"
// when the slot number changed); any other device is started ("starting fetch %d/%s",
// caption "Connecting to %s", fetchActive set, connect). Recordings folders (-3, -6)
// are not fetched: their slot shows their name and takes the lowest free playback slot.
// Every entry given a slot is shown in `shown` (its shownIn).
ViewAssignment AssignViews(GroupRecord* node, int slotLimit, ViewSlots& shown);

// Over the whole tree, children first: a fetched device that got no slot is stopped,
// unless recording is on globally and for the device (then it keeps its connection and
// "removing view %d/%s" is logged when it had a slot). Finally every entry's
// fetchIndex becomes its viewIndex.
void StopPass(GroupRecord* root);

// Steps of showing a node that concern the view slots and fetches: every slot's
// playback slot, selection and frozen flag reset; the view assignment from node after
// all view indices were cleared, then the stop pass over the tree from root; every slot
// from the first unused one to the last shows "No View Selected".
ViewAssignment ShowNodeInSlots(GroupRecord* root, GroupRecord* node, ViewSlots& shown);

// "Connecting to %s" with the name.
std::string ConnectingCaption(const std::string& name);

}  // namespace velmora
