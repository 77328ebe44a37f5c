// Recordings whose device is gone: folders under the recordings folder that hold hour
// files but belong to no tree entry. At start they are listed in the tree under the
// "Old Recordings With No Live View" entry (kind -5), each folder as a kind -3 entry
// whose `path` is relative to the recordings folder, with the folders above it as kind
// -4 entries, so they can be played back and deleted. These entries are never written
// to the tree file.
#pragma once

#include <set>
#include <string>

#include "model/group_record.h"

namespace velmora {

// Folders nested deeper than this below the recordings folder are not looked at.
constexpr int kOldRecordingsMaxDepth = 32;

// The folders below `pathData` (ending with "/") that hold a ".vlj" or ".vlx" file (any
// letter case) and are no entry's recordings folder, relative to `pathData`, sorted.
// Links are not followed; folders that cannot be listed are skipped (logged).
std::set<std::string> FindOrphanFolders(const GroupRecord& root, const std::string& pathData);

// Adds the branch for `orphans` at the top of the tree under `root`: the kind -5 entry,
// then for each folder a kind -4 entry per folder above it (shared between folders) and
// a kind -3 entry for the folder itself. Returns the kind -5 entry; null when there are
// no orphans.
GroupRecord* AddOldRecordingsBranch(GroupRecord& root, const std::set<std::string>& orphans);

// Start-up: finds the leftover folders under the tree's recordings folder and adds their
// branch to the tree (its root created when missing). Returns the number of kind -3
// entries added.
int BuildOldRecordingsBranch(DeviceTree& tree);

// The removal pass emptied and removed `folder` (absolute): the kind -3 entry for it goes,
// with the kind -4 entries and the kind -5 entry it leaves empty. Nothing happens while
// the folder still exists. Returns whether an entry was removed.
bool RemoveGoneOldRecordings(GroupRecord& root, const std::string& pathData, const std::string& folder);

// An entry of the tree may take a listed folder over (a device added, pasted, imported,
// renamed or moved to the name of the device that left it): the recorder then writes
// there again, and the folder is no leftover any more. Every kind -3 entry whose folder
// an entry of the tree (not one found by a scan) now owns leaves the tree, with the
// kind -4 and -5 entries it leaves empty. Returns the number of kind -3 entries removed.
int ReleaseOwnedOldRecordings(GroupRecord& root, const std::string& pathData);
// The same for a tree and its recordings folder (nothing without a root).
int ReleaseOwnedOldRecordings(DeviceTree& tree);

// The entry of the tree (not one found by a scan) whose recordings folder is `folder`
// (absolute): by its path below `pathData`, by a storage entry's location, or because
// both name one folder on disk (a device folder may be a link). Null when none is.
const GroupRecord* RecordingsFolderOwner(const GroupRecord& root, const std::string& pathData,
                                         const std::string& folder);

}  // namespace velmora
