// Export throughput: one recorded device of camera-sized frames (640 x 480) exported
// through the playback engine, the pump and the writer, as the command line runs it, to
// an AVI file with the recorded JPEGs passed through, to uncompressed frames, to MPEG-4,
// and to JPEG files. Figures are exported frames per second on one thread.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/image.h"
#include "media/jpeg.h"
#include "playback/export_pump.h"
#include "playback/export_run.h"
#include "playback/export_runner.h"
#include "playback/playback_engine.h"
#include "recording/format.h"

namespace {

constexpr int kFrames = 150;
constexpr int64_t kStart = 1796738400 + 600;

void Append(const std::filesystem::path& path, const void* data, std::size_t length) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
}

// A temporary recordings folder with kFrames frames at 10 a second (made once).
const std::filesystem::path& Recordings() {
  static std::filesystem::path folder;
  if (!folder.empty()) return folder;
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bench-export-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  folder = std::filesystem::path(pattern) / "Door";
  std::filesystem::create_directories(folder);
  std::unique_ptr<velmora::Image> image = velmora::Image::New(640, 480, 24);
  uint64_t offset = 0;
  for (int i = 0; i < kFrames; ++i) {
    image->Fill(velmora::Colour{static_cast<uint8_t>(i), 90, 160});
    image->FillRect(velmora::Rect{(i * 4) % 600, 200, 40, 40}, velmora::Colour{250, 250, 250});
    const std::vector<uint8_t> jpeg = velmora::EncodeJpeg(*image, 75);
    const int64_t ms = int64_t{i} * 100;
    const velmora::RecordTime time = velmora::RecordTimeAt(kStart + ms / 1000, static_cast<unsigned>(ms % 1000));
    std::vector<uint8_t> record(jpeg.size() + velmora::kRecordOverheadBytes);
    std::copy(jpeg.begin(), jpeg.end(), record.begin() + velmora::kRecordHeaderBytes);
    velmora::FillRecord(record.data(), static_cast<uint32_t>(jpeg.size()), time, 0, 0);
    const std::string key = velmora::HourKey(time.seconds);
    Append(velmora::DataFilePath(folder, key), record.data(), record.size());
    // The same frames as one MJPEG stream, for the reference remux.
    Append(folder.parent_path() / "frames.mjpeg", jpeg.data(), jpeg.size());
    uint8_t entry[velmora::kIndexEntryBytes];
    velmora::MakeIndexEntry(time, offset).ToBytes(entry);
    Append(velmora::IndexFilePath(folder, key), entry, sizeof entry);
    offset += record.size();
  }
  return folder;
}

