// The entry the views show when they are refreshed: the saved view of the settings.
//
// Main thread only (the tree and the settings are the main thread's).
#pragma once

#include "model/group_record.h"

namespace velmora {

// The entry whose devices the views show again when they are refreshed: the one named
// by the settings' viewName (anywhere in the tree, ignoring case), else the first
// top-level entry, whose name then becomes viewName (`viewNameChanged` set: the settings
// are to be saved). Null for a tree without entries.
GroupRecord* SavedViewEntry(GroupRecord& root, Settings& settings, bool* viewNameChanged);

}  // namespace velmora
