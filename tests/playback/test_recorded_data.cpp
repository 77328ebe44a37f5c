// Recorded-data access on folder sources: the reads, their status and log texts, the
// hour-file walk, stepping forwards and backwards over damaged files, and the newest
// image of a folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/group_record.h"
#include "playback/recorded_data.h"
#include "playback/access_step.h"
#include "playback/timeline.h"
#include "test_recorded_data_support.h"

namespace velmora {
namespace {

using playtest::kHourStart;
using playtest::LogCapture;
using playtest::RecordWriter;
using playtest::SmallJpeg;
using playtest::TempFolder;

class FolderAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    data.setSources({folder.str()});
    data.setStatusSink([this](const std::string& text) { statuses.push_back(text); });
  }
  // A timeline over [start, end] for one view, with the folder's index files placed.
  Timeline MakeTimeline(int64_t start, int64_t end) {
    Timeline timeline;
    FeedRange range;
    range.startTime = start;
    range.endTime = end;
    timeline.Prepare(range, true, data.viewCount());
    data.setFeedRange(timeline.feed());
    timeline.Load(data);
    return timeline;
  }

  TempFolder folder;
  RecordWriter writer{folder.path()};
  RecordedData data;
  std::vector<std::string> statuses;
};

TEST_F(FolderAccess, ReadsHeaderFooterAndFrame) {
  const auto jpeg = SmallJpeg();
  const IndexEntry first = writer.Append(kHourStart + 10, 250, jpeg, true);
  const IndexEntry second = writer.Append(kHourStart + 11, 0, jpeg);
  const std::string key = HourKey(static_cast<int32_t>(kHourStart));

  RecordHeader header;
  ASSERT_EQ(data.ReadHeader(key, 0, static_cast<int64_t>(second.offset), header), 0);
  EXPECT_EQ(header.time, kHourStart + 11);
  EXPECT_EQ(header.recordLength, jpeg.size() + 52);

  uint64_t start = 99;
  EXPECT_EQ(data.ReadFooter(key, 0, -4, start), 0);
  EXPECT_EQ(start, second.offset);
  EXPECT_EQ(data.ReadFooter(key, 0, static_cast<int64_t>(second.offset) - 4, start), 0);
  EXPECT_EQ(start, first.offset);

  RecordHeader frameHeader;
  auto frame = data.ReadJpeg(first, 0, &frameHeader);
  ASSERT_NE(frame, nullptr);
  ASSERT_NE(frame->image, nullptr);
  EXPECT_EQ(frame->image->width(), 16);
  EXPECT_EQ(frame->length, jpeg.size());
  EXPECT_EQ(frame->motion, 1);
  EXPECT_EQ(frameHeader.milliseconds, 250);
  EXPECT_TRUE(statuses.empty());

  // Past the end there is no complete header: -1, not an error.
  EXPECT_EQ(data.ReadHeader(key, 0, static_cast<int64_t>(playtest::SizeOf(DataFilePath(folder.path(), key))), header), -1);
}

TEST_F(FolderAccess, FooterOfSingleLargeRecordAtMinusFour) {
  writer.Append(kHourStart, 0, std::vector<uint8_t>(100000, 0x55));
  uint64_t start = 12345;
  EXPECT_EQ(data.ReadFooter(HourKey(static_cast<int32_t>(kHourStart)), 0, -4, start), 0);
  EXPECT_EQ(start, 0u);
}

TEST_F(FolderAccess, MissingFileAndBadOffsetsAreReportedNotFatal) {
  LogCapture log;
  RecordHeader header;
  EXPECT_EQ(data.ReadHeader("26120815", 0, 0, header), -2);
  EXPECT_TRUE(log.contains("ReadHeader: CreateFile failed (2: No such file or directory)"));
  uint64_t start = 0;
  EXPECT_EQ(data.ReadFooter("26120815", 0, -4, start), -2);
  EXPECT_TRUE(log.contains("ReadFooter: CreateFile failed (2: "));
  IndexEntry missing;
  missing.time = static_cast<int32_t>(kHourStart + 3600);
  EXPECT_EQ(data.ReadJpeg(missing, 0), nullptr);
  EXPECT_TRUE(log.contains("ReadJpeg: CreateFile failed (2: "));
  EXPECT_TRUE(statuses.empty()) << "an unopened file is logged, not posted";

  writer.Append(kHourStart, 0, SmallJpeg());
  const std::string key = HourKey(static_cast<int32_t>(kHourStart));
  // Moving before the start of the file.
  EXPECT_EQ(data.ReadHeader(key, 0, -1000000, header), -2);
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses.back(), "Unable to move file pointer to recorded image!");
  // An index entry pointing past the data file.
  IndexEntry beyond;
  beyond.time = static_cast<int32_t>(kHourStart);
  beyond.offset = 1u << 30;
  EXPECT_EQ(data.ReadJpeg(beyond, 0), nullptr);
  EXPECT_EQ(statuses.back(), "Playback can't read recorded data header!");
  // A view that does not exist.
  EXPECT_EQ(data.ReadHeader(key, 7, 0, header), -2);
}

