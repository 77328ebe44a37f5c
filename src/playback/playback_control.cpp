#include "playback/playback_control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "live/view_slot.h"
#include "model/group_record.h"

namespace velmora {

namespace {

constexpr int kSpeedTenths[kSpeedSteps] = {1,    2,    3,     4,     5,     8,      10,     12,    15,
                                           20,   25,   30,    40,    50,    70,     100,    250,   500,
                                           1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 1000000};

bool IsRecordingsFolderKind(int32_t kind) {
  return kind == EntryKind::RemovableFolder || kind == EntryKind::OldRecordingsFolder;
}

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string LocalTimeText(double seconds, const char* format) {
  const time_t t = static_cast<time_t>(std::floor(seconds));
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(local.tm_mon + 1),
                static_cast<unsigned>(local.tm_mday), static_cast<unsigned>((local.tm_year + 1900) % 100),
                static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                static_cast<unsigned>(local.tm_sec));
  return text;
}

std::string DurationText(double seconds, const char* format) {
  const int64_t whole = static_cast<int64_t>(std::max(seconds, 0.0));
  char text[96];
  std::snprintf(text, sizeof text, format, static_cast<int>(whole / 86400), static_cast<int>(whole % 86400 / 3600),
                static_cast<int>(whole % 3600 / 60), static_cast<int>(whole % 60));
  return text;
}

}  // namespace

int SpeedStepTenths(int position) {
  if (position < 0 || position >= kSpeedSteps) return 1;
  return kSpeedTenths[position];
}

std::string SpeedLabel(int position) {
  const int value = SpeedStepTenths(position);
  char text[32];
  if (value <= 100) {
    std::snprintf(text, sizeof text, "%d.%d", value / 10, value % 10);
  } else {
    std::snprintf(text, sizeof text, "%d", value / 10);
  }
  return text;
}

FeedRange MakeRange(double startSeconds, double endSeconds, double endRound) {
  FeedRange range;
  const double start = std::floor(startSeconds);
  range.startTime = static_cast<int64_t>(start);
  range.startMs = std::clamp(static_cast<int>((startSeconds - start) * 1000.0), 0, 999);
  const double endValue = endSeconds + endRound;
  const double end = std::floor(endValue);
  range.endTime = static_cast<int64_t>(end);
  range.endMs = std::clamp(static_cast<int>((endValue - end) * 1000.0), 0, 999);
  return range;
}

PlaybackController::PlaybackController(PlaybackQueue& queue, std::function<PlaybackSummary()> summary,
                                       ViewSlots& slots, PlaybackLimitTimer& limit)
    : queue_(queue), summary_(std::move(summary)), slots_(slots), limit_(limit) {}

void PlaybackController::Post(PlaybackMessage message) {
  if (!PostToEngine(std::move(message))) Log("PostThreadMessage failed (playback queue)");
}

void PlaybackController::Message(const char* text) {
  // Without a window nobody shows a box: the text goes to the log.
  if (reports_.empty()) {
    Log("%s", text);
    return;
  }
  Report(PlaybackWarning{text});
}

GroupRecord* PlaybackController::NodeOfTile(int tile) const {
  return tree_ ? FindByViewSlot(tree_->root.get(), tile) : nullptr;
}

bool PlaybackController::Toggle(GroupRecord* selected) {
  if (active()) {
    Leave();
    return false;
  }
  return Enter(selected);
}

