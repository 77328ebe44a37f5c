// The live connection of one device-tree entry: the fetch engine's connection object,
// where it connects, how far the current attempt has come, what the last attempts
// taught (refused credentials, an unusable stream, failures in a row), the HTTPS and
// Digest state, and the receive buffer with the bytes of the frame being read.
//
// It lives in the model, held by value in GroupRecord, because the record's fetchLock
// that guards it also guards the record's frame counters and view bookkeeping and is
// taken by the model, the device edit and the recorder; the model releases the buffer
// and the connection when the tree is taken apart, and the window reads the refused
// certificate to offer trusting it. A holder created by the fetch engine on first
// connect would need a lock of its own around the creation, and every reader a test for
// its absence.
//
// Threads and locks: every field is guarded by the owning record's fetchLock
// (GroupRecord::fetchLock): it is held while one network completion for the entry is
// processed.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

class LiveSession;      // live/live_session.h: the base of the fetch engine's connections
struct DigestSession;   // live/digest.h

// Connection states of `fetchState` (the fetch engine walks them in this order).
constexpr uint32_t STATE_CONNECTING = 1;
constexpr uint32_t STATE_CONNECTED = 2;
constexpr uint32_t STATE_HEADER = 3;
constexpr uint32_t STATE_READING = 4;

// An allocator that leaves new elements uninitialised. The receive buffer is 4 MiB per
// fetched device and is always written before it is read: zero-filling it would make
// every page resident at once (hundreds of MB with many cameras).
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() noexcept = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(place)) U;
    } else {
      ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
  }
};
using StreamBytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

struct LiveConnection {
  // The current connection (an HTTP fetch or an RTSP session, created by the fetch
  // engine); null while none is open.
  std::shared_ptr<LiveSession> connection;
  std::string host;
  uint16_t port = 0;  // 0 and 80 are not written into URLs
  int socket = -1;
  uint32_t fetchState = STATE_CONNECTING;
  bool restartPending = false;
  // When the current connection was started (TickCount), and whether it has delivered a
  // complete frame: until its first frame a connection is held to the connect time-out,
  // not to a stream's one-second silence rule (a camera may take seconds to start its
  // encoder after the response header).
  uint32_t connectTick = 0;
  bool frameSeen = false;
  // The camera refused the credentials (401 or 403): the next attempt waits as after a
  // failed connect, so that a wrong password does not lock the camera's account.
  bool accessRefused = false;
  // The last stream can never be shown as it is (a picture above the size limit, no key
  // frame at all): the next attempt waits as after a failed connect. Cleared by a
  // delivered picture.
  bool streamUnusable = false;
  // RTSP sessions in a row that ended without a packet (the back-off of the retries of a
  // device that has delivered before).
  int32_t reconnectFailures = 0;
  // The fetch error last reported for the device ("" while it is fine); a change is
  // logged once, not once per frame or attempt.
  std::string fetchErrorText;
  // Trust on first use of an HTTPS device: the fingerprint a connection accepted while
  // none was kept, for the main thread to keep in `certificate` and save; and the
  // fingerprint of a changed certificate that was refused ("" when none was).
  std::string certificateFirstSeen;
  std::string certificateRefused;
  // The camera's Digest challenge and nonce count (live/digest.h); null until the
  // first challenge.
  std::shared_ptr<DigestSession> digest;
  StreamBytes streamBuffer;  // 4 MiB, allocated on first connect
  uint64_t streamLength = 0;
};

}  // namespace velmora
