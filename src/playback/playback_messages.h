// Thread messages of the playback thread (20512 to 20525) and its own message queue.
// The main thread (and the export dialog) post; the playback thread takes them one at a
// time. Each message owns its payload, so a failed post or a dropped message frees it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/bounded_queue.h"
#include "platform/event.h"
#include "playback/recorded_data.h"

namespace velmora {

// One tile taking part in playback, as the main thread saw it when it asked for the feed.
// The playback thread never looks at the tree: it gets what it needs here.
struct PlaybackView {
  int tile = -1;            // view slot 0..99
  int slot = 0;             // playback slot 0..15 (its colour)
  bool hasNode = false;     // the tile shows a tree node
  std::string name;         // the node's name
  std::string source;       // folder or "http://..." the recordings are read from
};

struct PlayMsgNewFeed {  // 20512
  static constexpr uint32_t id = 20512;
  bool fullRange = false;      // take what is found as the full range
  FeedRange requested;         // unknown start / end are found from the files
  double zoomPosition = 0;     // where the slider stands in the new range (0..1)
  std::vector<PlaybackView> views;
};
struct PlayMsgSeek {  // 20513; only the last of several queued is carried out
  static constexpr uint32_t id = 20513;
  int column = 0;
};
struct PlayMsgStop {  // 20514
  static constexpr uint32_t id = 20514;
};
struct PlayMsgPlayForward {  // 20515
  static constexpr uint32_t id = 20515;
  int column = 0;
};
struct PlayMsgPlayBackward {  // 20516
  static constexpr uint32_t id = 20516;
  int column = 0;
};
struct PlayMsgPause {  // 20517
  static constexpr uint32_t id = 20517;
};
struct PlayMsgStepForward {  // 20518: one frame on while paused, faster while playing
  static constexpr uint32_t id = 20518;
  int column = 0;
};
struct PlayMsgStepBackward {  // 20519
  static constexpr uint32_t id = 20519;
  int column = 0;
};
struct PlayMsgSpeed {  // 20520: speed magnitude in tenths of real time
  static constexpr uint32_t id = 20520;
  int tenths = 10;
};
struct PlayMsgExportStart {  // 20522: start feeding the export of one playback view
  static constexpr uint32_t id = 20522;
  std::shared_ptr<void> exportWindow;
  int view = 0;
};
struct PlayMsgExportNext {  // 20523: send the next step to the export
  static constexpr uint32_t id = 20523;
};
struct PlayMsgExportReset {  // 20525: positions back to the start; `done` is set after
  static constexpr uint32_t id = 20525;
  std::shared_ptr<platform::Event> done;
};
struct PlayMsgQuit {  // ends the thread's loop (shutdown)
  static constexpr uint32_t id = 0;
};

using PlaybackMessage =
    std::variant<PlayMsgNewFeed, PlayMsgSeek, PlayMsgStop, PlayMsgPlayForward, PlayMsgPlayBackward,
                 PlayMsgPause, PlayMsgStepForward, PlayMsgStepBackward, PlayMsgSpeed,
                 PlayMsgExportStart, PlayMsgExportNext, PlayMsgExportReset, PlayMsgQuit>;

constexpr uint32_t kFirstPlaybackMessage = 20512;
constexpr uint32_t kLastPlaybackMessage = 20525;

uint32_t MessageId(const PlaybackMessage& message);

// Bounded multi-producer queue taken by the playback thread.
class PlaybackQueue {
 public:
  explicit PlaybackQueue(std::size_t capacity = 4096) : queue_(capacity) {}

  // False (the message is freed) when the queue is closed or full.
  bool post(PlaybackMessage message) { return queue_.post(std::move(message)); }
  std::optional<PlaybackMessage> take() { return queue_.take(); }
  bool empty() const { return queue_.empty(); }
  std::size_t size() const { return queue_.size(); }
  // True when a message with this id is waiting.
  bool holds(uint32_t id) const;
  // True when a message is waiting that makes a read in progress moot: anything but a
  // speed change and the export's own start and next-step requests (a Stop, Pause, a
  // new feed, a seek, a step, a cancelled export; the queue being closed counts too).
  bool holdsNewWork() const;
  // Waits until a message is waiting, the queue is closed or the time-out passes; true
  // when a message is waiting.
  bool waitFor(std::chrono::milliseconds timeout) { return queue_.waitFor(timeout); }
  void close() { queue_.close(); }
  void reopen() { queue_.reopen(); }
  bool closed() const { return queue_.closed(); }

 private:
  BoundedQueue<PlaybackMessage> queue_;
};

}  // namespace velmora
