#include "playback/timeline.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "app/log.h"
#include "live/view_slot.h"

namespace velmora {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
const ColumnEntries kNoEntries{};

// Seconds-with-milliseconds difference between an entry and a range start, exactly in
// milliseconds before it becomes a floating-point number.
double SecondsAfter(const IndexEntry& e, int64_t startTime, int startMs) {
  const int64_t ms = (int64_t{e.time} - startTime) * 1000 + (int64_t{e.milliseconds} - startMs);
  return static_cast<double>(ms) / 1000.0;
}

// The time key of the entry at `bytes` (EntryMs) and its seconds field, read without the
// rest of the entry.
inline int64_t KeyAt(const uint8_t* bytes, int32_t& time) {
  uint16_t milliseconds;
  std::memcpy(&time, bytes + offsetof(IndexEntry, time), sizeof time);
  std::memcpy(&milliseconds, bytes + offsetof(IndexEntry, milliseconds), sizeof milliseconds);
  return int64_t{time} * 1000 + milliseconds;
}

}  // namespace

int ColumnCapacity(uint64_t availableBytes) {
  // The platform reports the count as a 32-bit number; above 4 GiB it saturates.
  const uint64_t m = std::min<uint64_t>(availableBytes, 0xFFFFFFFFu);
  if (m < 64 * kMiB) return kDefaultColumnCapacity;
  const uint64_t capacity = 16 * ((kDefaultColumnCapacity + (m - 64 * kMiB) / 256) / 16) + 1;
  return static_cast<int>(std::min<uint64_t>(capacity, kMaxColumnCapacity));
}

uint64_t AvailablePhysicalMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string label;
  uint64_t kib = 0;
  std::string unit;
  while (meminfo >> label >> kib) {
    std::getline(meminfo, unit);
    if (label == "MemAvailable:") return kib * 1024;
  }
  const long pages = ::sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  return 0;
}

int ColumnsForRange(double rangeLengthSeconds, int capacity) {
  double whole = std::floor(rangeLengthSeconds);
  int columns = whole > static_cast<double>(capacity) ? capacity : static_cast<int>(std::max(whole, 0.0));
  columns = std::max(columns, kMinColumns);
  columns = std::min(columns, capacity - 1);
  return columns - columns % 16;
}

Timeline::Timeline(int capacity)
    : capacity_(std::clamp(capacity, kDefaultColumnCapacity, kMaxColumnCapacity)) {}

bool Timeline::Prepare(const FeedRange& requested, bool fullRange, int views) {
  feed_ = requested;
  if (!(feed_.start() < feed_.end())) {
    feed_.endTime = feed_.startTime + 1;
    feed_.endMs = feed_.startMs;
  }
  if (fullRange) {
    full_ = feed_;
    if (feed_.end() - feed_.start() > static_cast<double>(kFirstDisplaySeconds + 1)) {
      feed_.startTime = feed_.endTime - kFirstDisplaySeconds;
      feed_.startMs = 0;
    }
  }
  rangeLength_ = static_cast<double>((feed_.endTime - feed_.startTime) * 1000 + (feed_.endMs - feed_.startMs)) / 1000.0;
  pictures_ = 0;
  if (rangeLength_ < 0.001) {
    rangeLength_ = 0.001;
    SetViews(views);
    for (auto& view : index_) view.clear();
    return false;
  }
  columns_ = ColumnsForRange(rangeLength_, capacity_);
  SetViews(views);
  ClearIndex();
  return true;
}

void Timeline::Blank(int views) {
  feed_ = FeedRange::Unknown();
  rangeLength_ = 100.0;
  columns_ = std::min(kMinColumns, capacity_ - 1);
  pictures_ = 0;
  SetViews(views);
  ClearIndex();
}

void Timeline::SetViews(int views) {
  // resize, not assign: the column vectors of the views that stay keep their memory, so
  // the next build writes into pages that are already there instead of faulting in a
  // fresh allocation (up to 2.7 MB a view at the largest column count).
  index_.resize(static_cast<std::size_t>(std::clamp(views, 0, kMaxPlaybackViews)));
}

