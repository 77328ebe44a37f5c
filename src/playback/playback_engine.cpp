#include "playback/playback_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "app/log.h"
#include "app/program_signals.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "platform/clock.h"
#include "recording/cleanup.h"

namespace velmora {

namespace {

int64_t RangeStartMs(const FeedRange& f) { return f.startTime * 1000 + f.startMs; }
int64_t RangeEndMs(const FeedRange& f) { return f.endTime * 1000 + f.endMs; }

}  // namespace

std::string FrameTimeText(int64_t seconds, unsigned milliseconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%02u/%02u/%02u %02u:%02u:%02u.%02u", static_cast<unsigned>(local.tm_mon + 1),
                static_cast<unsigned>(local.tm_mday), static_cast<unsigned>((local.tm_year + 1900) % 100),
                static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                static_cast<unsigned>(local.tm_sec), (milliseconds % 1000) / 10);
  return text;
}

double SteadyPlaybackClock::now() { return static_cast<double>(platform::SteadyMs()) / 1000.0; }

void SteadyPlaybackClock::wait(PlaybackQueue& queue, int ms) {
  if (ms > 0) queue.waitFor(std::chrono::milliseconds(ms));
}

bool ProgramPlaybackOutput::post(AppMessage message) { return mainQueue().post(std::move(message)); }

void ProgramPlaybackOutput::show(int tile, std::unique_ptr<ImageHolder> frame, std::string caption) {
  // A frame read before playback was left (the stop is still queued behind it) must
  // not land in a tile that shows something else by now: the window leaves playback
  // before it gives the tiles to another entry.
  if (!signals_.playbackMode.load()) return;
  slots_.SetImage(tile, std::move(frame), std::move(caption));
}

bool ProgramPlaybackOutput::waitDeletePass(std::chrono::milliseconds timeout) {
  return signals_.deletePass.wait(timeout);
}

void ProgramPlaybackOutput::closeAllRecordings() {
  std::shared_ptr<DeviceTree> tree;
  {
    std::lock_guard<std::mutex> guard(treeLock_);
    tree = tree_;
  }
  if (tree) CloseAllRecordings(tree->root.get());
}

void ProgramPlaybackOutput::setTree(std::shared_ptr<DeviceTree> tree) {
  std::lock_guard<std::mutex> guard(treeLock_);
  tree_ = std::move(tree);
}

void ProgramPlaybackOutput::limitTimer(bool start) {
  if (start) {
    limit_.start(platform::SteadyMs());
  } else {
    limit_.kill();
  }
}

PlaybackEngine::PlaybackEngine(int columnCapacity, PlaybackClock* clock, PlaybackOutput* output)
    : clock_(clock != nullptr ? clock : &steadyClock_),
      output_(output != nullptr ? *output : silentOutput_),
      timeline_(columnCapacity) {
  InstallDefaultHandlers();
  PublishSummary();
}

void PlaybackEngine::InstallDefaultHandlers() {
  setHandler(PlayMsgNewFeed::id, [this](PlaybackMessage& m) { NewFeed(std::get<PlayMsgNewFeed>(m)); });
  setHandler(PlayMsgSeek::id, [this](PlaybackMessage& m) {
    // Only the last of several queued seeks is carried out (slider drags).
    if (queue_.holds(PlayMsgSeek::id)) return;
    Seek(std::get<PlayMsgSeek>(m).column);
  });
  setHandler(PlayMsgStop::id, [this](PlaybackMessage&) { Stop(); });
  setHandler(PlayMsgPlayForward::id,
             [this](PlaybackMessage& m) { Play(std::get<PlayMsgPlayForward>(m).column, true); });
  setHandler(PlayMsgPlayBackward::id,
             [this](PlaybackMessage& m) { Play(std::get<PlayMsgPlayBackward>(m).column, false); });
  setHandler(PlayMsgPause::id, [this](PlaybackMessage&) {
    if (feedLoaded_) Pause();
  });
  setHandler(PlayMsgStepForward::id,
             [this](PlaybackMessage& m) { StepCommand(std::get<PlayMsgStepForward>(m).column, true); });
  setHandler(PlayMsgStepBackward::id,
             [this](PlaybackMessage& m) { StepCommand(std::get<PlayMsgStepBackward>(m).column, false); });
  setHandler(PlayMsgSpeed::id, [this](PlaybackMessage& m) { SetSpeedTenths(std::get<PlayMsgSpeed>(m).tenths); });
  // 20522 and 20523 belong to the export pump, which installs its handlers over these.
  setHandler(PlayMsgExportStart::id, Handler());
  setHandler(PlayMsgExportNext::id, Handler());
  setHandler(PlayMsgExportReset::id, [this](PlaybackMessage& m) {
    ResetPositions();
    auto& reset = std::get<PlayMsgExportReset>(m);
    if (reset.done) reset.done->set();
  });
}

