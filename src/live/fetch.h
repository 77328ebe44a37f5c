// The fetch engine: one live HTTP connection per fetched device, on one asio
// io_context run by a fixed pool of worker threads (2 x cores, started with the first
// connection). Each connection walks the states STATE_CONNECTING -> STATE_CONNECTED ->
// STATE_HEADER -> STATE_READING; a worker handles one completion of a device at a time
// with the device's fetchLock held, parses what arrived (stream.h) and waits for the
// next bytes. The main thread starts and drops connections: when a device is shown or
// starts recording, and from the 20 ms walk that reconnects stalled or finished ones.
//
// Every connection attempt is its own object with its own socket, strand and timer.
// The record's `connection` names the current one; completions of an older one never
// touch the record's newer socket or state. A connection object is freed once the
// record has let go of it and no operation of it is pending.
//
// Locks: the main thread takes a record's fetchLock to change its connection fields
// (the periodic check only tries it: a device being processed is not due). Lock order:
// fetchLock, then recordingLock, then recordLock, then a view slot's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/installed.h"
#include "app/messages.h"
#include "model/group_record.h"

namespace velmora {


struct FetchOptions {
  int workerThreads = 0;            // 0: 2 x the processor count
  uint32_t connectTimeoutMs = 10000;  // connect (and name resolution) must finish in this
  uint32_t sendTimeoutMs = 10000;     // the request must be sent in this
  uint32_t headerTimeoutMs = 15000;   // the response header must begin to arrive in this
  uint32_t stallTimeoutMs = 15000;    // an open stream may be silent this long
  // The settings the workers follow while they run: the captions, the JPEG quality of
  // pictures made from video, whether recording is on. The program's own, shared (the
  // window changes them, and the engine outlives the Core). Never null: the defaults
  // until the Core hands the program's.
  std::shared_ptr<const Settings> settings = std::make_shared<const Settings>();
};
// Options for connections started from now on; the worker count applies at the next
// start of the engine.
void SetFetchOptions(const FetchOptions& options);
FetchOptions GetFetchOptions();
// The settings of the engine's options (FetchOptions::settings); never null.
std::shared_ptr<const Settings> FetchSettings();

// Recorded-data access for the tiles of storage folder devices, installed once for the
// process (app/installed.h). Nothing installed: such a tile gets no image.
class LastRecordedImages {
 public:
  virtual ~LastRecordedImages() = default;
  // The newest recorded image (JPEG bytes) of a storage folder device; false when there
  // is none. Called on the main thread.
  virtual bool lastRecordedImage(const GroupRecord& record, std::vector<uint8_t>& jpeg) = 0;
};

// What the fetch engine kept in a device's entry, so that the tree file must be written
// again: an HTTPS device's certificate kept on first use (from the periodic walk), or a
// device's authentication scheme (HandleFetchMessage).
enum class FetchNotice { kCertificateKept, kAuthSchemeKept };
// Who hears those notices: the caller of the walk and of the message handling (the Core
// writes its tree file). Called on the main thread; empty: nobody.
using FetchNoticeSink = std::function<void(FetchNotice)>;

// Main thread. Starts a new connection for the device (enabled kinds -2, 2 and 4).
void viewthread_iocp(GroupRecord& record);
// Main thread. Drops the device's connection; with force and no connection, connects.
void viewthread_refresh(GroupRecord& record, bool force);
// Main thread. The periodic rule (retry_rules.h): a device that delivered nothing, or
// whose last answer refused the credentials (401, 403), or whose stream can never be
// shown, is retried every 30 s; a connection waiting for its first frame has the connect
// time-out; one that delivered is dropped (and then reconnected) when it was silent for
// updateDelay, at least 1000 ms while a connection exists. An RTSP session is left to
// its own time-outs and, once ended, replaced after a short back-off. A Digest or Basic
// challenge is answered at once (at most once per ordinary connect).
void viewthread_check_update(GroupRecord& record);
// Main thread. A storage folder device's tile: its newest recorded image.
void viewthread_web_image(GroupRecord& record);
// Main thread, at exit. Stops the worker threads (waits at most 2000 ms). A later
// connection starts them again.
void viewthread_shutdown();

// The 20 ms walk over the device tree from its `root` (null: nothing): the periodic check of every
// enabled, fetched device of kinds -2, 2, 4 and 5, and the clock synchronisation check
// of enabled cameras (kind 2) and of video servers (kind 3). Certificates of HTTPS
// devices kept on first use are moved into their entries; `notice` hears
// kCertificateKept once for a walk that kept any.
void FetchPeriodic(GroupRecord* root, const FetchNoticeSink& notice);
// The same walk from a given node; `certificateKept` is set when it kept a certificate.
void FetchWalk(GroupRecord* node, bool& certificateKept);

// Main thread, for each message of the main queue: keeps the authentication scheme a
// worker reported (MsgAuthScheme) in the device's entry, under its fetchLock, and has
// tells `notice` (kAuthSchemeKept) when it changed. True when the message was such a report.
bool HandleFetchMessage(AppMessage& message, const FetchNoticeSink& notice);

// The fetch engine's side of the tree (model/group_record.h): a fetch starts with a new
// connection (viewthread_iocp) and stops by dropping it (viewthread_refresh without
// force). The recording mark of a tile is the recorder's.
class EngineDeviceFetch final : public DeviceFetch {
 public:
  void startFetch(GroupRecord& record) override;
  void stopFetch(GroupRecord& record) override;
};

// Diagnostics and tests.
int FetchWorkerCount();
// Connection objects alive in the process.
int FetchConnectionsAlive();

}  // namespace velmora
