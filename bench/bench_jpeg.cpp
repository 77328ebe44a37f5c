// Decode throughput of camera-sized JPEG frames: ImageFromBuffer (checks, allocation,
// bottom-up BGR) next to a bare tjDecompress2 into a reused buffer, one thread, so the
// figures are frames per second per core.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "media/jpeg.h"
#include "media/jpeg_turbo.h"

namespace {

using velmora::Image;

// A camera-like picture: smooth gradients, a few hard edges and sensor noise, encoded
// at quality 75 (4:2:0), as cameras send them.
const std::vector<uint8_t>& Frame(int width, int height) {
  static std::vector<uint8_t> small, large;
  std::vector<uint8_t>& out = width == 640 ? small : large;
  if (!out.empty()) return out;
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 3);
  uint32_t state = 2463534242u;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const int noise = static_cast<int>(state % 25) - 12;
      const bool box = (x / (width / 8) + y / (height / 6)) % 3 == 0;
      uint8_t* p = &px[(static_cast<size_t>(y) * width + x) * 3];
      const int base[3] = {x * 255 / width, y * 255 / height, box ? 220 : 60};
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::clamp(base[c] + noise, 0, 255));
    }
  }
  velmora::JpegPixels pixels;
  pixels.rows = px.data();
  pixels.width = width;
  pixels.height = height;
  pixels.pitch = width * 3;
  pixels.format = TJPF_BGR;
  velmora::EncodeJpegPixels(pixels, 75, out);
  return out;
}

void ImageFromBufferDecode(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const int h = static_cast<int>(state.range(1));
  const std::vector<uint8_t>& jpeg = Frame(w, h);
  for (auto _ : state) {
    std::unique_ptr<Image> image = velmora::ImageFromBuffer(jpeg.data(), jpeg.size());
    if (!image) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(image.get());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["jpeg_KiB"] = static_cast<double>(jpeg.size()) / 1024.0;
}

void RawTjDecompress2(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const int h = static_cast<int>(state.range(1));
  const std::vector<uint8_t>& jpeg = Frame(w, h);
  velmora::TurboJpegHandle tj(velmora::TurboKind::kDecompress);
  const int pitch = (w * 3 + 3) & ~3;
  std::vector<uint8_t> out(static_cast<size_t>(pitch) * h);
  for (auto _ : state) {
    if (tjDecompress2(tj.get(), jpeg.data(), jpeg.size(), out.data(), w, pitch, h, TJPF_BGR, TJFLAG_BOTTOMUP) != 0) {
      state.SkipWithError("decode failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void ScaledQuarterDecode(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const int h = static_cast<int>(state.range(1));
  const std::vector<uint8_t>& jpeg = Frame(w, h);
  for (auto _ : state) {
    auto image = velmora::ImageFromBufferScaled(jpeg.data(), jpeg.size(), w / 4, h / 4);
    if (!image) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(image.get());
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(ImageFromBufferDecode)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(RawTjDecompress2)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(ScaledQuarterDecode)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
