// The view slots of the tests that drive the program's playback (its controller picks the
// tiles, its output shows the frames): the playback's own, so that the view frame, the
// tree's removals and the playback a test drives see one set, as in the program.
#pragma once

#include "live/view_slot.h"
#include "playback/playback_thread.h"

namespace velmora::test {

inline ViewSlots& ProgramSlots() { return *programPlayback().shownSlots; }

}  // namespace velmora::test
