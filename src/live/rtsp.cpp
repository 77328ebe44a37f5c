#include "live/rtsp.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
}

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "app/application.h"
#include "app/helpers.h"
#include "app/log.h"
#include "app/settings.h"
#include "live/fetch.h"
#include "live/live_session.h"
#include "live/stream.h"
#include "media/video_decoder.h"
#include "model/group_record.h"
#include "platform/curl.h"

namespace velmora {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The session's own clock for its waits on the network: libavformat's interrupt deadline,
// the picture time-out and the arrival time of pictures without a time stamp. These run
// on the system's steady clock (a manual clock must not hold up a real read); the retry
// rules' tick (TickCount) is the program's clock.
int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch()).count();
}

std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  return text;
}

class RtspSession;

std::atomic<uint64_t> g_picturesDecoded{0};
std::atomic<uint64_t> g_picturesEncoded{0};
std::atomic<uint64_t> g_encodeCpuNs{0};

// The encoder's share of the thread's processor time (statistics), not a time of day.
uint64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Sessions alive (by address, so a record's connection can be recognised as one) and
// threads running. Never destroyed: a thread ending after exit still finds it.
struct Registry {
  std::mutex lock;  // guards everything below
  std::set<const LiveSession*> alive;
  std::vector<std::weak_ptr<RtspSession>> sessions;
  int running = 0;
  std::condition_variable ended;
  RtspOptions options;
};
Registry& registry() {
  static auto* instance = new Registry;
  return *instance;
}

// Units a decoder may hold before it gives their first picture back: its frame threads
// (at most 4) and the reordering of H.264 and H.265 (at most 16 frames).
constexpr int kUnitsInDecoder = 20;

// The status texts a session reports (kept, so ReportFetchState sees a stable text).
constexpr const char* kUnableToConnect = "Unable to connect";
constexpr const char* kConnectionLost = "Connection lost";
constexpr const char* kNotRtsp = "Not an RTSP stream";
constexpr const char* kNoVideo = "No H.264 or H.265 video in the stream";
constexpr const char* kNoPicture = "No picture (no key frame) in the stream";
constexpr const char* kTooLarge = "Picture size above the limit";
constexpr const char* kDataLost = "Stream data lost or corrupt";
constexpr const char* kDecoderFailed = "Decoder failed";
constexpr const char* kEncodeFailed = "JPEG encoding failed";

class RtspSession : public LiveSession, public std::enable_shared_from_this<RtspSession> {
 public:
  RtspSession(std::weak_ptr<GroupRecord> record, std::string url, std::string shownUrl, std::string name,
              const RtspOptions& options)
      : record_(std::move(record)),
        url_(std::move(url)),
        shownUrl_(std::move(shownUrl)),
        name_(std::move(name)),
        options_(options) {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().alive.insert(this);
  }
  ~RtspSession() {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().alive.erase(this);
  }
  RtspSession(const RtspSession&) = delete;
  RtspSession& operator=(const RtspSession&) = delete;

  void Stop() { stop_.store(true); }
  // Guarded by the record's fetchLock while the session is its connection.
  bool finished() const { return finished_; }
  void MarkFinished() { finished_ = true; }

  // The thread's body: one attempt, then the end.
  void Run() {
    Attempt();
    if (format_ != nullptr) avformat_close_input(&format_);
    decoder_.reset();
    Finish();
  }

 private:
  static int Interrupt(void* opaque) {
    auto* self = static_cast<RtspSession*>(opaque);
    if (self->stop_.load()) return 1;
    if (SteadyMs() <= self->deadlineMs_.load()) return 0;
    self->timedOut_.store(true);
    return 1;
  }
  void SetDeadline(uint32_t ms) { deadlineMs_.store(SteadyMs() + static_cast<int64_t>(ms)); }
  // Whether a wait that began at startMs ended by a time-out rather than by an answer:
  // the interrupt check cut it, or it lasted (nearly) the read limit. libavformat
  // reports an exchange that got no reply in time as invalid data, as it does a reply
  // that is no RTSP.
  bool WaitedOut(int64_t startMs) const {
    if (timedOut_.load()) return true;
    const int64_t readLimit = std::min(options_.readTimeoutMs, options_.openTimeoutMs);
    return SteadyMs() - startMs >= readLimit * 9 / 10;
  }

  // Runs fn with the record's fetchLock held while this session is still its
  // connection. False when the record is gone or has let go of the session.
  template <typename Fn>
  bool WithRecord(Fn&& fn) {
    std::shared_ptr<GroupRecord> record = record_.lock();
    if (!record) return false;
    std::lock_guard<std::mutex> guard(record->fetchLock);
    if (record->live.connection.get() != this) return false;
    fn(*record);
    return true;
  }

  void Report(const char* text) {
    if (stop_.load()) return;
    WithRecord([text](GroupRecord& r) { ReportFetchState(r, true, text); });
  }

  void Attempt() {
    QuietLibavMessages();
    SetDeadline(options_.openTimeoutMs);
    format_ = avformat_alloc_context();
    if (format_ == nullptr) {
      Log("avformat_alloc_context failed");
      Report(kUnableToConnect);
      return;
    }
    format_->interrupt_callback.callback = &RtspSession::Interrupt;
    format_->interrupt_callback.opaque = this;
    if (!OpenInput()) return;
    VideoCodec codec = VideoCodec::kH264;
    const int streamIndex = FindVideoStream(codec);
    if (streamIndex < 0) {
      Report(kNoVideo);
      return;
    }
    const AVStream* stream = format_->streams[streamIndex];
    if (!OpenDecoder(codec, *stream->codecpar)) return;
    ReadLoop(streamIndex, stream->time_base);
  }

  // Opens the session over TCP, video only, without a long probe. False when it could
  // not be opened: the device's state says why (refused credentials, no such stream, no
  // RTSP server, unreachable) unless the session is being stopped.
  bool OpenInput() {
    AVDictionary* dict = nullptr;
    av_dict_set(&dict, "rtsp_transport", "tcp", 0);
    av_dict_set(&dict, "allowed_media_types", "video", 0);
    av_dict_set_int(&dict, "timeout", static_cast<int64_t>(options_.readTimeoutMs) * 1000, 0);
    // The parameters come from the session description and the units themselves: a
    // long probe would only delay the first picture.
    av_dict_set_int(&dict, "probesize", 32768, 0);
    av_dict_set_int(&dict, "analyzeduration", 0, 0);
    WithRecord([this](GroupRecord& r) {
      LogDeviceLevel(1, r.debugLevel, "connecting to %s...", shownUrl_.c_str());
    });
    const int64_t openStartMs = SteadyMs();
    int rc = avformat_open_input(&format_, url_.c_str(), nullptr, &dict);
    av_dict_free(&dict);
    if (rc >= 0) return true;
    // avformat_open_input frees the context on failure.
    format_ = nullptr;
    if (stop_.load()) return false;
    const char* text = kUnableToConnect;
    bool refused = false;
    if (rc == AVERROR_HTTP_UNAUTHORIZED || rc == AVERROR_HTTP_FORBIDDEN) {
      text = rc == AVERROR_HTTP_UNAUTHORIZED ? "RTSP 401 Unauthorized" : "RTSP 403 Forbidden";
      refused = true;
    } else if (rc == AVERROR_HTTP_NOT_FOUND) {
      text = "RTSP 404 Not Found";
    } else if (rc == AVERROR_INVALIDDATA && !WaitedOut(openStartMs)) {
      // An answer that is no RTSP. A server that took the connection and never
      // answered ends in the same error once a time-out cuts the wait (the session's
      // own limit, or the read limit of the socket under it): that one could not be
      // reached.
      text = kNotRtsp;
    }
    WithRecord([&](GroupRecord& r) {
      LogDeviceLevel(1, r.debugLevel, "RTSP open of %s for %s failed (%s)", shownUrl_.c_str(), name_.c_str(),
                     AvErrorText(rc).c_str());
      // Refused credentials wait like a failed connect (the periodic rule).
      r.live.accessRefused = refused;
      ReportFetchState(r, true, text);
    });
    return false;
  }

  // The first H.264 or H.265 video stream of the session and its codec; -1 when there is
  // none.
  int FindVideoStream(VideoCodec& codec) const {
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      const AVCodecParameters* p = format_->streams[i]->codecpar;
      if (p->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      if (p->codec_id == AV_CODEC_ID_H264 || p->codec_id == AV_CODEC_ID_HEVC) {
        codec = p->codec_id == AV_CODEC_ID_HEVC ? VideoCodec::kH265 : VideoCodec::kH264;
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  // The decoder of the stream, limited to the largest picture side; false (reported)
  // when it cannot be opened.
  bool OpenDecoder(VideoCodec codec, const AVCodecParameters& parameters) {
    VideoDecoderOptions decoderOptions;
    decoderOptions.threads = options_.decoderThreads;
    decoderOptions.maxSide = options_.maxPictureSide > 0 ? options_.maxPictureSide : kMaxPictureSide;
    decoderOptions.wholeUnits = true;
    decoder_ = std::make_unique<VideoDecoder>();
    std::string error;
    if (!decoder_->Open(codec, decoderOptions, parameters.extradata,
                        static_cast<std::size_t>(std::max(parameters.extradata_size, 0)), error)) {
      Log("%s: decoder for %s failed (%s)", "RtspSession", name_.c_str(), error.c_str());
      Report(kDecoderFailed);
      return false;
    }
    return true;
  }

  void ReadLoop(int streamIndex, AVRational timeBase) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
      Report(kDecoderFailed);
      return;
    }
    int64_t lastPictureMs = SteadyMs();
    bool first = true;
    bool anyPicture = false;
    // Access units (packets of distinct times) fed since the last picture. A decoder
    // working on several frames at once, or reordering them, gives a picture back only
    // some units later: for a camera at one picture in a few seconds that alone may
    // pass the picture time-out.
    int unitsSincePicture = 0;
    int64_t lastPts = AV_NOPTS_VALUE;
    while (!stop_.load()) {
      if (!ReadPacket(packet)) break;
      const std::size_t size = static_cast<std::size_t>(packet->size);
      if (packet->stream_index != streamIndex) {
        av_packet_unref(packet);
        continue;
      }
      bytesReceived().fetch_add(size, std::memory_order_relaxed);
      const bool current = NoteDelivery(size, first);
      first = false;
      packetSeen_ = true;
      if (!current) {
        av_packet_unref(packet);
        break;
      }
      const int64_t ptsMs = packet->pts != AV_NOPTS_VALUE ? av_rescale_q(packet->pts, timeBase, AVRational{1, 1000})
                                                          : AV_NOPTS_VALUE;
      if (packet->pts == AV_NOPTS_VALUE || packet->pts != lastPts) ++unitsSincePicture;
      lastPts = packet->pts;
      bool pictured = false;
      bool failed = false;
      const DecodeResult result =
          decoder_->Feed(packet->data, size, ptsMs, [&](const AVFrame& picture) {
            pictured = true;
            g_picturesDecoded.fetch_add(1, std::memory_order_relaxed);
            if (!Keep(picture.pts) || failed) return;
            failed = !Deliver(picture);
          });
      av_packet_unref(packet);
      if (failed) break;
      if (result == DecodeResult::kTooLarge) {
        if (!stop_.load()) ReportTooLarge();
        break;
      }
      anyPicture = anyPicture || pictured;
      // Units that do not decode before the first picture are the wait for a key frame
      // (a stream joined between two), which the picture time-out below judges.
      if (result != DecodeResult::kOk && anyPicture) Report(kDataLost);
      const int64_t now = SteadyMs();
      if (pictured) {
        lastPictureMs = now;
        unitsSincePicture = 0;
      } else if (now - lastPictureMs > static_cast<int64_t>(options_.pictureTimeoutMs) &&
                 unitsSincePicture > kUnitsInDecoder) {
        if (!stop_.load()) ReportNoPicture(anyPicture);
        break;
      }
    }
    av_packet_free(&packet);
  }

  // The next packet of the session, read within the read time-out. False when the read
  // ended: the connection is reported lost and a restart is due, unless the session is
  // being stopped.
  bool ReadPacket(AVPacket* packet) {
    SetDeadline(options_.readTimeoutMs);
    const int rc = av_read_frame(format_, packet);
    if (rc >= 0) return true;
    if (stop_.load()) return false;
    WithRecord([&](GroupRecord& r) {
      LogDeviceLevel(1, r.debugLevel, "RTSP read from %s for %s ended (%s)", shownUrl_.c_str(), name_.c_str(),
                     AvErrorText(rc).c_str());
      ReportFetchState(r, true, kConnectionLost);
      r.live.restartPending = true;
    });
    return false;
  }

  // A packet of the stream arrived: the transport is alive, and the periodic rule sees
  // the device as delivering. False when the session is no longer the device's own.
  bool NoteDelivery(std::size_t size, bool first) {
    return WithRecord([&](GroupRecord& r) {
      r.lastUpdateTick = TickCount();
      period_ = r.updateDelay;
      if (first) r.live.accessRefused = false;
      // Logged once since the device was enabled, as for an HTTP camera: a stream that
      // is reconnected again and again does not fill the log.
      if (!r.receivedData) {
        r.receivedData = true;
        LogDeviceLevel(0, r.debugLevel, "connected to '%s', %lu bytes", r.name.c_str(),
                       static_cast<unsigned long>(size));
      }
    });
  }

  // The stream's pictures are larger than the limit: it is unusable as it is.
  void ReportTooLarge() {
    WithRecord([&](GroupRecord& r) {
      // The details once, with the change of the device's state.
      if (r.live.fetchErrorText != kTooLarge) {
        LogDeviceLevel(0, r.debugLevel, "picture of %s is %dx%d, above the limit of %d", r.name.c_str(),
                       decoder_->announcedWidth(), decoder_->announcedHeight(),
                       options_.maxPictureSide > 0 ? options_.maxPictureSide : kMaxPictureSide);
      }
      r.live.streamUnusable = true;
      ReportFetchState(r, true, kTooLarge);
    });
  }

  // Packets came but no picture for the picture time-out.
  void ReportNoPicture(bool anyPicture) {
    WithRecord([&](GroupRecord& r) {
      // Packets without a picture, ever: asking again at once will not bring one.
      if (!anyPicture) r.live.streamUnusable = true;
      ReportFetchState(r, true, kNoPicture);
    });
  }

  // Whether the picture at ptsMs is due at the update rate; pictures between the ticks
  // are decoded (the next ones depend on them) but not encoded.
  bool Keep(int64_t ptsMs) {
    if (period_ == 0) return true;
    const int64_t period = static_cast<int64_t>(period_);
    if (ptsMs == AV_NOPTS_VALUE) ptsMs = SteadyMs();
    // The first picture, and a clock that jumped (a new stream): start over.
    if (!haveTick_ || ptsMs < nextKeepMs_ - 2 * period || ptsMs > nextKeepMs_ + 10 * period) {
      haveTick_ = true;
      nextKeepMs_ = ptsMs + period;
      return true;
    }
    if (ptsMs < nextKeepMs_) return false;
    nextKeepMs_ += period;
    if (nextKeepMs_ <= ptsMs) nextKeepMs_ = ptsMs + period;
    return true;
  }

  // Encodes a kept picture and hands it to the live path. False ends the session.
  bool Deliver(const AVFrame& picture) {
    bool shown = false;
    bool pixelsWanted = false;
    if (!WithRecord([&](GroupRecord& r) {
          shown = r.viewIndex != -1 && !r.stillShown;
          // The pixel motion detectors need the picture; building it from the decoded
          // frame costs less than decoding the JPEG again.
          pixelsWanted = r.motionEnabled && r.motionType != 2 && r.recording;
        }))
      return false;
    const uint64_t started = ThreadCpuNs();
    std::string error;
    std::size_t length = 0;
    const int quality = std::clamp(FetchSettings()->liveJpegQuality, 1, 100);
    if (!encoder_.Encode(picture, quality, nullptr, kStreamHeadroom, kStreamTrailer, jpeg_, length, error)) {
      Log("%s: %s for %s", "RtspSession", error.c_str(), name_.c_str());
      Report(kEncodeFailed);
      return false;
    }
    std::unique_ptr<Image> image = shown || pixelsWanted ? encoder_.ToImage(picture) : nullptr;
    g_encodeCpuNs.fetch_add(ThreadCpuNs() - started, std::memory_order_relaxed);
    g_picturesEncoded.fetch_add(1, std::memory_order_relaxed);
    WithRecord([&](GroupRecord& r) {
      if (DeliverJpegFrame(r, jpeg_.data() + kStreamHeadroom, length, std::move(image), false))
        r.live.streamUnusable = false;
    });
    return true;
  }

  // The session's end: the periodic rule counts its wait from here, and a session that
  // never received a packet counts as one more failure in a row.
  void Finish() {
    WithRecord([this](GroupRecord& r) {
      r.live.socket = -1;
      r.lastUpdateTick = TickCount();
      if (packetSeen_) {
        r.live.reconnectFailures = 0;
      } else if (r.live.reconnectFailures < 1000) {
        ++r.live.reconnectFailures;
      }
      finished_ = true;
      LogDeviceLevel(1, r.debugLevel, "disconnected from %s [%s]", r.name.c_str(),
                     UrlWithoutPassword(r.location).c_str());
    });
  }

  std::weak_ptr<GroupRecord> record_;
  std::string url_;       // with the credentials: never logged
  std::string shownUrl_;  // without the password
  std::string name_;
  RtspOptions options_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> deadlineMs_{0};
  std::atomic<bool> timedOut_{false};  // the interrupt check ended a wait at its deadline
  bool finished_ = false;  // Finish ran (guarded by the record's fetchLock)
  bool packetSeen_ = false;  // a packet of the video stream arrived
  AVFormatContext* format_ = nullptr;
  std::unique_ptr<VideoDecoder> decoder_;
  PictureEncoder encoder_;
  std::vector<uint8_t> jpeg_;  // headroom, JPEG, trailer of the picture being handed over
  uint32_t period_ = 0;        // the device's update delay, read with each packet
  bool haveTick_ = false;
  int64_t nextKeepMs_ = 0;
};

void ThreadBody(std::shared_ptr<RtspSession> session) {
  session->Run();
  session.reset();
  Registry& reg = registry();
  {
    std::lock_guard<std::mutex> guard(reg.lock);
    --reg.running;
  }
  reg.ended.notify_all();
}

}  // namespace

void SetRtspOptions(const RtspOptions& options) {
  std::lock_guard<std::mutex> guard(registry().lock);
  registry().options = options;
}

RtspOptions GetRtspOptions() {
  std::lock_guard<std::mutex> guard(registry().lock);
  return registry().options;
}

bool IsRtspDevice(const GroupRecord& record) {
  return record.kind == EntryKind::HTTPDevice &&
         (StartsWithNoCase(record.location, "rtsp://") || StartsWithNoCase(record.location, "rtsps://"));
}

std::string RtspUrlWithCredentials(const std::string& location, const std::string& username,
                                   const std::string& password) {
  if (username.empty() && password.empty()) return location;
  const platform::CurlUrl url = platform::ParseUrl(location, CURLU_NON_SUPPORT_SCHEME);
  std::string result = location;
  if (url && curl_url_set(url.get(), CURLUPART_USER, username.c_str(), CURLU_URLENCODE) == CURLUE_OK &&
      curl_url_set(url.get(), CURLUPART_PASSWORD, password.empty() ? nullptr : password.c_str(), CURLU_URLENCODE) ==
          CURLUE_OK) {
    platform::UrlPart(url.get(), CURLUPART_URL, CURLU_NON_SUPPORT_SCHEME, result);
  }
  return result;
}

void RtspConnectLocked(const std::shared_ptr<GroupRecord>& shared) {
  GroupRecord& r = *shared;
  const std::string location = DeviceUrl(r);
  const std::string url = RtspUrlWithCredentials(location, r.username, r.password);
  auto session = std::make_shared<RtspSession>(shared, url, UrlWithoutPassword(location), r.name, GetRtspOptions());
  r.live.connection = session;
  r.live.socket = -1;
  r.live.streamLength = 0;
  r.live.restartPending = false;
  // `receivedData` stays as it is: a device that delivered before is retried as a
  // stream after a short outage. The session's exchange is bounded by its own
  // time-outs, not by a stream's silence rule.
  r.live.fetchState = STATE_READING;
  Registry& reg = registry();
  {
    std::lock_guard<std::mutex> guard(reg.lock);
    reg.sessions.erase(std::remove_if(reg.sessions.begin(), reg.sessions.end(),
                                      [](const std::weak_ptr<RtspSession>& s) { return s.expired(); }),
                       reg.sessions.end());
    reg.sessions.push_back(session);
    ++reg.running;
  }
  try {
    std::thread(ThreadBody, session).detach();
  } catch (const std::system_error& error) {
    Log("RTSP: thread creation failed (%s)", error.what());
    {
      std::lock_guard<std::mutex> guard(reg.lock);
      --reg.running;
    }
    session->MarkFinished();
    ReportFetchState(r, true, kUnableToConnect);
  }
}

RtspSessionState RtspSessionStateLocked(const GroupRecord& r) {
  if (!r.live.connection) return RtspSessionState::kNone;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    if (registry().alive.count(r.live.connection.get()) == 0) return RtspSessionState::kNone;
  }
  const auto* session = static_cast<const RtspSession*>(r.live.connection.get());
  return session->finished() ? RtspSessionState::kEnded : RtspSessionState::kRunning;
}