void PlaybackEngine::setHandler(uint32_t id, Handler handler) {
  if (id < kFirstPlaybackMessage || id > kLastPlaybackMessage) return;
  handlers_[id - kFirstPlaybackMessage] = std::move(handler);
}

PlaybackEngine::Handler PlaybackEngine::handler(uint32_t id) const {
  if (id < kFirstPlaybackMessage || id > kLastPlaybackMessage) return Handler();
  return handlers_[id - kFirstPlaybackMessage];
}

bool PlaybackEngine::processOne() {
  std::optional<PlaybackMessage> message = queue_.take();
  if (message) {
    const uint32_t id = MessageId(*message);
    if (std::holds_alternative<PlayMsgQuit>(*message)) {
      quit_ = true;
      return true;
    }
    const Handler& h = handlers_[id - kFirstPlaybackMessage];
    if (h) h(*message);
    return true;
  }
  if (playing_) {
    PlayStep();
    return true;
  }
  return false;
}

void PlaybackEngine::run() {
  quit_ = false;
  while (!quit_ && !programSignals().shutdown.isSet() && !queue_.closed()) {
    if (!processOne()) {
      // Idle: sleep until a message arrives; the shutdown event is looked at every
      // 100 ms in case the quit message could not be posted.
      queue_.waitFor(std::chrono::milliseconds(100));
    }
  }
}

void PlaybackEngine::Post(AppMessage message) {
  output_.post(std::move(message));
}

PlaybackSummary PlaybackEngine::summary() const {
  std::lock_guard<std::mutex> guard(summaryLock_);
  return summary_;
}

void PlaybackEngine::PublishSummary() {
  PlaybackSummary s;
  s.feedLoaded = feedLoaded_;
  s.feed = timeline_.feed();
  s.full = timeline_.full();
  s.columns = timeline_.columns();
  s.rangeLength = timeline_.rangeLength();
  s.rangeKnown = timeline_.feed().known();
  s.pictures = timeline_.pictures();
  s.enoughPictures = s.rangeKnown && s.pictures >= kEnoughPictures;
  s.canZoomOut = s.rangeKnown && s.full.known() &&
                 (RangeStartMs(s.feed) > RangeStartMs(s.full) || RangeEndMs(s.feed) < RangeEndMs(s.full));
  std::lock_guard<std::mutex> guard(summaryLock_);
  summary_ = s;
}

std::string PlaybackEngine::CaptionPrefix(int view) const {
  if (view < 0 || view >= viewCount() || !views_[static_cast<std::size_t>(view)].hasNode) {
    return std::string(kTextNoViewSelected) + ": ";
  }
  return views_[static_cast<std::size_t>(view)].name + ": ";
}

bool PlaybackEngine::ShowFrame(int view, const IndexEntry& position) {
  if (view < 0 || view >= viewCount()) return false;
  RecordHeader header;
  std::unique_ptr<ImageHolder> frame;
  if (!position.empty()) frame = data_.ReadJpeg(position, view, &header);
  std::string caption = CaptionPrefix(view);
  if (frame) {
    caption += FrameTimeText(header.time, header.milliseconds);
    if (header.hasMotion()) motionCounter_ = kMotionSteps;
  } else {
    caption += kTextNoImageFound;
  }
  const bool shown = frame != nullptr;
  output_.show(views_[static_cast<std::size_t>(view)].tile, std::move(frame), std::move(caption));
  return shown;
}

void PlaybackEngine::BlankViews() {
  for (int v = 0; v < viewCount(); ++v) {
    output_.show(views_[static_cast<std::size_t>(v)].tile, nullptr, CaptionPrefix(v) + kTextNoImageFound);
  }
}