void Timeline::ClearIndex() {
  for (auto& view : index_) {
    // Within the vector's capacity assign reuses its memory.
    try {
      view.assign(static_cast<std::size_t>(columns_) + 1, ColumnEntries{});
    } catch (const std::bad_alloc&) {
      LogMemoryReport("BlankPlayback");
      view.clear();
    }
  }
}

int Timeline::Place(int view, const uint8_t* bytes, std::size_t length) {
  if (view < 0 || view >= views()) return 0;
  auto& columns = index_[static_cast<std::size_t>(view)];
  if (columns.size() != static_cast<std::size_t>(columns_) + 1) return 0;
  const double scale = static_cast<double>(columns_) / rangeLength_;
  const std::size_t count = length / kIndexEntryBytes;
  const int64_t base = feed_.startTime * 1000 + feed_.startMs;
  if (!MakeColumnStarts(base, scale)) return PlaceEach(columns, bytes, count, scale);
  return PlaceInOrder(columns, bytes, count, scale);
}

int Timeline::PlaceEntryByEntry(int view, const uint8_t* bytes, std::size_t length) {
  if (view < 0 || view >= views()) return 0;
  auto& columns = index_[static_cast<std::size_t>(view)];
  if (columns.size() != static_cast<std::size_t>(columns_) + 1) return 0;
  return PlaceEach(columns, bytes, length / kIndexEntryBytes, static_cast<double>(columns_) / rangeLength_);
}

bool Timeline::MakeColumnStarts(int64_t base, double scale) {
  if (startsBase_ == base && startsScale_ == scale && columnStarts_.size() == static_cast<std::size_t>(columns_) + 2) {
    return true;
  }
  try {
    columnStarts_.resize(static_cast<std::size_t>(columns_) + 2);
  } catch (const std::bad_alloc&) {
    columnStarts_.clear();
    return false;
  }
  // The column of a key, computed as PlaceEach computes it for an entry. It never falls
  // as the key grows, so a column's first key is found by search.
  auto columnOf = [&](int64_t key) { return std::floor(static_cast<double>(key - base) / 1000.0 * scale); };
  const double msPerColumn = 1000.0 / scale;
  constexpr int64_t kWidestStep = int64_t{1} << 44;  // some 550 years in milliseconds
  for (int c = 0; c <= columns_ + 1; ++c) {
    // From the estimate, which is mostly right: a key at or past the column's start, a key
    // before it, then halving between them.
    int64_t hi = base + static_cast<int64_t>(std::ceil(c * msPerColumn));
    for (int64_t step = 1; columnOf(hi) < c && step < kWidestStep; step *= 2) hi += step;
    int64_t lo = hi - 1;
    for (int64_t step = 1; columnOf(lo) >= c && step < kWidestStep; step *= 2) lo -= step;
    if (columnOf(hi) < c || columnOf(lo) >= c) {  // not for any range a feed can have
      columnStarts_.clear();
      return false;
    }
    while (hi - lo > 1) {
      const int64_t mid = lo + (hi - lo) / 2;
      (columnOf(mid) >= c ? hi : lo) = mid;
    }
    columnStarts_[static_cast<std::size_t>(c)] = hi;
  }
  startsBase_ = base;
  startsScale_ = scale;
  return true;
}

int Timeline::PlaceEach(std::vector<ColumnEntries>& columns, const uint8_t* bytes, std::size_t count,
                        double scale) const {
  int placed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const IndexEntry entry = IndexEntry::FromBytes(bytes + i * kIndexEntryBytes);
    if (entry.empty()) continue;
    const double c = std::floor(SecondsAfter(entry, feed_.startTime, feed_.startMs) * scale);
    if (c < 0 || c > columns_) continue;
    ColumnEntries& slot = columns[static_cast<std::size_t>(c)];
    if (slot.first.empty()) slot.first = entry;
    slot.last = entry;
    ++placed;
  }
  return placed;
}

