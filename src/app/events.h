// Process-wide events shared by the main thread and the long-lived workers.
#pragma once

#include "platform/event.h"

namespace velmora {

// Set once by the ordered shutdown and never cleared; every long-lived worker leaves
// its loop when it sees it.
platform::Event& shutdownEvent();
// Wakes the removable-media scan thread.
platform::Event& mediaScanEvent();
// Wakes the network-scan thread.
platform::Event& networkScanEvent();
// Clear while an automatic-removal pass deletes files; a folder rename and a new
// playback feed wait for it (at most 1000 ms).
platform::Event& deletePassEvent();

}  // namespace velmora
