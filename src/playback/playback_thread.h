// The process-wide playback thread (`PlayBackThread`): started with the main window,
// ended by its quit message or the shutdown event. The main thread and the export dialog
// talk to it only through its queue.
#pragma once

#include <chrono>

#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "playback/playback_messages.h"

namespace velmora {

// The process-wide engine, created on first use with the column capacity of the
// available physical memory, the program's output and the export pump's handlers. It is
// never destroyed (a thread that did not end in time may still use it while the process
// exits).
PlaybackEngine& playbackEngine();

// The process-wide main-thread side, talking to playbackEngine() and the view slots.
PlaybackController& playbackController();

// Makes the engine's remote reads give up (request in flight and retries) as soon as its
// queue holds newer work, so a silent peer never keeps Stop, Pause or a new feed
// waiting. playbackEngine() has it from the start.
void InterruptReadsOnNewWork(PlaybackEngine& engine);

// Posts a thread message to the playback thread; false (message freed) when refused.
bool PostPlayback(PlaybackMessage message);

// Starts the thread once; later calls do nothing while it runs.
void startPlaybackThread();
// Posts the quit message (shutdown step).
void quitPlayback();
// Waits up to `timeout` for the thread to end: true when it ended (or never ran). A
// thread that did not end is let go; it ends by itself at the shutdown event.
bool joinPlayback(std::chrono::milliseconds timeout);

}  // namespace velmora