int Timeline::PlaceInOrder(std::vector<ColumnEntries>& columns, const uint8_t* bytes, std::size_t count,
                           double scale) const {
  // columnStarts_[c] is the first key of column c; the one past the last column is the
  // first key after the timeline.
  const int64_t* starts = columnStarts_.data();
  const int end = columns_ + 1;
  int guess = 0;  // the column after the last run's, where the next run mostly lies
  int placed = 0;
  int64_t previous = INT64_MIN;  // the key of the last entry placed in time order
  std::size_t i = 0;
  while (i < count) {
    const uint8_t* at = bytes + i * kIndexEntryBytes;
    const IndexEntry entry = IndexEntry::FromBytes(at);
    if (entry.empty()) {  // never placed
      ++i;
      continue;
    }
    const int64_t key = EntryMs(entry);  // as SecondsAfter counts the entry's time
    if (key < previous) {
      // Out of time order (the clock was set back): the rest goes entry by entry, after
      // what is placed so far, as it would have gone all along.
      return placed + PlaceEach(columns, at, count - i, scale);
    }
    // A run of entries of one column: from this entry while the times keep to their order
    // and stay below the first key of the next column. Only the time of an entry is read
    // inside it; an empty entry is passed over without ending it.
    int column;
    int64_t beyond;  // the first key past the run's column
    if (key < starts[0]) {
      column = -1;
      beyond = starts[0];
    } else if (key >= starts[end]) {
      column = end;
      beyond = INT64_MAX;
    } else {
      column = guess <= columns_ && starts[guess] <= key && key < starts[guess + 1]
                   ? guess
                   : static_cast<int>(std::upper_bound(starts, starts + end + 1, key) - starts) - 1;
      beyond = starts[column + 1];
      guess = column + 1;
    }
    const std::size_t first = i;
    std::size_t last = i;
    int runCount = 1;
    previous = key;
    for (++i; i < count; ++i) {
      int32_t time;
      const int64_t k = KeyAt(bytes + i * kIndexEntryBytes, time);
      if (time == 0) continue;
      if (k < previous || k >= beyond) break;
      previous = k;
      last = i;
      ++runCount;
    }
    if (column < 0 || column > columns_) continue;
    ColumnEntries& slot = columns[static_cast<std::size_t>(column)];
    if (slot.first.empty()) slot.first = IndexEntry::FromBytes(bytes + first * kIndexEntryBytes);
    slot.last = IndexEntry::FromBytes(bytes + last * kIndexEntryBytes);
    placed += runCount;
  }
  return placed;
}

int Timeline::Load(RecordedData& data) {
  pictures_ = 0;
  const std::string endKey = HourKey(static_cast<int32_t>(feed_.endTime));
  std::vector<uint8_t> bytes;
  for (int view = 0; view < views() && view < data.viewCount(); ++view) {
    char label[64];
    std::snprintf(label, sizeof label, "graph_range [view %d]", view);
    ProfileTimer profile(label);
    // Whole hours from the feed's start while the hour key is not beyond the end's.
    for (int64_t t = feed_.startTime; t <= INT32_MAX; t += 3600) {
      const std::string key = HourKey(static_cast<int32_t>(t));
      if (key > endKey) break;
      if (!data.ReadIndexFile(view, key, bytes)) continue;
      pictures_ += Place(view, bytes.data(), bytes.size());
    }
  }
  Log("Index res: %d, Time Range: %0.2f, Pics: %d", columns_, rangeLength_, pictures_);
  return pictures_;
}

const ColumnEntries& Timeline::at(int view, int column) const {
  if (view < 0 || view >= views() || column < 0) return kNoEntries;
  const auto& columns = index_[static_cast<std::size_t>(view)];
  if (static_cast<std::size_t>(column) >= columns.size()) return kNoEntries;
  return columns[static_cast<std::size_t>(column)];
}