TEST_F(FolderAccess, WrongMagicIsReportedWithTheRecordTypeLine) {
  LogCapture log;
  const auto jpeg = SmallJpeg();
  const IndexEntry good = writer.Append(kHourStart, 0, jpeg);
  const IndexEntry bad = writer.Append(kHourStart + 1, 0, jpeg);
  const IndexEntry third = writer.Append(kHourStart + 2, 0, jpeg);
  // Spoil the second record's magic in place (test setup, not the reader).
  const auto path = DataFilePath(folder.path(), HourKey(static_cast<int32_t>(kHourStart)));
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(bad.offset));
    f.write("XXXX", 4);
  }
  EXPECT_EQ(data.ReadJpeg(bad, 0), nullptr);
  EXPECT_TRUE(log.contains("ReadJpeg: RecordType error; offset=" + std::to_string(bad.offset) + ", dw=48"));
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), "Wrong format for recorded data!");

  // Stepping from the good record onto the bad one logs FindNextJpegs(2) and goes on at
  // the next record the index lists.
  Timeline timeline = MakeTimeline(kHourStart, kHourStart + 10);
  ViewPositions positions;
  positions.current[0] = good;
  FindNextJpegs(data, timeline, positions, 0, 0, 1);
  EXPECT_EQ(positions.next[0], third);
  EXPECT_EQ(positions.damaged[0], 1);
  EXPECT_TRUE(log.contains("FindNextJpegs(2): RecordType error; file=" + HourKey(static_cast<int32_t>(kHourStart)) +
                           ", offset=" + std::to_string(bad.offset)));
  // Starting on the bad record itself gives the (1) line (for a record not yet reported).
  TempFolder other;
  RecordWriter w2(other.path());
  const IndexEntry first = w2.Append(kHourStart, 0, jpeg);
  const IndexEntry second = w2.Append(kHourStart + 1, 0, jpeg);
  {
    std::fstream f(DataFilePath(other.path(), HourKey(first.time)), std::ios::in | std::ios::out | std::ios::binary);
    f.write("XXXX", 4);
  }
  data.setSources({other.str()});
  positions = ViewPositions{};
  positions.current[0] = first;
  FindNextJpegs(data, timeline, positions, 0, 0, 1);
  EXPECT_EQ(positions.next[0], second);
  EXPECT_EQ(positions.damaged[0], 0) << "the current record was already counted where it was reached";
  EXPECT_TRUE(log.contains("FindNextJpegs(1): RecordType error"));
}

