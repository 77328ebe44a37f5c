#include "live/stream.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/helpers.h"
#include "app/log.h"
#include "app/messages.h"
#include "app/settings.h"
#include "live/fetch.h"
#include "live/decrypt.h"
#include "live/digest.h"
#include "media/jpeg.h"
#include "live/request.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "platform/clock.h"

namespace velmora {

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

unsigned ThreadId() { return static_cast<unsigned>(::syscall(SYS_gettid)); }

void* SocketText(int socket) { return reinterpret_cast<void*>(static_cast<intptr_t>(socket)); }

// The first position p >= from with data[p] == a and data[p + 1] == b, p + 1 < end.
std::size_t FindPair(const uint8_t* data, std::size_t from, std::size_t end, uint8_t a, uint8_t b) {
  if (end < 2) return kNotFound;
  std::size_t p = from;
  while (p + 1 < end) {
    const void* hit = std::memchr(data + p, a, end - 1 - p);
    if (hit == nullptr) return kNotFound;
    p = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - data);
    if (data[p + 1] == b) return p;
    ++p;
  }
  return kNotFound;
}

// The first start marker FF D8 before the end marker that ends at e, from the start of
// the held data; FF D8 directly followed by an APP0 segment of length 62 (FF E0 00 3E)
// does not count.
std::size_t FindStart(const uint8_t* data, std::size_t e, std::size_t held) {
  std::size_t s = 0;
  while (s + 1 < e) {
    s = FindPair(data, s, e, 0xFF, 0xD8);
    if (s == kNotFound) return kNotFound;
    const bool app0 = s + 5 < held && data[s + 2] == 0xFF && data[s + 3] == 0xE0 && data[s + 4] == 0x00 &&
                      data[s + 5] == 0x3E;
    if (!app0) return s;
    s += 2;
  }
  return kNotFound;
}

