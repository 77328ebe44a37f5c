// The view grid painting live frames: N fake cameras on loopback, each sending a 640 x 480
// MJPEG stream at 10 frames per second, fetched and decoded by the engine into the view
// slots, and painted into a 1920 x 1080 view frame on the offscreen platform by this
// thread, which plays the main window's 20 ms timer (the periodic walk, the message
// queue and the repaint of dirty tiles).
//
// Printed per case: frames received by the engine and tiles painted per second, the GUI
// thread's CPU time per second, and how long workers waited for a slot's lock (the
// worst wait and how many stores found it busy).
//
// Usage: bench_tiles [--seconds S] [--cases 16,64,100] [--shot PREFIX]
//   --shot PREFIX  saves the frame as PREFIX<tiles>.png at the end of each case
#include <time.h>

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_cameras.h"
#include "app/messages.h"
#include "control/view_layout.h"
#include "live/fetch.h"
#include "live/http_get.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "ui/view_frame.h"
#include "ui/view_tile.h"

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Counts the paint events the tiles receive.
class PaintCounter : public QObject {
 public:
  long paints = 0;
  std::set<QObject*> painted;  // tiles painted at least once

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
      painted.insert(watched);
    }
    return QObject::eventFilter(watched, event);
  }
};

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long Frames(GroupRecord& r) {
  std::lock_guard<std::mutex> guard(r.fetchLock);
  return r.frameCount;
}

// Runs the 20 ms main-thread work in the Qt event loop for `seconds`; returns the ticks
// run (fewer than 50 a second when the machine is busy).
long RunMainLoop(ui::ViewFrame& frame, double seconds) {
  QTimer tick;
  long ticks = 0;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&frame, &ticks] {
    ++ticks;
    FetchPeriodic(bench::BenchTree().root.get(), {});
    for (int i = 0; i < 10000 && mainQueue().take(); ++i) {
    }
    frame.repaintDirty();
  });
  tick.start(20);
  // A local loop: quitting the application's loop would close the frame's window.
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
  tick.stop();
  return ticks;
}

struct Result {
  int cameras = 0;
  double received = 0;  // frames per second stored by the engine into shown slots
  double painted = 0;   // tile paints per second
  int tilesPainted = 0; // tiles painted at least once while measuring
  double guiCpu = 0;    // GUI thread CPU seconds per second
  double ticks = 0;     // timer ticks per second (50 when on time)
  double maxWaitMs = 0;
  unsigned long contended = 0;
  std::string error;
};

Result Run(int cameras, double seconds, const std::string& shot) {
  Result result;
  result.cameras = cameras;
  test::CamsimProcess cams = bench::StartCameras(cameras, 640, 480);
  if (!cams.ok()) {
    result.error = cams.error();
    return result;
  }
  // 10 frames per second each.
  std::vector<std::shared_ptr<GroupRecord>> devices = bench::MakeCameraTree(cams, cameras, 100);

  ui::ViewFrame frame(bench::BenchTree(), bench::BenchSlots());
  frame.setSettingsSaver([] {});
  frame.resize(1920, 1080);
  frame.show();
  frame.selectLayout(LayoutForCount(cameras));
  PaintCounter counter;
  for (int i = 0; i < viewSlotCount; ++i) frame.tile(i)->installEventFilter(&counter);

  for (auto& d : devices) viewthread_iocp(*d);
  RunMainLoop(frame, 3);  // warm-up: every connection open and streaming

  std::vector<long> before(cameras);
  for (int i = 0; i < cameras; ++i) before[i] = Frames(*devices[i]);
  counter.paints = 0;
  counter.painted.clear();
  ResetViewSlotLockWaits();
  const double cpuBefore = ThreadCpuSeconds();
  const auto start = Clock::now();

  const long ticks = RunMainLoop(frame, seconds);

  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ThreadCpuSeconds() - cpuBefore;
  const LockWaitStats waits = ViewSlotLockWaits();
  if (!shot.empty()) frame.grab().save(QString::fromStdString(shot + std::to_string(cameras) + ".png"));
  long received = 0;
  for (int i = 0; i < cameras; ++i) received += Frames(*devices[i]) - before[i];
  result.received = static_cast<double>(received) / elapsed;
  result.painted = static_cast<double>(counter.paints) / elapsed;
  result.tilesPainted = static_cast<int>(counter.painted.size());
  result.guiCpu = cpu / elapsed;
  result.ticks = static_cast<double>(ticks) / elapsed;
  result.maxWaitMs = static_cast<double>(waits.maxWaitNs) / 1e6;
  result.contended = static_cast<unsigned long>(waits.contended);

  for (auto& d : devices) viewthread_refresh(*d, false);
  const auto until = Clock::now() + 5s;
  while (FetchConnectionsAlive() > 0 && Clock::now() < until) std::this_thread::sleep_for(10ms);
  DestroyTree(bench::BenchTree().root.get());
  bench::BenchTree().root.reset();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  double seconds = 10;
  std::vector<int> cases = {16, 64, 100};
  std::string shot;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::clamp(std::atof(argv[++i]), 1.0, 600.0);
    } else if (arg == "--shot" && i + 1 < argc) {
      shot = argv[++i];
    } else if (arg == "--cases" && i + 1 < argc) {
      cases.clear();
      std::string list = argv[++i];
      for (std::size_t at = 0; at < list.size() && cases.size() < 8;) {
        const std::size_t comma = list.find(',', at);
        cases.push_back(std::clamp(std::atoi(list.substr(at, comma - at).c_str()), 1, viewSlotCount));
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--cases 16,64,100] [--shot PREFIX]\n", argv[0]);
      return 2;
    }
  }
  if (std::getenv("CAMSIM") == nullptr) {
    std::string self = argv[0];
    const std::size_t slash = self.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    setenv("CAMSIM", (dir + "/../tools/camsim/camsim").c_str(), 1);
  }
  QApplication app(argc, argv);
  http_client_open();
  std::printf("bench_tiles: 640x480 MJPEG at 10 fps per camera into a 1920x1080 view frame (%s), %u cores\n",
              qPrintable(QApplication::platformName()), std::thread::hardware_concurrency());
  for (int cameras : cases) {
    const Result r = Run(cameras, seconds, shot);
    if (!r.error.empty()) {
      std::printf("%3d tiles: could not run: %s\n", cameras, r.error.c_str());
      continue;
    }
    std::printf("%3d tiles, %.0f s: received %.1f frames/s, painted %.1f tiles/s (%.0f%% of received, %d tiles "
                "painted, %.1f ticks/s); GUI thread CPU %.3f s/s; slot lock: %lu busy stores, worst wait %.3f ms\n",
                r.cameras, seconds, r.received, r.painted, r.received > 0 ? 100 * r.painted / r.received : 0.0,
                r.tilesPainted, r.ticks, r.guiCpu, r.contended, r.maxWaitMs);
    std::fflush(stdout);
  }
  viewthread_shutdown();
  return 0;
}
