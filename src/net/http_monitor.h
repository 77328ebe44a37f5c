// The HTTP server's monitoring routes: /metrics, the program's counters in the
// Prometheus text exposition format (version 0.0.4), and /healthz, whether the main loop
// turns and every recording device delivers frames.
//
// Both read the tree snapshot the handler holds (which devices there are, by path) and
// the counters those devices and the program keep as relaxed atomics (DeviceCounters,
// the removal and export counts, the playback flag): nothing here takes a lock of the
// tree or of a record, so a scrape never waits for a fetch worker or the recorder, and
// the main thread is not asked for anything while it answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/http_listing.h"

namespace velmora::net {

// The Content-Type of /metrics.
constexpr const char* kTypeMetrics = "text/plain; version=0.0.4; charset=utf-8";

// What the monitoring routes read besides the snapshot and the process-wide counters,
// gathered by the server for each such request.
struct MonitorState {
  int64_t nowMs = 0;       // steady milliseconds of the program's clock
  int64_t mainLoopMs = 0;  // the main loop's last turn, on the same clock
  uint64_t connectionsAccepted = 0;
  uint64_t connectionsRefused = 0;
  // The health answer fails when the main loop has not turned for this long, or a
  // recording device has delivered no frame for this long (or twice its update delay,
  // when that is longer: a device asked for a picture every few minutes is not silent).
  std::chrono::milliseconds mainLoopStallLimit{10000};
  std::chrono::milliseconds frameSilenceLimit{60000};
};

// A label value of the exposition format: backslash, double quote and line feed escaped
// (\\, \", \n); every other byte as it is (names are UTF-8).
std::string EscapeLabelValue(std::string_view text);

// The /metrics body.
std::string MetricsText(const TreeSnapshot& tree, const MonitorState& state);

// The /healthz answer: healthy with "ok\n", or not, with one line per reason
// ("main loop stalled for 14 s", "Demo/Porch: no frame for 75 s").
struct HealthAnswer {
  bool healthy = true;
  std::string body;
};
HealthAnswer CheckHealth(const TreeSnapshot& tree, const MonitorState& state);

}  // namespace velmora::net