bool RtspDropLocked(GroupRecord& r) {
  if (!r.live.connection) return false;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    if (registry().alive.count(r.live.connection.get()) == 0) return false;
  }
  auto session = std::static_pointer_cast<RtspSession>(r.live.connection);
  session->Stop();
  LogDeviceLevel(1, r.debugLevel, "RTSP session of %s stopped", r.name.c_str());
  r.live.connection.reset();
  r.live.socket = -1;
  r.live.restartPending = true;
  return true;
}

bool RtspShutdown(uint32_t waitMs) {
  Registry& reg = registry();
  std::unique_lock<std::mutex> guard(reg.lock);
  for (const std::weak_ptr<RtspSession>& weak : reg.sessions) {
    if (std::shared_ptr<RtspSession> session = weak.lock()) session->Stop();
  }
  if (reg.running == 0) return true;
  Log("waiting for %d RTSP threads to exit", reg.running);
  const bool all = reg.ended.wait_for(guard, std::chrono::milliseconds(waitMs), [&reg] { return reg.running == 0; });
  if (!all) Log("warning: %d RTSP threads failed to exit", reg.running);
  return all;
}

RtspWorkStats GetRtspWorkStats() {
  RtspWorkStats stats;
  stats.picturesDecoded = g_picturesDecoded.load(std::memory_order_relaxed);
  stats.picturesEncoded = g_picturesEncoded.load(std::memory_order_relaxed);
  stats.encodeCpuNs = g_encodeCpuNs.load(std::memory_order_relaxed);
  return stats;
}

int RtspThreadsRunning() {
  std::lock_guard<std::mutex> guard(registry().lock);
  return registry().running;
}

int RtspSessionsAlive() {
  std::lock_guard<std::mutex> guard(registry().lock);
  return static_cast<int>(registry().alive.size());
}

}  // namespace velmora
