// What the window shows about the device tree's selected entry.
#pragma once

#include <string>

#include "model/group_record.h"

namespace velmora::control {

// The status bar text for a selected entry: this recorder's name; a group's or storage
// folder's path; for cameras, video servers, web images and server inputs the path
// followed by "  [url=..." with the device's URL, ", hwaddr=..." when the hardware
// address is set (and not "000000-000000") and "]"; empty for other kinds. Building the
// URL normalises the entry's location (see DeviceUrl).
std::string SelectionStatusText(GroupRecord& record);

// Whether any entry below `start` (itself included) is shown in a view tile.
bool AnyTileInUse(const GroupRecord* start);

// Whether the entry's label may be edited in place: always for this recorder's entry;
// for the others only outside playback and never for removable media and leftover
// recordings, whose names come from what was found on disk.
bool CanEditLabel(const GroupRecord& record, bool playbackMode);

}  // namespace velmora::control
