// The fetch engine end to end on this machine: N fake cameras on loopback, each sending
// a 640 x 480 MJPEG stream at 10 frames per second, all fetched, decoded and shown
// (the first 100 in view slots, the rest as background fetches) while this thread plays
// the main thread (the 20 ms walk, the message queue, the repaint list).
//
// A run keeps full rate when every device's measured rate is within 5% of the asked
// rate, no device lost a frame the camera sent (at most one in flight at each end of
// the window), and no connection had to be restarted.
//
// Usage: bench_fetch [--cameras N] [--seconds S] [--fps F] [--search] [--width W --height H]
//                    [--log FILE] [--debug-level N]
//   --cameras N  one run with N cameras (default 160)
//   --seconds S  measuring window of that run (default 60; warm-up 3 s comes before it)
//   --search     runs of 10 s with 40, 80, 120, ... cameras until one fails, then the
//                final run of S seconds with the largest count that kept full rate
//   --log FILE   write the program's log there
//   --debug-level N  per-device log level of the cameras (with --log)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_cameras.h"
#include "app/log.h"
#include "app/messages.h"
#include "live/fetch.h"
#include "live/http_get.h"
#include "live/view_slot.h"
#include "model/group_record.h"

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Config {
  int cameras = 160;
  double seconds = 60;
  double fps = 10;
  int width = 640;
  int height = 480;
  bool search = false;
  int debugLevel = 0;
};

struct Result {
  int cameras = 0;
  bool fullRate = false;
  double minRate = 0, meanRate = 0, maxRate = 0;
  long lost = 0;
  long reconnects = 0;
  int slowDevices = 0;
  double ourCpu = 0;     // share of all cores used by this process
  double camsimCpu = 0;  // share of all cores used by the fake cameras
  std::string error;
};

// Frames and connections a fake camera reports: "frames=N ... accepted=N".
bool CameraStats(const test::CamsimProcess& cams, int camera, long& frames, long& accepted) {
  const HttpResult r = http_get(cams.url(camera, "/camsim/stats"), "", "");
  if (r.status != 200) return false;
  const std::string text(r.body.begin(), r.body.end());
  const auto field = [&text](const char* name) {
    const std::size_t at = text.find(name);
    return at == std::string::npos ? -1L : std::atol(text.c_str() + at + std::strlen(name));
  };
  frames = field("frames=");
  accepted = field("accepted=");
  return frames >= 0 && accepted >= 0;
}

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < text.size() && fields.size() < 13) {
    const std::size_t end = text.find(' ', at);
    fields.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (fields.size() < 13) return 0;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
}

int Frames(GroupRecord& r) {
  std::lock_guard<std::mutex> guard(r.fetchLock);
  return r.frameCount;
}

// The main thread's part for `duration`: every 20 ms the walk, the messages and the
// repaint list.
void MainLoop(std::chrono::duration<double> duration) {
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration);
  auto next = Clock::now();
  while (Clock::now() < until) {
    FetchPeriodic(bench::BenchTree().root.get(), {});
    while (mainQueue().take()) {
    }
    bench::BenchSlots().TakeDirty();
    next += 20ms;
    std::this_thread::sleep_until(next);
  }
}