bool PlaybackController::Enter(GroupRecord* selected) {
  if (active()) return true;
  int chosen = 0;
  for (int t = 0; t < viewSlotCount; ++t)
    if (slots_.PlaybackSlot(t) >= 0) ++chosen;

  if (chosen == 0) {
    int activeCount = 0;
    int activeTile = -1;
    for (int t = 0; t < viewSlotCount; ++t) {
      const GroupRecord* node = NodeOfTile(t);
      if (node != nullptr && node->fetchActive && !node->stillShown) {
        if (activeTile < 0) activeTile = t;
        ++activeCount;
      }
    }
    if (activeCount == 1 && activeTile == 0) {
      slots_.SetPlaybackSlot(0, slots_.LowestFreePlaybackSlot());
      chosen = 1;
    } else if (activeCount == 0) {
      Message(kTextNoActiveViews);
      return false;
    } else {
      for (int t = 0; t < viewSlotCount; ++t) {
        if (slots_.RecordingMark(t) == kRecordingMarkOff) continue;
        const int slot = slots_.LowestFreePlaybackSlot();
        if (slot < 0) break;
        slots_.SetPlaybackSlot(t, slot);
        ++chosen;
      }
      if (chosen == 0) {
        Message(kTextSelectView);
        return false;
      }
    }
  }

  // A recordings folder selected in the tree takes the place of a single chosen tile.
  if (chosen == 1 && selected != nullptr && IsRecordingsFolderKind(selected->kind)) {
    int tile = -1;
    for (int t = 0; t < viewSlotCount && tile < 0; ++t)
      if (slots_.PlaybackSlot(t) >= 0) tile = t;
    if (tile >= 0) {
      if (GroupRecord* shown = NodeOfTile(tile); shown != nullptr && shown != selected) shown->viewIndex = -1;
      slots_.SetCaptionAndClear(tile, selected->name);
      selected->viewIndex = tile;
      selected->shownIn = &slots_;
      selected->fetchIndex = tile;
    }
  }

  signals_.playbackMode.store(true);
  ClearSelection();
  return RequestNewFeed(FeedKind::kSelection, selected);
}

void PlaybackController::Leave() {
  signals_.playbackMode.store(false);
  Report(PlaybackControlsEnabled{false});
  Post(PlayMsgStop{});
  ClearSelection();
  playing_ = false;
  dragging_ = false;
  // The pane stays only when the operator keeps it shown (the tree's settings); the
  // window follows the mode either way.
  Report(PlaybackControlsShown{tree_ != nullptr && tree_->settings->playbackShow});
  for (int t = 0; t < viewSlotCount; ++t) {
    GroupRecord* node = NodeOfTile(t);
    if (node != nullptr) {
      if (!node->stillShown) continue;
      {
        // The fetch workers read stillShown under fetchLock.
        std::lock_guard<std::mutex> guard(node->fetchLock);
        node->stillShown = false;
      }
      std::unique_ptr<ImageHolder> frame;
      if (node->savedImage) {
        frame = std::make_unique<ImageHolder>();
        frame->image = node->savedImage->Copy();
      }
      slots_.SetImage(t, std::move(frame), node->savedCaption);
      node->savedImage.reset();
      node->savedCaption.clear();
    } else if (slots_.PlaybackSlot(t) >= 0) {
      slots_.SetImage(t, nullptr, kTextNoViewSelected);
    }
  }
  Report(PlaybackPlayStateChanged{});
  Report(PlaybackSliderChanged{});
  Report(PlaybackRangeChanged{});
}

bool PlaybackController::RequestNewFeed(FeedKind kind, GroupRecord* selected, double factor) {
  return RequestFeed(kind, selected, factor, nullptr, 0);
}

