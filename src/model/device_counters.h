// What a device has done since the program started, for the HTTP server's monitoring
// routes (/metrics, /healthz): frames received and recorded, bytes recorded,
// reconnects, when the last frame came, whether it is in a fetch error and whether it
// records now.
//
// The counters are written on the hot paths (a fetch worker's frame, the recorder's
// write) where the record's locks are already held, and read by the server's handler
// threads, which hold no lock of the record: so every field is a relaxed atomic, and the
// object is shared (GroupRecord::counters) so that a snapshot the server still holds may
// read it after the record left the tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace velmora {

struct DeviceCounters {
  // A time that has not happened (no frame yet, not recording).
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::min();

  // Complete frames the live connection delivered (those counted for the frame rate).
  // Written under fetchLock.
  std::atomic<uint64_t> framesReceived{0};
  // Index entries the recorder wrote, and the bytes of the records they point to
  // (a record whose index entry could not be written counts its bytes only). Written
  // under the files' recordLock.
  std::atomic<uint64_t> framesRecorded{0};
  std::atomic<uint64_t> bytesRecorded{0};
  // Connections started again after the device's first one (a retry after a lost or
  // failed connection, a forced refresh). Written under fetchLock.
  std::atomic<uint64_t> reconnects{0};
  // Steady milliseconds of the program clock of the last frame received; kNever before
  // the first. Written under fetchLock.
  std::atomic<int64_t> lastFrameMs{kNever};
  // The device reports a fetch error now (its error text is set). Written under fetchLock.
  std::atomic<bool> fetchError{false};
  // Since when (steady milliseconds) the device is an enabled recording device while
  // recording is on; kNever while it is not. Written by the main thread when it applies
  // the recording state.
  std::atomic<int64_t> recordingSinceMs{kNever};

  void add(std::atomic<uint64_t>& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }
};

}  // namespace velmora
