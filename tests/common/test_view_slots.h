// The view slots of the tests that show devices in tiles without the program's playback
// (fetch, stream and recorder tests): one set for the test program, as the program has.
// Never destroyed: a fetch worker of an earlier test may still store a frame while the
// test program ends.
#pragma once

#include "live/view_slot.h"

namespace velmora::test {

inline ViewSlots& TestViewSlots() {
  static auto* shown = new ViewSlots;
  return *shown;
}

}  // namespace velmora::test
