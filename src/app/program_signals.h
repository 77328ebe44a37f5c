// The program's cross-thread signals: the four events the main thread and the long-lived
// workers wait on, and the two flags the removal pass gives way to. Every user reaches
// them through programSignals(), or through a reference its owner handed it.
//
// Process-wide rather than owned by the program's Core, on purpose: a worker that did not
// end within the shutdown's wait (a scan in a slow folder, a removal pass on a slow disk, a
// playback read from a silent peer) still waits on them while the process exits, after the
// Core is gone; and the shutdown must be reachable from wherever it is asked for.
//
// Threads: any. Locks: each event has its own lock (platform::Event); the flags are atomics.
#pragma once

#include <atomic>

#include "platform/event.h"

namespace velmora {

struct ProgramSignals {
  // Set once by the ordered shutdown and never cleared; every long-lived worker leaves its
  // loop when it sees it.
  platform::Event shutdown{platform::Event::Reset::kManual};
  // Wakes the removable-media scan thread.
  platform::Event mediaScan{platform::Event::Reset::kAuto};
  // Wakes the network-scan thread.
  platform::Event networkScan{platform::Event::Reset::kAuto};
  // Clear while an automatic-removal pass deletes files; a folder rename and a new playback
  // feed wait for it (at most 1000 ms). Starts set: no pass runs.
  platform::Event deletePass{platform::Event::Reset::kManual, true};
  // Set when a device folder is renamed; the removal pass stops when it sees it and clears
  // it at the start of the next pass.
  std::atomic<bool> renaming{false};
  // Set while the operator plays recordings back (written by playback only); a removal
  // pass stops when it sees it.
  std::atomic<bool> playbackMode{false};
};

// The one ProgramSignals: created on first use and never destroyed.
ProgramSignals& programSignals();

}  // namespace velmora
