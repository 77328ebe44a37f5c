// The export pump: the playback thread's side of an export. On 20522 it works out the
// frame rate of the exported stream from the view's recordings and the playback speed;
// on each 20523 it reads one step of images (one or two, then the images it passes
// over) and posts them, with the progress, to the export side's channel. The export side
// asks for two steps at the start and for one more as it takes each step's progress, so
// the pump reads the next step while the export side writes the last one, and at most
// two steps are ever queued.
//
// The pump walks the view's records with a position of its own: playing, seeking or
// stepping between two export steps never moves it, and every record of the range is
// written whatever the playback does meanwhile. Damaged records (read, but not a whole
// image) are passed over and counted. An image that could not be read (the source did
// not answer through every retry of its reader, a file could not be read) is intact
// where it lies: the export fails and names its recorded time. Records of the range
// that the walk could not reach make the export fail too, saying why when a read failed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "app/bounded_queue.h"
#include "media/image.h"
#include "playback/playback_engine.h"

namespace velmora {

// Failure texts of the pump (string table).
constexpr const char* kTextExportInvalidView = "Export requested invalid view!";            // 455
constexpr const char* kTextExportReadFailed = "Unable to read file for export!";            // 460
constexpr const char* kTextExportSendFailed = "Unable to send image to export thread!";     // 463
// The walk ended before the last record of the range (a file went away, playback was
// left): what was written is not the whole range.
constexpr const char* kTextExportIncomplete = "Export ended early: %lld of %lld recorded images were not reached!";
// An image of the range that could not be read; %s is its recorded time as the captions
// show it (local time).
constexpr const char* kTextExportNoAnswer =
    "Export stopped: the source stopped answering at the recorded image of %s!";                   // 760
constexpr const char* kTextExportUnreadable = "Export stopped: the recorded image of %s could not be read!";  // 761
// The walk ended early because a read failed; %s is the time of the last image reached
// (the start of the range before the first).
constexpr const char* kTextExportEndedNoAnswer =
    "Export ended early: the source stopped answering after %s; %lld of %lld recorded images were not reached!";  // 762
constexpr const char* kTextExportEndedUnreadable =
    "Export ended early: the recordings could not be read after %s; %lld of %lld recorded images were not "
    "reached!";  // 763

// One image to write (20480): the caption and the export image record.
struct ExportImage {
  static constexpr uint32_t id = 20480;
  std::string caption;          // name + ": " + the image time as the captions show it
  std::string name;             // the device's name, or "No View Selected"
  int64_t time = 0;             // seconds since 1970 UTC
  uint32_t milliseconds = 0;
  uint32_t jpegLength = 0;      // record length - 52
  std::unique_ptr<ImageHolder> frame;  // decoded image and the recorded JPEG bytes
};
struct ExportComplete {  // 20481: no more images
  static constexpr uint32_t id = 20481;
  // Damaged records of the range that were passed over (read, but not a whole image).
  int64_t skipped = 0;
};
struct ExportFailed {  // 20482
  static constexpr uint32_t id = 20482;
  std::string text;
};
struct ExportProgress {  // 20483: percent done after a step
  static constexpr uint32_t id = 20483;
  int percent = 0;
};
using ExportEvent = std::variant<ExportImage, ExportComplete, ExportFailed, ExportProgress>;

// The frame rate of the exported stream (frames per second = rate / scale) and how the
// pump steps: images sent per step, then images passed over.
struct ExportRate {
  int rate = 10;
  int scale = 1;
  int imagesPerStep = 1;
  int skip = 0;
  bool operator==(const ExportRate&) const = default;
};

// The frame-rate rule. speed: the playback speed (its sign is ignored); motion: the
// view's first image carries a motion mask; pictures and rangeSeconds: the view's images
// in the range and the range's length. Above 24 frames a second the stream is capped and
// images are passed over in proportion.
ExportRate ComputeExportRate(double speed, bool motion, int64_t pictures, double rangeSeconds);

// What the pump posts into: a bounded queue drained by the export side (the dialog's
// thread, or the command's loop). Its running flag is the export's: the pump posts
// nothing while it is clear. The export side hands it to the pump as the export window
// of 20522 (the shared_ptr<void> carries an ExportChannel).
//
// A consumer that does not wait on the channel itself (an export thread that also takes
// commands, a window's event loop) sets a wake-up: it is called after every event posted
// and when the channel closes, on the poster's thread and without the channel's lock, so
// it may post or notify but must not block.
// Steps the export side keeps asked for: one being written, one being read.
constexpr int kExportStepsInFlight = 2;

class ExportChannel {
 public:
  explicit ExportChannel(std::size_t capacity = 64) : queue_(capacity) {}

