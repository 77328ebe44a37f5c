// One export whose writing side runs on a thread of its own, so that encoding (an H.264
// stream costs tens of milliseconds a frame) never holds the thread that owns the
// export's window.
//
// The owner (the window's thread) starts and cancels; the export thread takes the
// pump's events as the channel wakes it, writes them with an ExportSession, and sends
// every report back to the owner's listener through `toOwner`, a function that runs a
// call on the owner's thread later (the window turns it into a queued call). The owner
// is never waited on and never polls. Reports that only show the latest value (progress,
// the pictures converted, the preview) are coalesced: while one is waiting to be shown,
// a newer value replaces it instead of queueing another call. The last report is
// ExportEndedReport, once the export thread has ended.
//
// Questions (the overwrite question) and what the export remembers (pathVideo, the
// next proposed name) happen in Start, on the owner's thread, before the export thread
// exists: nothing on the export thread touches the settings, and ExportSettingsChanged
// reaches the owner's listener during Start.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "playback/export_writer.h"

namespace velmora {

class ExportRunner {
 public:
  // Runs a call on the owner's thread, later (never before it returns).
  using OwnerPost = std::function<void(std::function<void()>)>;

  // owner: told of every report on the owner's thread; it must outlive the calls that
  // toOwner queued (the window queues them on the listener itself, so they die with it).
  ExportRunner(ExportOptions options, std::function<bool(PlaybackMessage)> postPlayback, ExportListener& owner,
               OwnerPost toOwner);
  // A running export is cancelled without waiting for the playback thread; the export
  // thread is joined (it finishes the frame in hand and the file).
  ~ExportRunner();
  ExportRunner(const ExportRunner&) = delete;
  ExportRunner& operator=(const ExportRunner&) = delete;

  std::string CompressorLabel() const { return session_.CompressorLabel(); }

  // The Export button (owner's thread): the session takes the path box, asks about an
  // existing file (`ask`, at once) and posts 20522 and 20523 (twice); then the export thread
  // starts. False when nothing started (declined, or the playback thread refused the
  // messages: the failure is reported as usual and ExportEndedReport follows).
  bool Start(const std::string& pathBox, const ExportQuestion& ask = {});

  // Cancel (owner's thread): returns at once. The export thread posts 20525 with its
  // event, ends the export (the file written so far is finished and stays playable),
  // waits up to `wait` for the playback thread to confirm, and then ExportEndedReport
  // follows with kCancelled.
  void Cancel(std::chrono::milliseconds wait = std::chrono::milliseconds(3000));

  // True from a successful Start until the export thread has ended.
  bool running() const { return running_.load(); }
  // The session's state once the export ended (kRunning before).
  ExportSession::State state() const { return state_.load(); }
  // Whether the playback thread confirmed the stop within the wait (after a cancel).
  bool cancelConfirmed() const { return cancelConfirmed_.load(); }
  // Counters of the ended export (read them after ExportEndedReport).
  int picturesConverted() const { return converted_.load(); }
  int64_t framesWritten() const { return framesWritten_.load(); }
  const std::string& outputPath() const { return session_.outputPath(); }

 private:
  struct Shared;

  void Run();

  // Also held by the channel's wake-up and the queued reports; the session's listener.
  std::shared_ptr<Shared> shared_;
  ExportSession session_;           // owner's thread until Start, then the export thread's
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<ExportSession::State> state_{ExportSession::State::kIdle};
  std::atomic<bool> cancelConfirmed_{false};
  std::atomic<int> converted_{0};
  std::atomic<int64_t> framesWritten_{0};
};

}  // namespace velmora