// Where the search for a frame's end marker begins: behind the application segments
// (APP0 to APP15) that follow its start marker, stepped over by their lengths, because
// an EXIF segment carries a thumbnail with an end marker of its own. kNotFound while
// such a segment has not arrived completely. An encrypted frame (FF D8 FF EA) is left
// to decrypt, which knows the frame's size from its own header.
std::size_t FrameBody(const uint8_t* data, std::size_t start, std::size_t held) {
  std::size_t pos = start + 2;
  if (pos + 1 < held && data[pos] == 0xFF && data[pos + 1] == 0xEA) return pos;
  while (pos + 1 < held && data[pos] == 0xFF && data[pos + 1] >= 0xE0 && data[pos + 1] <= 0xEF) {
    if (pos + 3 >= held) return kNotFound;
    const std::size_t length = (static_cast<std::size_t>(data[pos + 2]) << 8) | data[pos + 3];
    if (length < 2) break;  // no segment after all: search from here
    if (pos + 2 + length > held) return kNotFound;
    pos += 2 + length;
  }
  return pos;
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

bool EnsureStreamBuffer(GroupRecord& record) {
  if (record.live.streamBuffer.size() == kStreamBufferBytes) return true;
  try {
    record.live.streamBuffer.resize(kStreamBufferBytes);  // left uninitialised: written before read
  } catch (const std::bad_alloc&) {
    Log("out of memory for the stream buffer of %s", record.name.c_str());
    record.live.streamBuffer.clear();
    return false;
  }
  record.live.streamLength = 0;
  return true;
}

uint8_t* StreamData(GroupRecord& record) { return record.live.streamBuffer.data() + kStreamHeadroom; }

bool IsH264Device(const GroupRecord& record) {
  return record.kind == EntryKind::HTTPDevice && record.location.find(kH264Script) != std::string::npos;
}

void update_frame_rate(uint64_t& lastFrameTimeMs, double& frameRate, int32_t countBefore, uint64_t nowMs) {
  if (lastFrameTimeMs == 0) lastFrameTimeMs = nowMs;
  const double seconds = (static_cast<double>(nowMs) - static_cast<double>(lastFrameTimeMs)) / 1000.0;
  lastFrameTimeMs = nowMs;
  if (countBefore == 0) return;
  const double rate = 1.0 / (seconds > 0.01 ? seconds : 0.01);
  frameRate = countBefore == 1 ? rate : (9.0 * frameRate + rate) / 10.0;
}

void CountFrame(GroupRecord& record) {
  const uint64_t now = static_cast<uint64_t>(platform::WallMs());
  update_frame_rate(record.lastFrameTime, record.frameRate, record.frameCount, now);
  record.frameCount += 1;
  DeviceCounters& counters = *record.counters;
  counters.add(counters.framesReceived);
  counters.lastFrameMs.store(platform::SteadyMs(), std::memory_order_relaxed);
}

std::string view_caption(const std::string& name, const ImageHolder* holder, double rate) {
  const std::shared_ptr<const Settings> settings = FetchSettings();
  const Settings& s = *settings;
  std::string ratePart;
  std::string sizePart;
  std::string dimensionsPart;
  if (s.captionShowFPS) ratePart = Format(rate >= 0.01 && rate < 0.1 ? " %4.2f fps" : " %4.1f fps", rate);
  if (s.captionShowSize && holder != nullptr) {
    sizePart = " " + std::to_string((holder->length + 512) / 1024) + " KiB";
  }
  if (s.captionShowDimensions && holder != nullptr && holder->image && holder->image->valid()) {
    dimensionsPart =
        " " + std::to_string(holder->image->width()) + "x" + std::to_string(holder->image->height());
  }
  if (!ratePart.empty() && (!sizePart.empty() || !dimensionsPart.empty())) ratePart += ",";
  if (!sizePart.empty() && !dimensionsPart.empty()) sizePart += ",";
  return name + ratePart + sizePart + dimensionsPart;
}

void ReportFetchState(GroupRecord& record, bool error, const char* text) {
  // The log sees every change of a device's state, shown or not (a recorder without a
  // window has no tile to show it): once when an error text appears or changes, once
  // when frames come again.
  if (error && text != nullptr && record.live.fetchErrorText != text) {
    record.live.fetchErrorText = text;
    LogDeviceLevel(0, record.debugLevel, "fetch error for %s [%s]: %s", record.name.c_str(),
                   UrlWithoutPassword(record.location).c_str(), text);
  } else if (!error && !record.live.fetchErrorText.empty()) {
    LogDeviceLevel(0, record.debugLevel, "fetch recovered for %s [%s] after: %s", record.name.c_str(),
                   UrlWithoutPassword(record.location).c_str(), record.live.fetchErrorText.c_str());
    record.live.fetchErrorText.clear();
  }
  record.counters->fetchError.store(!record.live.fetchErrorText.empty(), std::memory_order_relaxed);
  const int slot = record.viewIndex;
  if (slot == -1 || record.shownIn == nullptr) return;
  if (text != nullptr && !record.stillShown) record.shownIn->SetText(slot, text);
  record.shownIn->SetErrorMark(slot, error);
  if (std::shared_ptr<GroupRecord> shared = record.weak_from_this().lock()) {
    mainQueue().post(MsgFetchError{error, std::move(shared)});
  }
}

void ShowFrame(GroupRecord& record, std::unique_ptr<ImageHolder> holder) {
  if (!holder || record.viewIndex == -1 || record.shownIn == nullptr || record.stillShown) return;  // freed here
  std::string caption = view_caption(record.name, holder.get(), record.frameRate);
  record.shownIn->SetImage(record.viewIndex, std::move(holder), std::move(caption));
}

bool DeliverJpegFrame(GroupRecord& record, uint8_t* frame, std::size_t length, std::unique_ptr<Image> picture,
                      bool decode) {
  // A whole frame came, decodable or not: the stream's silence rule applies from here.
  record.live.frameSeen = true;
  std::unique_ptr<ImageHolder> holder = ImageHolder::FromJpeg(frame, length);
  if (!holder) return false;
  if (picture) {
    holder->image = std::move(picture);
  } else if (decode) {
    holder->image = ImageFromBuffer(holder->jpeg.get(), length);
    if (!holder->image) {
      LogDeviceLevel(0, record.debugLevel, "ImageFromBuffer failed for %s", record.name.c_str());
      ReportFetchState(record, true, "Corrupt JPEG");
      return false;
    }
  }
  if (FrameRecorder* recorder = Installed<FrameRecorder>::get()) {
    // The recorder writes its trailer over the 4 bytes behind the frame, which may
    // already be the next frame's first bytes: keep them.
    uint8_t behind[kStreamTrailer];
    std::memcpy(behind, frame + length, kStreamTrailer);
    recorder->recordFrame(record, *holder, frame - kStreamHeadroom, length);
    std::memcpy(frame + length, behind, kStreamTrailer);
  }
  CountFrame(record);
  ReportFetchState(record, false, nullptr);
  ShowFrame(record, std::move(holder));
  return true;
}

StreamStep ReceivedBytesStep(GroupRecord& record, uint32_t bytes) {
  if (bytes != 0) {
    bytesReceived().fetch_add(bytes, std::memory_order_relaxed);
    if (!record.receivedData) {
      record.receivedData = true;
      LogDeviceLevel(0, record.debugLevel, "connected to '%s', %lu bytes", record.name.c_str(),
                     static_cast<unsigned long>(bytes));
    }
    return StreamStep::kReceive;
  }
  LogDeviceLevel(2, record.debugLevel, "0 bytes");
  record.live.streamLength = 0;
  record.live.restartPending = true;
  LogDeviceLevel(1, record.debugLevel, "disconnecting from %s [%s]", record.name.c_str(),
                 UrlWithoutPassword(record.location).c_str());
  return StreamStep::kClose;
}

StreamStep viewthread_iocp_state_header(GroupRecord& record, const void* connection, uint32_t bytes) {
  uint8_t* data = StreamData(record);
  const std::size_t held = static_cast<std::size_t>(record.live.streamLength);
  const std::size_t total = held + bytes;

  // The blank line may straddle the previous chunk and this one.
  std::size_t end = kNotFound;
  for (std::size_t i = held >= 3 ? held - 3 : 0; i + 4 <= total; ++i) {
    if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') {
      end = i;
      break;
    }
  }
  if (end == kNotFound) {
    record.live.streamLength = total;
    if (record.live.streamLength <= kMaxResponseHeader) return StreamStep::kReceive;
    Log("%s: BAD HEADER; gr=%p vto=%p dw=%u current_size=%d [%s]", "viewthread_iocp_state_header",
        static_cast<void*>(&record), connection, bytes, static_cast<int>(record.live.streamLength),
        record.name.c_str());
    return StreamStep::kClose;
  }

  std::size_t lineStart = 0;
  while (lineStart < end) {
    std::size_t lineEnd = lineStart;
    while (lineEnd < end && data[lineEnd] != '\n') ++lineEnd;
    std::size_t cut = lineEnd;
    if (cut > lineStart && data[cut - 1] == '\r') --cut;
    const std::string line(reinterpret_cast<const char*>(data + lineStart), cut - lineStart);
    lineStart = lineEnd + 1;
    LogDeviceLevel(4, record.debugLevel, "HTTP response [%s]", line.c_str());

    float version = 0;
    unsigned status = 0;
    char reason[128] = {0};
    const int fields = std::sscanf(line.c_str(), "HTTP/%f %u %127s", &version, &status, reason);
    // A status line without a reason phrase still carries its status.
    if (fields >= 2 && status != 200) {
      // Refused credentials are not tried again at once (see viewthread_check_update).
      record.live.accessRefused = status == 401 || status == 403;
      // A Digest challenge is answered at once, unless the last answer was refused.
      if (status == 401) {
        const std::string_view header(reinterpret_cast<const char*>(data), end);
        std::string username;
        std::string password;
        const DigestStep step = DigestAfterRefusal(record, header, RequestCredentials(record, username, password));
        if (step == DigestStep::kRetryNow) {
          record.live.accessRefused = false;
          return StreamStep::kClose;
        }
        if (step == DigestStep::kBadChallenge) {
          ReportFetchState(record, true, "Bad authentication challenge");
          return StreamStep::kClose;
        }
      }
      char text[192];
      if (fields == 3) {
        std::snprintf(text, sizeof text, "HTTP %u %s", status, reason);
      } else {
        std::snprintf(text, sizeof text, "HTTP %u", status);
      }
      ReportFetchState(record, true, text);
      return StreamStep::kClose;
    }
  }

  LogDeviceLevel(3, record.debugLevel, "STATE_READING");
  record.live.fetchState = STATE_READING;
  record.live.accessRefused = false;
  // A device whose Digest challenge was answered is kept as a Digest device, so that
  // no later start sends its password before it asks. The tree is the main thread's.
  if (DigestAcceptedFirstTime(record)) {
    if (std::shared_ptr<GroupRecord> shared = record.weak_from_this().lock()) {
      mainQueue().post(MsgAuthScheme{std::move(shared), kAuthSchemeDigest});
    }
  }
  // The header stays in front of the body; the start-marker search skips it.
  return viewthread_iocp_check_jpeg(record, connection, bytes);
}

