#include "playback/export_pump.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/log.h"
#include "playback/playback_thread.h"

namespace velmora {

namespace {

// The fastest exported stream; faster material is thinned by passing images over.
constexpr double kMaxExportRate = 24.0;
// A slow stream is stretched by its scale, but no more than this.
constexpr double kMaxExportScale = 3.0;

int64_t RangeStartMs(const FeedRange& f) { return f.startTime * 1000 + f.startMs; }
int64_t RangeEndMs(const FeedRange& f) { return f.endTime * 1000 + f.endMs; }

int SkipFor(double rate) { return static_cast<int>((rate - kMaxExportRate) / kMaxExportRate + 0.5); }

}  // namespace

ExportRate ComputeExportRate(double speed, bool motion, int64_t pictures, double rangeSeconds) {
  const double s = std::fabs(speed);
  double r = 10.0;
  double k = 1.0;
  ExportRate out;
  out.imagesPerStep = 1;
  out.skip = 0;
  if (motion) {
    // A motion-triggered recording has no steady rate of its own: ten images a second
    // at real time.
    r = 10.0 * s;
    if (r > kMaxExportRate) {
      out.skip = SkipFor(r);
      r = kMaxExportRate;
    }
  } else {
    r = rangeSeconds > 0 ? static_cast<double>(pictures) / rangeSeconds : 0.0;
    if (s == 1.0) {
      out.imagesPerStep = 2;
    } else {
      r *= s;
      if (s > 1.0 && r > kMaxExportRate) {
        out.skip = SkipFor(r);
        r = kMaxExportRate;
      }
    }
  }
  if (r < 1.0) {
    // Also covers no images at all (r = 0): one frame a second, stretched to the most.
    k = r > 0 ? std::min(1.0 / r, kMaxExportScale) : kMaxExportScale;
    r = 1.0;
  }
  out.rate = static_cast<int>(r + 0.5);
  out.scale = static_cast<int>(k + 0.5);
  return out;
}

bool ExportChannel::post(ExportEvent event) {
  if (!queue_.post(std::move(event))) return false;
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> guard(lock_);
    wake = wake_;
  }
  if (wake) wake();
  return true;
}

void ExportChannel::setWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(lock_);
  wake_ = std::move(wake);
}

void ExportChannel::setRate(const ExportRate& rate) {
  std::lock_guard<std::mutex> guard(lock_);
  rate_ = rate;
}

ExportRate ExportChannel::rate() const {
  std::lock_guard<std::mutex> guard(lock_);
  return rate_;
}

void ExportChannel::close() {
  queue_.close();
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> guard(lock_);
    wake = wake_;
  }
  if (wake) wake();
}

int64_t CountViewPictures(RecordedData& data, int view, const FeedRange& range) {
  if (!range.known() || view < 0 || view >= data.viewCount()) return 0;
  const int64_t startMs = RangeStartMs(range);
  const int64_t endMs = RangeEndMs(range);
  const std::string lastKey = HourKey(static_cast<int32_t>(range.endTime));
  int64_t count = 0;
  // The walk starts at the start's hour; every hour key is read once.
  int64_t t = range.startTime - range.startTime % 3600;
  for (std::string key = HourKey(static_cast<int32_t>(t)); key <= lastKey;
       t += 3600, key = HourKey(static_cast<int32_t>(t))) {
    std::vector<uint8_t> bytes;
    if (!data.ReadIndexFile(view, key, bytes)) continue;
    for (std::size_t at = 0; at + kIndexEntryBytes <= bytes.size(); at += kIndexEntryBytes) {
      const IndexEntry e = IndexEntry::FromBytes(bytes.data() + at);
      const int64_t ms = EntryMs(e);
      if (ms >= startMs && ms <= endMs) ++count;
    }
  }
  return count;
}

