// Typed application messages: one type per row of the main window's message table.
// Workers post them to the main thread's queue; each owns its payload, so a message
// dropped by a failed post or by a receiver that ignores it frees what it carries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/bounded_queue.h"
#include "app/scan_node.h"
#include "app/subscribers.h"

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
  // Set by the main thread's handling when the record's errorShown took this state;
  // every decoded frame reports the state again, and such a repeat changes nothing.
  bool changed = false;
};
struct MsgShellChange {               // WM_APP+8: a drive or medium came or went
  static constexpr uint32_t id = WM_APP + 8;
  std::string mountPoint;
  bool added = false;
  std::string device;       // the drive's device node ("/dev/sr0"), when known
  std::string displayName;  // how the drive is shown; empty: the mount point's last name
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
  std::unique_ptr<ScanNode> node;
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
// The removal pass deleted the last hour of a folder and the folder with it.
struct MsgRecordingsFolderGone {
  static constexpr uint32_t id = 0;
  std::string folder;  // absolute, without a trailing "/"
};
// A live connection learnt how the device authenticates (its Digest challenge was
// answered and accepted): the main thread keeps the scheme in the entry and saves the
// tree.
struct MsgAuthScheme {
  static constexpr uint32_t id = 0;
  std::shared_ptr<GroupRecord> record;
  std::string scheme;
};

using AppMessage =
    std::variant<MsgNetworkScanEnded, MsgOnvifDevice, MsgHttpListen, MsgStatusText, MsgPaneClose,
                 MsgFetchError, MsgShellChange, MsgPlaybackStopped, MsgTimelineGraph,
                 MsgTimelineColumn, MsgPlaying, MsgPaused, MsgSpeedUp, MsgSpeedDown, MsgSeekTaken,
                 MsgDiskUsage, MsgColumnCount, MsgSliderSeek, MsgMotionAlert, MsgTrayCallback,
                 MsgMediaScanResult, MsgScanAllMedia, MsgActivate, MsgImportFile,
                 MsgRecordingsFolderGone, MsgAuthScheme>;

// A bounded multi-producer queue drained by the main thread. A post fails (and the
// message with its payload is destroyed) when the queue is closed or full.
//
// Receivers on the main thread subscribe; the drain hands each message to every
// subscriber in the order they subscribed. A wake function, when set, is called by
// the posting thread whenever a post makes an empty queue non-empty, so that an event
// loop can drain at once instead of at its next timer tick.
class MessageQueue {
 public:
  using Subscriber = std::function<void(AppMessage&)>;

  explicit MessageQueue(std::size_t capacity = 10000) : queue_(capacity) {}

  bool post(AppMessage message);
  // Takes the oldest message, if any. Never blocks.
  std::optional<AppMessage> take();
  // Refuses further posts and drops what is queued.
  void close();
  // Takes posts again (a new start in the same process).
  void reopen();
  std::size_t size() const;

  // Main thread only. Returns a token for unsubscribe (never 0).
  int subscribe(Subscriber subscriber);
  void unsubscribe(int token);
  // Hands `message` to every subscriber, in subscription order. A subscriber may
  // subscribe or unsubscribe others meanwhile; those take effect for the next message.
  void deliver(AppMessage& message);

  // Any thread. The function runs on the posting thread, outside the queue's lock; it
  // must only schedule work (post an event to the GUI loop), never drain. An empty
  // function stops the wake-ups; after setWake returns the old function is not called.
  void setWake(std::function<void()> wake);

 private:
  BoundedQueue<AppMessage> queue_;
  mutable std::mutex wakeLock_;
  std::shared_ptr<const std::function<void()>> wake_;  // guarded by wakeLock_
  // Held while the wake function runs, so that setWake can wait for a call in progress.
  std::mutex wakeCallLock_;

  Subscribers<AppMessage> subscribers_;  // main thread only
};

// The main thread's queue, valid for the whole process. Process-wide on purpose: every
// thread posts to it (fetch workers, the scan and removal threads, the playback thread),
// including workers that may outlive the shutdown's wait and so the Core.
MessageQueue& mainQueue();

// Posts a status text (WM_APP+4) to the main queue; returns false when the post failed.
// With log false the text is shown but not written to the log.
bool PostStatus(std::string text, bool log = true);

}  // namespace velmora
