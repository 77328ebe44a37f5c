// The process-wide playback thread (`PlayBackThread`): started with the main window,
// ended by its quit message or the shutdown event. The main thread and the export dialog
// talk to it only through its queue.
#pragma once

#include <chrono>
#include <memory>

#include "playback/export_pump.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "playback/playback_messages.h"

namespace velmora {

// The program's playback: the two-hour limit, the engine's output, the engine (with the
// column capacity of the available physical memory), its export pump and the main-thread
// controller, made together on first use so that the export handlers are on the engine
// before its thread can start.
struct ProgramPlayback {
  explicit ProgramPlayback(std::shared_ptr<ViewSlots> shown);
  // The view slots: the output shows the frames in them and the controller picks the
  // tiles in them. Made with the playback, which never goes, because the playback thread
  // and a fetch worker that outlived the shutdown may still store a frame after the Core
  // is gone; the Core holds a share and gives them to the recorder's steps. The window and
  // the drive branches take them from the controller (PlaybackController::shownSlots),
  // fetch workers and the recorder from the entries the view assignment points at them
  // (GroupRecord::shownIn).
  const std::shared_ptr<ViewSlots> shownSlots;
  PlaybackLimitTimer limit;
  ProgramPlaybackOutput output{limit, *shownSlots};
  PlaybackEngine engine;
  ExportPump pump{engine};
  PlaybackController controller;
};

// The one ProgramPlayback. Process-wide on purpose, and never destroyed: a playback
// thread that did not end in time at shutdown still uses the engine, its output and the
// pump's handlers while the process exits, after the Core that hands it out is gone.
// The Core hands it to the parts and the window; nothing else reaches for it.
ProgramPlayback& programPlayback();

// Makes the engine's remote reads give up (request in flight and retries) as soon as its
// queue holds newer work, so a silent peer never keeps Stop, Pause or a new feed
// waiting. The program's engine has it from the start.
void InterruptReadsOnNewWork(PlaybackEngine& engine);

// Starts the thread once; later calls do nothing while it runs.
void startPlaybackThread();
// Posts the quit message (shutdown step).
void quitPlayback();
// Waits up to `timeout` for the thread to end: true when it ended (or never ran). A
// thread that did not end is let go; it ends by itself at the shutdown event.
bool joinPlayback(std::chrono::milliseconds timeout);

}  // namespace velmora
