// The timeline: column capacity and counts, placing index entries into columns, the
// entry a view shows at a column, and the graph's rows and bars.
#include <gtest/gtest.h>

#include <vector>

#include "live/view_slot.h"
#include "playback/timeline.h"
#include "test_recorded_data_support.h"

namespace velmora {
namespace {

using playtest::kHourStart;

std::vector<uint8_t> Entries(const std::vector<IndexEntry>& entries) {
  std::vector<uint8_t> bytes(entries.size() * kIndexEntryBytes);
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i].ToBytes(bytes.data() + i * kIndexEntryBytes);
  return bytes;
}

IndexEntry At(int64_t seconds, unsigned ms = 0, uint64_t offset = 0) {
  IndexEntry e;
  e.time = static_cast<int32_t>(seconds);
  e.milliseconds = static_cast<uint16_t>(ms);
  e.offset = offset;
  return e;
}

FeedRange Range(int64_t start, int64_t end, int startMs = 0, int endMs = 0) {
  FeedRange r;
  r.startTime = start;
  r.startMs = startMs;
  r.endTime = end;
  r.endMs = endMs;
  return r;
}

TEST(TimelineColumns, CapacityFromMemory) {
  const uint64_t MiB = 1024 * 1024;
  EXPECT_EQ(ColumnCapacity(0), 993);
  EXPECT_EQ(ColumnCapacity(63 * MiB), 993);
  EXPECT_EQ(ColumnCapacity(64 * MiB), 993);
  // 16 x ((993 + 1 MiB / 256) / 16) + 1 = 16 x (5089 / 16) + 1 = 5089.
  EXPECT_EQ(ColumnCapacity(65 * MiB), 5089);
  EXPECT_EQ(ColumnCapacity(66 * MiB), 9185);
  EXPECT_EQ(ColumnCapacity(1024 * MiB), 200001);
  // Above 4 GiB the count saturates instead of wrapping to a small number.
  EXPECT_EQ(ColumnCapacity(uint64_t{4} * 1024 * MiB + 10 * MiB), 200001);
  EXPECT_EQ((ColumnCapacity(200 * MiB) - 1) % 16, 0);
}

TEST(TimelineColumns, CountsForRanges) {
  EXPECT_EQ(ColumnsForRange(100, 993), 160);
  EXPECT_EQ(ColumnsForRange(0.5, 993), 160);
  EXPECT_EQ(ColumnsForRange(10000, 993), 992);
  EXPECT_EQ(ColumnsForRange(1000.9, 993), 992);
  EXPECT_EQ(ColumnsForRange(500, 993), 496);
  EXPECT_EQ(ColumnsForRange(172800, 200001), 172800);
  EXPECT_EQ(ColumnsForRange(1e9, 200001), 200000);

  Timeline timeline(993);
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, kHourStart + 100), false, 1));
  EXPECT_EQ(timeline.columns(), 160);
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, kHourStart + 10000), false, 1));
  EXPECT_EQ(timeline.columns(), 992);
  timeline.Blank(2);
  EXPECT_EQ(timeline.columns(), 160);
  EXPECT_FALSE(timeline.feed().known());
  EXPECT_DOUBLE_EQ(timeline.rangeLength(), 100.0);
}

TEST(TimelineColumns, FullRangeShowsTheLastFortyEightHoursFirst) {
  Timeline timeline(kMaxColumnCapacity);
  const int64_t end = kHourStart + 3 * 86400;
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, end, 250, 900), true, 1));
  EXPECT_EQ(timeline.full().startTime, kHourStart);
  EXPECT_EQ(timeline.full().startMs, 250);
  EXPECT_EQ(timeline.feed().startTime, end - 172800);
  EXPECT_EQ(timeline.feed().startMs, 0);
  EXPECT_EQ(timeline.feed().endMs, 900);
  // Without the flag the full range is kept and the feed is taken as asked.
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, end), false, 1));
  EXPECT_EQ(timeline.feed().startTime, kHourStart);
  EXPECT_EQ(timeline.full().startMs, 250);
  // Exactly 172,801 s is not cut.
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, kHourStart + 172801), true, 1));
  EXPECT_EQ(timeline.feed().startTime, kHourStart);
  // An end not after the start becomes start + 1 s.
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, kHourStart - 5), true, 1));
  EXPECT_EQ(timeline.feed().endTime, kHourStart + 1);
}