StreamStep viewthread_iocp_check_jpeg(GroupRecord& record, const void* connection, uint32_t bytes) {
  if (IsH264Device(record)) return viewthread_iocp_check_h264(record, connection, bytes);
  uint8_t* data = StreamData(record);
  std::size_t n = bytes;

  for (;;) {
    // A marker split over two chunks is found from the last byte held before.
    std::size_t scan = record.live.streamLength > 0 ? static_cast<std::size_t>(record.live.streamLength) - 1 : 0;
    record.live.streamLength += n;
    if (record.live.streamLength > kStreamDataBytes) {
      Log("%s: BAD SIZE; gr=%p vto=%p dw=%u current_size=%d [%s]", "viewthread_iocp_check_jpeg",
          static_cast<void*>(&record), connection, static_cast<unsigned>(n),
          static_cast<int>(record.live.streamLength), record.name.c_str());
      return StreamStep::kClose;
    }
    const std::size_t held = static_cast<std::size_t>(record.live.streamLength);

    std::size_t start = kNotFound;
    std::size_t e = 0;
    for (;;) {
      const std::size_t p = FindPair(data, scan, held, 0xFF, 0xD9);
      if (p == kNotFound) return StreamStep::kReceive;  // the data stays
      e = p + 2;
      if (start == kNotFound) {
        start = FindStart(data, e, held);
        if (start == kNotFound) {
          LogDeviceLevel(0, record.debugLevel, "missing start marker for %s [%s]", record.name.c_str(),
                         UrlWithoutPassword(record.location).c_str());
          ReportFetchState(record, true, "Missing JPEG start marker");
          return StreamStep::kClose;
        }
        // An end marker inside the frame's application segments (an EXIF thumbnail's)
        // does not end the frame: search again behind them. Everything from there on
        // arrives after them, so later receives need not look back.
        const std::size_t body = FrameBody(data, start, held);
        if (body == kNotFound) return StreamStep::kReceive;
        if (p < body) {
          scan = body;
          continue;
        }
      }
      if (decrypt(data + start, e - start, held - start) == DecryptResult::kDone) break;
      // An end marker inside the encrypted bytes: the frame goes on. Its true end may
      // already be held, so the search continues behind this marker.
      scan = p + 1;
    }

    const std::size_t length = e - start;
    LogDeviceLevel(2, record.debugLevel, "jpeg size=%u/%u [%u, %u]", static_cast<unsigned>(length),
                   static_cast<unsigned>(held), static_cast<unsigned>(start), static_cast<unsigned>(e));
    if (length < kMinFrameBytes || length > kMaxFrameBytes) {
      Log("IOCP[%u]; BAD JPEG SIZE; vto=%p socket=%p buffer=%p len=%u [%s]", ThreadId(), connection,
          SocketText(record.live.socket), static_cast<void*>(data), static_cast<unsigned>(length),
          record.name.c_str());
      ReportFetchState(record, true, "Invalid JPEG size");
      return StreamStep::kClose;
    }

    if (!DeliverJpegFrame(record, data + start, length, nullptr, true)) {
      LogDeviceLevel(0, record.debugLevel, "jpeg size=%u/%u [%u, %u]", static_cast<unsigned>(length),
                     static_cast<unsigned>(held), static_cast<unsigned>(start), static_cast<unsigned>(e));
    }

    if (record.live.restartPending) {
      LogDeviceLevel(1, record.debugLevel, "disconnected from %s [%s]", record.name.c_str(),
                     UrlWithoutPassword(record.location).c_str());
      return StreamStep::kClose;
    }
    const std::size_t rest = held - e;
    if (rest > 0) std::memmove(data, data + e, rest);
    record.live.streamLength = 0;
    if (rest == 0) return StreamStep::kReceive;
    n = rest;
  }
}

StreamStep ProcessReceived(GroupRecord& record, const void* connection, uint32_t bytes) {
  switch (record.live.fetchState) {
    case STATE_HEADER:
      if (ReceivedBytesStep(record, bytes) == StreamStep::kClose) return StreamStep::kClose;
      return viewthread_iocp_state_header(record, connection, bytes);
    case STATE_READING:
      if (ReceivedBytesStep(record, bytes) == StreamStep::kClose) return StreamStep::kClose;
      return viewthread_iocp_check_jpeg(record, connection, bytes);
    default:
      return StreamStep::kReceive;
  }
}

}  // namespace velmora
