// The playback engine: all playback state, owned by the playback thread. It takes the
// thread messages 20512..20525 one at a time from its own queue, builds the timeline of
// a feed, reads and shows recorded frames paced by their recorded times and the speed,
// and reports to the main window with the typed messages of app/messages.h.
//
// Everything that touches the outside (the clock and its waits, the main window's queue,
// the view slots, the delete-pass event, the recorder's files, the two-hour timer) goes
// through a hook or the clock, so tests drive the engine without a thread or a window.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/program_signals.h"
#include "media/image.h"
#include "playback/recorded_data.h"
#include "playback/access_step.h"
#include "playback/playback_messages.h"
#include "playback/timeline.h"

namespace velmora {

class ViewSlots;  // live/view_slot.h

constexpr const char* kTextNoViewSelected = "No View Selected";  // 304
constexpr const char* kTextNoRecordedImages =
    "There are no recorded images in the view window(s) you have selected.";  // 418
// Frames whose recorded times lie within this of the step's frame are shown together.
constexpr int64_t kSyncWindowMs = 100;
// Steps after a frame with motion that are paced 0.1 s apart.
constexpr int kMotionSteps = 5;
// A feed needs this many frames before its controls count it as material.
constexpr int kEnoughPictures = 20;
// Longest time debt kept (seconds).
constexpr double kMaxTimeDebt = 2.0;

// The recorded time of a frame as the captions show it: "%02u/%02u/%02u %02u:%02u:%02u.%02u"
// (month, day, year % 100, hour, minute, second, hundredths; local time).
std::string FrameTimeText(int64_t seconds, unsigned milliseconds);

// Seconds of a monotonic clock, and waits that end early when a message arrives. Tests
// give the engine their own to pace playing without real time.
class PlaybackClock {
 public:
  virtual ~PlaybackClock() = default;
  virtual double now() = 0;
  // Waits up to ms milliseconds or until a message is waiting in the queue.
  virtual void wait(PlaybackQueue& queue, int ms) = 0;
};

// The program's clock (its steady reading) with real waits on the queue.
class SteadyPlaybackClock : public PlaybackClock {
 public:
  double now() override;
  void wait(PlaybackQueue& queue, int ms) override;
};

// The two-hour playback limit (the main window's timer 2, one-shot): started and killed
// by the playback thread, watched by the main thread's tick.
constexpr int64_t kPlaybackLimitMs = 7200000;
class PlaybackLimitTimer {
 public:
  void start(int64_t nowMs) { deadline_.store(nowMs + kPlaybackLimitMs); }
  void kill() { deadline_.store(0); }
  bool running() const { return deadline_.load() != 0; }
  // True once when the deadline has passed; the timer is then stopped.
  bool fire(int64_t nowMs) {
    int64_t deadline = deadline_.load();
    return deadline != 0 && nowMs >= deadline && deadline_.compare_exchange_strong(deadline, 0);
  }

 private:
  std::atomic<int64_t> deadline_{0};
};

// What the engine does outside itself, given to it at construction. Called on the
// engine's thread.
class PlaybackOutput {
 public:
  virtual ~PlaybackOutput() = default;
  // Posts to the main window; false when the post failed (the message is freed).
  virtual bool post(AppMessage message) = 0;
  // Shows a frame (or none) with its caption in a view slot.
  virtual void show(int tile, std::unique_ptr<ImageHolder> frame, std::string caption) = 0;
  // Waits for the delete-pass event; true when no delete pass runs.
  virtual bool waitDeletePass(std::chrono::milliseconds timeout) = 0;
  // Closes the recorder's open files of every device (they reopen with the next frame).
  virtual void closeAllRecordings() = 0;
  // Starts (true) or kills (false) the two-hour playback limit.
  virtual void limitTimer(bool start) = 0;
};
// An output that does nothing: posts are taken and dropped, frames are not shown, no
// delete pass is waited for, no files are closed, no limit runs. For engines of their own
// (the export command's), and a base for outputs that want only some of the calls.
class SilentPlaybackOutput : public PlaybackOutput {
 public:
  bool post(AppMessage) override { return true; }
  void show(int, std::unique_ptr<ImageHolder>, std::string) override {}
  bool waitDeletePass(std::chrono::milliseconds) override { return true; }
  void closeAllRecordings() override {}
  void limitTimer(bool) override {}
};
// The program's: main queue, view slots (only while playback is shown), delete-pass
// event, CloseAllRecordings of the tree it is given, and the playback limit it is given, started on
// the steady milliseconds of the program's clock (platform::SteadyMs), the time base the
// controller's tick reads it with.
class ProgramPlaybackOutput final : public PlaybackOutput {
 public:
  // shown: the view slots the frames are shown in.
  ProgramPlaybackOutput(PlaybackLimitTimer& limit, ViewSlots& shown) : limit_(limit), slots_(shown) {}
  bool post(AppMessage message) override;
  void show(int tile, std::unique_ptr<ImageHolder> frame, std::string caption) override;
  bool waitDeletePass(std::chrono::milliseconds timeout) override;
  void closeAllRecordings() override;
  void limitTimer(bool start) override;
  // The tree whose recordings closeAllRecordings closes (none before it is given). Any
  // thread; the output keeps a share, since the playback thread may outlive the Core.
  void setTree(std::shared_ptr<DeviceTree> tree);