namespace {

// A range to ask the playback thread for, and where the slider stands in it (0 to 1).
struct RangeChoice {
  FeedRange range = FeedRange::Unknown();
  double zoomPosition = 0;
};

// The recorded time at the left edge of a slider column of the shown range.
double SummaryColumnTime(const PlaybackSummary& s, int column) {
  const int columns = std::max(s.columns, 1);
  return s.feed.start() + static_cast<double>(column) * s.rangeLength / columns;
}

// Zooming in `factor` times: the columns around the slider's, moved inside the shown
// range where they would pass an edge. Unknown while the shown range is.
RangeChoice ZoomInRange(const PlaybackSummary& s, int sliderColumn, double factor) {
  RangeChoice choice;
  if (!s.rangeKnown) return choice;
  const int columns = std::max(s.columns, 1);
  const int k = std::max(1, static_cast<int>(factor));
  const int slider = std::clamp(sliderColumn, 0, columns);
  int first = slider - columns / (2 * k);
  int last = first + columns / k;
  if (first < 0) {
    last -= first;
    first = 0;
  }
  if (last > columns - 1) {
    first = std::max(0, first - (last - (columns - 1)));
    last = columns - 1;
  }
  if (last <= first) return choice;
  const double end = last == columns - 1 ? s.feed.end() : SummaryColumnTime(s, last);
  choice.range = MakeRange(SummaryColumnTime(s, first), end, 0.0005);
  choice.zoomPosition = std::min(1.0, static_cast<double>(slider - first) / (last - first));
  return choice;
}

// Zooming out `factor` times around the shown range's centre, kept inside the full
// range; the whole of it once the zoomed range would cover nearly all of it.
RangeChoice ZoomOutRange(const PlaybackSummary& s, int sliderColumn, double factor) {
  RangeChoice choice;
  if (!s.rangeKnown || !s.full.known()) return choice;
  const double fullStart = s.full.start(), fullEnd = s.full.end();
  const double fullLength = fullEnd - fullStart;
  double start = fullStart, end = fullEnd;
  if (fullLength > 0) {
    const double fraction = (s.feed.end() - s.feed.start()) / fullLength * factor;
    if (fraction <= 0.99) {
      const double length = fraction * fullLength;
      const double centre = (s.feed.start() + s.feed.end()) / 2;
      start = centre - length / 2;
      end = start + length;
      if (start < fullStart) {
        start = fullStart;
        end = start + length;
      }
      if (end > fullEnd) {
        end = fullEnd;
        start = std::max(fullStart, end - length);
      }
      if (!(end > start)) {
        start = fullStart;
        end = fullEnd;
      }
    }
  }
  choice.range = MakeRange(start, end, 0.001);
  const double sliderTime = SummaryColumnTime(s, std::clamp(sliderColumn, 0, std::max(s.columns, 1)));
  choice.zoomPosition = end > start ? std::clamp((sliderTime - start) / (end - start), 0.0, 1.0) : 0.0;
  return choice;
}

}  // namespace

void PlaybackController::KeepPlaybackSlotsInUse(GroupRecord* selected) {
  const bool folderSelected = selected != nullptr && IsRecordingsFolderKind(selected->kind);
  bool folderPlaced = false;
  for (int t = 0; t < viewSlotCount; ++t) {
    if (slots_.PlaybackSlot(t) < 0) continue;
    GroupRecord* node = NodeOfTile(t);
    if (node == nullptr && folderSelected && !folderPlaced && selected->viewIndex < 0) {
      folderPlaced = true;
      selected->viewIndex = t;
      selected->shownIn = &slots_;
      selected->fetchIndex = t;
      slots_.SetCaptionAndClear(t, selected->name);
      continue;
    }
    if (node != nullptr && (IsRecordingsFolderKind(node->kind) || node->fetchActive)) continue;
    slots_.SetPlaybackSlot(t, -1);
    if (ViewSlot* slot = slots_.at(t)) slot->Invalidate(false);
  }
}

std::vector<PlaybackView> PlaybackController::DescribeViews(const std::vector<int>& tiles) const {
  std::vector<PlaybackView> views;
  for (int t : tiles) {
    PlaybackView view;
    view.tile = t;
    view.slot = slots_.PlaybackSlot(t);
    if (const GroupRecord* node = NodeOfTile(t)) {
      view.hasNode = true;
      view.name = node->name;
      view.source = PlaybackSource(*node, tree_->recordingsFolder);
    }
    views.push_back(std::move(view));
  }
  return views;
}

FeedRange PlaybackController::ChooseRange(FeedKind kind, double factor, const FeedRange* explicitRange,
                                          double explicitZoom) {
  if (kind != FeedKind::kSameRange) zoomPosition_ = 0;
  const PlaybackSummary s = summary_ ? summary_() : PlaybackSummary{};
  RangeChoice choice;
  switch (explicitRange != nullptr ? FeedKind::kSameRange : kind) {
    case FeedKind::kZoomIn:
      choice = ZoomInRange(s, sliderColumn_, factor);
      break;
    case FeedKind::kZoomOut:
      choice = ZoomOutRange(s, sliderColumn_, factor);
      break;
    case FeedKind::kSameRange:
      // The slider keeps its place unless the caller gives one with the range.
      choice.zoomPosition = zoomPosition_;
      if (explicitRange != nullptr) {
        choice.range = *explicitRange;
        choice.zoomPosition = std::clamp(explicitZoom, 0.0, 1.0);
      } else if (s.rangeKnown) {
        choice.range = s.feed;
      }
      break;
    case FeedKind::kSelection:
      if (hasSelection() && s.rangeKnown) {
        choice.range = MakeRange(SummaryColumnTime(s, selectionStart_), SummaryColumnTime(s, selectionEnd_), 0.0005);
      }
      break;
  }
  zoomPosition_ = choice.zoomPosition;
  return choice.range;
}

