#include "net/http_monitor.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "app/program_signals.h"
#include "playback/export_writer.h"
#include "recording/cleanup.h"

namespace velmora::net {

namespace {

// One metric family of the exposition: its HELP and TYPE lines, then its samples.
class Exposition {
 public:
  void family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
  }
  void sample(uint64_t value) { line("", std::to_string(value)); }
  void sample(const std::string& device, uint64_t value) { line(device, std::to_string(value)); }
  void sample(const std::string& device, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    line(device, text);
  }
  std::string take() { return std::move(text_); }

 private:
  void line(const std::string& device, const std::string& value) {
    text_ += name_;
    if (!device.empty()) {
      text_ += "{device=\"";
      text_ += EscapeLabelValue(device);
      text_ += "\"}";
    }
    text_ += ' ';
    text_ += value;
    text_ += '\n';
  }

  const char* name_ = "";
  std::string text_;
};

// A device counter as one family with a sample per device.
template <class Read>
void DeviceFamily(Exposition& out, const TreeSnapshot& tree, const char* name, const char* type, const char* help,
                  Read read) {
  if (tree.devices.empty()) return;
  out.family(name, type, help);
  for (const MonitoredDevice& device : tree.devices) out.sample(device.label, read(*device.counters));
}

uint64_t Load(const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); }

}  // namespace

std::string EscapeLabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string MetricsText(const TreeSnapshot& tree, const MonitorState& state) {
  Exposition out;
  // The volume of the recordings folder, as automatic removal sees it (free bytes are
  // those an unprivileged writer may still use).
  struct statvfs volume {};
  if (!tree.recordingsFolder.empty() && ::statvfs(tree.recordingsFolder.c_str(), &volume) == 0) {
    const uint64_t unit = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    out.family("velmora_disk_used_bytes", "gauge", "Bytes used on the file system of the recordings folder.");
    out.sample(static_cast<uint64_t>(volume.f_blocks - volume.f_bfree) * unit);
    out.family("velmora_disk_free_bytes", "gauge",
               "Bytes free for the recorder on the file system of the recordings folder.");
    out.sample(static_cast<uint64_t>(volume.f_bavail) * unit);
  }
  const RemovalCounts removal = RemovalCountsSoFar();
  out.family("velmora_removal_passes_total", "counter", "Automatic removal passes begun.");
  out.sample(removal.passes);
  out.family("velmora_removal_files_deleted_total", "counter", "Recording files deleted by automatic removal.");
  out.sample(removal.filesDeleted);
  out.family("velmora_http_connections_accepted_total", "counter", "Connections the HTTP server accepted.");
  out.sample(state.connectionsAccepted);
  out.family("velmora_http_connections_refused_total", "counter",
             "Connections the HTTP server closed at once for its connection limits.");
  out.sample(state.connectionsRefused);
  out.family("velmora_playback_active", "gauge", "1 while recordings are played back, else 0.");
  out.sample(programSignals().playbackMode.load() ? 1 : 0);
  const ExportCounts exports = ExportCountsSoFar();
  out.family("velmora_exports_started_total", "counter", "Exports begun.");
  out.sample(exports.started);
  out.family("velmora_exports_finished_total", "counter", "Exports ended (completed, failed or cancelled).");
  out.sample(exports.finished);
  out.family("velmora_exports_active", "gauge", "Exports running now.");
  out.sample(exports.started > exports.finished ? exports.started - exports.finished : 0);
  out.family("velmora_main_loop_age_seconds", "gauge", "Seconds since the main loop last turned.");
  out.sample(std::string(), static_cast<double>(std::max<int64_t>(state.nowMs - state.mainLoopMs, 0)) / 1000.0);

  DeviceFamily(out, tree, "velmora_device_frames_received_total", "counter",
               "Complete frames the device's live connection delivered.",
               [](const DeviceCounters& c) { return Load(c.framesReceived); });
  DeviceFamily(out, tree, "velmora_device_frames_recorded_total", "counter",
               "Frames recorded for the device (index entries written).",
               [](const DeviceCounters& c) { return Load(c.framesRecorded); });
  DeviceFamily(out, tree, "velmora_device_recorded_bytes_total", "counter", "Record bytes written for the device.",
               [](const DeviceCounters& c) { return Load(c.bytesRecorded); });
  DeviceFamily(out, tree, "velmora_device_reconnects_total", "counter",
               "Connections to the device started again after its first one.",
               [](const DeviceCounters& c) { return Load(c.reconnects); });
  DeviceFamily(out, tree, "velmora_device_fetch_error", "gauge", "1 while the device reports a fetch error, else 0.",
               [](const DeviceCounters& c) { return uint64_t{c.fetchError.load(std::memory_order_relaxed)}; });
  DeviceFamily(out, tree, "velmora_device_recording", "gauge",
               "1 while the device is an enabled recording device and recording is on, else 0.",
               [](const DeviceCounters& c) {
                 return uint64_t{c.recordingSinceMs.load(std::memory_order_relaxed) != DeviceCounters::kNever};
               });
  // A device that has delivered no frame since the start has no age: its series is left
  // out rather than given a made-up value.
  bool ageFamily = false;
  for (const MonitoredDevice& device : tree.devices) {
    const int64_t last = device.counters->lastFrameMs.load(std::memory_order_relaxed);
    if (last == DeviceCounters::kNever) continue;
    if (!ageFamily) {
      out.family("velmora_device_last_frame_age_seconds", "gauge",
                 "Seconds since the device's last frame (no sample before its first).");
      ageFamily = true;
    }
    out.sample(device.label, static_cast<double>(std::max<int64_t>(state.nowMs - last, 0)) / 1000.0);
  }
  return out.take();
}

HealthAnswer CheckHealth(const TreeSnapshot& tree, const MonitorState& state) {
  HealthAnswer answer;
  const int64_t stalledMs = state.nowMs - state.mainLoopMs;
  if (stalledMs >= state.mainLoopStallLimit.count()) {
    answer.body += "main loop stalled for " + std::to_string(stalledMs / 1000) + " s\n";
  }
  for (const MonitoredDevice& device : tree.devices) {
    const int64_t since = device.counters->recordingSinceMs.load(std::memory_order_relaxed);
    if (since == DeviceCounters::kNever) continue;
    // A device that has just become a recording one (or the program that has just
    // started) has the limit's time of grace before its first frame counts as missing.
    const int64_t last = std::max(device.counters->lastFrameMs.load(std::memory_order_relaxed), since);
    const int64_t limitMs =
        std::max<int64_t>(state.frameSilenceLimit.count(), 2 * static_cast<int64_t>(device.updateDelayMs));
    const int64_t silentMs = state.nowMs - last;
    if (silentMs >= limitMs) {
      answer.body += device.label + ": no frame for " + std::to_string(silentMs / 1000) + " s\n";
    }
  }
  answer.healthy = answer.body.empty();
  if (answer.healthy) answer.body = "ok\n";
  return answer;
}

}  // namespace velmora::net