void PlaybackEngine::NewFeed(PlayMsgNewFeed& request) {
  ProfileTimer profile("new_feed");
  views_ = std::move(request.views);
  if (views_.size() > static_cast<std::size_t>(kMaxPlaybackViews)) views_.resize(kMaxPlaybackViews);
  std::vector<std::string> sources;
  std::vector<int> slots;
  for (const auto& view : views_) {
    sources.push_back(view.source);
    slots.push_back(view.slot);
  }
  data_.setSources(std::move(sources));

  FeedRange range = request.requested;
  if (!output_.waitDeletePass(std::chrono::milliseconds(1000))) {
    Log("NEWFEED: delete thread still running");
  }

  if (!range.known()) {
    // Find what is not known from the recordings of every view.
    const bool findStart = range.startTime == 0;
    const bool findEnd = range.endTime == -1;
    IndexEntry earliest, latest;
    for (int v = 0; v < viewCount(); ++v) {
      IndexEntry first, last;
      if (!data_.ReadFeedBounds(v, first, last)) continue;
      if (earliest.empty() || EntryBefore(first, earliest)) earliest = first;
      if (latest.empty() || EntryBefore(latest, last)) latest = last;
    }
    if (findStart && !earliest.empty()) {
      range.startTime = earliest.time;
      range.startMs = earliest.milliseconds;
    }
    if (findEnd && !latest.empty()) {
      range.endTime = latest.time;
      range.endMs = latest.milliseconds;
    }
  }

  positions_.clearCurrent();
  positions_.clearNext();
  lastShownMs_ = 0;
  timeDebt_ = 0;
  if (range.known()) {
    if (timeline_.Prepare(range, request.fullRange, viewCount())) {
      // The main thread reads the column count from the summary when the report arrives.
      PublishSummary();
      Post(MsgColumnCount{});
      const double zoom = std::clamp(request.zoomPosition, 0.0, 1.0);
      const int column = std::min(static_cast<int>(std::lround(timeline_.columns() * zoom)), timeline_.columns());
      Post(MsgSliderSeek{column});
      {
        ProfileTimer blank("BlankPlayback");
        timeline_.ClearIndex();
      }
      timeline_.Load(data_);
    }
    data_.setFeedRange(timeline_.feed());
  } else {
    timeline_.Blank(viewCount());
    data_.setFeedRange(timeline_.feed());
    PublishSummary();
    Post(MsgColumnCount{});
    BlankViews();
  }

  std::unique_ptr<Image> graph = DrawTimelineGraph(timeline_, slots);
  feedLoaded_ = true;
  motionCounter_ = 0;
  // The window reads the control states (pictures enough to zoom in, zoom-out possible)
  // when the graph arrives: they are published before it is posted.
  PublishSummary();
  if (graph) Post(MsgTimelineGraph{std::shared_ptr<Image>(std::move(graph))});

  output_.limitTimer(true);
  if (!timeline_.feed().known()) Post(MsgStatusText{std::string(kTextNoRecordedImages)});
  output_.closeAllRecordings();
}

void PlaybackEngine::Seek(int column) {
  if (!feedLoaded_) return;
  for (int v = 0; v < viewCount(); ++v) {
    IndexEntry& current = positions_.current[static_cast<std::size_t>(v)];
    current = timeline_.EntryAtColumn(v, column, true, motionCounter_);
    ShowFrame(v, current);
  }
  if (playing_) {
    shownColumn_ = column;
    lastShownMs_ = 0;
    lastTick_ = clock_->now();
    timeDebt_ = 0;
    Post(MsgSeekTaken{});
  }
}

void PlaybackEngine::Stop() {
  feedLoaded_ = false;
  playing_ = false;
  output_.limitTimer(false);
  timeline_.ForgetFeed();
  data_.setFeedRange(timeline_.feed());
  positions_.clearCurrent();
  positions_.clearNext();
  PublishSummary();
  Post(MsgPlaybackStopped{});
  Pause();
}