void PlaybackController::KeepWhatTilesShowed(const std::vector<int>& tiles) {
  for (int t : tiles) {
    GroupRecord* node = NodeOfTile(t);
    if (node == nullptr || node->stillShown) continue;
    {
      std::lock_guard<std::mutex> guard(node->fetchLock);
      node->stillShown = true;
    }
    node->savedCaption = slots_.Text(t);
    const ViewSlot* slot = slots_.at(t);
    node->savedImage = slot != nullptr ? std::shared_ptr<Image>(slot->CopyImage()) : nullptr;
  }
}

bool PlaybackController::RequestFeed(FeedKind kind, GroupRecord* selected, double factor,
                                     const FeedRange* explicitRange, double explicitZoom) {
  KeepPlaybackSlotsInUse(selected);
  std::vector<int> tiles;
  for (int t = 0; t < viewSlotCount && static_cast<int>(tiles.size()) < kMaxPlaybackViews; ++t)
    if (slots_.PlaybackSlot(t) >= 0) tiles.push_back(t);
  if (tiles.empty()) {
    Message(kTextNoActivePlaybackViews);
    Leave();
    return false;
  }

  Report(PlaybackControlsShown{true});
  playbackTiles_ = tiles;
  PlayMsgNewFeed message;
  message.views = DescribeViews(tiles);
  message.requested = ChooseRange(kind, factor, explicitRange, explicitZoom);
  message.fullRange = !message.requested.known();
  message.zoomPosition = zoomPosition_;
  KeepWhatTilesShowed(tiles);

  graph_.reset();
  Report(PlaybackFeedRequested{});
  Post(std::move(message));
  Report(PlaybackControlsEnabled{true});
  return true;
}

bool PlaybackController::RequestRange(double startSeconds, double endSeconds, double zoomPosition,
                                      GroupRecord* selected) {
  if (!active()) return false;
  const PlaybackSummary s = summary_ ? summary_() : PlaybackSummary{};
  double start = startSeconds, end = endSeconds;
  if (s.full.known()) {
    // Kept inside the full range, keeping the length where it fits.
    const double length = end - start;
    if (start < s.full.start()) {
      start = s.full.start();
      end = start + length;
    }
    if (end > s.full.end()) {
      end = s.full.end();
      start = std::max(s.full.start(), end - length);
    }
  }
  if (!(end > start)) return false;
  const FeedRange range = MakeRange(start, end, 0.0005);
  return RequestFeed(FeedKind::kSameRange, selected, 1.0, &range, zoomPosition);
}

void PlaybackController::ZoomIn(GroupRecord* selected) {
  // Fewer than 20 pictures are not spread over a narrower range.
  if (!active() || !enoughPictures()) return;
  if (hasSelection()) {
    RequestNewFeed(FeedKind::kSelection, selected);
  } else {
    ClearSelection();
    RequestNewFeed(FeedKind::kZoomIn, selected, 3.0);
  }
  ClearSelection();
  Report(PlaybackSliderChanged{});
}

void PlaybackController::ZoomOut(bool shift, GroupRecord* selected) {
  // A feed that shows all the material has nothing to zoom out to.
  if (!active() || !canZoomOut()) return;
  RequestNewFeed(FeedKind::kZoomOut, selected, shift ? 100000.0 : 3.0);
}

