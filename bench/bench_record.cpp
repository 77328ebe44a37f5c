// Recording throughput: check_record with motion detection off (schedule check, clock,
// record assembled in place, one data write and one index write per frame) against a
// plain loop of write() calls of the same sizes into two files, on the same disk in the
// same run. Runs alternate (after a sync, so neither inherits the other's dirty pages)
// and the median of each is printed, per frame size, as
// records per second and MB/s, with the recorder's share of the plain loop's rate.
//
// Usage: bench_record [folder] (default: the system's temporary folder). The files go
// through the page cache as the recorder's do; nothing is synced.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/log.h"
#include "model/group_record.h"
#include "recording/format.h"
#include "recording/recorder.h"

namespace {

using namespace velmora;
using Seconds = std::chrono::duration<double>;

// Wall time and the calling thread's CPU time (user + system), in seconds.
struct Cost {
  double wall = 0;
  double cpu = 0;
};

double ThreadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Meter {
 public:
  Meter() : wall_(std::chrono::steady_clock::now()), cpu_(ThreadCpuSeconds()) {}
  Cost Stop() const {
    return Cost{Seconds(std::chrono::steady_clock::now() - wall_).count(),
                ThreadCpuSeconds() - cpu_};
  }

 private:
  std::chrono::steady_clock::time_point wall_;
  double cpu_;
};

constexpr int kRuns = 7;
constexpr std::size_t kBytesPerRun = std::size_t{192} << 20;

std::vector<uint8_t> FrameBuffer(std::size_t jpegLength) {
  std::vector<uint8_t> buffer(kRecordHeaderBytes + jpegLength + kRecordTrailerBytes);
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 131 + 7);
  buffer[kRecordHeaderBytes] = 0xFF;
  buffer[kRecordHeaderBytes + 1] = 0xD8;
  return buffer;
}

Cost RecorderRun(const std::filesystem::path& root, std::size_t jpegLength, int frames) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  DeviceTree tree;
  tree.recordingsFolder = root.string() + "/";
  auto cam = CreateRecord(EntryKind::Device, "Bench");
  cam->path = "Bench";
  cam->recording = true;
  cam->enabled = true;
  cam->motionEnabled = false;
  auto buffer = FrameBuffer(jpegLength);
  ImageHolder holder;
  const Meter meter;
  for (int i = 0; i < frames; ++i) check_record(*cam, &holder, buffer.data(), jpegLength, tree);
  const Cost cost = meter.Stop();
  record_close_files(*cam);
  return cost;
}

Cost PlainRun(const std::filesystem::path& root, std::size_t jpegLength, int frames) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root / "Bench");
  auto buffer = FrameBuffer(jpegLength);
  const std::size_t recordLength = jpegLength + kRecordOverheadBytes;
  uint8_t entry[kIndexEntryBytes] = {};
  const Meter meter;
  const int data =
      ::open((root / "Bench" / "plain.vlj").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const int index = ::open((root / "Bench" / "plain.vlx").c_str(),
                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (data < 0 || index < 0) {
    std::perror("open");
    std::exit(1);
  }
  for (int i = 0; i < frames; ++i) {
    if (::write(data, buffer.data(), recordLength) != static_cast<ssize_t>(recordLength) ||
        ::write(index, entry, sizeof entry) != static_cast<ssize_t>(sizeof entry)) {
      std::perror("write");
      std::exit(1);
    }
  }
  ::close(data);
  ::close(index);
  return meter.Stop();
}

double Median(const std::vector<Cost>& costs, double Cost::*field) {
  std::vector<double> values;
  for (const auto& cost : costs) values.push_back(cost.*field);
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path base =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  const std::filesystem::path root = base / ("velmora-bench-record-" + std::to_string(::getpid()));
  SetLogPath((base / ("velmora-bench-record-" + std::to_string(::getpid()) + ".log")).string());

  std::printf(
      "Medians of %d runs each; 'share' is the recorder's rate in percent of the plain\n"
      "loop's. Wall time includes waiting for the disk and for other processes; CPU time\n"
      "is what the writing thread itself spent.\n\n",
      kRuns);
  std::printf("%-8s %6s | %-5s %11s %9s | %11s %9s | %6s\n", "JPEG", "frames", "time", "recorder/s",
              "MB/s", "plain/s", "MB/s", "share");
  for (const std::size_t jpegLength :
       {std::size_t{20000}, std::size_t{100000}, std::size_t{500000}, std::size_t{2000000}}) {
    const std::size_t recordLength = jpegLength + kRecordOverheadBytes;
    const int frames = static_cast<int>(kBytesPerRun / recordLength);
    std::vector<Cost> recorder, plain;
    for (int run = 0; run < kRuns; ++run) {
      // Each timed run starts with no dirty pages of the previous one, and the two take
      // turns going first.
      for (int turn = 0; turn < 2; ++turn) {
        ::sync();
        if ((run + turn) % 2 == 0)
          recorder.push_back(RecorderRun(root, jpegLength, frames));
        else
          plain.push_back(PlainRun(root, jpegLength, frames));
      }
    }
    const double mb = static_cast<double>(recordLength) * frames / 1e6;
    for (const auto& [label, field] :
         {std::pair{"wall", &Cost::wall}, std::pair{"cpu", &Cost::cpu}}) {
      const double recorderSeconds = Median(recorder, field);
      const double plainSeconds = Median(plain, field);
      std::printf("%-8zu %6d | %-5s %11.0f %9.1f | %11.0f %9.1f | %5.1f%%\n", jpegLength, frames,
                  label, frames / recorderSeconds, mb / recorderSeconds, frames / plainSeconds,
                  mb / plainSeconds, 100.0 * plainSeconds / recorderSeconds);
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  std::filesystem::remove(base / ("velmora-bench-record-" + std::to_string(::getpid()) + ".log"),
                          ec);
  return 0;
}
