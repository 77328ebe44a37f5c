// Reading recordings: entries, records, stepping through trailers and lengths, and the
// clean results for torn, misplaced and foreign data.
#include <gtest/gtest.h>

#include <climits>

#include "recording/format_reader.h"
#include "test_format_files.h"

namespace velmora {
namespace {

using testing::AppendEntry;
using testing::AppendRecord;
using testing::FakeJpeg;
using testing::FileBytes;
using testing::kSampleTime;

class RecordReading : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp.path().empty());
    folder = temp.path() / "Yard" / "Door";
  }
  std::filesystem::path dataPath() const { return DataFilePath(folder, HourKey(kSampleTime)); }
  std::filesystem::path indexPath() const { return IndexFilePath(folder, HourKey(kSampleTime)); }
  RecordTime at(int secondsLater, uint16_t ms = 0) const {
    return RecordTime{kSampleTime + secondsLater, ms, 0, 0};
  }
  // Three records of different sizes; returns their offsets.
  std::vector<uint64_t> writeThree() {
    std::vector<uint64_t> offsets;
    offsets.push_back(AppendRecord(folder, at(0), FakeJpeg(100000, 1), 1, 0));
    offsets.push_back(AppendRecord(folder, at(1), FakeJpeg(16, 2), 0, 0));
    offsets.push_back(AppendRecord(folder, at(2), FakeJpeg(5000, 3), kAllZones, kAllZones));
    return offsets;
  }

  testing::TempFolder temp;
  std::filesystem::path folder;
};

TEST_F(RecordReading, EntriesAndRecordsRoundTrip) {
  const auto offsets = writeThree();
  EXPECT_EQ(offsets[0], 0u);
  EXPECT_EQ(offsets[1], 100052u) << "an entry's offset is the data size before the write";
  EXPECT_EQ(offsets[2], 100052u + 68u);

  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  ASSERT_EQ(reader.entryCount(), 3u);
  for (uint64_t i = 0; i < 3; ++i) {
    IndexEntry entry;
    ASSERT_EQ(reader.readEntry(i, entry), RecordStatus::ok);
    EXPECT_EQ(entry.offset, offsets[i]);
    EXPECT_EQ(entry.time, kSampleTime + static_cast<int32_t>(i));
    Record record;
    ASSERT_EQ(reader.readEntryRecord(i, record), RecordStatus::ok);
    EXPECT_EQ(record.offset, offsets[i]);
    EXPECT_EQ(record.jpeg, FakeJpeg(record.jpeg.size(), static_cast<uint8_t>(i + 1)));
  }
  Record record;
  ASSERT_EQ(reader.readRecord(static_cast<int64_t>(offsets[1]), record), RecordStatus::ok);
  EXPECT_EQ(record.jpeg.size(), 16u);
  EXPECT_FALSE(record.header.hasMotion());
  IndexEntry last;
  ASSERT_EQ(reader.readLastEntry(last), RecordStatus::ok);
  EXPECT_EQ(last.offset, offsets[2]);
  IndexEntry none;
  EXPECT_EQ(reader.readEntry(3, none), RecordStatus::incomplete);
}

TEST_F(RecordReading, FramesEitherSideOfTheHourGoToSeparatePairs) {
  const int32_t fourteen = kSampleTime - 5 * 60 - 9;  // 14:00:00 UTC
  const RecordTime before{fourteen - 1, 900, 0, 0};  // 13:59:59.900
  const RecordTime after{fourteen, 100, 0, 0};       // 14:00:00.100
  AppendRecord(folder, before, FakeJpeg(300));
  AppendRecord(folder, before, FakeJpeg(300));
  const uint64_t offset = AppendRecord(folder, after, FakeJpeg(300));
  EXPECT_EQ(offset, 0u) << "the new hour's pair starts at offset 0";

  const std::string k1 = HourKey(before.seconds), k2 = HourKey(after.seconds);
  EXPECT_EQ(k1.substr(0, 6), k2.substr(0, 6));
  EXPECT_NE(k1.substr(6), k2.substr(6));
  RecordFileReader first, second;
  ASSERT_TRUE(first.open(folder, k1));
  ASSERT_TRUE(second.open(folder, k2));
  EXPECT_EQ(first.entryCount(), 2u);
  ASSERT_EQ(second.entryCount(), 1u);
  IndexEntry entry;
  ASSERT_EQ(second.readEntry(0, entry), RecordStatus::ok);
  EXPECT_EQ(entry.offset, 0u);
  EXPECT_EQ(entry.milliseconds, 100);
}