void PlaybackController::PreviousFrame() {
  if (active()) Post(PlayMsgStepBackward{sliderColumn_});
}
void PlaybackController::ReversePlay() {
  if (active()) Post(PlayMsgPlayBackward{sliderColumn_});
}
void PlaybackController::Pause() {
  if (active()) Post(PlayMsgPause{});
}
void PlaybackController::Play() {
  if (active()) Post(PlayMsgPlayForward{sliderColumn_});
}
void PlaybackController::NextFrame() {
  if (active()) Post(PlayMsgStepForward{sliderColumn_});
}

void PlaybackController::SliderMoved(int column, bool shift) {
  column = std::clamp(column, 0, sliderMax_);
  if (shift) {
    if (shiftAnchor_ < 0) shiftAnchor_ = sliderColumn_;
    selectionStart_ = std::min(shiftAnchor_, column);
    selectionEnd_ = std::max(shiftAnchor_, column);
  } else {
    shiftAnchor_ = -1;
  }
  sliderColumn_ = column;
  if (active()) {
    // While playing the play's own column reports must not pull the thumb back until
    // the seek has been taken over.
    if (playing_) dragging_ = true;
    Post(PlayMsgSeek{column});
  }
  Report(PlaybackSliderChanged{});
}

void PlaybackController::SeekToTime(double seconds, GroupRecord* selected) {
  if (!active()) return;
  const PlaybackSummary s = summary_ ? summary_() : PlaybackSummary{};
  if (!s.rangeKnown || s.rangeLength <= 0) return;
  const double column = s.columns * (seconds - s.feed.start()) / s.rangeLength;
  if (column < 0 || column > s.columns) {
    // A range of the same length centred on t, kept inside the full range. The new feed
    // puts the slider at the zoom position and seeks there itself, so the position is
    // t's place in the range as it was kept: 0.5 unless the range met an end.
    double start = seconds - s.rangeLength / 2;
    double end = start + s.rangeLength;
    if (s.full.known()) {
      if (end > s.full.end()) {
        end = s.full.end();
        start = end - s.rangeLength;
      }
      if (start < s.full.start()) {
        start = s.full.start();
        end = std::min(s.full.end(), start + s.rangeLength);
      }
    }
    if (!(end > start)) return;
    RequestRange(start, end, std::clamp((seconds - start) / (end - start), 0.0, 1.0), selected);
    return;
  }
  // A time at a column's start belongs to that column, whatever the rounding of the
  // division (as the playback thread counts the column of a shown frame).
  SliderMoved(std::min(s.columns, static_cast<int>(column + 0.001)), false);
}

void PlaybackController::ClearSelection() {
  selectionStart_ = -1;
  selectionEnd_ = -1;
  shiftAnchor_ = -1;
}

void PlaybackController::SetSpeedPosition(int position) {
  speedPosition_ = std::clamp(position, 0, kSpeedSteps - 1);
  Post(PlayMsgSpeed{SpeedStepTenths(speedPosition_)});
  Report(PlaybackSpeedChanged{});
}

bool PlaybackController::HandleMessage(AppMessage& message) {
  bool handled = true;
  std::visit(Overloaded{
                 [this](MsgPlaybackStopped&) {
                   graph_.reset();
                   Report(PlaybackGraphChanged{});
                   Report(PlaybackRangeChanged{});
                 },
                 [this](MsgTimelineGraph& m) {
                   // The graph comes with the feed's range: texts and scroll bar follow it.
                   graph_ = std::move(m.graph);
                   Report(PlaybackGraphChanged{});
                   Report(PlaybackRangeChanged{});
                 },
                 [this](MsgTimelineColumn& m) {
                   if (dragging_) return;
                   const int column = std::clamp(m.column, 0, sliderMax_);
                   if (column == sliderColumn_) return;
                   sliderColumn_ = column;
                   Report(PlaybackSliderChanged{});
                 },
                 [this](MsgPlaying&) {
                   playing_ = true;
                   Report(PlaybackPlayStateChanged{});
                 },
                 [this](MsgPaused&) {
                   playing_ = false;
                   // A drag during play has nothing left to wait for.
                   dragging_ = false;
                   Report(PlaybackPlayStateChanged{});
                 },
                 [this](MsgSpeedUp&) { SetSpeedPosition(std::min(speedPosition_ + 1, kSpeedSteps - 1)); },
                 [this](MsgSpeedDown&) { SetSpeedPosition(std::max(speedPosition_ - 1, 0)); },
                 [this](MsgSeekTaken&) { dragging_ = false; },
                 [this](MsgColumnCount&) {
                   sliderMax_ = std::max(1, summary_ ? summary_().columns : kInitialColumns);
                   sliderColumn_ = std::clamp(sliderColumn_, 0, sliderMax_);
                   // Columns of the old count mean other times now.
                   ClearSelection();
                   Report(PlaybackRangeChanged{});
                   Report(PlaybackSliderChanged{});
                 },
                 [this](MsgSliderSeek& m) {
                   sliderColumn_ = std::clamp(m.column, 0, sliderMax_);
                   Post(PlayMsgSeek{sliderColumn_});
                   Report(PlaybackSliderChanged{});
                 },
                 [&handled](auto&) { handled = false; },
             },
             message);
  return handled;
}

