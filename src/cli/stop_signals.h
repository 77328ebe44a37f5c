// The stop flag of the command-line commands that write files (export, backup).
#pragma once

#include <atomic>

namespace velmora {

// From now on Ctrl-C and a termination request set the returned flag instead of ending
// the process, so a command stops between two steps and what it wrote so far stays
// complete and readable; a reader that goes away comes back as a write error rather
// than ending the process (SIGPIPE is ignored).
std::atomic<bool>* CatchStopSignals();

}  // namespace velmora
