// RTSP cameras: a web image whose location starts with "rtsp://" or "rtsps://" is read
// by libavformat (RTSP over TCP) on a thread of its own, since its reads block. Each
// picture kept at the entry's update rate is encoded to JPEG and handed to the live
// path like a received MJPEG frame (caption, tile, motion detection, recording).
//
// A session is the device's `connection` while it exists. It makes one attempt: it
// opens, reads until the stream fails, time-outs or is stopped, reports why, and ends;
// the fetch engine's periodic rule leaves a running session alone (its own time-outs
// bound it, so a camera at one picture in several seconds keeps its session), and
// replaces an ended one after a short back-off, or after 30 s when the device never
// delivered or its stream can never be shown (a picture above the size limit, no key
// frame). Every blocking call of libavformat is bounded by the session's interrupt
// check (a stop flag and a deadline).
//
// Locks: the session takes the device's fetchLock only to hand over a picture or a
// state; decoding and encoding run without it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

struct GroupRecord;

struct RtspOptions {
  uint32_t openTimeoutMs = 10000;     // the RTSP exchange up to the first packet
  uint32_t readTimeoutMs = 10000;     // each later read
  uint32_t pictureTimeoutMs = 10000;  // packets without a picture (no key frame) this long, and
                                      // more units than a decoder holds back
  int maxPictureSide = 0;             // 0: kMaxPictureSide
  int decoderThreads = 0;             // 0: from the machine
};
void SetRtspOptions(const RtspOptions& options);
RtspOptions GetRtspOptions();

// True for a web image (kind 4) whose location starts with rtsp:// or rtsps://.
bool IsRtspDevice(const GroupRecord& record);

// The URL to open: the location with the device's user name and password (when set)
// percent-encoded into its user-info. The location itself when it cannot be split.
std::string RtspUrlWithCredentials(const std::string& location, const std::string& username,
                                   const std::string& password);

// fetchLock held, the device has no connection. Starts a session for it (its
// `connection`).
void RtspConnectLocked(const std::shared_ptr<GroupRecord>& record);
// fetchLock held. When the device's connection is an RTSP session, lets go of it (its
// thread ends on its own, soon) and returns true; false otherwise.
bool RtspDropLocked(GroupRecord& record);

// fetchLock held. Whether the device's connection is an RTSP session, and whether that
// session is still at work. A session that has ended leaves its time (lastUpdateTick)
// and, when it never received a packet, one more failure (reconnectFailures) behind.
enum class RtspSessionState { kNone = 1, kRunning = 2, kEnded = 3 };
RtspSessionState RtspSessionStateLocked(const GroupRecord& record);
// At exit: stops every session and waits for their threads, at most waitMs.
// True when all ended.
bool RtspShutdown(uint32_t waitMs = 3000);

// Work of all sessions since the start of the process (benchmarks): pictures decoded,
// pictures encoded, and the thread CPU time spent encoding them (JPEG, and the tile
// image when one was made).
struct RtspWorkStats {
  uint64_t picturesDecoded = 0;
  uint64_t picturesEncoded = 0;
  uint64_t encodeCpuNs = 0;
};
RtspWorkStats GetRtspWorkStats();

// Diagnostics and tests: session threads running, and sessions alive.
int RtspThreadsRunning();
int RtspSessionsAlive();

}  // namespace velmora