TEST_F(RecordReading, TrailerAndIndexGiveTheSameOffsets) {
  const auto offsets = writeThree();
  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));

  uint64_t previous = 0;
  RecordHeader header;
  ASSERT_EQ(reader.previousRecord(offsets[2], previous, &header), RecordStatus::ok);
  EXPECT_EQ(previous, offsets[1]);
  ASSERT_EQ(reader.previousRecord(offsets[1], previous), RecordStatus::ok);
  EXPECT_EQ(previous, offsets[0]);
  EXPECT_EQ(reader.previousRecord(offsets[0], previous), RecordStatus::incomplete);
  ASSERT_EQ(reader.previousRecord(reader.dataSize(), previous, &header), RecordStatus::ok);
  EXPECT_EQ(previous, offsets[2]);
  EXPECT_EQ(header.recordLength, 5052u);

  uint64_t start = 0;
  ASSERT_EQ(reader.readTrailer(-4, start), RecordStatus::ok);
  EXPECT_EQ(start, offsets[2]);
  ASSERT_EQ(reader.readTrailer(static_cast<int64_t>(offsets[1]) - 4, start), RecordStatus::ok);
  EXPECT_EQ(start, offsets[0]);

  uint64_t next = 0;
  ASSERT_EQ(reader.nextRecord(offsets[0], next), RecordStatus::ok);
  EXPECT_EQ(next, offsets[1]);
  ASSERT_EQ(reader.nextRecord(offsets[1], next, &header), RecordStatus::ok);
  EXPECT_EQ(next, offsets[2]);
  EXPECT_TRUE(header.hasMotion());
  EXPECT_EQ(reader.nextRecord(offsets[2], next), RecordStatus::incomplete) << "end of data";
}

TEST_F(RecordReading, SingleRecordTrailerAtMinusFourGivesZero) {
  AppendRecord(folder, at(0), FakeJpeg(100000));
  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  uint64_t start = 99;
  ASSERT_EQ(reader.readTrailer(-4, start), RecordStatus::ok);
  EXPECT_EQ(start, 0u);
  RecordHeader header;
  uint64_t pos = 0;
  ASSERT_EQ(reader.readHeader(-100052, header, &pos), RecordStatus::ok);
  EXPECT_EQ(pos, 0u);
  EXPECT_EQ(reader.readHeader(-100053, header), RecordStatus::badOffset);
  EXPECT_EQ(reader.readHeader(INT64_MIN, header), RecordStatus::badOffset);
  EXPECT_EQ(reader.readTrailer(INT64_MIN, start), RecordStatus::badOffset);
}

TEST_F(RecordReading, TornLastRecordIsIncompleteEverywhere) {
  const auto offsets = writeThree();
  // The last write stopped part-way: its header is whole, its JPEG is not.
  std::filesystem::resize_file(dataPath(), offsets[2] + 1000);
  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));

  Record record;
  EXPECT_EQ(reader.readRecord(static_cast<int64_t>(offsets[2]), record), RecordStatus::incomplete);
  EXPECT_TRUE(record.jpeg.empty());
  EXPECT_EQ(RecordResultCode(RecordStatus::incomplete), -1);
  uint64_t next = 0;
  EXPECT_EQ(reader.nextRecord(offsets[1], next), RecordStatus::incomplete);
  uint64_t previous = 0;
  EXPECT_NE(reader.previousRecord(reader.dataSize(), previous), RecordStatus::ok)
      << "the bytes before the end are not a trailer";
  RecordHeader header;
  EXPECT_EQ(reader.readHeader(static_cast<int64_t>(offsets[2]), header), RecordStatus::ok)
      << "the header alone is whole";

  // A header cut short.
  std::filesystem::resize_file(dataPath(), offsets[2] + 20);
  EXPECT_EQ(reader.readHeader(static_cast<int64_t>(offsets[2]), header), RecordStatus::incomplete);
  EXPECT_EQ(reader.readEntryRecord(2, record), RecordStatus::incomplete);
  EXPECT_EQ(reader.readEntryRecord(1, record), RecordStatus::ok);
}

TEST_F(RecordReading, IndexPointingPastTheDataFile) {
  writeThree();
  AppendEntry(indexPath(), IndexEntry{kSampleTime + 3, 0, 0, FileBytes(dataPath()) + 10});
  AppendEntry(indexPath(), IndexEntry{kSampleTime + 4, 0, 0, ~uint64_t{0}});
  AppendEntry(indexPath(), IndexEntry{kSampleTime + 5, 0, 0, uint64_t{INT64_MAX} - 20});
  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  ASSERT_EQ(reader.entryCount(), 6u);
  Record record;
  EXPECT_EQ(reader.readEntryRecord(3, record), RecordStatus::incomplete);
  EXPECT_EQ(reader.readEntryRecord(4, record), RecordStatus::badOffset);
  EXPECT_EQ(reader.readEntryRecord(5, record), RecordStatus::badOffset);
  RecordHeader header;
  EXPECT_EQ(reader.checkRecord(~uint64_t{0}, header), RecordStatus::badOffset);
  uint64_t step = 0;
  EXPECT_EQ(reader.nextRecord(~uint64_t{0} - 100, step), RecordStatus::badOffset);
  EXPECT_EQ(reader.previousRecord(~uint64_t{0}, step), RecordStatus::incomplete);
}

