// The main thread's side of playback, without widgets: entering and leaving playback
// mode, turning the operator's commands and slider moves into thread messages, asking
// for new feeds (zoom in, zoom out, the same range, a selection), and following the
// playback thread's reports (slider position, column count, graph, playing flag, speed).
// A window shows this state, calls these operations and subscribes to the reports of
// what changed; the headless program uses them as they are, without a receiver.
//
// Main thread only (the tree's nodes and the view slots' playback slots are read here;
// reports are delivered while the operation or message that caused them runs).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "app/messages.h"
#include "app/program_signals.h"
#include "app/subscribers.h"
#include "media/image.h"
#include "playback/playback_engine.h"
#include "playback/playback_messages.h"

namespace velmora {

struct GroupRecord;
class ViewSlots;

constexpr const char* kTextNoActiveViews = "There are no view windows active.";  // 419
constexpr const char* kTextSelectView =
    "Please select a viewing window by clicking\non it with the left mouse button, or hold Ctrl\n"
    "and click on multiple windows.";  // 420
constexpr const char* kTextNoActivePlaybackViews = "There are no active views selected\nfor playback.";  // 426
constexpr const char* kTextPlaybackLimit = "Playback mode exited to allow file delete pass.";      // 445
constexpr const char* kTextEmptySelection = "Empty selection.";

// Speed slider: 27 steps of tenths of real time; position 6 is real time.
constexpr int kSpeedSteps = 27;
constexpr int kRealTimeSpeedPosition = 6;
// The step's value in tenths; a position outside 0..26 counts as 1.
int SpeedStepTenths(int position);
// "%d.%d" (whole part and tenths) for values up to 100 tenths, "%d" above.
std::string SpeedLabel(int position);

enum class FeedKind {
  kZoomIn,     // around the slider by the factor
  kZoomOut,    // relative to the full range by the factor (100,000: all of it)
  kSameRange,  // the current feed range again
  kSelection,  // the slider's selection, or everything when there is none
};

// What the controller reports to whoever shows playback (the window), one type per
// kind, so that a receiver redraws only what shows the change:
// a warning box with one of the texts above (logged when nobody receives reports);
struct PlaybackWarning {
  std::string text;
};
// show (true) or hide the Playback Controls pane;
struct PlaybackControlsShown {
  bool show = false;
};
// enable or disable the timeline slider, the range scroll bar and the date/time fields;
struct PlaybackControlsEnabled {
  bool enable = false;
};
// a new feed was requested ("Building view, please wait..." in the timeline);
struct PlaybackFeedRequested {};
// the slider's column or selection (also when the date and time fields must follow);
struct PlaybackSliderChanged {};
// the column count, the shown or full range, or playback mode (scale labels, range
// texts, the range scroll bar);
struct PlaybackRangeChanged {};
// the timeline graph (installed, or cleared when playback stopped);
struct PlaybackGraphChanged {};
// playing or paused;
struct PlaybackPlayStateChanged {};
// the speed slider's position.
struct PlaybackSpeedChanged {};

using PlaybackReport =
    std::variant<PlaybackWarning, PlaybackControlsShown, PlaybackControlsEnabled, PlaybackFeedRequested,
                 PlaybackSliderChanged, PlaybackRangeChanged, PlaybackGraphChanged, PlaybackPlayStateChanged,
                 PlaybackSpeedChanged>;

class PlaybackController {
 public:
  // queue: the playback thread's queue; summary: the engine's feed summary; slots: the
  // view slots; limit: the two-hour limit the engine's output starts (Tick watches it).
  // All must outlive the controller.
  PlaybackController(PlaybackQueue& queue, std::function<PlaybackSummary()> summary, ViewSlots& slots,
                     PlaybackLimitTimer& limit);

  // Receivers of the reports: every receiver gets every report, on the main thread, in
  // subscription order, while the call that caused it runs. Returns a token for
  // unsubscribe (never 0); a receiver must unsubscribe before it goes.
  int subscribe(std::function<void(const PlaybackReport&)> receiver) { return reports_.subscribe(std::move(receiver)); }

  // The view slots the controller picks the playback tiles in: the window shows the
  // same ones (it takes them from here, so the two can never differ).
  ViewSlots& shownSlots() const { return slots_; }
  void unsubscribe(int token) { reports_.unsubscribe(token); }

  // Command 10050: enter playback mode, or leave it when on. selected is the tree's
  // selected node (may be null). True when playback mode is on afterwards.
  bool Toggle(GroupRecord* selected);
  bool Enter(GroupRecord* selected);
  void Leave();
  bool active() const { return signals_.playbackMode.load(); }

  // Asks the playback thread for a new feed of the kind; false when no tile is left for
  // playback (playback mode is then left).
  bool RequestNewFeed(FeedKind kind, GroupRecord* selected, double factor = 3.0);
  // A new feed of an explicit range (range scroll bar, date and time fields).
  bool RequestRange(double startSeconds, double endSeconds, double zoomPosition, GroupRecord* selected);

  // Commands 10052..10058 (nothing outside playback mode).
  void ZoomIn(GroupRecord* selected);
  void ZoomOut(bool shift, GroupRecord* selected);
  void PreviousFrame();
  void ReversePlay();
  void Pause();
  void Play();
  void NextFrame();

