// Frame cutting and decoding throughput of the live stream path on one core, next to
// plain TurboJPEG decoding of the same frames in the same run.
//
// For 640 x 480 and 1920 x 1080 test frames it measures, single-threaded:
//   raw      header read + tjDecompress2 into a reused BGR buffer (the floor);
//   raw x2   the same into two buffers in turn: the floor for any path that keeps the
//            shown frame while it decodes the next one, as a view slot does;
//   decode   ImageFromBuffer (marker checks, a new image per frame, decoding);
//   stream   a multipart MJPEG stream fed in 64 KiB receives through the parser: the
//            copy into the stream buffer, header stage, marker scan, the frame's own
//            copy, decoding, frame rate, caption, the hand-off to a view slot and the
//            message to the main window (drained here as the main thread would).
// The overhead is stream time per frame over raw time per frame, minus 1; the engine's
// own share is the same against raw x2.
//
// Usage: bench_stream [seconds per measurement, default 2]
#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/messages.h"
#include "media/jpeg.h"
#include "media/jpeg_turbo.h"
#include "live/stream.h"
#include "bench_cameras.h"
#include "live/view_slot.h"
#include "model/group_record.h"

namespace {

using namespace velmora;

constexpr int kFrames = 30;
constexpr std::size_t kReceiveBytes = 64 * 1024;
constexpr int kRounds = 5;

// A moving test picture with some texture, so that frames are of a size cameras send.
std::vector<std::string> MakeFrames(int width, int height) {
  std::vector<std::string> frames;
  std::vector<uint8_t> px(static_cast<std::size_t>(width) * height * 3);
  uint32_t noise = 12345;
  for (int i = 0; i < kFrames; ++i) {
    const int side = std::min(width, height) / 4;
    const int sx = i * (width - side) / (kFrames - 1);
    for (int y = 0; y < height; ++y) {
      uint8_t* p = px.data() + static_cast<std::size_t>(y) * width * 3;
      for (int x = 0; x < width; ++x, p += 3) {
        noise = noise * 1664525u + 1013904223u;
        const int n = static_cast<int>(noise >> 28) - 8;
        const bool square = x >= sx && x < sx + side && y >= (height - side) / 2 && y < (height + side) / 2;
        p[0] = static_cast<uint8_t>(std::clamp(x * 255 / width + n, 0, 255));
        p[1] = static_cast<uint8_t>(std::clamp(y * 255 / height + n, 0, 255));
        p[2] = static_cast<uint8_t>(square ? 255 : std::clamp(i * 8 + n, 0, 255));
      }
    }
    JpegPixels pixels;
    pixels.rows = px.data();
    pixels.width = width;
    pixels.height = height;
    pixels.pitch = width * 3;
    pixels.format = TJPF_BGR;
    std::vector<uint8_t> jpeg;
    if (!EncodeJpegPixels(pixels, 75, jpeg)) {
      std::fprintf(stderr, "encoding failed\n");
      std::exit(1);
    }
    frames.emplace_back(jpeg.begin(), jpeg.end());
  }
  return frames;
}

// CPU time of this thread: other processes on the machine do not count against a
// measurement.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs body (which returns the frames it handled) for `seconds` of this thread's CPU
// time; returns CPU seconds per frame.
template <class Body>
double PerFrame(double seconds, Body body) {
  const double start = ThreadSeconds();
  long frames = 0;
  while (ThreadSeconds() - start < seconds) frames += body();
  return (ThreadSeconds() - start) / static_cast<double>(frames);
}

struct Figures {
  double raw = 1e9, raw2 = 1e9, decode = 1e9, stream = 1e9;
};

void Measure(const char* label, int width, int height, double seconds) {
  const std::vector<std::string> frames = MakeFrames(width, height);
  std::size_t total = 0;
  for (const auto& f : frames) total += f.size();

  // The multipart stream of all frames, after one response header.
  std::string body;
  for (const auto& f : frames) {
    body += "--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(f.size()) +
            "\r\n\r\n" + f + "\r\n";
  }
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=myboundary\r\n\r\n";

  std::vector<uint8_t> bgr(static_cast<std::size_t>(width) * height * 3);
  TurboJpegHandle& tj = ThreadDecompressor();
  auto raw = [&] {
    for (const auto& f : frames) {
      int w = 0, h = 0, sub = 0, cs = 0;
      const auto* data = reinterpret_cast<const unsigned char*>(f.data());
      if (tjDecompressHeader3(tj.get(), data, f.size(), &w, &h, &sub, &cs) != 0 ||
          tjDecompress2(tj.get(), data, f.size(), bgr.data(), w, w * 3, h, TJPF_BGR,
                        TJFLAG_BOTTOMUP | TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING) != 0) {
        std::fprintf(stderr, "raw decode failed\n");
        std::exit(1);
      }
    }
    return static_cast<long>(frames.size());
  };
  std::vector<uint8_t> other(bgr.size());
  auto raw2 = [&] {
    int n = 0;
    for (const auto& f : frames) {
      int w = 0, h = 0, sub = 0, cs = 0;
      const auto* data = reinterpret_cast<const unsigned char*>(f.data());
      uint8_t* out = (n++ & 1) ? other.data() : bgr.data();
      if (tjDecompressHeader3(tj.get(), data, f.size(), &w, &h, &sub, &cs) != 0 ||
          tjDecompress2(tj.get(), data, f.size(), out, w, w * 3, h, TJPF_BGR,
                        TJFLAG_BOTTOMUP | TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING) != 0) {
        std::exit(1);
      }
    }
    return static_cast<long>(frames.size());
  };
  auto decode = [&] {
    for (const auto& f : frames) {
      if (!ImageFromBuffer(reinterpret_cast<const uint8_t*>(f.data()), f.size())) std::exit(1);
    }
    return static_cast<long>(frames.size());
  };

  std::shared_ptr<GroupRecord> record = CreateRecord(EntryKind::Device, "Bench");
  record->viewIndex = 0;
  record->shownIn = &bench::BenchSlots();
  EnsureStreamBuffer(*record);
  auto feed = [&](const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += kReceiveBytes) {
      const std::size_t n = std::min(kReceiveBytes, bytes.size() - at);
      std::memcpy(StreamData(*record) + record->live.streamLength, bytes.data() + at, n);
      if (ProcessReceived(*record, nullptr, static_cast<uint32_t>(n)) != StreamStep::kReceive) {
        std::fprintf(stderr, "the stream was refused\n");
        std::exit(1);
      }
    }
  };
  auto stream = [&] {
    const int before = record->frameCount;
    record->live.fetchState = STATE_HEADER;
    record->live.streamLength = 0;
    feed(header);
    feed(body);
    while (mainQueue().take()) {
    }
    bench::BenchSlots().TakeDirty();
    return static_cast<long>(record->frameCount - before);
  };