void RunExport(benchmark::State& state, std::vector<std::string> options) {
  const std::filesystem::path& source = Recordings();
  const std::filesystem::path out = source.parent_path() / "out";
  std::FILE* sink = std::fopen("/dev/null", "w");
  for (auto _ : state) {
    std::error_code ec;
    std::filesystem::remove_all(out, ec);
    std::filesystem::create_directories(out, ec);
    std::vector<std::string> args = options;
    args.push_back(source.string());
    args.push_back((out / "export.avi").string());
    if (velmora::ExportCommandMain(args, sink, sink) != 0) state.SkipWithError("export failed");
  }
  std::fclose(sink);
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(kFrames) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ExportMjpgPassThrough(benchmark::State& state) { RunExport(state, {"--codec", "MJPG"}); }
void BM_ExportUncompressed(benchmark::State& state) { RunExport(state, {"--codec", "DIB "}); }
void BM_ExportMpeg4(benchmark::State& state) { RunExport(state, {"--codec", "FMP4"}); }
void BM_ExportJpegFiles(benchmark::State& state) { RunExport(state, {"--jpeg"}); }

// The owner's listener of the runner: counts the progress and count reports it is
// shown, and notes the end.
class OwnerReports final : public velmora::ExportListener {
 public:
  explicit OwnerReports(int64_t& reports) : reports_(reports) {}
  void OnExportReport(velmora::ExportReport& report) override {
    if (std::holds_alternative<velmora::ExportConvertedReport>(report) ||
        std::holds_alternative<velmora::ExportProgressReport>(report)) {
      ++reports_;
    } else if (const auto* end = std::get_if<velmora::ExportEndedReport>(&report)) {
      finished = true;
      ended = end->state;
    }
  }

  bool finished = false;
  velmora::ExportSession::State ended = velmora::ExportSession::State::kIdle;

 private:
  int64_t& reports_;
};

// The window's way: the playback engine on its own thread feeds the pump, the channel
// wakes the runner's export thread, which writes and queues its reports for the owner
// (here the benchmark's thread, standing in for the GUI thread, which only runs them).
void RunThroughRunner(benchmark::State& state, uint32_t fourcc) {
  const std::filesystem::path& source = Recordings();
  const std::filesystem::path out = source.parent_path() / "out";
  velmora::SilentPlaybackOutput silent;
  velmora::PlaybackEngine engine(velmora::ColumnCapacity(velmora::AvailablePhysicalMemory()), nullptr, &silent);
  velmora::ExportPump pump(engine);
  pump.Install();
  velmora::PlayMsgNewFeed feed;
  feed.fullRange = true;
  velmora::PlaybackView view;
  view.tile = 0;
  view.hasNode = true;
  view.name = "Door";
  view.source = source.string();
  feed.views.push_back(view);
  engine.NewFeed(feed);
  std::thread playback([&engine] { engine.run(); });

  std::mutex lock;
  std::condition_variable arrived;
  std::deque<std::function<void()>> calls;
  auto toOwner = [&](std::function<void()> call) {
    {
      std::lock_guard<std::mutex> guard(lock);
      calls.push_back(std::move(call));
    }
    arrived.notify_one();
  };
  int64_t reports = 0;
  for (auto _ : state) {
    std::error_code ec;
    std::filesystem::remove_all(out, ec);
    std::filesystem::create_directories(out, ec);
    velmora::ExportOptions options;
    velmora::FindCompressor(fourcc, options.compressor);
    options.rememberPath = false;
    OwnerReports owner(reports);
    velmora::ExportRunner runner(
        options, [&engine](velmora::PlaybackMessage m) { return engine.queue().post(std::move(m)); }, owner,
        toOwner);
    if (!runner.Start((out / "export.avi").string())) state.SkipWithError("export did not start");
    while (!owner.finished) {
      std::deque<std::function<void()>> now;
      {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait_for(guard, std::chrono::seconds(30), [&calls] { return !calls.empty(); });
        now.swap(calls);
      }
      if (now.empty()) {
        state.SkipWithError("no report for 30 s");
        break;
      }
      for (auto& call : now) call();
    }
    if (owner.ended != velmora::ExportSession::State::kCompleted) state.SkipWithError("export failed");
  }
  engine.queue().post(velmora::PlayMsgQuit{});
  playback.join();
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(kFrames) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["owner calls/export"] =
      static_cast<double>(reports) / static_cast<double>(std::max<int64_t>(1, state.iterations()));
}

void BM_RunnerMjpgPassThrough(benchmark::State& state) { RunThroughRunner(state, velmora::kFourccMjpg); }
void BM_RunnerMpeg4(benchmark::State& state) { RunThroughRunner(state, velmora::MakeFourcc('F', 'M', 'P', '4')); }

// Reference: ffmpeg copying the same JPEG frames into an AVI without re-encoding.
void BM_FfmpegCopyReference(benchmark::State& state) {
  const std::filesystem::path& source = Recordings();
  const std::string frames = (source.parent_path() / "frames.mjpeg").string();
  const std::string out = (source.parent_path() / "reference.avi").string();
  const std::string command = "ffmpeg -loglevel error -y -f mjpeg -framerate 10 -i '" + frames +
                              "' -c copy '" + out + "' </dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      break;
    }
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(kFrames) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ExportMjpgPassThrough)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegCopyReference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExportUncompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportMpeg4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportJpegFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunnerMjpgPassThrough)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunnerMpeg4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  if (!Recordings().empty()) std::filesystem::remove_all(Recordings().parent_path(), ec);
  return 0;
}
