// Changing a device that may be fetched and recorded right now. Workers read a device's
// name, path, location, credentials and its recording and motion settings while they hold
// its fetchLock (and the recorder its recordLock under the tree's recording lock); every change the
// window makes to those fields goes through the functions here, which take the locks in
// the one order the program uses (fetchLock, then the tree's recording lock, then recordLock), close
// the recording files and move the recordings folder before the new path is used.
//
// Main thread only (the tree's structure is the main thread's).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "model/group_record.h"

namespace velmora::control {

// What an edit did. `messageId` is the number of the string the window shows (0 when
// there is nothing to say), for example 392 when the recordings folder could not be
// renamed; `ok` is false when the edit was refused or undone.
//
// Names: an empty name (only blanks) is refused with 130 (266 for a web image), a name
// with one of \ : * ? " < > | with 131, a name another entry of the group already has
// (compared without case; NameInUse) with 377; the rest is cleaned (CleanName: "/" becomes "_",
// blanks trimmed, at most 48 characters). When the recordings folder cannot be moved
// (another folder of that name holds recordings, say) the rename or move is refused
// with 392 and nothing changes: the recorder already posted the status text with the
// system's error code, and the device goes on recording into its old folder, so no
// recording is separated from its device. The files of the subtree are closed either way.
// "Error renaming folder for recorded images (%d)!"
inline constexpr int kStringFolderRenameFailed = 392;

struct EditResult {
  bool ok = true;
  int messageId = 0;
  int systemError = 0;  // the system's error code for kStringFolderRenameFailed's "%d"
};

// A copy of the entry's saved configuration now (read under its fetchLock), for the
// property pages, a rename, Enabled and Recording to change and hand back.
DeviceConfig ReadDeviceSettings(GroupRecord& entry);

// Applies a changed configuration to the entry (what the operator cannot edit there --
// kind, identity, the certificate and authentication scheme learnt meanwhile -- stays
// as the entry has it now): a new name is cleaned (CleanName) and, with the
// paths of the entry and everything below it, changed under the locks after the
// recording files of the subtree are closed and its recordings folders renamed; the
// other fields are written under the entry's fetchLock. The fetch is restarted when
// the location or credentials (or when the password is sent) changed, and the recording
// state applied afterwards. (The update delay and the motion type also restart it: both
// change what is asked of the camera.) A video server copies its location, credentials
// and "send the password only when asked" to its cameras.
// Disabling an entry clears `recording` and `receivedData`; enabling it sets
// `lastUpdateTick` to 0 for an immediate update check. A renamed entry's tile caption
// follows; a view whose `viewName` names a renamed group is the caller's to update.
// For an entry being added (`isNew`, not in the tree yet) the fields are written
// directly, with no folder moved and no recording state applied.
EditResult ApplyDeviceSettings(DeviceTree& tree, GroupRecord& entry, const DeviceConfig& settings);

// Renames the entry (any kind the rename rules allow): the same as ApplyDeviceSettings
// with only the name changed.
EditResult RenameEntryLive(DeviceTree& tree, GroupRecord& entry, const std::string& name);

// Moves the entry with its subtree to `position` of `newParent`'s children (as
// MoveEntry counts it), renames its recordings folders from the old paths to the new
// ones under the locks, and applies the recording state. `ok` is false, with nothing
// changed, when MoveEntry refuses the move. Names are kept: numbering a name that
// collides in the new parent is the caller's (rename first, then move). Moving within
// the same parent only changes the order.
EditResult MoveEntryLive(DeviceTree& tree, GroupRecord& entry, GroupRecord& newParent, std::size_t position);

// Enabled and Recording of one entry, applied under its fetchLock, then the recording
// state of the entry applied (fetch started or stopped, files closed).
void SetEnabledLive(const DeviceTree& tree, GroupRecord& entry, bool enabled);
void SetRecordingLive(const DeviceTree& tree, GroupRecord& entry, bool recording);

// The view slot fields the playback side changes while a device may be fetched.
void SetStillShownLive(GroupRecord& entry, bool stillShown);

// DeviceUrl of the entry under its fetchLock (DeviceUrl also tidies `location`).
std::string DeviceUrlLive(GroupRecord& entry);

// Flips bit `bit` (0-15, row x 4 + column) of the entry's motion zones at once, as the
// zone picker does on a click. Returns the new grid; a bit outside 0-15 changes nothing.
uint16_t ToggleZoneLive(GroupRecord& entry, int bit);

}  // namespace velmora::control
