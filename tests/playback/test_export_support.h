// Test-side helpers for export: an engine driven on the test's thread with the pump
// installed, a loop that runs an export session against it, and the reference readers
// (ffprobe and ffmpeg) run as child processes on the written files.
#pragma once

#include <sys/wait.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "playback/export_pump.h"
#include "playback/export_writer.h"
#include "playback/playback_engine.h"
#include "test_recorded_data_support.h"

namespace velmora::exporttest {

// Runs a shell command, returns its exit status and its output (stdout and stderr).
inline int RunCommand(const std::string& command, std::string& output) {
  output.clear();
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// "key=value" lines of ffprobe's default writer for the first video stream.
inline std::map<std::string, std::string> ProbeStream(const std::string& file) {
  std::string out;
  RunCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
             "stream=codec_name,codec_tag_string,width,height,nb_read_frames,r_frame_rate "
             "-of default=nw=1 '" + file + "'",
             out);
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  return fields;
}

// The key-frame flag (0x10) of every video entry of the file's "idx1" index.
inline std::vector<bool> IndexKeyFlags(const std::string& file) {
  const std::vector<uint8_t> bytes = playtest::ReadAll(file);
  std::vector<bool> keys;
  const std::string tag = "idx1";
  auto at = std::search(bytes.begin(), bytes.end(), tag.begin(), tag.end());
  if (at == bytes.end()) return keys;
  std::size_t pos = static_cast<std::size_t>(at - bytes.begin());
  auto word = [&bytes](std::size_t p) {
    return uint32_t{bytes[p]} | uint32_t{bytes[p + 1]} << 8 | uint32_t{bytes[p + 2]} << 16 |
           uint32_t{bytes[p + 3]} << 24;
  };
  if (pos + 8 > bytes.size()) return keys;
  const std::size_t end = std::min(bytes.size(), pos + 8 + word(pos + 4));
  for (std::size_t e = pos + 8; e + 16 <= end; e += 16) {
    if (bytes[e] == '0' && bytes[e + 1] == '0' && bytes[e + 2] == 'd') keys.push_back((word(e + 4) & 0x10) != 0);
  }
  return keys;
}

// Decodes the whole file; true when the decoder ran through without a complaint.
inline bool DecodesCleanly(const std::string& file, std::string& complaints) {
  return RunCommand("ffmpeg -nostdin -v error -i '" + file + "' -f null -", complaints) == 0 && complaints.empty();
}

// A clock that only moves when the engine waits: playing paces itself without real time.
class SteppedClock : public PlaybackClock {
 public:
  double t = 1000.0;
  double now() override { return t; }
  void wait(PlaybackQueue&, int ms) override { t += ms / 1000.0; }
};

// A playback engine without a thread or a window, with the export pump installed. The rig
// is the engine's output: it keeps the status texts and what the tiles were given.
class ExportRig : public SilentPlaybackOutput {
 public:
  // clock: null for the steady clock; otherwise it must outlive the rig.
  explicit ExportRig(PlaybackClock* clock = nullptr) : engine(993, clock, this), pump(engine) {
    engine.data().setStatusSink([this](const std::string& text) { statuses.push_back(text); });
    pump.Install();
  }

  bool post(AppMessage m) override {
    if (auto* s = std::get_if<MsgStatusText>(&m); s != nullptr && s->text) statuses.push_back(*s->text);
    return true;
  }
  void show(int, std::unique_ptr<ImageHolder> frame, std::string caption) override {
    if (frame) {
      shownCaptions.push_back(std::move(caption));
    } else {
      ++shownBlank;
    }
  }

  void Feed(const std::vector<std::string>& folders, const std::vector<std::string>& names = {}) {
    PlayMsgNewFeed m;
    m.fullRange = true;
    for (std::size_t i = 0; i < folders.size(); ++i) {
      PlaybackView v;
      v.tile = static_cast<int>(i);
      v.slot = static_cast<int>(i);
      v.hasNode = true;
      v.name = i < names.size() ? names[i] : "Door";
      v.source = folders[i];
      m.views.push_back(v);
    }
    engine.NewFeed(m);
  }

  std::function<bool(PlaybackMessage)> Poster() {
    return [this](PlaybackMessage m) { return engine.queue().post(std::move(m)); };
  }

  // Playback side and export side in turn until the session ends (bounded).
  void Run(ExportSession& session, int limit = 100000) {
    for (int i = 0; i < limit && session.running(); ++i) {
      bool worked = false;
      while (engine.processOne()) worked = true;
      if (session.Drain() > 0) worked = true;
      if (!worked) break;
    }
  }

  // The playback thread while an export runs beside a play: each pass handles one
  // message, runs one play step while playing (as the thread does while the export side
  // writes), then lets the export side drain. Bounded by `limit` passes.
  void RunWhilePlaying(ExportSession& session, int limit = 100000) {
    for (int i = 0; i < limit && session.running(); ++i) {
      engine.processOne();
      if (engine.playing()) engine.PlayStep();
      session.Drain();
    }
  }

  PlaybackEngine engine;
  ExportPump pump;
  std::vector<std::string> statuses;
  std::vector<std::string> shownCaptions;  // captions of the frames the tiles showed
  int shownBlank = 0;                      // tiles given "(no image found)"
};

// The rig's engine on a thread of its own, as the program's playback thread runs it,
// for an export side that runs on other threads (the export runner, a dialog). Feed
// before Start; the rig's records (statuses, captions) are read after Stop.
class ThreadedRig : public ExportRig {
 public:
  using ExportRig::ExportRig;
  ~ThreadedRig() { Stop(); }
  void Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { engine.run(); });
  }
  // Ends the loop (bounded: the loop looks at its queue at least every 100 ms).
  void Stop() {
    if (!thread_.joinable()) return;
    engine.queue().post(PlayMsgQuit{});
    thread_.join();
  }

 private:
  std::thread thread_;
};

// The owner's side of an export runner without a window: calls queued for the owner's
// thread are kept here and run by the test's thread when it asks.
class OwnerQueue {
 public:
  std::function<void(std::function<void()>)> Poster() {
    return [this](std::function<void()> call) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(std::move(call));
      }
      arrived_.notify_all();
    };
  }
  // Runs what is queued; waits up to `wait` for something when nothing is. The number run.
  int RunFor(std::chrono::milliseconds wait) {
    std::deque<std::function<void()>> calls;
    {
      std::unique_lock<std::mutex> guard(lock_);
      arrived_.wait_for(guard, wait, [this] { return !calls_.empty(); });
      calls.swap(calls_);
    }
    for (auto& call : calls) call();
    return static_cast<int>(calls.size());
  }
  // Runs the queued calls until `done` holds or the time limit passes. True when done.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      RunFor(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<std::function<void()>> calls_;
};

}  // namespace velmora::exporttest
