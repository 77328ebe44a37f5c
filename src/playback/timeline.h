// The timeline of a playback feed: the feed range divided into columns (one per slider
// position), and for every view and column the first and the last recorded frame that
// falls into it. Only those two entries per column are kept, so a feed of any length
// costs memory in proportion to the column count. Also the 512 x 72 graph of the
// recorded stretches that the main window draws behind the timeline slider.
//
// Owned and used by the playback thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/image.h"
#include "playback/recorded_data.h"
#include "recording/format.h"

namespace velmora {

// Columns per view when memory is short, and the most there can be.
constexpr int kDefaultColumnCapacity = 993;
constexpr int kMaxColumnCapacity = 200001;
// Columns before the first feed, and the fewest a feed gets.
constexpr int kInitialColumns = 992;
constexpr int kMinColumns = 160;
// The first display of a long recording covers its last 48 hours.
constexpr int64_t kFirstDisplaySeconds = 172800;

constexpr int kGraphWidth = 512;
constexpr int kGraphHeight = 72;

// Columns per view from the available physical memory (bytes, read as a 32-bit count as
// the memory status of the platform gives it, saturating instead of wrapping above 4 GiB):
// 993 below 64 MiB, else 16 x ((993 + (M - 64 MiB) / 256) / 16) + 1, at most 200,001.
int ColumnCapacity(uint64_t availableBytes);
// Available physical memory of the machine in bytes (MemAvailable).
uint64_t AvailablePhysicalMemory();
// Columns for a range: its whole seconds, at least 160, at most capacity - 1, rounded down
// to a multiple of 16.
int ColumnsForRange(double rangeLengthSeconds, int capacity);

struct ColumnEntries {
  IndexEntry first;
  IndexEntry last;
};

class Timeline {
 public:
  explicit Timeline(int capacity = kDefaultColumnCapacity);

  int capacity() const { return capacity_; }
  int columns() const { return columns_; }
  double rangeLength() const { return rangeLength_; }
  const FeedRange& feed() const { return feed_; }
  const FeedRange& full() const { return full_; }
  int views() const { return static_cast<int>(index_.size()); }
  // Frames placed by the last Load.
  int pictures() const { return pictures_; }

  // Sets the feed range and the column count for a known range (the first steps of
  // building the timeline): an end not after the start becomes start + 1 s; with
  // fullRange the full range becomes the feed range and a feed longer than 172,801 s is
  // cut to its last 48 hours. Clears the index for `views` views. False (nothing more
  // to build) when the range is shorter than 1 ms.
  bool Prepare(const FeedRange& requested, bool fullRange, int views);
  // The blank timeline of a feed without recordings: range unknown, length 100,
  // min(160, capacity - 1) columns, an empty index.
  void Blank(int views);
  // The feed range becomes unknown (playback stopped); columns and index stay.
  void ForgetFeed() { feed_ = FeedRange::Unknown(); }
  // Forgets every placed entry (the column count stays).
  void ClearIndex();

  // Places whole 16-byte index entries of one view; returns how many fell into the
  // columns 0..columns (the others are outside the feed).
  int Place(int view, const uint8_t* bytes, std::size_t length);
  // The same, computing the column of every entry on its own: what Place must give for
  // any bytes (its reference), and its way when memory is short.
  int PlaceEntryByEntry(int view, const uint8_t* bytes, std::size_t length);
  // Reads the index files of every hour of the feed for each view and places them;
  // logs "Index res: %d, Time Range: %0.2f, Pics: %d".
  int Load(RecordedData& data);

  // The entries of a column; empty ones outside 0..columns or for an unknown view.
  const ColumnEntries& at(int view, int column) const;

  // The frame a view shows at a column (seek, and views joining a step): the column's
  // first entry; else the last entry of the nearest earlier non-empty column when the
  // motion counter is running or it lies within 1.01 s of the column's start; else the
  // first entry of the nearest later non-empty column when anyLater is set or it lies
  // within 1.01 s. Empty when none qualifies.
  IndexEntry EntryAtColumn(int view, int column, bool anyLater, int motionCounter) const;

  // Start time of a column: feed start + column x range length / columns.
  double ColumnStartTime(int column) const;
  // The column of a recorded time: (t - start) / length x columns + 0.001, truncated.
  int ColumnOfTime(double seconds) const;

 private:
  // Places `count` entries a column at a time while their times do not go back: the
  // column only grows with the time, so an entry's column is looked up in columnStarts_
  // only where the last one's ends, and a column's first and last entries are the only
  // ones read whole. The rest of a buffer that goes back in time is placed by PlaceEach.
  // Same result as PlaceEach for any buffer.
  int PlaceInOrder(std::vector<ColumnEntries>& columns, const uint8_t* bytes, std::size_t count, double scale) const;
  // Places `count` entries one by one.
  int PlaceEach(std::vector<ColumnEntries>& columns, const uint8_t* bytes, std::size_t count, double scale) const;
  // Makes columnStarts_ for a feed start key (EntryMs) and scale (columns per second)
  // unless it is made for them already; false when memory is short.
  bool MakeColumnStarts(int64_t base, double scale);
  // Sets the number of views, keeping the memory of the column vectors that stay.
  void SetViews(int views);
  int capacity_;
  int columns_ = kInitialColumns;
  double rangeLength_ = 100.0;
  FeedRange feed_;
  FeedRange full_;
  int pictures_ = 0;
  std::vector<std::vector<ColumnEntries>> index_;  // [view][0..columns]
  // The first time key of each column 0..columns + 1 (the last: the first key past the
  // timeline), for the feed start key and scale they were made for.
  std::vector<int64_t> columnStarts_;
  int64_t startsBase_ = 0;
  double startsScale_ = 0;
};

// Row layout of the graph for n views: rows of rowHeight pixels separated by gap pixels,
// the first starting `margin` pixels from the top.
struct GraphRows {
  int rowHeight = 0;
  int gap = 0;
  int margin = 0;
  int top(int row) const { return row * (gap + rowHeight) + margin; }
};
GraphRows GraphRowLayout(int views);

// The window background of the graph.
constexpr Colour kGraphBackground{255, 255, 255};
constexpr Colour kGraphBarBackground{240, 240, 240};

// Draws the graph: one row per view in the colour of the view's playback slot, with a
// bar for every run of columns holding recordings. Null when memory is short.
std::unique_ptr<Image> DrawTimelineGraph(const Timeline& timeline, const std::vector<int>& slotOfView);

}  // namespace velmora