double Timeline::ColumnStartTime(int column) const {
  return feed_.start() + static_cast<double>(column) * rangeLength_ / static_cast<double>(columns_);
}

int Timeline::ColumnOfTime(double seconds) const {
  const double c = (seconds - feed_.start()) / rangeLength_ * static_cast<double>(columns_) + 0.001;
  if (c <= -2147483648.0) return INT32_MIN;
  if (c >= 2147483647.0) return INT32_MAX;
  return static_cast<int>(c);
}

IndexEntry Timeline::EntryAtColumn(int view, int column, bool anyLater, int motionCounter) const {
  if (view < 0 || view >= views() || column < 0 || column > columns_) return IndexEntry{};
  const ColumnEntries& here = at(view, column);
  if (!here.first.empty()) return here.first;
  const double columnStart = ColumnStartTime(column);
  for (int c = column - 1; c >= 0; --c) {
    const IndexEntry& last = at(view, c).last;
    if (last.empty()) continue;
    if (motionCounter != 0 || std::fabs(columnStart - EntrySeconds(last)) <= 1.01) return last;
    break;
  }
  for (int c = column + 1; c <= columns_; ++c) {
    const IndexEntry& first = at(view, c).first;
    if (first.empty()) continue;
    if (anyLater || std::fabs(EntrySeconds(first) - columnStart) <= 1.01) return first;
    break;
  }
  return IndexEntry{};
}

GraphRows GraphRowLayout(int views) {
  GraphRows rows;
  if (views <= 0) return rows;
  const int n = std::min(views, kMaxPlaybackViews);
  const int h = std::min(8, 68 / (2 * n));
  rows.gap = h;
  rows.rowHeight = h;
  rows.margin = (kGraphHeight + h - 2 * h * n) / 2;
  if ((2 * rows.margin - n) / 2 > 2 && h < 8) {
    rows.rowHeight = h + 1;
    rows.margin = (kGraphHeight + h - (2 * h + 1) * n) / 2;
  }
  return rows;
}

std::unique_ptr<Image> DrawTimelineGraph(const Timeline& timeline, const std::vector<int>& slotOfView) {
  std::unique_ptr<Image> graph = Image::New(kGraphWidth, kGraphHeight, 24);
  if (!graph) return nullptr;
  graph->Fill(kGraphBackground);
  const int views = std::min(static_cast<int>(slotOfView.size()), kMaxPlaybackViews);
  const GraphRows rows = GraphRowLayout(views);
  const int columns = timeline.columns();
  const Colour white{255, 255, 255};
  for (int view = 0; view < views; ++view) {
    char label[64];
    std::snprintf(label, sizeof label, "GraphData [view %d]", view);
    ProfileTimer profile(label);
    const Colour colour = PlaybackSlotColour(slotOfView[static_cast<std::size_t>(view)]);
    const int y = rows.top(view);
    const int height = rows.rowHeight;
    for (int dy = 0; dy < height; dy += 2) {
      graph->FillRect(Rect{0, y + dy, 3, 1}, colour);
      graph->FillRect(Rect{508, y + dy, 4, 1}, colour);
    }
    graph->FillRect(Rect{3, y, 506, height}, kGraphBarBackground);
    if (columns > 0) {
      int runStart = -1;
      for (int c = 0; c <= columns + 1; ++c) {
        const bool filled = c <= columns && !timeline.at(view, c).first.empty();
        if (filled && runStart < 0) runStart = c;
        if (!filled && runStart >= 0) {
          const int runEnd = c - 1;
          const int x0 = static_cast<int>(std::lround(506.0 * runStart / columns)) + 3;
          const int x1 = static_cast<int>(std::lround(506.0 * runEnd / columns)) + 4;
          graph->FillRect(Rect{x0, y, x1 - x0, height}, colour);
          runStart = -1;
        }
      }
    }
    graph->FillRect(Rect{2, y, 1, height}, white);
    graph->FillRect(Rect{509, y, 1, height}, white);
  }
  return graph;
}

}  // namespace velmora
