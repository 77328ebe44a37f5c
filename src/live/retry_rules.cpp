#include "live/retry_rules.h"

#include <algorithm>

namespace velmora {

uint32_t RtspRetryDelayMs(int32_t failures) {
  uint32_t delay = kRtspRetryFirstMs;
  for (int32_t i = 0; i < failures && delay < kRtspRetryMaxMs; ++i) delay *= 2;
  return std::min(delay, kRtspRetryMaxMs);
}

RetryWait RetryWaitOf(const RetryState& s) {
  RetryWait wait;
  // A running session ends by its own time-outs; a picture every few seconds is no
  // silence to it.
  if (s.rtsp && s.connection && s.running) {
    wait.limitMs = kRetryNever;
    return wait;
  }
  // Many cameras lock the account after a few wrong passwords in a row, and a stream
  // that cannot be shown will not be mended by asking again at once.
  if (!s.receivedData || s.waitLong) {
    wait.limitMs = kRetryUnheardMs;
  } else if (s.rtsp) {
    wait.limitMs = RtspRetryDelayMs(s.failures);
  } else if (s.connection && s.running && !s.frameSeen) {
    wait.limitMs = std::max(s.connectTimeoutMs, s.updateDelay);
    wait.fromConnect = true;
  } else {
    wait.limitMs = s.updateDelay;
    if (s.connection && wait.limitMs < kMinStreamSilenceMs) wait.limitMs = kMinStreamSilenceMs;
  }
  return wait;
}

bool RetryDue(const RetryState& s) {
  const RetryWait wait = RetryWaitOf(s);
  if (wait.limitMs == kRetryNever) return false;
  return (wait.fromConnect ? s.sinceConnectMs : s.sinceActivityMs) >= wait.limitMs;
}

}  // namespace velmora
