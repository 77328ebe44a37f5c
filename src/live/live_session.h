// The common base of the fetch engine's connection objects (an HTTP fetch, an RTSP
// session), so that a record's live connection (model/live_connection.h) holds a typed
// pointer whichever kind is current. It carries nothing: each kind keeps its own state
// and recognises itself by address. A record holds its connection through
// std::shared_ptr<LiveSession> made from the derived type's shared_ptr, so the derived
// destructor runs; deleting through the base is not allowed (protected destructor).
//
// Threads: as the derived object's.
#pragma once

namespace velmora {

class LiveSession {
 protected:
  LiveSession() = default;
  ~LiveSession() = default;
  LiveSession(const LiveSession&) = default;
  LiveSession& operator=(const LiveSession&) = default;
};

}  // namespace velmora