Result Run(const Config& config, int cameras, double seconds) {
  Result result;
  result.cameras = cameras;
  test::CamsimProcess cams = bench::StartCameras(cameras, config.width, config.height);
  if (!cams.ok()) {
    result.error = cams.error();
    return result;
  }
  std::vector<std::shared_ptr<GroupRecord>> devices =
      bench::MakeCameraTree(cams, cameras, static_cast<uint32_t>(1000.0 / config.fps), config.debugLevel);
  for (auto& d : devices) viewthread_iocp(*d);

  MainLoop(3s);  // warm-up: every connection open and streaming

  std::vector<long> sentBefore(cameras), acceptedBefore(cameras), sentAfter(cameras), acceptedAfter(cameras);
  std::vector<int> framesBefore(cameras), framesAfter(cameras);
  for (int i = 0; i < cameras; ++i) {
    framesBefore[i] = Frames(*devices[i]);
    CameraStats(cams, i, sentBefore[i], acceptedBefore[i]);
  }
  rusage usageBefore{};
  getrusage(RUSAGE_SELF, &usageBefore);
  const double camsimBefore = ProcessCpuSeconds(cams.pid());
  const auto start = Clock::now();

  MainLoop(std::chrono::duration<double>(seconds));

  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  rusage usageAfter{};
  getrusage(RUSAGE_SELF, &usageAfter);
  const double camsimAfter = ProcessCpuSeconds(cams.pid());
  for (int i = 0; i < cameras; ++i) {
    framesAfter[i] = Frames(*devices[i]);
    CameraStats(cams, i, sentAfter[i], acceptedAfter[i]);
  }

  const auto cpu = [](const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  const double cores = static_cast<double>(std::max(1u, std::thread::hardware_concurrency()));
  result.ourCpu = (cpu(usageAfter) - cpu(usageBefore)) / elapsed / cores;
  result.camsimCpu = (camsimAfter - camsimBefore) / elapsed / cores;

  result.minRate = 1e9;
  double sum = 0;
  for (int i = 0; i < cameras; ++i) {
    const double rate = (framesAfter[i] - framesBefore[i]) / elapsed;
    result.minRate = std::min(result.minRate, rate);
    result.maxRate = std::max(result.maxRate, rate);
    sum += rate;
    const long sent = sentAfter[i] - sentBefore[i];
    const long got = framesAfter[i] - framesBefore[i];
    result.lost += std::max(0L, sent - got - 2);
    // The second statistics request is one accepted connection of its own.
    result.reconnects += std::max(0L, acceptedAfter[i] - acceptedBefore[i] - 1);
    if (std::abs(rate - config.fps) > config.fps * 0.05) ++result.slowDevices;
  }
  result.meanRate = sum / cameras;
  result.fullRate = result.slowDevices == 0 && result.lost == 0 && result.reconnects == 0;

  for (auto& d : devices) viewthread_refresh(*d, false);
  const auto until = Clock::now() + 5s;
  while (FetchConnectionsAlive() > 0 && Clock::now() < until) std::this_thread::sleep_for(10ms);
  DestroyTree(bench::BenchTree().root.get());
  bench::BenchTree().root.reset();
  return result;
}

void Print(const Config& config, const Result& r, double seconds) {
  if (!r.error.empty()) {
    std::printf("%4d cameras: could not run: %s\n", r.cameras, r.error.c_str());
    return;
  }
  std::printf("%4d cameras x %g fps, %4.0f s: %s  per device min %.2f / mean %.2f / max %.2f fps, "
              "%d outside 5%%, %ld frames lost, %ld reconnects; CPU of all cores: engine %.0f%%, cameras %.0f%%\n",
              r.cameras, config.fps, seconds, r.fullRate ? "FULL RATE" : "short    ", r.minRate, r.meanRate,
              r.maxRate, r.slowDevices, r.lost, r.reconnects, r.ourCpu * 100, r.camsimCpu * 100);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&](double fallback) { return i + 1 < argc ? std::atof(argv[++i]) : fallback; };
    if (arg == "--cameras") {
      config.cameras = std::clamp(static_cast<int>(next(config.cameras)), 1, 1000);
    } else if (arg == "--seconds") {
      config.seconds = std::clamp(next(config.seconds), 1.0, 3600.0);
    } else if (arg == "--fps") {
      config.fps = std::clamp(next(config.fps), 1.0, 100.0);
    } else if (arg == "--width") {
      config.width = std::clamp(static_cast<int>(next(config.width)), 16, 4096);
    } else if (arg == "--height") {
      config.height = std::clamp(static_cast<int>(next(config.height)), 16, 4096);
    } else if (arg == "--debug-level") {
      config.debugLevel = std::clamp(static_cast<int>(next(0)), 0, 7);
    } else if (arg == "--log" && i + 1 < argc) {
      SetLogPath(argv[++i]);
    } else if (arg == "--search") {
      config.search = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--cameras N] [--seconds S] [--fps F] [--search] [--width W --height H] "
                   "[--log FILE] [--debug-level N]\n",
                   argv[0]);
      return 2;
    }
  }
  // The fake camera next to this program in the build tree, unless CAMSIM names one.
  if (std::getenv("CAMSIM") == nullptr) {
    std::string self = argv[0];
    const std::size_t slash = self.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    setenv("CAMSIM", (dir + "/../tools/camsim/camsim").c_str(), 1);
  }
  http_client_open();
  std::printf("bench_fetch: %dx%d MJPEG at %g fps per camera, %u cores, %d engine workers\n", config.width,
              config.height, config.fps, std::thread::hardware_concurrency(),
              2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));

  int cameras = config.cameras;
  if (config.search) {
    int best = 0;
    for (int n = 40; n <= 1000; n += 40) {
      const Result r = Run(config, n, 10);
      Print(config, r, 10);
      if (!r.fullRate) break;
      best = n;
    }
    if (best == 0) {
      std::printf("no camera count kept full rate\n");
      viewthread_shutdown();
      return 1;
    }
    cameras = best;
  }
  const Result final = Run(config, cameras, config.seconds);
  Print(config, final, config.seconds);
  viewthread_shutdown();
  return final.fullRate ? 0 : 1;
}
