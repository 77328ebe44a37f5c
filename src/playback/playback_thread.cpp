#include "playback/playback_thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/log.h"
#include "live/view_slot.h"
#include "platform/worker_thread.h"

namespace velmora {

namespace {

// Never destroyed: a thread that did not end in time at shutdown keeps its object.
platform::WorkerThread& playbackWorker() {
  static auto* worker = new platform::WorkerThread;
  return *worker;
}

}  // namespace

PlaybackEngine& playbackEngine() {
  static auto* engine = [] {
    auto* created = new PlaybackEngine(ColumnCapacity(AvailablePhysicalMemory()));
    InterruptReadsOnNewWork(*created);
    return created;
  }();
  return *engine;
}

void InterruptReadsOnNewWork(PlaybackEngine& engine) {
  PlaybackQueue& queue = engine.queue();
  engine.data().setInterrupt([&queue] { return queue.holdsNewWork(); });
}

PlaybackController& playbackController() {
  static auto* controller =
      new PlaybackController(playbackEngine().queue(), [] { return playbackEngine().summary(); }, viewSlots());
  return *controller;
}

bool PostPlayback(PlaybackMessage message) { return playbackEngine().queue().post(std::move(message)); }

void startPlaybackThread() {
  PlaybackEngine& engine = playbackEngine();
  if (playbackWorker().running()) return;
  engine.queue().reopen();
  if (!playbackWorker().start([&engine] { engine.run(); })) LogLastError("CreateThread");
}

void quitPlayback() { playbackEngine().queue().post(PlayMsgQuit{}); }

bool joinPlayback(std::chrono::milliseconds timeout) { return playbackWorker().join(timeout); }

}  // namespace velmora