void ExportPump::Install() {
  engine_.setHandler(PlayMsgExportStart::id, [this](PlaybackMessage& m) {
    auto& start = std::get<PlayMsgExportStart>(m);
    Start(std::static_pointer_cast<ExportChannel>(start.exportWindow), start.view);
  });
  engine_.setHandler(PlayMsgExportNext::id, [this](PlaybackMessage&) { Next(); });
  PlaybackEngine::Handler reset = engine_.handler(PlayMsgExportReset::id);
  engine_.setHandler(PlayMsgExportReset::id, [this, reset](PlaybackMessage& m) {
    Stop();
    if (reset) reset(m);
  });
}

bool ExportPump::PostEvent(ExportEvent event) {
  if (!channel_ || !channel_->running()) return false;
  return channel_->post(std::move(event));
}

void ExportPump::Fail(const char* text) {
  Log("%s", text);
  engine_.output().post(MsgStatusText{std::string(text)});
  PostEvent(ExportFailed{std::string(text)});
  channel_.reset();
  view_ = -1;
}

void ExportPump::Stop() {
  channel_.reset();
  view_ = -1;
}

void ExportPump::Start(std::shared_ptr<ExportChannel> channel, int view) {
  // A view number beyond any playback view is ignored (nothing can be reported for it).
  if (!channel || view < 0 || view >= kMaxPlaybackViews) return;
  channel_ = std::move(channel);
  view_ = view;
  if (view >= engine_.viewCount() || !engine_.feedLoaded() || !engine_.timeline().feed().known()) {
    Fail(kTextExportInvalidView);
    return;
  }
  // The export starts at the beginning of the range, whatever playback showed last.
  const auto v = static_cast<std::size_t>(view);
  positions_ = ViewPositions{};
  pictures_ = reached_ = damaged_ = undecodable_ = 0;
  walkFailure_ = ReadFault::kNone;
  FindNextJpegs(engine_.data(), engine_.timeline(), positions_, 0, view, 1);
  const IndexEntry first = positions_.next[v];
  positions_.clearNext();
  std::vector<uint8_t> jpeg;
  RecordHeader header;
  if (first.empty() || !engine_.data().ReadJpegBytes(first, view, jpeg, header)) {
    Fail(kTextExportReadFailed);
    return;
  }
  const FeedRange& feed = engine_.timeline().feed();
  pictures_ = CountViewPictures(engine_.data(), view, feed);
  rate_ = ComputeExportRate(engine_.speed(), header.hasMotion(), pictures_, engine_.timeline().rangeLength());
  channel_->setRate(rate_);
  Log("export: view %d, %lld pictures, rate %d/%d, %d per step, skip %d", view, static_cast<long long>(pictures_),
      rate_.rate, rate_.scale, rate_.imagesPerStep, rate_.skip);
}

bool ExportPump::Advance() {
  const auto v = static_cast<std::size_t>(view_);
  RecordedData& data = engine_.data();
  data.clearReadFailure();
  // Every record the walk steps on is written unless images are passed over: then the
  // records of another instance come whole with their header, one request each.
  data.setWholeRecordReads(rate_.skip == 0);
  FindNextJpegs(data, engine_.timeline(), positions_, 0, view_, 1);
  data.setWholeRecordReads(false);
  damaged_ += positions_.damaged[v];
  if (positions_.next[v].empty()) {
    walkFailure_ = data.readFailure();
    return false;
  }
  walkFailure_ = ReadFault::kNone;
  positions_.current[v] = positions_.next[v];
  positions_.clearNext();
  ++reached_;
  return true;
}

std::string ExportPump::PositionText() const {
  const IndexEntry& at = positions_.current[static_cast<std::size_t>(view_)];
  if (!at.empty()) return FrameTimeText(at.time, at.milliseconds);
  const FeedRange& feed = engine_.timeline().feed();
  return FrameTimeText(feed.startTime, static_cast<unsigned>(feed.startMs));
}

int ExportPump::Percent() const {
  const FeedRange& feed = engine_.timeline().feed();
  const double length = engine_.timeline().rangeLength();
  const double done = (EntrySeconds(positions_.current[static_cast<std::size_t>(view_)]) - feed.start()) / length;
  return std::clamp(static_cast<int>(100.0 * done), 0, 100);
}

