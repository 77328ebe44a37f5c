// Typed application messages: one type per row of the main window's message table.
// Workers post them to the main thread's queue; each owns its payload, so a message
// dropped by a failed post or by a receiver that ignores it frees what it carries.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace velmora {

struct GroupRecord;
class Image;

constexpr uint32_t WM_APP = 32768;

struct MsgNetworkScanEnded {          // WM_APP+0
  static constexpr uint32_t id = WM_APP + 0;
};
struct MsgOnvifDevice {               // WM_APP+1
  static constexpr uint32_t id = WM_APP + 1;
  std::string address;
  std::string hwAddr;
};
struct MsgHttpListen {                // WM_APP+3: the HTTP server asks for a fresh tree
                                      // snapshot, or reports an accept error in `error`
  static constexpr uint32_t id = WM_APP + 3;
  int error = 0;
};
struct MsgStatusText {                // WM_APP+4: no text clears the status bar
  static constexpr uint32_t id = WM_APP + 4;
  std::optional<std::string> text;
  bool log = true;  // false: shown only (a repeat the sender has already logged lately)
};
struct MsgPaneClose {                 // WM_APP+5
  static constexpr uint32_t id = WM_APP + 5;
  int pane = 0;
};
struct MsgFetchError {                // WM_APP+6
  static constexpr uint32_t id = WM_APP + 6;
  bool error = false;
  std::shared_ptr<GroupRecord> record;
};
struct MsgShellChange {               // WM_APP+8: a drive or medium came or went
  static constexpr uint32_t id = WM_APP + 8;
  std::string mountPoint;
  bool added = false;
};
struct MsgPlaybackStopped {           // WM_APP+9
  static constexpr uint32_t id = WM_APP + 9;
};
struct MsgTimelineGraph {             // WM_APP+10: 512 x 72 graph, ownership passes
  static constexpr uint32_t id = WM_APP + 10;
  std::shared_ptr<Image> graph;
};
struct MsgTimelineColumn {            // WM_APP+11
  static constexpr uint32_t id = WM_APP + 11;
  int column = 0;
};
struct MsgPlaying {                   // WM_APP+12
  static constexpr uint32_t id = WM_APP + 12;
};
struct MsgPaused {                    // WM_APP+13
  static constexpr uint32_t id = WM_APP + 13;
};
struct MsgSpeedUp {                   // WM_APP+14
  static constexpr uint32_t id = WM_APP + 14;
};
struct MsgSpeedDown {                 // WM_APP+15
  static constexpr uint32_t id = WM_APP + 15;
};
struct MsgSeekTaken {                 // WM_APP+16
  static constexpr uint32_t id = WM_APP + 16;
};
struct MsgDiskUsage {                 // WM_APP+18
  static constexpr uint32_t id = WM_APP + 18;
};
struct MsgColumnCount {               // WM_APP+19
  static constexpr uint32_t id = WM_APP + 19;
};
struct MsgSliderSeek {                // WM_APP+20
  static constexpr uint32_t id = WM_APP + 20;
  int column = 0;
};
struct MsgMotionAlert {               // WM_APP+21
  static constexpr uint32_t id = WM_APP + 21;
};
struct MsgTrayCallback {              // WM_APP+22
  static constexpr uint32_t id = WM_APP + 22;
  int mouseMessage = 0;
};
struct MsgMediaScanResult {           // WM_APP+23: scan node, ownership passes
  static constexpr uint32_t id = WM_APP + 23;
  std::shared_ptr<GroupRecord> node;
};
struct MsgScanAllMedia {              // WM_APP+24
  static constexpr uint32_t id = WM_APP + 24;
};
// Requests that arrive through the single-instance channel from a second start.
struct MsgActivate {
  static constexpr uint32_t id = 0;
};
struct MsgImportFile {
  static constexpr uint32_t id = 0;
  std::string path;
};

using AppMessage =
    std::variant<MsgNetworkScanEnded, MsgOnvifDevice, MsgHttpListen, MsgStatusText, MsgPaneClose,
                 MsgFetchError, MsgShellChange, MsgPlaybackStopped, MsgTimelineGraph,
                 MsgTimelineColumn, MsgPlaying, MsgPaused, MsgSpeedUp, MsgSpeedDown, MsgSeekTaken,
                 MsgDiskUsage, MsgColumnCount, MsgSliderSeek, MsgMotionAlert, MsgTrayCallback,
                 MsgMediaScanResult, MsgScanAllMedia, MsgActivate, MsgImportFile>;

// A bounded multi-producer queue drained by the main thread. A post fails (and the
// message with its payload is destroyed) when the queue is closed or full.
class MessageQueue {
 public:
  explicit MessageQueue(std::size_t capacity = 10000) : capacity_(capacity) {}

  bool post(AppMessage message);
  // Takes the oldest message, if any. Never blocks.
  std::optional<AppMessage> take();
  // Refuses further posts and drops what is queued.
  void close();
  // Takes posts again (a new start in the same process).
  void reopen();
  std::size_t size() const;

 private:
  mutable std::mutex lock_;
  std::deque<AppMessage> queue_;  // guarded by lock_
  std::size_t capacity_;
  bool closed_ = false;  // guarded by lock_
};

// The main thread's queue, valid for the whole process.
MessageQueue& mainQueue();

// Posts a status text (WM_APP+4) to the main queue; returns false when the post failed.
// With log false the text is shown but not written to the log.
bool PostStatus(std::string text, bool log = true);

}  // namespace velmora
