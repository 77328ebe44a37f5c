// When the periodic check drops a device's connection and connects again: the rules
// as pure functions of what the check knows at one tick, so they are tested without a
// network. The fetch engine (fetch.h) gathers the inputs under the device's fetchLock.
//
// - A device that never delivered, whose credentials were refused, or whose stream can
//   never be shown (a picture above the size limit, no key frame) is tried again 30 s
//   after its last activity.
// - An RTSP session bounds itself (its open, read and picture time-outs) and is left
//   alone while it runs. Once it has ended, a device that delivered before is tried
//   again about a second later; each further session that ends without a packet doubles
//   the wait, up to 8 s.
// - An HTTP connection that has not delivered its first frame yet has the connect
//   time-out (or the update delay when that is longer) from its start: a camera may
//   take seconds to start its encoder after the response header.
// - Otherwise an HTTP stream that falls silent for its update delay, at least one
//   second while a connection is present, is dropped; with no connection, the next
//   attempt is due once the update delay has passed since the last activity.
#pragma once

#include <cstdint>

namespace velmora {

constexpr uint32_t kRetryUnheardMs = 30000;     // never delivered, refused or unusable
constexpr uint32_t kMinStreamSilenceMs = 1000;  // a stream's shortest silence limit
constexpr uint32_t kRtspRetryFirstMs = 1000;    // an RTSP session's first retry
constexpr uint32_t kRtspRetryMaxMs = 8000;      // ... and the longest back-off

// What the periodic check knows of one device at one tick.
struct RetryState {
  bool connection = false;  // a connection (or RTSP session) is present
  bool running = false;     // ... and still working: socket open, session thread running
  bool rtsp = false;        // the device is read as an RTSP session
  bool frameSeen = false;   // the present connection has delivered a complete frame
  bool receivedData = false;  // the device delivered since it was enabled
  bool waitLong = false;      // credentials refused, or a stream that can never be shown
  uint32_t updateDelay = 0;
  uint32_t sinceActivityMs = 0;  // now - lastUpdateTick, in wrapping 32-bit arithmetic
  uint32_t sinceConnectMs = 0;   // now - connectTick
  uint32_t connectTimeoutMs = 10000;
  int32_t failures = 0;  // RTSP sessions in a row that ended without a packet
};

// How long the check waits, and from when.
struct RetryWait {
  uint32_t limitMs = 0;      // kRetryNever: not at all (a running RTSP session)
  bool fromConnect = false;  // counted from the connection's start, else from the last activity
};
constexpr uint32_t kRetryNever = UINT32_MAX;
RetryWait RetryWaitOf(const RetryState& state);

// True when the check acts now: drops the present connection, or connects when there
// is none.
bool RetryDue(const RetryState& state);

// The wait before an ended RTSP session of a device that has delivered is replaced:
// 1 s, then 2, 4 and 8 s for each session in a row that ended without a packet.
uint32_t RtspRetryDelayMs(int32_t failures);

}  // namespace velmora