void PlaybackEngine::Play(int column, bool forwards) {
  if (!feedLoaded_) return;
  shownColumn_ = column;
  lastTick_ = clock_->now();
  timeDebt_ = 0;
  if (playing_) {
    if (forwards != (speed_ > 0)) {
      speed_ = -speed_;
      Post(MsgPlaying{});
    } else {
      Pause();
    }
    return;
  }
  playing_ = true;
  lastShownMs_ = 0;
  motionCounter_ = 0;
  speed_ = forwards ? std::fabs(speed_) : -std::fabs(speed_);
  Post(MsgPlaying{});
}

void PlaybackEngine::Pause() {
  Post(MsgPaused{});
  playing_ = false;
}

void PlaybackEngine::StepCommand(int column, bool forwards) {
  if (!feedLoaded_) return;
  if (playing_) {
    // While playing the step keys change the speed: on in the playing direction.
    const bool playingForwards = speed_ > 0;
    if (playingForwards == forwards) {
      Post(MsgSpeedUp{});
    } else {
      Post(MsgSpeedDown{});
    }
    return;
  }
  shownColumn_ = column;
  int64_t frameMs = 0;
  if (!StepFrames(forwards, column, frameMs)) return;
  ShowPending();
}

void PlaybackEngine::SetSpeedTenths(int tenths) {
  // A speed of zero could never pace a frame; the slowest step is a tenth.
  const double magnitude = std::max(tenths, 1) / 10.0;
  speed_ = speed_ < 0 ? -magnitude : magnitude;
}

void PlaybackEngine::ResetPositions() {
  positions_.clearCurrent();
  positions_.clearNext();
  lastShownMs_ = 0;
  timeDebt_ = 0;
  shownColumn_ = 0;
  Post(MsgTimelineColumn{0});
}

bool PlaybackEngine::StepFrames(bool forwards, int column, int64_t& frameMs) {
  const int views = viewCount();
  if (forwards) {
    FindNextJpegs(data_, timeline_, positions_, column, 0, views);
  } else {
    StepBack(data_, timeline_, positions_, column);
  }
  bool any = false;
  int64_t pivot = 0;
  for (int v = 0; v < views; ++v) {
    const IndexEntry& e = positions_.next[static_cast<std::size_t>(v)];
    if (e.empty()) continue;
    const int64_t ms = EntryMs(e);
    if (!any || (forwards ? ms < pivot : ms > pivot)) pivot = ms;
    any = true;
  }
  if (!any) return false;
  for (int v = 0; v < views; ++v) {
    IndexEntry& e = positions_.next[static_cast<std::size_t>(v)];
    if (e.empty()) continue;
    const int64_t distance = forwards ? EntryMs(e) - pivot : pivot - EntryMs(e);
    if (distance > kSyncWindowMs) e = IndexEntry{};
  }
  frameMs = pivot;
  return true;
}

void PlaybackEngine::ShowPending() {
  int firstShown = -1;
  for (int v = 0; v < viewCount(); ++v) {
    IndexEntry& next = positions_.next[static_cast<std::size_t>(v)];
    if (next.empty()) continue;
    ShowFrame(v, next);
    positions_.current[static_cast<std::size_t>(v)] = next;
    if (firstShown < 0) firstShown = v;
  }
  if (firstShown < 0) return;
  const int column = timeline_.ColumnOfTime(EntrySeconds(positions_.current[static_cast<std::size_t>(firstShown)]));
  positions_.clearNext();
  if (column != shownColumn_) {
    shownColumn_ = column;
    Post(MsgTimelineColumn{column});
  }
}

void PlaybackEngine::AddGap(int64_t frameMs) {
  const double direction = speed_ > 0 ? 1.0 : -1.0;
  double gap = lastShownMs_ == 0 ? 0 : static_cast<double>(frameMs - lastShownMs_) / 1000.0;
  lastShownMs_ = frameMs;
  if (motionCounter_ > 0) {
    gap = 0.1 * direction;
    --motionCounter_;
  }
  // A frame behind the last one shown (a view catching up) is not a reason to hurry.
  if (gap * direction < 0) gap = 0;
  timeDebt_ += gap / speed_;
}

