// Cost of each motion detector per frame at 640x480 and 1920x1080, reported per pixel
// (the "s/px" column, e.g. 1.2n = 1.2 ns per pixel). The scene is quiet, which is the
// common case and the dearest one: every zone and block is examined and nothing stops
// the search early.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "recording/motion.h"

namespace {

using velmora::FrameView;
using velmora::MotionCall;
using velmora::MotionConfig;
using velmora::MotionState;

struct Scene {
  Scene(int width, int height, int bitsPerPixel) : bpp(bitsPerPixel) {
    stride = (width * (bpp / 8) + 3) & ~3;
    pixels.resize(static_cast<std::size_t>(stride) * height);
    // A textured picture, so that sums are not trivially constant.
    for (std::size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
    view = FrameView{pixels.data(), width, height, stride, bpp};
  }
  int bpp;
  int stride = 0;
  std::vector<uint8_t> pixels;
  FrameView view;
};

// A JPEG-sized byte run without a motion segment: the search covers all of it.
std::vector<uint8_t> JpegBytes(std::size_t length) {
  std::vector<uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  for (std::size_t i = 64; i < length; i += 97) bytes[i] = 0xFF;  // marker-like bytes
  bytes[0] = 0xFF;
  bytes[1] = 0xD8;
  bytes[length - 2] = 0xFF;
  bytes[length - 1] = 0xD9;
  return bytes;
}

void SetCounters(benchmark::State& state, const FrameView& view) {
  const double pixels = static_cast<double>(view.width) * view.height;
  state.counters["s/px"] = benchmark::Counter(
      pixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["frames/s"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Simple(benchmark::State& state) {
  Scene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
              static_cast<int>(state.range(2)));
  MotionState motion;
  MotionConfig settings;
  const MotionCall call{"bench", false};
  velmora::motion_detect(motion, settings, scene.view, call);  // start frame
  for (auto _ : state) {
    motion.recordFrame = false;
    benchmark::DoNotOptimize(velmora::motion_detect(motion, settings, scene.view, call));
  }
  SetCounters(state, scene.view);
}

void BM_Advanced(benchmark::State& state) {
  Scene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
              static_cast<int>(state.range(2)));
  MotionState motion;
  MotionConfig settings;
  settings.motionType = 1;
  const MotionCall call{"bench", false};
  velmora::motion_detect_advanced(motion, settings, scene.view, call);
  for (auto _ : state) {
    motion.recordFrame = false;
    benchmark::DoNotOptimize(velmora::motion_detect_advanced(motion, settings, scene.view, call));
  }
  SetCounters(state, scene.view);
}

void BM_Camera(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  // About 1.3 bits per pixel, a usual camera JPEG.
  const auto jpeg = JpegBytes(static_cast<std::size_t>(width) * height / 6);
  MotionState motion;
  MotionConfig settings;
  settings.motionType = 2;
  const MotionCall call{"bench", false};
  const FrameView none;
  velmora::motion_detect_camera(motion, settings, jpeg.data(), jpeg.size(), none, call);
  for (auto _ : state) {
    motion.recordFrame = false;
    benchmark::DoNotOptimize(
        velmora::motion_detect_camera(motion, settings, jpeg.data(), jpeg.size(), none, call));
  }
  SetCounters(state, FrameView{nullptr, width, height, 0, 24});
}

}  // namespace

BENCHMARK(BM_Simple)->ArgNames({"w", "h", "bpp"})->Args({640, 480, 24})->Args({1920, 1080, 24})
    ->Args({1920, 1080, 8})->Args({1920, 1080, 32});
BENCHMARK(BM_Advanced)->ArgNames({"w", "h", "bpp"})->Args({640, 480, 24})->Args({1920, 1080, 24})
    ->Args({1920, 1080, 8});
BENCHMARK(BM_Camera)->ArgNames({"w", "h"})->Args({640, 480})->Args({1920, 1080});

BENCHMARK_MAIN();