// One hour file with damage of every kind in its middle, the next hour's first record
// damaged too: both walks pass over every damaged record through the index, report each
// once, and stop nowhere.
TEST_F(FolderAccess, DamagedRecordsAreSteppedOverBothWaysThroughTheIndex) {
  LogCapture log;
  std::vector<IndexEntry> hour1, hour2;
  for (int i = 0; i < 10; ++i) hour1.push_back(writer.Append(kHourStart + i, 0, SmallJpeg(static_cast<uint8_t>(i))));
  for (int i = 0; i < 3; ++i) hour2.push_back(writer.Append(kHourStart + 3600 + i, 0, SmallJpeg()));
  auto patch = [this](const IndexEntry& at, int64_t delta, uint32_t value) {
    std::fstream f(DataFilePath(folder.path(), HourKey(at.time)), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(static_cast<int64_t>(at.offset) + delta));
    f.write(reinterpret_cast<const char*>(&value), sizeof value);
  };
  patch(hour1[3], 0, 0x58585858);                        // magic overwritten
  patch(hour1[5], 4, 0x7FFFFFFF);                        // length outside the record bounds
  patch(hour1[7], 4, 100000);                            // length reaching past the file's end
  patch(hour1[2], -4, 0xFFFFFFFF);                       // the trailer of record 1
  patch(hour2[0], 0, 0x58585858);                        // the next hour starts damaged
  Timeline timeline = MakeTimeline(kHourStart, kHourStart + 3700);

  const std::vector<IndexEntry> forwards = {hour1[0], hour1[1], hour1[2], hour1[4], hour1[6],
                                            hour1[8], hour1[9], hour2[1], hour2[2]};
  ViewPositions positions;
  std::vector<IndexEntry> walked;
  int damaged = 0;
  for (int step = 0; step < 20; ++step) {
    FindNextJpegs(data, timeline, positions, 0, 0, 1);
    damaged += positions.damaged[0];
    if (positions.next[0].empty()) break;
    walked.push_back(positions.next[0]);
    positions.current[0] = positions.next[0];
  }
  EXPECT_EQ(walked, forwards);
  EXPECT_EQ(damaged, 4) << "records 3, 5 and 7 and the next hour's first";

  std::vector<IndexEntry> back;
  for (int step = 0; step < 20; ++step) {
    StepBack(data, timeline, positions, timeline.columns());
    if (positions.next[0].empty()) break;
    back.push_back(positions.next[0]);
    positions.current[0] = positions.next[0];
  }
  EXPECT_EQ(back, std::vector<IndexEntry>(forwards.rbegin() + 1, forwards.rend()));

  // A joining view whose entry is the damaged record goes on at the next whole one.
  positions = ViewPositions{};
  Timeline narrow = MakeTimeline(kHourStart + 3, kHourStart + 9);
  FindNextJpegs(data, narrow, positions, 0, 0, 1);
  EXPECT_EQ(positions.next[0], hour1[4]);
  EXPECT_EQ(positions.damaged[0], 1);

  // Each damaged place is logged once, however often it was passed.
  const std::string text = log.text();
  for (const IndexEntry& e : {hour1[3], hour1[5], hour2[0]}) {
    const std::string part = "file=" + HourKey(e.time) + ", offset=" + std::to_string(e.offset) + "\r\n";
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    EXPECT_EQ(n, 1u) << part << text;
  }
  EXPECT_TRUE(log.contains("FindNextJpegs(2): bad record length 2147483647; file="));
  EXPECT_TRUE(log.contains("StepBack: bad trailer; file="));
  EXPECT_LE(statuses.size(), 8u);
}

TEST_F(FolderAccess, TornLastRecordIsSteppedOverBothWays) {
  const auto jpeg = SmallJpeg();
  std::vector<IndexEntry> hour1;
  for (int i = 0; i < 3; ++i) hour1.push_back(writer.Append(kHourStart + i, 0, jpeg));
  // Header complete, JPEG cut short: a write that stopped part-way.
  writer.AppendTorn(kHourStart + 3, jpeg, 48 + 20);
  const IndexEntry nextHour = writer.Append(kHourStart + 3600, 500, jpeg);
  writer.Append(kHourStart + 3601, 0, jpeg);

  Timeline timeline = MakeTimeline(kHourStart, kHourStart + 3700);
  ViewPositions positions;
  positions.current[0] = hour1[2];
  EXPECT_EQ(FindNextJpegs(data, timeline, positions, 0, 0, 1), 0);
  EXPECT_EQ(positions.next[0], nextHour) << "the torn record counts as not there";

  // And backwards from the first record of the next hour to the last whole record.
  positions.current[0] = nextHour;
  StepBack(data, timeline, positions, 0);
  EXPECT_EQ(positions.next[0], hour1[2]);

  // A tail shorter than a header behaves the same.
  TempFolder other;
  RecordWriter w2(other.path());
  const IndexEntry last = w2.Append(kHourStart, 0, jpeg);
  w2.AppendTorn(kHourStart + 1, jpeg, 20);
  const IndexEntry after = w2.Append(kHourStart + 3600, 0, jpeg);
  data.setSources({other.str()});
  Timeline t2 = MakeTimeline(kHourStart, kHourStart + 3700);
  positions = ViewPositions{};
  positions.current[0] = last;
  FindNextJpegs(data, t2, positions, 0, 0, 1);
  EXPECT_EQ(positions.next[0], after);
  positions.current[0] = after;
  StepBack(data, t2, positions, 0);
  EXPECT_EQ(positions.next[0], last);
  EXPECT_TRUE(statuses.empty());
}

