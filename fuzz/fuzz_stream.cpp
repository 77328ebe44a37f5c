// The live stream parser on arbitrary bytes: response header, JPEG cutting, decryption
// of encrypted frames and the H.264 path, with the input split into chunks of varying
// size the way receives split a stream. A stage that closes the connection starts the
// next one, as a reconnect would.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "app/messages.h"
#include "live/stream.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "platform/clock.h"

namespace {

using namespace velmora;

constexpr int kSlot = 3;

// The tiles a shown record draws into, kept for the whole run like the program's.
ViewSlots& Shown() {
  static auto* slots = new ViewSlots;
  return *slots;
}

// A recorder that writes over everything it may write: the header room in front of each
// frame and the trailer behind it, and the frame's motion flag.
class ScribblingRecorder final : public FrameRecorder {
 public:
  void recordFrame(GroupRecord&, ImageHolder& holder, uint8_t* headroom, std::size_t length) override {
    std::memset(headroom, 0x11, kStreamHeadroom);
    std::memset(headroom + kStreamHeadroom + length, 0x22, kStreamTrailer);
    holder.motion = 1;
  }
};

GroupRecord& Record() {
  static std::shared_ptr<GroupRecord> record = [] {
    auto r = CreateRecord(EntryKind::Device, "fuzz");
    r->enabled = true;
    EnsureStreamBuffer(*r);
    // The recorder writes a header in front of each frame and a trailer behind it; it
    // stays installed for the whole run.
    static ScribblingRecorder recorder;
    static auto* installed = new Installation(Installed<FrameRecorder>::install(recorder));
    (void)installed;
    return r;
  }();
  return *record;
}

// The program's clock for the parser's frame rate: 40 ms further for every input, the same
// from run to run.
platform::ManualClock& Clock() {
  static auto* clock = new platform::ManualClock(1, 1);
  static auto* installed = new platform::ScopedClock(*clock);
  (void)installed;
  return *clock;
}

void Restart(GroupRecord& r) {
  r.live.fetchState = STATE_HEADER;
  r.live.streamLength = 0;
  r.live.restartPending = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  GroupRecord& r = Record();
  Clock().advance(std::chrono::milliseconds(40));
  const uint8_t mode = data[0];
  uint32_t seed = data[1] | 1u;
  data += 2;
  size -= 2;

  if (mode & 1) {
    r.kind = EntryKind::HTTPDevice;
    r.location = "http://127.0.0.1/nph-h264.cgi";
  } else {
    r.kind = EntryKind::Device;
    r.location = "127.0.0.1";
  }
  // H.264 placeholders are large pictures: draw them for a quarter of those inputs only,
  // so that the time goes into the parsing.
  const bool showH264 = (mode & 0xC0) == 0xC0;
  r.viewIndex = (mode & 2) && (r.kind != EntryKind::HTTPDevice || showH264) ? kSlot : -1;
  r.shownIn = &Shown();
  r.stillShown = (mode & 4) != 0;
  r.receivedData = false;
  // Some inputs skip the header stage.
  Restart(r);
  if (mode & 8) r.live.fetchState = STATE_READING;

  std::size_t at = 0;
  while (at < size) {
    seed = seed * 1103515245u + 12345u;
    std::size_t chunk = 1 + (seed >> 16) % ((mode & 16) ? 7 : 4096);
    if (chunk > size - at) chunk = size - at;
    const std::size_t room = kStreamDataBytes - static_cast<std::size_t>(r.live.streamLength);
    if (room == 0) {
      Restart(r);
      continue;
    }
    if (chunk > room) chunk = room;
    std::memcpy(StreamData(r) + r.live.streamLength, data + at, chunk);
    at += chunk;
    if (ProcessReceived(r, nullptr, static_cast<uint32_t>(chunk)) == StreamStep::kClose) Restart(r);
  }
  if (mode & 32) {
    if (ProcessReceived(r, nullptr, 0) == StreamStep::kClose) Restart(r);
  }
  // The main window would drain these.
  while (mainQueue().take()) {
  }
  Shown().TakeDirty();
  return 0;
}