TEST_F(RecordReading, ForeignBytesGiveWrongFormatResults) {
  const auto offsets = writeThree();
  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  Record record;
  // An offset inside a JPEG.
  EXPECT_EQ(reader.readRecord(static_cast<int64_t>(offsets[0] + 100), record), RecordStatus::badMagic);
  EXPECT_EQ(RecordResultCode(RecordStatus::badMagic), -2);
  uint64_t step = 0;
  EXPECT_EQ(reader.nextRecord(offsets[0] + 100, step), RecordStatus::badMagic);

  // Lengths that no record has: no allocation of their size, no read beyond the record.
  auto bytes = testing::ReadAll(dataPath());
  uint32_t huge = 0xFFFFFFF0u, tiny = 20;
  std::memcpy(bytes.data() + offsets[1] + 4, &huge, 4);
  std::memcpy(bytes.data() + offsets[2] + 4, &tiny, 4);
  std::filesystem::remove(dataPath());
  testing::AppendBytes(dataPath(), bytes.data(), bytes.size());
  RecordFileReader fresh;
  ASSERT_TRUE(fresh.open(folder, HourKey(kSampleTime)));
  EXPECT_EQ(fresh.readEntryRecord(1, record), RecordStatus::badLength);
  EXPECT_EQ(fresh.readEntryRecord(2, record), RecordStatus::badLength);
  EXPECT_EQ(fresh.nextRecord(offsets[0], step), RecordStatus::badLength);
  EXPECT_EQ(fresh.previousRecord(offsets[2], step), RecordStatus::badLength)
      << "the trailer names a record whose header is unusable";

  // A record whose trailer disagrees with its header.
  auto good = testing::ReadAll(dataPath());
  uint32_t wrong = 1234;
  std::memcpy(good.data() + offsets[0] + 100048, &wrong, 4);
  std::filesystem::remove(dataPath());
  testing::AppendBytes(dataPath(), good.data(), good.size());
  RecordFileReader third;
  ASSERT_TRUE(third.open(folder, HourKey(kSampleTime)));
  EXPECT_EQ(third.readEntryRecord(0, record), RecordStatus::badTrailer);
}

TEST_F(RecordReading, OpeningAndClosedReaders) {
  RecordFileReader reader;
  Record record;
  RecordHeader header;
  IndexEntry entry;
  EXPECT_EQ(reader.readRecord(0, record), RecordStatus::notOpen);
  EXPECT_EQ(reader.readHeader(-4, header), RecordStatus::notOpen);
  EXPECT_EQ(reader.readEntry(0, entry), RecordStatus::notOpen);
  EXPECT_FALSE(reader.open(folder, "26120814", nullptr));

  // Data without an index; a torn index entry is not counted.
  AppendRecord(folder, at(0), FakeJpeg(100), 0, 0, /*withEntry=*/false);
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  EXPECT_TRUE(reader.dataOpen());
  EXPECT_FALSE(reader.indexOpen());
  EXPECT_EQ(reader.entryCount(), 0u);
  EXPECT_EQ(reader.readRecord(0, record), RecordStatus::ok);
  AppendEntry(indexPath(), IndexEntry{kSampleTime, 0, 0, 0});
  testing::AppendBytes(indexPath(), "12345", 5);
  RecordFileReader withIndex;
  ASSERT_TRUE(withIndex.open(folder, HourKey(kSampleTime)));
  EXPECT_EQ(withIndex.entryCount(), 1u);
  EXPECT_EQ(withIndex.readEntry(1, entry), RecordStatus::incomplete);

  RecordFileReader moved = std::move(withIndex);
  EXPECT_FALSE(withIndex.dataOpen());
  EXPECT_TRUE(moved.indexOpen());
  EXPECT_EQ(moved.readEntryRecord(0, record), RecordStatus::ok);
}

TEST_F(RecordReading, RecordsAppendedWhileOpenAreSeen) {
  AppendRecord(folder, at(0), FakeJpeg(200));
  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  uint64_t next = 0;
  EXPECT_EQ(reader.nextRecord(0, next), RecordStatus::incomplete);
  const uint64_t offset = AppendRecord(folder, at(1), FakeJpeg(300));
  ASSERT_EQ(reader.nextRecord(0, next), RecordStatus::ok);
  EXPECT_EQ(next, offset);
  EXPECT_EQ(reader.entryCount(), 2u);
}

}  // namespace
}  // namespace velmora