TEST_F(FolderAccess, StepsThroughHourFilesAndStopsAtTheFeedEnds) {
  const auto jpeg = SmallJpeg();
  const IndexEntry a = writer.Append(kHourStart + 100, 0, jpeg, true);
  const IndexEntry b = writer.Append(kHourStart + 7300, 0, jpeg);  // two hours later
  Timeline timeline = MakeTimeline(kHourStart, kHourStart + 7300);

  std::string next;
  ASSERT_TRUE(data.NextHourFile(0, HourKey(a.time), next));
  EXPECT_EQ(next, HourKey(b.time));
  EXPECT_FALSE(data.NextHourFile(0, HourKey(b.time), next));
  std::string previous;
  ASSERT_TRUE(data.PreviousHourFile(0, HourKey(b.time), previous));
  EXPECT_EQ(previous, HourKey(a.time));

  ViewPositions positions;
  positions.current[0] = a;
  EXPECT_EQ(FindNextJpegs(data, timeline, positions, 0, 0, 1), 1) << "the header read had motion";
  EXPECT_EQ(positions.next[0], b);
  positions.current[0] = b;
  FindNextJpegs(data, timeline, positions, 0, 0, 1);
  EXPECT_TRUE(positions.next[0].empty()) << "end of material";
  StepBack(data, timeline, positions, 0);
  EXPECT_EQ(positions.next[0], a);

  // A frame after the feed's end is not taken.
  Timeline narrow = MakeTimeline(kHourStart, kHourStart + 200);
  positions.current[0] = a;
  FindNextJpegs(data, narrow, positions, 0, 0, 1);
  EXPECT_TRUE(positions.next[0].empty());
}

TEST_F(FolderAccess, JoiningViewsAndTheViewRangeGuard) {
  const auto jpeg = SmallJpeg();
  TempFolder second;
  RecordWriter w2(second.path());
  const IndexEntry early = writer.Append(kHourStart + 10, 0, jpeg);
  writer.Append(kHourStart + 500, 0, jpeg);
  const IndexEntry late = w2.Append(kHourStart + 300, 0, jpeg);
  data.setSources({folder.str(), second.str()});
  Timeline timeline = MakeTimeline(kHourStart, kHourStart + 600);

  // A view without a position at a column holding nothing within 1.01 s takes the
  // first entry of a later column anyway.
  ViewPositions positions;
  FindNextJpegs(data, timeline, positions, 0, 1, 1);
  EXPECT_EQ(positions.next[1], late);

  // But it never joins with a frame older than another view's current frame.
  positions = ViewPositions{};
  positions.current[1] = late;
  FindNextJpegs(data, timeline, positions, 0, 0, 2);
  EXPECT_TRUE(positions.next[0].empty()) << "frame at +10 s is older than the other view's +300 s";
  positions = ViewPositions{};
  positions.current[0] = early;
  FindNextJpegs(data, timeline, positions, 0, 0, 2);
  EXPECT_EQ(positions.next[1], late);

  // First view 10 with 7 views reaches past 16: nothing happens at all.
  positions = ViewPositions{};
  positions.next[10] = early;
  FindNextJpegs(data, timeline, positions, 0, 10, 7);
  EXPECT_EQ(positions.next[10], early);
  FindNextJpegs(data, timeline, positions, 0, -1, 2);
  FindNextJpegs(data, timeline, positions, 0, 3, -1);
  EXPECT_EQ(positions.next[10], early);
}