TEST(TimelinePlacement, EntriesFallIntoColumnsZeroToColumns) {
  Timeline timeline(993);
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, kHourStart + 160), false, 2));  // one column per second
  const auto bytes = Entries({At(kHourStart - 1, 999), At(kHourStart, 0, 1), At(kHourStart, 500, 2),
                              At(kHourStart + 5, 10, 3), At(kHourStart + 160, 0, 4), At(kHourStart + 161, 0, 5),
                              At(0)});
  // A torn last entry (not a multiple of 16) is not read.
  std::vector<uint8_t> torn = bytes;
  torn.resize(torn.size() + 7, 0xEE);
  EXPECT_EQ(timeline.Place(0, torn.data(), torn.size()), 4);
  EXPECT_EQ(timeline.at(0, 0).first.offset, 1u);
  EXPECT_EQ(timeline.at(0, 0).last.offset, 2u);
  EXPECT_EQ(timeline.at(0, 5).first.offset, 3u);
  EXPECT_EQ(timeline.at(0, 160).first.offset, 4u) << "the end itself is column `columns`";
  EXPECT_TRUE(timeline.at(0, 161).first.empty());
  EXPECT_TRUE(timeline.at(1, 0).first.empty());
  EXPECT_TRUE(timeline.at(5, 0).first.empty()) << "unknown views read as empty";
  EXPECT_EQ(timeline.Place(7, bytes.data(), bytes.size()), 0);
  EXPECT_EQ(timeline.ColumnOfTime(kHourStart + 5.0), 5);
  EXPECT_DOUBLE_EQ(timeline.ColumnStartTime(10), kHourStart + 10.0);
}

// A whole hour's index in time order is placed a column at a time; the result must be what
// placing each entry on its own gives,
// for entries before and after the range, several per millisecond, gaps, column counts that
// do not divide the range, and a buffer that breaks the order or holds an empty entry.
TEST(TimelinePlacement, AnIndexInTimeOrderPlacesAsEntryByEntryDoes) {
  std::vector<IndexEntry> hour;
  uint64_t offset = 1;
  for (int64_t t = kHourStart - 30; t < kHourStart + 3630; ++t) {
    if (t % 97 < 20) continue;  // a gap: the camera was silent
    const int perSecond = t % 7 == 0 ? 1 : 10;
    for (int k = 0; k < perSecond; ++k) hour.push_back(At(t, static_cast<unsigned>(k * 100), offset++));
    if (t % 13 == 0) hour.push_back(At(t, 900, offset++));  // two records in one millisecond
  }
  // Places the entries into `whole` a column at a time and into a fresh timeline entry by
  // entry, for the same range, and compares every column.
  auto placedInto = [&](Timeline& whole, const std::vector<IndexEntry>& entries, const FeedRange& range) {
    Timeline single(whole.capacity());
    EXPECT_TRUE(whole.Prepare(range, false, 1));
    EXPECT_TRUE(single.Prepare(range, false, 1));
    const auto bytes = Entries(entries);
    const int placedWhole = whole.Place(0, bytes.data(), bytes.size());
    const int placedSingle = single.PlaceEntryByEntry(0, bytes.data(), bytes.size());
    EXPECT_EQ(placedWhole, placedSingle) << whole.columns();
    EXPECT_GT(placedWhole, 0);
    for (int c = 0; c <= whole.columns(); ++c) {
      ASSERT_EQ(whole.at(0, c).first, single.at(0, c).first) << "column " << c << " of " << whole.columns();
      ASSERT_EQ(whole.at(0, c).last, single.at(0, c).last) << "column " << c << " of " << whole.columns();
    }
  };
  auto placedBoth = [&](const std::vector<IndexEntry>& entries, const FeedRange& range, int capacity) {
    Timeline whole(capacity);
    placedInto(whole, entries, range);
  };
  const FeedRange theHour = Range(kHourStart, kHourStart + 3599);
  for (int capacity : {993, 5089, 200001}) placedBoth(hour, theHour, capacity);
  placedBoth(hour, Range(kHourStart + 100, kHourStart + 260), 993);           // 160 columns, most entries outside
  placedBoth(hour, Range(kHourStart + 7, kHourStart + 1000, 450, 330), 993);  // inside seconds, 992 columns

  std::vector<IndexEntry> backwards = hour;  // the clock was set back inside the hour
  std::swap(backwards[100], backwards[2000]);
  placedBoth(backwards, theHour, 993);
  std::vector<IndexEntry> holed = hour;
  holed[500] = IndexEntry{};
  placedBoth(holed, theHour, 993);

  // One timeline kept from range to range, as the playback engine keeps its own: nothing it
  // knew of the last range's columns may carry over to the next.
  Timeline kept(993);
  for (const FeedRange& range : {theHour, Range(kHourStart + 100, kHourStart + 260),
                                 Range(kHourStart + 7, kHourStart + 1000, 450, 330), theHour}) {
    placedInto(kept, hour, range);
  }
}

