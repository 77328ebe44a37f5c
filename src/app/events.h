// Process-wide events shared by the main thread and the long-lived workers. They stay
// process-wide rather than owned by the program's Core: a worker that did not end within
// the shutdown's wait (a scan in a slow folder, a removal pass on a slow disk) still waits
// on them while the process exits, after the Core is gone.
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
