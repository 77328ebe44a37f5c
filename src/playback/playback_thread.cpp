#include "playback/playback_thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/log.h"
#include "live/view_slot.h"

namespace velmora {

namespace {

struct ThreadState {
  std::mutex lock;
  std::condition_variable ended;
  std::thread thread;  // guarded by lock
  bool running = false;  // guarded by lock
};

ThreadState& threadState() {
  static auto* state = new ThreadState;
  return *state;
}

}  // namespace

PlaybackEngine& playbackEngine() {
  static auto* engine = new PlaybackEngine(ColumnCapacity(AvailablePhysicalMemory()));
  return *engine;
}

PlaybackController& playbackController() {
  static auto* controller =
      new PlaybackController(playbackEngine().queue(), [] { return playbackEngine().summary(); }, viewSlots());
  return *controller;
}

bool PostPlayback(PlaybackMessage message) { return playbackEngine().queue().post(std::move(message)); }

void startPlaybackThread() {
  ThreadState& state = threadState();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.running) return;
  PlaybackEngine& engine = playbackEngine();
  engine.queue().reopen();
  if (state.thread.joinable()) state.thread.join();  // an earlier run that ended
  state.running = true;
  try {
    state.thread = std::thread([&engine, &state] {
      engine.run();
      std::lock_guard<std::mutex> done(state.lock);
      state.running = false;
      state.ended.notify_all();
    });
  } catch (const std::system_error&) {
    state.running = false;
    LogLastError("CreateThread");
  }
}

void quitPlayback() { playbackEngine().queue().post(PlayMsgQuit{}); }

bool joinPlayback(std::chrono::milliseconds timeout) {
  ThreadState& state = threadState();
  std::unique_lock<std::mutex> guard(state.lock);
  if (!state.thread.joinable()) return true;
  if (!state.ended.wait_for(guard, timeout, [&state] { return !state.running; })) {
    state.thread.detach();
    return false;
  }
  std::thread finished = std::move(state.thread);
  guard.unlock();
  finished.join();
  return true;
}

}  // namespace velmora