void ExportPump::Resume(const IndexEntry& position, int64_t damaged) {
  const auto v = static_cast<std::size_t>(view_);
  if (positions_.current[v] != position) --reached_;
  positions_.current[v] = position;
  positions_.clearNext();
  damaged_ = damaged;
  // The export side answers with its next request, which waits behind the newer work.
  PostEvent(ExportProgress{Percent()});
}

void ExportPump::Finish() {
  const int64_t lost = pictures_ - reached_ - damaged_;
  Log("export: view %d, %lld records reached, %lld passed over as damaged, %lld not decodable", view_,
      static_cast<long long>(reached_), static_cast<long long>(damaged_), static_cast<long long>(undecodable_));
  if (lost > 0) {
    char text[320];
    const std::string after = PositionText();
    if (walkFailure_ == ReadFault::kNoAnswer) {
      std::snprintf(text, sizeof text, kTextExportEndedNoAnswer, after.c_str(), static_cast<long long>(lost),
                    static_cast<long long>(pictures_));
    } else if (walkFailure_ == ReadFault::kUnreadable) {
      std::snprintf(text, sizeof text, kTextExportEndedUnreadable, after.c_str(), static_cast<long long>(lost),
                    static_cast<long long>(pictures_));
    } else {
      std::snprintf(text, sizeof text, kTextExportIncomplete, static_cast<long long>(lost),
                    static_cast<long long>(pictures_));
    }
    Fail(text);
    return;
  }
  PostEvent(ExportComplete{damaged_ + undecodable_});
  Stop();
}

void ExportPump::Next() {
  if (!channel_ || view_ < 0) return;
  // The export side ended (it failed, completed or was cancelled) while this step was
  // on its way: it has reported its own ending, so the pump only stops.
  if (!channel_->running()) {
    Stop();
    return;
  }
  const auto v = static_cast<std::size_t>(view_);
  for (int sent = 0; sent < rate_.imagesPerStep;) {
    const IndexEntry before = positions_.current[v];
    const int64_t damagedBefore = damaged_;
    if (!Advance()) {
      if (walkFailure_ == ReadFault::kGivenUp) return Resume(before, damagedBefore);
      Finish();
      return;
    }
    const IndexEntry position = positions_.current[v];
    RecordHeader header;
    std::unique_ptr<ImageHolder> frame = engine_.data().ReadJpeg(position, view_, &header);
    if (!frame) {
      switch (engine_.data().lastImageFault()) {
        case ReadFault::kDamaged:
          ++undecodable_;  // read, but not a whole image: passed over like other damage
          continue;
        case ReadFault::kGivenUp:
          return Resume(before, damagedBefore);
        default: {
          // The image is intact where it lies; writing on without it would lose it.
          char text[200];
          const std::string when = FrameTimeText(position.time, position.milliseconds);
          std::snprintf(text, sizeof text,
                        engine_.data().lastImageFault() == ReadFault::kNoAnswer ? kTextExportNoAnswer
                                                                                 : kTextExportUnreadable,
                        when.c_str());
          Fail(text);
          return;
        }
      }
    }
    ExportImage image;
    image.name = engine_.CaptionPrefix(view_);
    image.name.resize(image.name.size() - 2);  // without the ": "
    image.caption = engine_.CaptionPrefix(view_) + FrameTimeText(header.time, header.milliseconds);
    image.time = header.time;
    image.milliseconds = header.milliseconds;
    image.jpegLength = JpegLength(header);
    image.frame = std::move(frame);
    if (!PostEvent(std::move(image))) {
      // An export side that ended meanwhile is no failure of the send.
      if (channel_->running()) {
        Fail(kTextExportSendFailed);
      } else {
        Stop();
      }
      return;
    }
    ++sent;
  }
  // Faster material is thinned: the images passed over by the rate rule count as reached.
  for (int passed = 0; passed < rate_.skip; ++passed) {
    const IndexEntry before = positions_.current[v];
    const int64_t damagedBefore = damaged_;
    if (!Advance()) {
      if (walkFailure_ == ReadFault::kGivenUp) return Resume(before, damagedBefore);
      Finish();
      return;
    }
  }
  PostEvent(ExportProgress{Percent()});
}

}  // namespace velmora
