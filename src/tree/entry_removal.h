// Removing an entry from the device tree with what it holds running: its view tile, its
// fetch and its open recording files go, and the folders it leaves empty below the
// recordings folder. The window's Delete and the removal of a removable drive's branch
// (headless too) both come here.
//
// Main thread only. Takes an entry's fetchLock (its tile indices) and the tree's
// recording lock (before deleting a leftover folder's files), each alone.
#pragma once

#include <functional>

#include "model/group_record.h"

namespace velmora {

// An entry leaving the views: it no longer names a tile (under its fetchLock), and the
// tile it had shows "No View Selected" without image, error or playback mark.
void ReleaseViewSlot(GroupRecord& entry);

// Removes one entry of `tree` with its subtree, children first, and logs each: it lets go
// of its tile (see ReleaseViewSlot; removable media's folders through `clearViewSlot`);
// empty folders below the tree's recordings folder are removed (recordings are never
// deleted), except that a leftover recordings folder (kind -3) loses its data, index and
// marker files first, unless an entry of the tree records there now (checked under the
// tree's recording lock): then its files stay and the result is false. `clearViewSlot` is called for a recordings
// folder on removable media shown in a view slot.
bool RemoveNode(DeviceTree& tree, GroupRecord& entry, const std::function<void(GroupRecord&)>& clearViewSlot = {});

}  // namespace velmora
