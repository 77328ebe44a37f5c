// RTSP cameras on this machine: the fake RTSP server (tools/rtsp_fake.py) sends one
// 1920 x 1080 H.264 stream at 25 pictures a second; N devices read it, each its own
// RTSP session, keeping 10 pictures a second as JPEG for the recorder. Then, in the same
// run, one ffmpeg process does the same job on the same stream:
//   ffmpeg -rtsp_transport tcp -i URL -r 10 -f image2pipe -c:v mjpeg -
// and its CPU time is taken from wait4's usage of that child.
//
// Printed: each device's kept rate (a device is held at full rate when it kept at least
// 95% of the asked 10 pictures a second), CPU per camera as a share of one core, the
// split between decoding (everything but the encoding: demuxing, decoding on the
// decoder's threads) and JPEG encoding (thread CPU time around the encoder), the
// cameras one core holds at that cost, and the same figures for ffmpeg.
//
// Usage: bench_rtsp [--cameras N] [--seconds S] [--width W --height H] [--fps F]
//                   [--keep-fps K] [--quality Q] [--shown] [--no-ffmpeg] [--pattern P]
//   --shown    the devices have view slots (the tile image is made as well)
//   --pattern  the fake's videotestsrc pattern (default "ball": a moving ball on black,
//              cheap to code; "smpte" gives a busier picture)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tests/live/rtsp_fake_process.h"
#include "app/messages.h"
#include "app/settings.h"
#include "live/fetch.h"
#include "live/rtsp.h"
#include "live/stream.h"
#include "bench_cameras.h"
#include "live/view_slot.h"
#include "model/group_record.h"

extern char** environ;

namespace velmora {
namespace {

struct Config {
  int cameras = 2;
  double seconds = 20;
  int width = 1920;
  int height = 1080;
  int fps = 25;
  int keepFps = 10;
  int quality = kLiveJpegQualityDefault;
  bool shown = false;
  bool ffmpeg = true;
  std::string pattern = "ball";  // the fake's picture (a videotestsrc pattern)
};

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ProcessCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return CpuSeconds(usage);
}

// Plays the main thread for `seconds`: the periodic walk and the message queue.
void MainThread(const std::vector<std::shared_ptr<GroupRecord>>& devices, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    for (const auto& d : devices) viewthread_check_update(*d);
    while (mainQueue().take()) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Runs ffmpeg on the URL for `seconds`; false when it could not run. cpu is the child's
// user + system time, frames the JPEG frames it wrote (counted on its pipe).
bool RunFfmpeg(const std::string& url, const Config& config, double& cpu, long& frames, double& wall) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  const std::string rate = std::to_string(config.keepFps);
  const std::string duration = std::to_string(static_cast<int>(config.seconds));
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-loglevel", "error", "-rtsp_transport", "tcp", "-i", url,
                                   "-t", duration, "-r", rate, "-f", "image2pipe", "-c:v", "mjpeg", "-"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = -1;
  const auto started = std::chrono::steady_clock::now();
  const int rc = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return false;
  }
  // Count end markers on the pipe, bounded by the run's time plus a margin.
  frames = 0;
  const auto until = started + std::chrono::duration<double>(config.seconds + 15);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  std::vector<char> buffer(1 << 16);
  bool last = false;
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() < until) {
    const ssize_t n = read(out[0], buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const bool ff = static_cast<uint8_t>(buffer[static_cast<std::size_t>(i)]) == 0xFF;
      if (last && static_cast<uint8_t>(buffer[static_cast<std::size_t>(i)]) == 0xD9) ++frames;
      last = ff;
    }
  }
  close(out[0]);
  kill(pid, SIGTERM);  // after -t it has ended already; a hung one is ended here
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  cpu = CpuSeconds(usage);
  return true;
}

