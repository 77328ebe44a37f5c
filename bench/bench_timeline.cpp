// Building the playback timeline for one day of a 10 fps camera (864,000 index entries),
// for one view and for 16 such views, next to the time it takes just to read the same
// index files into memory. Prints milliseconds (best of several runs).
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench_timeline_data.h"
#include "playback/recorded_data.h"
#include "playback/timeline.h"

using namespace velmora;
using velmora::bench::MsSince;

namespace {

constexpr int kRuns = 5;

FeedRange Day() {
  FeedRange range;
  range.startTime = bench::kDayStart;
  range.endTime = bench::kDayStart + 86400 - 1;
  range.endMs = 900;
  return range;
}

double ReadOnlyMs(RecordedData& data, int views, uint64_t& bytesRead) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> bytes;
  bytesRead = 0;
  for (int view = 0; view < views; ++view) {
    for (int hour = 0; hour < bench::kHours; ++hour) {
      if (data.ReadIndexFile(view, HourKey(static_cast<int32_t>(bench::kDayStart + hour * 3600)), bytes)) {
        bytesRead += bytes.size();
      }
    }
  }
  return MsSince(start);
}

void Measure(const std::filesystem::path& folder, int views, int capacity) {
  RecordedData data;
  data.setSources(std::vector<std::string>(static_cast<std::size_t>(views), folder.string()));
  double bestRead = 1e18, firstBuild = 0, bestBuild = 1e18, bestGraph = 1e18;
  uint64_t bytes = 0;
  int pictures = 0, columns = 0;
  // One timeline for every run, as the playback engine keeps one for its life: the first
  // build allocates the columns, the later ones reuse them.
  Timeline timeline(capacity);
  for (int run = 0; run < kRuns; ++run) {
    bestRead = std::min(bestRead, ReadOnlyMs(data, views, bytes));
    const auto start = std::chrono::steady_clock::now();
    timeline.Prepare(Day(), true, views);
    data.setFeedRange(timeline.feed());
    pictures = timeline.Load(data);
    const double ms = MsSince(start);
    if (run == 0)
      firstBuild = ms;
    else
      bestBuild = std::min(bestBuild, ms);
    columns = timeline.columns();
    std::vector<int> slots(static_cast<std::size_t>(views));
    for (int v = 0; v < views; ++v) slots[static_cast<std::size_t>(v)] = v;
    const auto graphStart = std::chrono::steady_clock::now();
    auto graph = DrawTimelineGraph(timeline, slots);
    bestGraph = std::min(bestGraph, MsSince(graphStart));
  }
  std::printf(
      "%2d view(s), capacity %6d, %6d columns: read index files %8.1f ms (%6.1f MB) | "
      "build timeline %8.1f ms (first %6.1f ms, %d frames placed) | draw graph %6.2f ms\n",
      views, capacity, columns, bestRead, static_cast<double>(bytes) / (1024.0 * 1024.0), bestBuild, firstBuild,
      pictures, bestGraph);
}

}  // namespace

int main() {
  bench::TempFolder temp;
  const auto folder = temp.path() / "Camera";
  const auto writeStart = std::chrono::steady_clock::now();
  if (!bench::WriteDay(folder, false)) {
    std::fprintf(stderr, "bench_timeline: cannot write the test day under %s\n", temp.path().c_str());
    return 1;
  }
  std::printf("one day at %d fps: %d index entries per view (written in %.0f ms)\n", bench::kFramesPerSecond,
              bench::kHours * bench::kFramesPerHour, MsSince(writeStart));
  const int machine = ColumnCapacity(AvailablePhysicalMemory());
  for (int capacity : {kDefaultColumnCapacity, machine}) {
    Measure(folder, 1, capacity);
    // 16 views of the same folder: the files come from the page cache for all of them.
    Measure(folder, 16, capacity);
  }
  return 0;
}
