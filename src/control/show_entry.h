// The entry whose devices the views show again when they are refreshed.
//
// Main thread only.
#pragma once

#include "model/group_record.h"

namespace velmora::control {

// The entry whose devices the views show again when they are refreshed: the one named
// by viewName (anywhere in the tree, ignoring case), else the first top-level entry,
// whose name then becomes viewName (`viewNameChanged` set: the settings are to be
// saved). Null for a tree without entries.
GroupRecord* SavedViewEntry(GroupRecord& root, bool* viewNameChanged);

}  // namespace velmora::control
