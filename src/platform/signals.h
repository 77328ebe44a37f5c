// The signals that ask the program to shut down in order, read from a descriptor by the
// main loop (headless or window) instead of interrupting whatever runs.
#pragma once

namespace velmora::platform {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (threads started later inherit
// the mask) and returns a non-blocking signalfd that reports them, or -1. SIGHUP (the
// terminal closed) must not end the process before the recording files are closed.
int ShutdownSignalDescriptor();

}  // namespace velmora::platform
