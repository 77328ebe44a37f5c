// Turning the bytes of a live connection into frames: the response header check, the
// cutting of complete JPEG frames out of a snapshot or a multipart stream (in place, in
// the device's stream buffer), decryption, decoding, the hand-off to the recorder and
// to the device's view slot, and the frame counter and rate.
//
// Stream buffer layout (one per device, allocated once): kStreamHeadroom bytes of
// headroom, then up to kStreamDataBytes received bytes (`streamLength` of them held),
// then kStreamTrailer spare bytes. The recorder writes its 48-byte record header into
// the bytes before a frame and its 4-byte trailer behind it, and writes all three as one
// block; the bytes behind the frame are restored afterwards, since they may already
// belong to the next frame.
//
// Every function here runs with the device's fetchLock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/installed.h"
#include "media/image.h"

namespace velmora {

struct GroupRecord;

constexpr std::size_t kStreamHeadroom = 48;
constexpr std::size_t kStreamDataBytes = 0x400000;  // 4 MiB
constexpr std::size_t kStreamTrailer = 4;
constexpr std::size_t kStreamBufferBytes = kStreamHeadroom + kStreamDataBytes + kStreamTrailer;
// A response header that has not ended after this many bytes is refused.
constexpr std::size_t kMaxResponseHeader = 65536;
// Smallest and largest frame accepted.
constexpr std::size_t kMinFrameBytes = 16;
constexpr std::size_t kMaxFrameBytes = 0x400000;

// Size of the H.264 placeholder image.
constexpr int kH264PlaceholderWidth = 640;
constexpr int kH264PlaceholderHeight = 480;

// What the connection does after a stage: read on, or close the socket.
enum class StreamStep { kReceive = 1, kClose = 2 };

// The recorder's entry for every decoded frame, installed once for the process
// (app/installed.h). Nothing installed: nothing is recorded. Called on the frame's path:
// one atomic load and one virtual call per frame.
class FrameRecorder {
 public:
  virtual ~FrameRecorder() = default;
  // The record, the frame (the recorder may set its motion flag), the address of the 48
  // writable bytes in front of the JPEG (the JPEG and 4 writable bytes behind it
  // follow), and the JPEG's length. Called with the device's fetchLock held.
  virtual void recordFrame(GroupRecord& record, ImageHolder& frame, uint8_t* headroom, std::size_t jpegLength) = 0;
};

// Allocates the device's stream buffer if it is missing. False when memory is short.
bool EnsureStreamBuffer(GroupRecord& record);
// First byte of the held data (just behind the headroom); the buffer must exist.
uint8_t* StreamData(GroupRecord& record);

// The received-bytes step of both reading states for a chunk of `bytes` new bytes:
// counts them and marks the device as delivering. A chunk of 0 bytes means the camera
// closed the connection: the held data is dropped, restartPending set, and the result
// is kClose.
StreamStep ReceivedBytesStep(GroupRecord& record, uint32_t bytes);

// The header stage (STATE_HEADER): `bytes` new bytes lie behind the `streamLength` held
// ones. Once the blank line has arrived and no status line refused the response, the
// state becomes STATE_READING and the same chunk is cut for frames.
StreamStep viewthread_iocp_state_header(GroupRecord& record, const void* connection, uint32_t bytes);
// The reading stage (STATE_READING): cuts every complete frame among the held bytes.
// Devices whose location names the H.264 script go to viewthread_iocp_check_h264.
StreamStep viewthread_iocp_check_jpeg(GroupRecord& record, const void* connection, uint32_t bytes);
// The H.264 path: decoded pictures as JPEG frames, or a placeholder image per SEI unit
// while the stream has yielded no picture (h264.h).
StreamStep viewthread_iocp_check_h264(GroupRecord& record, const void* connection, uint32_t bytes);

// One receive of `bytes` (already stored behind the held data) in STATE_HEADER or
// STATE_READING: the received-bytes step, then the stage. Any other state reads on.
StreamStep ProcessReceived(GroupRecord& record, const void* connection, uint32_t bytes);

// True for a web image whose location names the H.264 script.
bool IsH264Device(const GroupRecord& record);

// The frame rate after a frame at nowMs: the first frame only starts the clock, the
// second sets the rate, later ones average it (9 parts old, 1 part new). Intervals
// below 10 ms count as 10 ms.
void update_frame_rate(uint64_t& lastFrameTimeMs, double& frameRate, int32_t countBefore, uint64_t nowMs);
// Counts one frame of the device: rate update with the program clock, then
// frameCount + 1.
void CountFrame(GroupRecord& record);

// One complete JPEG frame of a device on its way through the live path: decoded into
// its picture (unless one is given, or decode is false: then the recorder decodes it
// only if its motion detection needs pixels), handed to the recorder, counted,
// reported as delivering and shown. `frame` has kStreamHeadroom writable bytes in
// front and kStreamTrailer behind (kept as they were). False when the frame does not
// decode ("Corrupt JPEG" is reported) or memory is short.
bool DeliverJpegFrame(GroupRecord& record, uint8_t* frame, std::size_t length, std::unique_ptr<Image> picture,
                      bool decode);

// The device name, then " %4.1f fps" (" %4.2f fps" for rates from 0.01 below 0.1),
// " %d KiB" and " %dx%d" as the captionShowFPS, captionShowSize and
// captionShowDimensions settings ask, separated by commas.
std::string view_caption(const std::string& name, const ImageHolder* holder, double rate);

// The fetch state a device reports to its view slot and the main window: the text
// (unless the slot shows a still, or text is null), the error mark, and the
// WM_APP+6 message; nothing of that for a device without a slot. Every device logs a
// new or changed error text once at debug level 0, and once its recovery.
void ReportFetchState(GroupRecord& record, bool error, const char* text);
// Hands a frame to the device's view slot with its caption, or frees it when the
// device has no slot or its slot shows a still.
void ShowFrame(GroupRecord& record, std::unique_ptr<ImageHolder> holder);

}  // namespace velmora
