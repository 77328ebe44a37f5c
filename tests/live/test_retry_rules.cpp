// The periodic check's rules without a network: when a connection waiting for its first
// frame, a running or ended RTSP session, and a stream that can never be shown are
// dropped and tried again.
#include <gtest/gtest.h>

#include "live/retry_rules.h"

namespace velmora {
namespace {

// An HTTP stream of a device that delivered before, with a connection present.
RetryState Stream() {
  RetryState s;
  s.connection = true;
  s.running = true;
  s.receivedData = true;
  s.frameSeen = true;
  s.connectTimeoutMs = 10000;
  return s;
}

TEST(RetryRules, TheFirstFrameHasTheConnectTimeOutAndLaterFramesTheSilenceRule) {
  RetryState s = Stream();
  s.frameSeen = false;
  s.sinceActivityMs = 5000;  // the header came long ago: no frame since
  s.sinceConnectMs = 9999;
  EXPECT_FALSE(RetryDue(s)) << "a camera starting its encoder is not dropped after one second";
  s.sinceConnectMs = 10000;
  EXPECT_TRUE(RetryDue(s)) << "but a first frame that never comes ends at the connect time-out";
  EXPECT_TRUE(RetryWaitOf(s).fromConnect);
  // A snapshot device's own interval is longer than the connect time-out.
  s.updateDelay = 60000;
  EXPECT_FALSE(RetryDue(s));

  // Once a frame came, a second of silence drops the stream.
  s = Stream();
  s.sinceActivityMs = 999;
  EXPECT_FALSE(RetryDue(s));
  s.sinceActivityMs = 1000;
  EXPECT_TRUE(RetryDue(s));
  EXPECT_FALSE(RetryWaitOf(s).fromConnect);

  // A connection that ended before its first frame (refused, lost) is replaced as soon
  // as a stream's: about a second, not the connect time-out.
  s = Stream();
  s.running = false;
  s.frameSeen = false;
  s.sinceActivityMs = 1000;
  s.sinceConnectMs = 1000;
  EXPECT_TRUE(RetryDue(s));
  // ... and with no connection left, the next tick connects.
  s.connection = false;
  s.sinceActivityMs = 0;
  EXPECT_TRUE(RetryDue(s));
}

TEST(RetryRules, ADeviceNeverHeardOrRefusedOrUnusableWaitsThirtySeconds) {
  for (int variant = 0; variant < 3; ++variant) {
    for (bool rtsp : {false, true}) {
      RetryState s = Stream();
      s.rtsp = rtsp;
      s.running = false;
      if (variant == 0) s.receivedData = false;
      if (variant >= 1) s.waitLong = true;
      s.sinceActivityMs = 29999;
      s.sinceConnectMs = 60000;
      EXPECT_FALSE(RetryDue(s)) << variant << " " << rtsp;
      s.sinceActivityMs = 30000;
      EXPECT_TRUE(RetryDue(s)) << variant << " " << rtsp;
    }
  }
}

TEST(RetryRules, ARunningRtspSessionIsLeftToItsOwnTimeOutsAndAnEndedOneBacksOff) {
  RetryState s;
  s.rtsp = true;
  s.connection = true;
  s.running = true;
  s.receivedData = true;
  s.frameSeen = true;
  s.sinceActivityMs = 0xFFFFFFFFu;  // a slow camera: seconds between pictures
  s.sinceConnectMs = 0xFFFFFFFFu;
  EXPECT_FALSE(RetryDue(s));
  s.receivedData = false;
  EXPECT_FALSE(RetryDue(s)) << "nor during its opening exchange";
  s.waitLong = true;
  EXPECT_FALSE(RetryDue(s));

  // Ended after delivering: about a second, then 2, 4 and 8 s for failures in a row.
  s = RetryState();
  s.rtsp = true;
  s.connection = true;
  s.receivedData = true;
  const uint32_t expected[] = {1000, 2000, 4000, 8000, 8000, 8000};
  for (int32_t failures = 0; failures < 6; ++failures) {
    s.failures = failures;
    EXPECT_EQ(RtspRetryDelayMs(failures), expected[failures]);
    s.sinceActivityMs = expected[failures] - 1;
    EXPECT_FALSE(RetryDue(s)) << failures;
    s.sinceActivityMs = expected[failures];
    EXPECT_TRUE(RetryDue(s)) << failures;
  }
  EXPECT_EQ(RtspRetryDelayMs(1000000), kRtspRetryMaxMs);
  // Dropped: the new session starts at the same wait (no second wait behind the first).
  s.connection = false;
  s.failures = 0;
  s.sinceActivityMs = 1000;
  EXPECT_TRUE(RetryDue(s));
}

}  // namespace
}  // namespace velmora