  // False (the event is freed) when the channel is closed or full.
  bool post(ExportEvent event);
  // The wake-up of the consumer (empty: none). Set it before the channel is handed to
  // the pump, or while nothing is posted.
  void setWake(std::function<void()> wake);
  std::optional<ExportEvent> take() { return queue_.take(); }
  // Waits until an event is waiting or the time-out passes; true when one is waiting.
  bool waitFor(std::chrono::milliseconds timeout) { return queue_.waitFor(timeout); }
  std::size_t size() const { return queue_.size(); }
  // Refuses further events, drops those waiting and wakes the consumer.
  void close();

  // The frame rate the pump worked out (set before the first image is posted).
  void setRate(const ExportRate& rate);
  ExportRate rate() const;

  void setRunning(bool running) { running_.store(running); }
  bool running() const { return running_.load(); }

 private:
  BoundedQueue<ExportEvent> queue_;
  mutable std::mutex lock_;
  std::function<void()> wake_;  // guarded by lock_ (copied out before it is called)
  ExportRate rate_;             // guarded by lock_
  std::atomic<bool> running_{false};
};

// Images of one view whose index entries fall inside the feed range (whole hours of the
// range are read through the view's index files).
int64_t CountViewPictures(RecordedData& data, int view, const FeedRange& range);

// The pump. Install() puts its handlers for 20522 and 20523 into the engine's table and
// wraps the engine's 20525 handler so a stop also ends the pump. The pump must outlive
// the engine's use of those handlers. Everything runs on the playback thread.
class ExportPump {
 public:
  explicit ExportPump(PlaybackEngine& engine) : engine_(engine) {}
  ExportPump(const ExportPump&) = delete;
  ExportPump& operator=(const ExportPump&) = delete;

  void Install();

  // 20522: start feeding the view's export into the channel.
  void Start(std::shared_ptr<ExportChannel> channel, int view);
  // 20523: one step.
  void Next();
  // 20525: the export ended on the other side.
  void Stop();

  bool active() const { return channel_ != nullptr; }
  const ExportRate& rate() const { return rate_; }

 private:
  // Sends the failure text to the export side, the main window's status line and the log,
  // and ends the pump.
  void Fail(const char* text);
  bool PostEvent(ExportEvent event);
  // Moves the pump's position one image on; false when no image is left (or the walk
  // could not go on: walkFailure_ says why).
  bool Advance();
  // The end of the walk: completion, or the failure when records of the range were not
  // reached.
  void Finish();
  // Ends the step without an image, to be taken up again at the next request: a read was
  // given up for newer work (a stop, a cancel), which the playback thread handles first.
  void Resume(const IndexEntry& position, int64_t damaged);
  // The progress after the step: how far the pump's position is into the range.
  int Percent() const;
  // The recorded time of the pump's position as the captions show it (the range's
  // start before the first image).
  std::string PositionText() const;

  PlaybackEngine& engine_;
  std::shared_ptr<ExportChannel> channel_;
  int view_ = -1;
  ExportRate rate_;
  // The pump's own walk through the view's records (only the view's entries are used).
  ViewPositions positions_;
  int64_t pictures_ = 0;  // records the index lists in the range
  int64_t reached_ = 0;   // positions the walk stepped on
  int64_t damaged_ = 0;   // indexed records the walk passed over as damaged
  int64_t undecodable_ = 0;  // positions read whole whose image is damaged (passed over)
  ReadFault walkFailure_ = ReadFault::kNone;  // why the last Advance could not go on
};

}  // namespace velmora
