// Removable drives in the device tree: queueing drive scans when drives arrive, adding
// what a scan found as a drive branch (kinds -8, -7, -6) at the top of the tree, and
// removing a drive's branch when the drive goes, clearing the tiles that showed its
// folders. Core behaviour: the headless program runs it as the window does, through
// HandleMediaMessage on the main thread.
//
// Main thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/scan_node.h"
#include "model/group_record.h"
#include "platform/mount_table.h"

namespace velmora {

class PlaybackController;
class ViewSlots;

// Where the program reads the mount table and sysfs, and which mount roots count: the
// default source with the extra roots of the mediaMountRoots setting. The Core builds
// its own when the watch starts and hands it to those that list the drives.
platform::MountTableSource MediaSourceFromSettings(const Settings& settings);

// The mount watch's report: posts a drive's arrival or removal (MsgShellChange, 32776) to the
// main queue. Runs on the watch's thread.
void PostDriveChange(const platform::RemovableMount& mount, bool added);

// The first top-level drive entry (kind -8) whose path is `path`; null when none.
GroupRecord* FindDriveBranch(GroupRecord& root, const std::string& path);

// A drive arrived: queues its scan unless a top-level entry already has `path` (the
// drive is shown) or its scan waits already. An empty display name becomes the mount
// point's last name. True when a scan was queued.
bool QueueDriveScan(GroupRecord& root, const std::string& path, const std::string& displayName,
                    const std::string& device = std::string());
// Message 32792: queues a scan of every removable drive in `mounts`. Returns the number
// queued.
int ScanAllMedia(GroupRecord& root, const std::vector<platform::RemovableMount>& mounts);

// Message 32791: adds the scan result under `root` ("srm_add: ..." for each node added):
// the drive entry and, in order, its folders; a node without children is added only
// when it is a recordings folder (-6). A drive already shown is not added twice, and a
// drive that went while it was scanned is not added. Returns the drive entry added, or
// null.
GroupRecord* AddScanResult(GroupRecord& root, const ScanNode& node);

// Called for each recordings folder of a removed branch that a tile shows.
using ClearFolderTile = std::function<void(GroupRecord& folder)>;
// A drive went: its waiting scan is dropped and the first top-level drive entry of the
// tree with that path is removed with its subtree ("%s: deleting '%s'" logged). True when
// an entry was removed.
bool RemoveDriveBranch(DeviceTree& tree, const std::string& path, const ClearFolderTile& clearTile);

// Empties the tile that shows `folder` (a recordings folder whose drive went): the tile
// shows "No View Selected" and loses its playback slot, and the folder its tile. True
// when the tile was played.
bool ClearRemovedFolderTile(GroupRecord& folder, ViewSlots& slots);
// After the tiles of a removed drive were cleared (`played`: one of them was played): in
// playback mode, playback is left when no played tile remains; otherwise the remaining
// tiles get a feed of the same range without the drive's files.
void FollowRemovedTiles(bool played, ViewSlots& slots, PlaybackController& playback);
// Both, for the view slots of the given playback: removes the drive's branch.
bool RemoveDriveBranchShown(DeviceTree& tree, const std::string& path, PlaybackController& playback);

// Whether a drive entry stands for an optical drive (its device node is "sr*").
bool IsOpticalDrive(const GroupRecord& drive);

// The main-thread handling of MsgShellChange (32776: drive added or removed),
// MsgMediaScanResult (32791) and MsgScanAllMedia (32792, the drives listed from `source`)
// on `tree`, and `playback` with its view slots. True when the message was one.
bool HandleMediaMessage(AppMessage& message, DeviceTree& tree, const platform::MountTableSource& source,
                        PlaybackController& playback);

}  // namespace velmora
