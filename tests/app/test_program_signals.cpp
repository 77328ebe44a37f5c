#include "app/program_signals.h"

#include <gtest/gtest.h>

#include <chrono>

namespace velmora {
namespace {

using namespace std::chrono_literals;

// The starting states the workers rely on: no removal pass runs (a rename or a new playback
// feed does not wait), nothing is shut down, and nobody plays back or renames.
TEST(ProgramSignals, StartAsNoPassRunningAndNothingRequested) {
  ProgramSignals signals;
  EXPECT_TRUE(signals.deletePass.wait(0ms));
  EXPECT_TRUE(signals.deletePass.isSet());  // a waiter does not clear it for the next one
  EXPECT_FALSE(signals.shutdown.isSet());
  EXPECT_FALSE(signals.mediaScan.wait(0ms));
  EXPECT_FALSE(signals.networkScan.wait(0ms));
  EXPECT_FALSE(signals.renaming.load());
  EXPECT_FALSE(signals.playbackMode.load());
}

// The shutdown is seen by every worker that looks; a scan request wakes its thread once.
TEST(ProgramSignals, ShutdownStaysSetWhileAScanRequestIsTakenByOneWait) {
  ProgramSignals signals;
  signals.shutdown.set();
  EXPECT_TRUE(signals.shutdown.wait(0ms));
  EXPECT_TRUE(signals.shutdown.wait(0ms));

  signals.mediaScan.set();
  EXPECT_TRUE(signals.mediaScan.wait(0ms));
  EXPECT_FALSE(signals.mediaScan.wait(0ms));
  signals.networkScan.set();
  EXPECT_TRUE(signals.networkScan.wait(0ms));
  EXPECT_FALSE(signals.networkScan.wait(0ms));
}

}  // namespace
}  // namespace velmora
