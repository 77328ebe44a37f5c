// Seek latency of playback: from a seek message (20513) taken by the playback engine to
// the frame being handed to its tile, over one day of a 10 fps camera (864,000 records),
// for one view and for 16 views. Prints milliseconds.
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "bench_timeline_data.h"
#include "playback/playback_engine.h"
#include "playback/timeline.h"

using namespace velmora;
using velmora::bench::MsSince;

namespace {

constexpr int kSeeks = 400;

// The engine's output: notes when the last frame was handed to its tile.
class ShownClock final : public SilentPlaybackOutput {
 public:
  void show(int, std::unique_ptr<ImageHolder> frame, std::string) override {
    lastShown = std::chrono::steady_clock::now();
    if (frame) ++framesShown;
  }
  std::chrono::steady_clock::time_point lastShown;
  int framesShown = 0;
};

void Measure(const std::filesystem::path& folder, int views) {
  ShownClock output;
  PlaybackEngine engine(ColumnCapacity(AvailablePhysicalMemory()), nullptr, &output);
  engine.data().setStatusSink([](const std::string&) {});

  PlayMsgNewFeed feed;
  feed.fullRange = true;
  for (int v = 0; v < views; ++v) {
    PlaybackView view;
    view.tile = v;
    view.slot = v;
    view.hasNode = true;
    view.name = "Camera";
    view.source = folder.string();
    feed.views.push_back(view);
  }
  engine.queue().post(std::move(feed));
  const auto feedStart = std::chrono::steady_clock::now();
  engine.processOne();
  const double feedMs = MsSince(feedStart);
  const int columns = engine.timeline().columns();

  std::mt19937 random(12345);
  std::uniform_int_distribution<int> column(0, columns);
  std::vector<double> latencies;
  for (int i = 0; i < kSeeks; ++i) {
    engine.queue().post(PlayMsgSeek{column(random)});
    const auto start = std::chrono::steady_clock::now();
    engine.processOne();
    latencies.push_back(std::chrono::duration<double, std::milli>(output.lastShown - start).count());
  }
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]; };
  std::printf("%2d view(s), %6d columns: new feed %7.1f ms | seek to last frame shown: median %6.3f ms, "
              "p90 %6.3f ms, max %6.3f ms (%d seeks, %d frames shown)\n",
              views, columns, feedMs, at(0.5), at(0.9), latencies.back(), kSeeks, output.framesShown);
}

}  // namespace

int main() {
  bench::TempFolder temp;
  const auto folder = temp.path() / "Camera";
  const auto writeStart = std::chrono::steady_clock::now();
  if (!bench::WriteDay(folder, true)) {
    std::fprintf(stderr, "bench_seek: cannot write the test day under %s\n", temp.path().c_str());
    return 1;
  }
  std::printf("one day at %d fps: %d records (written in %.0f ms)\n", bench::kFramesPerSecond,
              bench::kHours * bench::kFramesPerHour, MsSince(writeStart));
  Measure(folder, 1);
  Measure(folder, 16);

  // The day's frames are tiny (32 x 24) to keep the files small; a camera frame costs
  // its decoding on top of the seek. For scale: one 640 x 480 frame with detail.
  std::unique_ptr<Image> picture = Image::New(640, 480, 24);
  std::mt19937 noise(7);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x)
      picture->SetPixel(x, y, Colour{static_cast<uint8_t>(x / 3 + noise() % 32), static_cast<uint8_t>(y / 2),
                                     static_cast<uint8_t>(noise() % 256)});
  const std::vector<uint8_t> jpeg = EncodeJpeg(*picture, 75);
  double best = 1e18;
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto decoded = ImageFromBuffer(jpeg.data(), jpeg.size());
    best = std::min(best, MsSince(start));
  }
  std::printf("for scale: decoding one 640 x 480 frame (%zu bytes) takes %.3f ms\n", jpeg.size(), best);
  return 0;
}