void PlaybackController::Tick(int64_t nowMs) {
  if (!limit_.fire(nowMs)) return;
  if (!active()) return;
  PostStatus(kTextPlaybackLimit);
  Leave();
}

PlaybackSummary PlaybackController::summary() const { return summary_ ? summary_() : PlaybackSummary{}; }

FeedRange PlaybackController::fullRange() const {
  const PlaybackSummary s = summary();
  if (!active() || !s.feedLoaded || !s.rangeKnown) return FeedRange::Unknown();
  return s.full.known() ? s.full : s.feed;
}

FeedRange PlaybackController::shownRange() const {
  const PlaybackSummary s = summary();
  if (!active() || !s.feedLoaded || !s.rangeKnown) return FeedRange::Unknown();
  return s.feed;
}

bool PlaybackController::rangeKnown() const {
  const PlaybackSummary s = summary();
  return s.feedLoaded && s.rangeKnown;
}

bool PlaybackController::enoughPictures() const {
  const PlaybackSummary s = summary();
  return s.feedLoaded && s.enoughPictures;
}

bool PlaybackController::canZoomOut() const {
  const PlaybackSummary s = summary();
  return s.feedLoaded && s.canZoomOut;
}

double PlaybackController::ColumnTime(int column) const {
  const PlaybackSummary s = summary_ ? summary_() : PlaybackSummary{};
  if (!s.rangeKnown || s.columns <= 0) return 0;
  return s.feed.start() + static_cast<double>(column) * s.rangeLength / s.columns;
}

std::vector<std::string> PlaybackController::TimeLabelTexts() const {
  const PlaybackSummary s = summary_ ? summary_() : PlaybackSummary{};
  if (!active() || !s.feedLoaded || !s.rangeKnown) return std::vector<std::string>(5);
  std::vector<std::string> labels;
  for (int i = 0; i <= 4; ++i) {
    labels.push_back(LocalTimeText(s.feed.start() + s.rangeLength * i / 4.0, "%02u/%02u/%02u\r%02u:%02u:%02u"));
  }
  return labels;
}

std::vector<std::string> PlaybackController::RangeTexts() const {
  const PlaybackSummary s = summary_ ? summary_() : PlaybackSummary{};
  if (!active() || !s.feedLoaded || !s.rangeKnown) return std::vector<std::string>(3);
  const FeedRange full = s.full.known() ? s.full : s.feed;
  std::vector<std::string> texts;
  texts.push_back(LocalTimeText(full.start(), "%02u/%02u/%02u %02u:%02u:%02u"));
  texts.push_back(LocalTimeText(full.end(), "%02u/%02u/%02u %02u:%02u:%02u"));
  const double shown = s.feed.end() - s.feed.start();
  if (shown < 1.0) {
    texts.emplace_back(kTextEmptySelection);
  } else {
    texts.push_back(DurationText(shown, "%d days + %02d:%02d:%02d showing") +
                    DurationText(full.end() - full.start(), "    (%d days + %02d:%02d:%02d total)"));
  }
  return texts;
}

}  // namespace velmora