  // The operator moved the timeline slider (shift: extend the selection).
  void SliderMoved(int column, bool shift);
  void ClearSelection();
  // The date and time fields were edited: seek to the recorded time t (seconds), or ask
  // for a feed of the same length centred on t (zoom position 0.5) when t lies outside
  // the shown range.
  void SeekToTime(double seconds, GroupRecord* selected);
  // The speed slider moved (0..26).
  void SetSpeedPosition(int position);

  // Reports of the playback thread (WM_APP+9..+20). True when the message was one.
  bool HandleMessage(AppMessage& message);
  // Timer work of the main thread: the two-hour limit.
  void Tick(int64_t nowMs);

  // Hands a message to the playback thread as it is (the export dialog's requests); false
  // (message freed) when the queue refuses it.
  bool PostToEngine(PlaybackMessage message) { return queue_.post(std::move(message)); }

  // --- State for a window ---
  // The engine's feed summary now (what the playback thread last published).
  PlaybackSummary summary() const;
  // All recorded material of the views, and the range the timeline shows; unknown
  // (start 0, end -1) outside playback or without recordings.
  FeedRange fullRange() const;
  FeedRange shownRange() const;
  // A feed is loaded and its range was found.
  bool rangeKnown() const;
  // The feed holds at least 20 pictures.
  bool enoughPictures() const;
  // The shown range is narrower than the full range.
  bool canZoomOut() const;
  int sliderColumn() const { return sliderColumn_; }
  int sliderMax() const { return sliderMax_; }
  bool hasSelection() const { return selectionStart_ >= 0 && selectionEnd_ > selectionStart_; }
  int selectionStart() const { return selectionStart_; }
  int selectionEnd() const { return selectionEnd_; }
  bool dragging() const { return dragging_; }
  bool playing() const { return playing_; }
  int speedPosition() const { return speedPosition_; }
  double zoomPosition() const { return zoomPosition_; }
  std::shared_ptr<Image> graph() const { return graph_; }
  // Tiles taking part in the last requested feed, in view order.
  const std::vector<int>& playbackTiles() const { return playbackTiles_; }

  // The tree whose entries the tiles show, and whose recordings folder they play (set
  // once the start-up has decided the folders, before playback starts). Held by a share:
  // the program's controller outlives the Core that gave it. Without one no tile shows
  // an entry.
  void setTree(std::shared_ptr<const DeviceTree> tree) { tree_ = std::move(tree); }

  // The recorded time under a slider column (seconds), from the feed summary.
  double ColumnTime(int column) const;
  // The five labels under the slider: start, quarter, half, three quarters and end of
  // the shown range ("%02u/%02u/%02u\r%02u:%02u:%02u", local time); empty without a feed.
  std::vector<std::string> TimeLabelTexts() const;
  // The full range's start and end ("%02u/%02u/%02u %02u:%02u:%02u") and the duration
  // text ("%d days + %02d:%02d:%02d showing    (%d days + ... total)" or
  // "Empty selection."). Empty without a feed.
  std::vector<std::string> RangeTexts() const;

 private:
  // Asks the playback thread for a new feed of the tiles in playback: the steps below in
  // order. False (and playback left) when no tile takes part.
  bool RequestFeed(FeedKind kind, GroupRecord* selected, double factor, const FeedRange* explicitRange,
                   double explicitZoom);
  // Tiles keep their playback slot only while they show a recordings folder or a device
  // being fetched; a selected recordings folder not yet shown takes the first free one.
  void KeepPlaybackSlotsInUse(GroupRecord* selected);
  // What the playback thread needs of each tile: its slot, name and recordings.
  std::vector<PlaybackView> DescribeViews(const std::vector<int>& tiles) const;
  // The range the feed asks for (unknown: the full range) by kind, and the slider's
  // place in it (kept in zoomPosition_).
  FeedRange ChooseRange(FeedKind kind, double factor, const FeedRange* explicitRange, double explicitZoom);
  // The nodes show stills while they play back; what they showed comes back after.
  void KeepWhatTilesShowed(const std::vector<int>& tiles);
  void Post(PlaybackMessage message);
  void Report(PlaybackReport report) { reports_.deliver(report); }
  void Message(const char* text);
  GroupRecord* NodeOfTile(int tile) const;

  PlaybackQueue& queue_;
  std::function<PlaybackSummary()> summary_;
  ViewSlots& slots_;
  PlaybackLimitTimer& limit_;
  Subscribers<const PlaybackReport> reports_;
  // Its playback flag says "playing back" to the removal pass and the engine's output.
  ProgramSignals& signals_ = programSignals();

  int sliderColumn_ = 0;
  int sliderMax_ = kInitialColumns;
  int selectionStart_ = -1;
  int selectionEnd_ = -1;
  int shiftAnchor_ = -1;
  bool dragging_ = false;
  bool playing_ = false;
  int speedPosition_ = kRealTimeSpeedPosition;
  double zoomPosition_ = 0;
  std::shared_ptr<Image> graph_;
  std::vector<int> playbackTiles_;
  std::shared_ptr<const DeviceTree> tree_;
};

// Splits a time into whole seconds and milliseconds (truncating), after adding `round`.
FeedRange MakeRange(double startSeconds, double endSeconds, double endRound);

}  // namespace velmora
