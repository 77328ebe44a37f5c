#include "playback/playback_thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>

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

// The program's playback: the two-hour limit, the engine's output, the engine, its
// export pump and the main-thread controller, made together on first use (so the export
// handlers are on the engine before its thread can start). Never destroyed: a playback
// thread that did not end in time at shutdown still uses the engine, its output and the
// pump's handlers while the process exits.
struct ProgramPlayback {
  PlaybackLimitTimer limit;
  ProgramPlaybackOutput output{limit};
  PlaybackEngine engine{ColumnCapacity(AvailablePhysicalMemory()), nullptr, &output};
  ExportPump pump{engine};
  PlaybackController controller{engine.queue(), [this] { return engine.summary(); }, viewSlots(), limit};
};

ProgramPlayback& programPlayback() {
  static auto* playback = [] {
    auto* created = new ProgramPlayback;
    InterruptReadsOnNewWork(created->engine);
    created->pump.Install();
    return created;
  }();
  return *playback;
}

}  // namespace

PlaybackEngine& playbackEngine() { return programPlayback().engine; }

void InterruptReadsOnNewWork(PlaybackEngine& engine) {
  PlaybackQueue& queue = engine.queue();
  engine.data().setInterrupt([&queue] { return queue.holdsNewWork(); });
}

PlaybackController& playbackController() { return programPlayback().controller; }

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