 private:
  PlaybackLimitTimer& limit_;
  ViewSlots& slots_;
  std::mutex treeLock_;
  std::shared_ptr<DeviceTree> tree_;  // under treeLock_
  // The playback flag (frames of a left playback are dropped) and the delete-pass event.
  ProgramSignals& signals_ = programSignals();
};

// What the main thread needs of the feed (range texts, zooming, control states).
struct PlaybackSummary {
  bool feedLoaded = false;
  FeedRange feed;          // the shown range (unknown: start 0, end -1)
  FeedRange full;          // all recorded material of the views
  int columns = kInitialColumns;
  double rangeLength = 100.0;
  bool rangeKnown = false;
  bool enoughPictures = false;  // at least 20 frames in the feed
  bool canZoomOut = false;      // the shown range is narrower than the full range
  int pictures = 0;
};

class PlaybackEngine {
 public:
  using Handler = std::function<void(PlaybackMessage&)>;

  // columnCapacity: timeline columns per view (ColumnCapacity of the available memory).
  // clock: null for the steady clock; otherwise not owned and must outlive the engine.
  // output: null for a silent one (SilentPlaybackOutput); otherwise not owned and must
  // outlive the engine.
  explicit PlaybackEngine(int columnCapacity = kDefaultColumnCapacity, PlaybackClock* clock = nullptr,
                          PlaybackOutput* output = nullptr);
  PlaybackEngine(const PlaybackEngine&) = delete;
  PlaybackEngine& operator=(const PlaybackEngine&) = delete;

  PlaybackQueue& queue() { return queue_; }
  PlaybackOutput& output() { return output_; }
  PlaybackClock& clock() { return *clock_; }

  // The handler of a thread message 20512..20525 (the export pump installs its own for
  // 20522, 20523 and 20525). An empty handler ignores the message.
  void setHandler(uint32_t id, Handler handler);
  Handler handler(uint32_t id) const;

  // One pass of the thread's loop: one waiting message, or else one play step while
  // playing. False when there was nothing to do.
  bool processOne();
  // The loop: until the quit message, a closed queue or the shutdown event.
  void run();
  bool quitRequested() const { return quit_; }

  // --- State and reading functions (playback thread) ---
  RecordedData& data() { return data_; }
  Timeline& timeline() { return timeline_; }
  const Timeline& timeline() const { return timeline_; }
  ViewPositions& positions() { return positions_; }
  const std::vector<PlaybackView>& views() const { return views_; }
  int viewCount() const { return static_cast<int>(views_.size()); }
  bool feedLoaded() const { return feedLoaded_; }
  bool playing() const { return playing_; }
  double speed() const { return speed_; }
  int shownColumn() const { return shownColumn_; }
  int motionCounter() const { return motionCounter_; }
  double timeDebt() const { return timeDebt_; }
  // Recorded time of the last frames shown, in seconds; 0 before the first.
  double lastShownTime() const { return static_cast<double>(lastShownMs_) / 1000.0; }

  // A copy of the feed summary; safe from any thread.
  PlaybackSummary summary() const;

  // --- Operations behind the messages (playback thread) ---
  void NewFeed(PlayMsgNewFeed& request);
  void Seek(int column);
  void Stop();
  void Play(int column, bool forwards);
  void Pause();
  void StepCommand(int column, bool forwards);
  void SetSpeedTenths(int tenths);
  void ResetPositions();
  // One step of playing (pacing, skipping when late, showing).
  void PlayStep();

  // Reads the frame at the position and shows it in the view's tile with its caption
  // ("(no image found)" when it cannot be read); a frame with motion restarts the motion
  // counter. True when a frame was shown.
  bool ShowFrame(int view, const IndexEntry& position);
  // The caption of a view: the node's name (or "No View Selected") and ": ".
  std::string CaptionPrefix(int view) const;

  // Finds the next (forwards) or previous frames of every view from `column`, keeping
  // only those within 0.1 s of the earliest (forwards) / latest (backwards) one, whose
  // time (milliseconds since 1970) goes to frameMs. False when no view has one.
  bool StepFrames(bool forwards, int column, int64_t& frameMs);
  // Shows every view's pending frame and makes it current; reports a new shown column.
  void ShowPending();

 private:
  void InstallDefaultHandlers();
  void Post(AppMessage message);
  void PublishSummary();
  // Adds the recorded gap up to frameMs to the time debt (motion steps count 0.1 s).
  // Gaps are taken in whole milliseconds, so pacing does not drift with the size of the
  // recorded times.
  void AddGap(int64_t frameMs);
  // The late path at high speed: jump along the timeline columns towards where the
  // recorded time should be. 0 not ahead (nothing done), 1 frames pending, 2 paused.
  int JumpColumns(bool forwards);
  void BlankViews();

  PlaybackQueue queue_;
  SteadyPlaybackClock steadyClock_;
  SilentPlaybackOutput silentOutput_;
  PlaybackClock* clock_;
  PlaybackOutput& output_;
  std::array<Handler, kLastPlaybackMessage - kFirstPlaybackMessage + 1> handlers_;
  bool quit_ = false;

  RecordedData data_;
  Timeline timeline_;
  ViewPositions positions_;
  std::vector<PlaybackView> views_;
  bool feedLoaded_ = false;
  bool playing_ = false;
  double speed_ = 1.0;
  double timeDebt_ = 0;
  double lastTick_ = 0;
  int64_t lastShownMs_ = 0;  // 0: none shown since play began
  int shownColumn_ = 0;
  int motionCounter_ = 0;

  mutable std::mutex summaryLock_;
  PlaybackSummary summary_;  // guarded by summaryLock_
};

}  // namespace velmora