TEST(TimelinePlacement, EntryAtColumnLooksNearbyThenLater) {
  Timeline timeline(993);
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, kHourStart + 160), false, 1));
  const auto bytes = Entries({At(kHourStart + 10, 200, 10), At(kHourStart + 10, 900, 11), At(kHourStart + 50, 0, 50)});
  timeline.Place(0, bytes.data(), bytes.size());

  EXPECT_EQ(timeline.EntryAtColumn(0, 10, false, 0).offset, 10u) << "the column's own first entry";
  EXPECT_EQ(timeline.EntryAtColumn(0, 11, false, 0).offset, 11u) << "last of column 10, 0.1 s before 11";
  EXPECT_TRUE(timeline.EntryAtColumn(0, 13, false, 0).empty()) << "2.1 s back is too far";
  EXPECT_EQ(timeline.EntryAtColumn(0, 13, false, 1).offset, 11u) << "while the motion counter runs";
  EXPECT_EQ(timeline.EntryAtColumn(0, 49, false, 0).offset, 50u) << "1 s before the next entry";
  EXPECT_TRUE(timeline.EntryAtColumn(0, 30, false, 0).empty());
  EXPECT_EQ(timeline.EntryAtColumn(0, 30, true, 0).offset, 50u) << "any later entry when asked";
  EXPECT_TRUE(timeline.EntryAtColumn(0, 5, false, 0).empty()) << "5.2 s ahead is too far";
  EXPECT_TRUE(timeline.EntryAtColumn(0, 60, true, 0).empty()) << "nothing later at all";
  EXPECT_TRUE(timeline.EntryAtColumn(0, -1, true, 0).empty());
  EXPECT_TRUE(timeline.EntryAtColumn(0, 161, true, 0).empty());
}

TEST(TimelineGraph, RowLayoutForViewCounts) {
  GraphRows one = GraphRowLayout(1);
  EXPECT_EQ(one.rowHeight, 8);
  EXPECT_EQ(one.margin, 32);
  GraphRows five = GraphRowLayout(5);
  EXPECT_EQ(five.gap, 6);
  EXPECT_EQ(five.rowHeight, 7);
  EXPECT_EQ(five.margin, 6);
  EXPECT_EQ(five.top(4), 4 * 13 + 6);
  GraphRows sixteen = GraphRowLayout(16);
  EXPECT_EQ(sixteen.rowHeight, 2);
  EXPECT_EQ(sixteen.margin, 5);
  // Every layout fits inside the 72 rows of the graph.
  for (int n = 1; n <= 16; ++n) {
    GraphRows rows = GraphRowLayout(n);
    EXPECT_GE(rows.top(0), 0) << n;
    EXPECT_LE(rows.top(n - 1) + rows.rowHeight, kGraphHeight) << n;
  }
  EXPECT_EQ(GraphRowLayout(0).rowHeight, 0);
}

TEST(TimelineGraph, BarsInTheSlotColourOverLightGrey) {
  Timeline timeline(993);
  ASSERT_TRUE(timeline.Prepare(Range(kHourStart, kHourStart + 160), false, 2));
  std::vector<IndexEntry> entries;
  for (int s = 40; s < 80; ++s) entries.push_back(At(kHourStart + s));
  const auto bytes = Entries(entries);
  timeline.Place(1, bytes.data(), bytes.size());

  auto graph = DrawTimelineGraph(timeline, {0, 2});
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(graph->width(), 512);
  EXPECT_EQ(graph->height(), 72);
  const GraphRows rows = GraphRowLayout(2);
  const int y0 = rows.top(0), y1 = rows.top(1);
  EXPECT_EQ(graph->PixelAt(100, 0), kGraphBackground);
  EXPECT_EQ(graph->PixelAt(200, y0), kGraphBarBackground) << "view 0 has nothing recorded";
  EXPECT_EQ(graph->PixelAt(0, y0), PlaybackSlotColour(0)) << "tick";
  EXPECT_EQ(graph->PixelAt(510, y1), PlaybackSlotColour(2));
  EXPECT_EQ(graph->PixelAt(2, y1), (Colour{255, 255, 255}));
  EXPECT_EQ(graph->PixelAt(509, y1), (Colour{255, 255, 255}));
  // Columns 40..79 of 160: x from round(506 x 40 / 160) + 3 = 130 to round(506 x 79 / 160) + 4 = 254.
  EXPECT_EQ(graph->PixelAt(129, y1), kGraphBarBackground);
  EXPECT_EQ(graph->PixelAt(130, y1), PlaybackSlotColour(2));
  EXPECT_EQ(graph->PixelAt(253, y1), PlaybackSlotColour(2));
  EXPECT_EQ(graph->PixelAt(254, y1), kGraphBarBackground);
}

}  // namespace
}  // namespace velmora