int PlaybackEngine::JumpColumns(bool forwards) {
  const int columns = timeline_.columns();
  double target = (lastShownTime() - timeDebt_ * speed_ - timeline_.feed().start()) / timeline_.rangeLength() *
                  static_cast<double>(columns);
  if (!forwards) target += 0.5;
  target = std::clamp(target, 0.0, static_cast<double>(columns));
  const int targetColumn = static_cast<int>(target);
  const bool ahead = forwards ? targetColumn > shownColumn_ : targetColumn < shownColumn_;
  if (!ahead) return 0;

  const int step = forwards ? 1 : -1;
  positions_.clearNext();
  bool any = false;
  // The non-empty column nearest to the target, between the shown column and the target.
  for (int v = 0; v < viewCount(); ++v) {
    for (int c = targetColumn; forwards ? c > shownColumn_ : c < shownColumn_; c -= step) {
      const IndexEntry& first = timeline_.at(v, c).first;
      if (!first.empty()) {
        positions_.next[static_cast<std::size_t>(v)] = first;
        any = true;
        break;
      }
    }
  }
  // Nothing there: on beyond the target, one column at a time.
  for (int c = targetColumn + step; !any && c >= 0 && c <= columns; c += step) {
    for (int v = 0; v < viewCount(); ++v) {
      const IndexEntry& first = timeline_.at(v, c).first;
      if (!first.empty()) {
        positions_.next[static_cast<std::size_t>(v)] = first;
        any = true;
      }
    }
  }
  if (!any) {
    Pause();
    return 2;
  }
  int64_t pivot = 0;
  bool set = false;
  for (int v = 0; v < viewCount(); ++v) {
    const IndexEntry& e = positions_.next[static_cast<std::size_t>(v)];
    if (e.empty()) {
      // A view with nothing where the others jumped to joins again at the shown column
      // instead of holding everyone back at its old frame.
      positions_.current[static_cast<std::size_t>(v)] = IndexEntry{};
      continue;
    }
    const int64_t ms = EntryMs(e);
    if (!set || (forwards ? ms > pivot : ms < pivot)) pivot = ms;
    set = true;
  }
  lastShownMs_ = pivot;
  if (motionCounter_ > 0) {
    --motionCounter_;
  } else {
    clock_->wait(queue_, 10);
  }
  timeDebt_ = 0;
  return 1;
}

void PlaybackEngine::PlayStep() {
  if (!feedLoaded_ || viewCount() == 0) {
    Pause();
    return;
  }
  const bool forwards = speed_ > 0;
  const double now = clock_->now();
  timeDebt_ -= std::max(0.0, now - lastTick_);

  bool skipped = false;
  bool pending = false;
  if (timeDebt_ >= 0) {
    int64_t frameMs = 0;
    if (!StepFrames(forwards, shownColumn_, frameMs)) {
      Pause();
      return;
    }
    pending = true;
    AddGap(frameMs);
  }
  if (timeDebt_ < 0) {
    skipped = true;
    int jumped = 0;
    if ((forwards && speed_ > 1) || (!forwards && speed_ < -1)) jumped = JumpColumns(forwards);
    if (jumped == 2) return;
    if (jumped == 0) {
      // Step on without showing while late; every view keeps the last frame it reached.
      ViewPositions::Entries reached = positions_.next;
      while (timeDebt_ < 0) {
        for (int v = 0; v < viewCount(); ++v) {
          const IndexEntry& e = positions_.next[static_cast<std::size_t>(v)];
          if (!e.empty()) positions_.current[static_cast<std::size_t>(v)] = e;
        }
        int64_t frameMs = 0;
        if (!StepFrames(forwards, shownColumn_, frameMs)) {
          if (!pending) {
            Pause();
            return;
          }
          break;
        }
        for (int v = 0; v < viewCount(); ++v) {
          const IndexEntry& e = positions_.next[static_cast<std::size_t>(v)];
          if (!e.empty()) reached[static_cast<std::size_t>(v)] = e;
        }
        pending = true;
        AddGap(frameMs);
      }
      positions_.next = reached;
    }
  }
  timeDebt_ = std::min(timeDebt_, kMaxTimeDebt);
  if (!skipped && timeDebt_ >= 0) {
    const int wholeMs = static_cast<int>(std::floor(timeDebt_ * 1000.0));
    timeDebt_ -= wholeMs / 1000.0;
    clock_->wait(queue_, std::max(5, wholeMs));
  }
  lastTick_ = clock_->now();
  ShowPending();
}

}  // namespace velmora