TEST_F(FolderAccess, BoundaryFilesAndNewestImage) {
  LogCapture log;
  std::string first, last;
  EXPECT_EQ(FindBoundaryFiles((folder.path() / "*.vlx").string(), first, last), 1);
  EXPECT_EQ(GetLastRecordedImage(folder.str()), nullptr);
  EXPECT_EQ(log.text(), "") << "a folder without index files gives nothing, silently";

  const auto jpeg = SmallJpeg(30);
  writer.Append(kHourStart, 0, SmallJpeg(200));
  writer.Append(kHourStart + 7200, 0, SmallJpeg(100));
  writer.Append(kHourStart + 7201, 0, jpeg);
  ASSERT_EQ(FindBoundaryFiles((folder.path() / "*.vlx").string(), first, last), 0);
  EXPECT_EQ(first, HourKey(static_cast<int32_t>(kHourStart)) + ".vlx");
  EXPECT_EQ(last, HourKey(static_cast<int32_t>(kHourStart + 7200)) + ".vlx");

  auto newest = GetLastRecordedImage(folder.str());
  ASSERT_NE(newest, nullptr);
  ASSERT_EQ(newest->length, jpeg.size());
  EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.end(), newest->jpeg.get()));
  EXPECT_EQ(newest->image, nullptr) << "the caller decodes";

  // A length outside the JPEG bounds is refused with the BAD SIZE line.
  TempFolder broken;
  RecordWriter w2(broken.path());
  const IndexEntry e = w2.Append(kHourStart, 0, std::vector<uint8_t>(20, 1));
  {
    const auto path = DataFilePath(broken.path(), HourKey(static_cast<int32_t>(kHourStart)));
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const uint32_t huge = 0x500000;
    f.seekp(static_cast<std::streamoff>(e.offset + 4));
    f.write(reinterpret_cast<const char*>(&huge), 4);
  }
  EXPECT_EQ(GetLastRecordedImage(broken.str()), nullptr);
  EXPECT_TRUE(log.contains("GetLastRecordedImage: BAD SIZE; fpos=0 size=" + std::to_string(0x500000 - 52) + " [" +
                           broken.str() + "]"));

  // The tree's newest image is the decoded newest frame.
  const std::string recordings = folder.str();
  RecordedImages images(recordings);
  GroupRecord node;
  auto image = images.newestImage(node, folder.str());
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width(), 16);
}

TEST_F(FolderAccess, ReadersNeverChangeRecordingFiles) {
  const auto jpeg = SmallJpeg();
  for (int i = 0; i < 5; ++i) writer.Append(kHourStart + i, 0, jpeg);
  writer.AppendTorn(kHourStart + 5, jpeg, 70);
  const std::string key = HourKey(static_cast<int32_t>(kHourStart));
  const auto dataBefore = playtest::ReadAll(DataFilePath(folder.path(), key));
  const auto indexBefore = playtest::ReadAll(IndexFilePath(folder.path(), key));

  Timeline timeline = MakeTimeline(kHourStart, kHourStart + 10);
  ViewPositions positions;
  for (int step = 0; step < 8; ++step) {
    FindNextJpegs(data, timeline, positions, 0, 0, 1);
    if (!positions.next[0].empty()) {
      data.ReadJpeg(positions.next[0], 0);
      positions.current[0] = positions.next[0];
    }
  }
  for (int step = 0; step < 8; ++step) {
    StepBack(data, timeline, positions, 0);
    if (!positions.next[0].empty()) positions.current[0] = positions.next[0];
  }
  GetLastRecordedImage(folder.str());
  EXPECT_EQ(playtest::ReadAll(DataFilePath(folder.path(), key)), dataBefore);
  EXPECT_EQ(playtest::ReadAll(IndexFilePath(folder.path(), key)), indexBefore);
}

TEST(AccessSources, SourceByKindAndRemoteDetection) {
  GroupRecord nas;
  nas.kind = EntryKind::NASDevice;
  nas.location = "HTTP://host:8080/Yard/Door";
  nas.path = "Storage";
  EXPECT_EQ(PlaybackSource(nas, "/rec/"), "HTTP://host:8080/Yard/Door");
  EXPECT_TRUE(IsRemoteSource(PlaybackSource(nas, "/rec/")));
  GroupRecord removable;
  removable.kind = EntryKind::RemovableFolder;
  removable.path = "/media/usb/Door";
  EXPECT_EQ(PlaybackSource(removable, "/rec/"), "/media/usb/Door");
  GroupRecord camera;
  camera.kind = EntryKind::Device;
  camera.path = "Yard/Door";
  EXPECT_EQ(PlaybackSource(camera, "/rec/"), "/rec/Yard/Door");
  EXPECT_FALSE(IsRemoteSource("/rec/Yard/Door"));
  EXPECT_FALSE(IsRemoteSource("http:/"));
  EXPECT_TRUE(IsRemoteSource("hTtP://x"));

  int64_t t = 0;
  ASSERT_TRUE(HourKeyTime("26120814", t));
  EXPECT_EQ(t, kHourStart);
  EXPECT_FALSE(HourKeyTime("26139914", t));
  EXPECT_FALSE(HourKeyTime("2612081", t));
}

}  // namespace
}  // namespace velmora