  // Interleaved rounds; the best round of each counts (least disturbed by the rest of
  // the machine).
  Figures best;
  for (int round = 0; round < kRounds; ++round) {
    best.raw = std::min(best.raw, PerFrame(seconds, raw));
    best.raw2 = std::min(best.raw2, PerFrame(seconds, raw2));
    best.decode = std::min(best.decode, PerFrame(seconds, decode));
    best.stream = std::min(best.stream, PerFrame(seconds, stream));
  }
  std::printf("%-6s %4dx%-4d %6.1f KB/frame: raw %6.1f fps, raw x2 %6.1f fps, ImageFromBuffer %6.1f fps, "
              "stream %6.1f fps; stream overhead vs raw %+5.2f%%, vs raw x2 %+5.2f%%\n",
              label, width, height, total / 1024.0 / frames.size(), 1.0 / best.raw, 1.0 / best.raw2,
              1.0 / best.decode, 1.0 / best.stream, (best.stream / best.raw - 1.0) * 100.0,
              (best.stream / best.raw2 - 1.0) * 100.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(0.2, std::atof(argv[1])) : 2.0;
  std::printf("bench_stream: one thread, %.1f s of its CPU time per measurement, best of 5 interleaved rounds\n", seconds);
  Measure("VGA", 640, 480, seconds);
  Measure("1080p", 1920, 1080, seconds);
  return 0;
}