int Run(const Config& config) {
  test::RtspFakeProcess fake({"--width", std::to_string(config.width), "--height", std::to_string(config.height),
                              "--fps", std::to_string(config.fps), "--key-interval", std::to_string(2 * config.fps),
                              "--pattern", config.pattern, "--shared"},
                             60000);
  if (!fake.ok()) {
    std::fprintf(stderr, "bench_rtsp: %s\n", fake.error().c_str());
    return 1;
  }
  const std::string url = fake.url("/h264");
  // The sessions make their pictures at the quality under test, as the program's
  // settings would ask.
  auto benchSettings = std::make_shared<Settings>();
  benchSettings->liveJpegQuality = config.quality;
  FetchOptions fetchOptions = GetFetchOptions();
  fetchOptions.settings = benchSettings;
  SetFetchOptions(fetchOptions);

  std::mutex lock;
  std::map<const GroupRecord*, long> kept;  // guarded by lock
  bool counting = false;                    // guarded by lock
  // Counts the frames that reach the recorder, per device.
  class KeptFrames final : public FrameRecorder {
   public:
    KeptFrames(std::mutex& lock, std::map<const GroupRecord*, long>& kept, bool& counting)
        : lock_(lock), kept_(kept), counting_(counting) {}
    void recordFrame(GroupRecord& record, ImageHolder&, uint8_t*, std::size_t) override {
      std::lock_guard<std::mutex> guard(lock_);
      if (counting_) ++kept_[&record];
    }

   private:
    std::mutex& lock_;
    std::map<const GroupRecord*, long>& kept_;
    bool& counting_;
  } keptFrames(lock, kept, counting);
  Installation keptInstalled = Installed<FrameRecorder>::install(keptFrames);

  std::vector<std::shared_ptr<GroupRecord>> devices;
  for (int i = 0; i < config.cameras; ++i) {
    auto d = CreateRecord(EntryKind::HTTPDevice, "rtsp" + std::to_string(i));
    d->location = url;
    d->updateDelay = static_cast<uint32_t>(1000 / std::max(config.keepFps, 1));
    d->enabled = true;
    d->fetchActive = true;
    d->motionEnabled = false;
    d->viewIndex = config.shown && i < viewSlotCount ? i : -1;
    d->shownIn = &bench::BenchSlots();
    d->fetchIndex = d->viewIndex;
    devices.push_back(d);
    viewthread_iocp(*d);
  }
  std::printf("bench_rtsp: %d camera(s), %dx%d H.264 at %d fps (pattern %s), keeping %d fps as JPEG (quality %d)%s\n",
              config.cameras, config.width, config.height, config.fps, config.pattern.c_str(), config.keepFps,
              config.quality, config.shown ? ", shown" : "");
  MainThread(devices, 4.0);  // warm-up: sessions open, decoders fill

  const RtspWorkStats before = GetRtspWorkStats();
  const double cpuBefore = ProcessCpu();
  const auto start = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> guard(lock);
    counting = true;
  }
  MainThread(devices, config.seconds);
  {
    std::lock_guard<std::mutex> guard(lock);
    counting = false;
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = ProcessCpu() - cpuBefore;
  const RtspWorkStats after = GetRtspWorkStats();

  int held = 0;
  double lowest = 1e9;
  for (const auto& d : devices) {
    long n = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      n = kept[d.get()];
    }
    const double rate = static_cast<double>(n) / wall;
    lowest = std::min(lowest, rate);
    if (rate >= 0.95 * config.keepFps) ++held;
  }
  for (const auto& d : devices) viewthread_refresh(*d, false);
  RtspShutdown(5000);

  const double encode = static_cast<double>(after.encodeCpuNs - before.encodeCpuNs) / 1e9;
  const double decode = std::max(cpu - encode, 0.0);
  const double perCamera = cpu / wall / config.cameras;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("  kept rate: lowest %.2f fps; %d of %d cameras held at full rate\n", lowest, held, config.cameras);
  std::printf("  pictures decoded %llu, encoded %llu in %.1f s\n",
              static_cast<unsigned long long>(after.picturesDecoded - before.picturesDecoded),
              static_cast<unsigned long long>(after.picturesEncoded - before.picturesEncoded), wall);
  std::printf("  CPU per camera: %.1f%% of a core (decoding %.1f%%, JPEG encoding %.1f%%)\n", 100 * perCamera,
              100 * decode / wall / config.cameras, 100 * encode / wall / config.cameras);
  std::printf("  cameras per core at this cost: %.1f (goal 6); machine has %u cores\n",
              perCamera > 0 ? 1.0 / perCamera : 0.0, cores);

  if (config.ffmpeg) {
    double ffCpu = 0;
    double ffWall = 0;
    long ffFrames = 0;
    if (!RunFfmpeg(url, config, ffCpu, ffFrames, ffWall)) {
      std::printf("  ffmpeg: could not run\n");
    } else {
      const double ffPerCamera = ffCpu / std::max(config.seconds, 1.0);
      std::printf("  ffmpeg -r %d mjpeg: %ld frames in %.1f s, CPU %.1f%% of a core per camera, %.1f cameras per core\n",
                  config.keepFps, ffFrames, ffWall, 100 * ffPerCamera, ffPerCamera > 0 ? 1.0 / ffPerCamera : 0.0);
    }
  }
  return held == config.cameras ? 0 : 3;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  velmora::Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&](double fallback) { return i + 1 < argc ? std::atof(argv[++i]) : fallback; };
    if (arg == "--cameras") {
      config.cameras = std::clamp(static_cast<int>(next(config.cameras)), 1, 256);
    } else if (arg == "--seconds") {
      config.seconds = std::clamp(next(config.seconds), 2.0, 600.0);
    } else if (arg == "--width") {
      config.width = std::clamp(static_cast<int>(next(config.width)), 64, 3840) & ~1;
    } else if (arg == "--height") {
      config.height = std::clamp(static_cast<int>(next(config.height)), 64, 2160) & ~1;
    } else if (arg == "--fps") {
      config.fps = std::clamp(static_cast<int>(next(config.fps)), 1, 60);
    } else if (arg == "--keep-fps") {
      config.keepFps = std::clamp(static_cast<int>(next(config.keepFps)), 1, 60);
    } else if (arg == "--quality") {
      config.quality = std::clamp(static_cast<int>(next(config.quality)), 1, 100);
    } else if (arg == "--shown") {
      config.shown = true;
    } else if (arg == "--no-ffmpeg") {
      config.ffmpeg = false;
    } else if (arg == "--pattern" && i + 1 < argc) {
      config.pattern = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--cameras N] [--seconds S] [--width W --height H] [--fps F] [--keep-fps K] "
                   "[--quality Q] [--shown] [--no-ffmpeg] [--pattern P]\n",
                   argv[0]);
      return 2;
    }
  }
  return velmora::Run(config);
}
