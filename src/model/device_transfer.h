// Moving devices between trees and between instances: the DEVICE text placed on the
// clipboard by Copy and read back by Paste, and the import of device files. Nothing
// here touches a clipboard or a dialog; the window passes texts and file names in.
#pragma once

#include <string>
#include <string_view>

#include "model/group_record.h"

namespace velmora {

// The clipboard format name and the MIME type that carries it.
constexpr const char* kDeviceClipboardFormat = "Velmora_GROUPRECORD";
constexpr const char* kDeviceClipboardMime = "application/x-velmora-grouprecord";

// Copy and Cut apply to devices, video servers, web images and storage folders.
bool CanCopyEntry(const GroupRecord* entry);
// Paste applies with a group, device, video server, web image, storage folder or a
// camera of a video server selected.
bool CanPasteInto(const GroupRecord* entry);

// The DEVICE document of one entry, written as the tree file writes the entry (tabs
// from level 0, line feeds, no declaration). Empty for an entry that cannot be copied.
std::string DeviceText(const GroupRecord& entry);

// The group a paste with `selected` goes into: a server camera moves to its server,
// then anything that is not a group moves to its parent. Null when that is no group.
GroupRecord* PasteTarget(GroupRecord* selected);

// Returned by a paste when a device finds no free name in the group (its name and its
// 999 numbered names are all taken): nothing was added.
constexpr int kNoFreeName = -2;

// Adds the devices of a DEVICE text to `group` (GroupListInsertDeviceFromXML): each
// keeps its UUID, is numbered when its name is taken, gets its path and its newest
// recorded image. What was read before a parse error is added. Returns the number of
// viewable entries added, or kNoFreeName (nothing added) when one of the devices would
// find no free name.
int InsertDevicesFromText(DeviceTree& tree, GroupRecord& group, std::string_view text);

// The core of Paste: the text up to its first zero byte goes into the target group of
// `selected`, then the tree is saved. Returns the entries added, -1 without a target or for
// a text longer than a device file may be, kNoFreeName when a device finds no free name.
// Leftover-recordings entries whose folder a pasted device now owns leave the tree.
// Recording fetches are not started here.
int PasteDeviceText(DeviceTree& tree, GroupRecord* selected, std::string_view text);

// The core of Import Device File: merges the file into the tree (or adds the default
// entries when it cannot be read), applies the recording state to the whole tree and
// saves it. Returns true when the file was read; *saved (when given) tells whether the
// tree file was written.
bool ImportDeviceFile(DeviceTree& tree, const std::string& filePath, bool* saved = nullptr);

// True for a name ending in ".xml", compared without regard to case.
bool IsDeviceFileName(const std::string& filePath);
// A file dropped on the main window: a device file is logged and imported; any other
// file is ignored (false).
bool ImportDroppedFile(DeviceTree& tree, const std::string& filePath);

}  // namespace velmora
