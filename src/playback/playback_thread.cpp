#include "playback/playback_thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "app/log.h"
#include "live/view_slot.h"
#include "platform/worker_thread.h"
#include "playback/export_pump.h"

namespace velmora {

namespace {

// Never destroyed: a thread that did not end in time at shutdown keeps its object.
platform::WorkerThread& playbackWorker() {
  static auto* worker = new platform::WorkerThread;
  return *worker;
}

}  // namespace

ProgramPlayback::ProgramPlayback(std::shared_ptr<ViewSlots> shown)
    : shownSlots(std::move(shown)),
      engine(ColumnCapacity(AvailablePhysicalMemory()), nullptr, &output),
      controller(engine.queue(), [this] { return engine.summary(); }, *shownSlots, limit) {
  InterruptReadsOnNewWork(engine);
  pump.Install();
}

ProgramPlayback& programPlayback() {
  static auto* playback = new ProgramPlayback(std::make_shared<ViewSlots>());
  return *playback;
}

void InterruptReadsOnNewWork(PlaybackEngine& engine) {
  PlaybackQueue& queue = engine.queue();
  engine.data().setInterrupt([&queue] { return queue.holdsNewWork(); });
}

void startPlaybackThread() {
  PlaybackEngine& engine = programPlayback().engine;
  if (playbackWorker().running()) return;
  engine.queue().reopen();
  if (!playbackWorker().start([&engine] { engine.run(); })) LogLastError("CreateThread");
}

void quitPlayback() { programPlayback().engine.queue().post(PlayMsgQuit{}); }

bool joinPlayback(std::chrono::milliseconds timeout) { return playbackWorker().join(timeout); }

}  // namespace velmora
