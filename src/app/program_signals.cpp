#include "app/program_signals.h"

namespace velmora {

// Never destroyed: workers may still wait on the events while the process ends.
ProgramSignals& programSignals() {
  static auto* signals = new ProgramSignals;
  return *signals;
}

}  // namespace velmora
