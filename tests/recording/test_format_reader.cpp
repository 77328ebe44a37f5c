// Reading recordings: entries, records, stepping through trailers and lengths, and the
// clean results for torn, misplaced and foreign data.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "recording/format_reader.h"
#include "test_format_files.h"

namespace velmora {
namespace {

using testing::AppendEntry;
using testing::AppendRecord;
using testing::FakeJpeg;
using testing::kSampleTime;

class RecordReading : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = temp.path() / "Yard" / "Door";
    // Three records of different sizes, the middle one the smallest allowed.
    for (int i = 0; i < 3; ++i)
      offsets.push_back(AppendRecord(folder, RecordTime{kSampleTime + i, 0, 0, 0},
                                     FakeJpeg(i == 0 ? 100000 : i == 1 ? 16 : 5000, uint8_t(i))));
    ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  }
  std::filesystem::path dataPath() const { return DataFilePath(folder, HourKey(kSampleTime)); }
  // Rewrites four bytes of the data file and reopens it.
  void patch(uint64_t offset, uint32_t value) {
    std::string bytes = testing::ReadText(dataPath());
    std::memcpy(bytes.data() + offset, &value, 4);
    std::filesystem::remove(dataPath());
    testing::AppendBytes(dataPath(), bytes.data(), bytes.size());
    ASSERT_TRUE(reader.open(folder, HourKey(kSampleTime)));
  }

  testing::TempFolder temp;
  std::filesystem::path folder;
  std::vector<uint64_t> offsets;
  RecordFileReader reader;
};

TEST_F(RecordReading, IndexTrailersAndLengthsAgree) {
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 100052, 100120}))
      << "each entry's offset is the data size before the write";
  ASSERT_EQ(reader.entryCount(), 3u);
  for (uint64_t i = 0; i < 3; ++i) {
    IndexEntry entry;
    Record record;
    ASSERT_EQ(reader.readEntry(i, entry), RecordStatus::ok);
    EXPECT_EQ(entry.time, kSampleTime + static_cast<int32_t>(i));
    ASSERT_EQ(reader.readEntryRecord(i, record), RecordStatus::ok);
    EXPECT_EQ(record.offset, offsets[i]);
    EXPECT_EQ(record.jpeg, FakeJpeg(record.jpeg.size(), static_cast<uint8_t>(i)));
  }
  // Stepping back through trailers gives the index's offsets.
  uint64_t pos = reader.dataSize();
  for (int i = 2; i >= 0; --i) {
    ASSERT_EQ(reader.previousRecord(pos, pos), RecordStatus::ok);
    EXPECT_EQ(pos, offsets[i]);
  }
  EXPECT_EQ(reader.previousRecord(0, pos), RecordStatus::incomplete);
  uint64_t start = 0;
  ASSERT_EQ(reader.readTrailer(-4, start), RecordStatus::ok);
  EXPECT_EQ(start, offsets[2]);
  // Stepping forward by length does too, and ends cleanly.
  for (int i = 1; i < 3; ++i) {
    ASSERT_EQ(reader.nextRecord(pos, pos), RecordStatus::ok);
    EXPECT_EQ(pos, offsets[i]);
  }
  EXPECT_EQ(reader.nextRecord(pos, pos), RecordStatus::incomplete);
  IndexEntry entry;
  EXPECT_EQ(reader.readEntry(3, entry), RecordStatus::incomplete);
}

TEST_F(RecordReading, HourBoundaryAndSingleRecordFile) {
  const int32_t fourteen = kSampleTime - 5 * 60 - 9;  // 14:00:00 UTC
  const auto other = temp.path() / "Gate";
  AppendRecord(other, RecordTime{fourteen - 1, 900, 0, 0}, FakeJpeg(300));  // 13:59:59.900
  EXPECT_EQ(AppendRecord(other, RecordTime{fourteen, 100, 0, 0}, FakeJpeg(100000)), 0u)
      << "14:00:00.100 starts a new pair at offset 0";
  RecordFileReader before, after;
  ASSERT_TRUE(before.open(other, "26120813"));
  ASSERT_TRUE(after.open(other, "26120814"));
  EXPECT_EQ(before.entryCount(), 1u);
  EXPECT_EQ(after.entryCount(), 1u);
  uint64_t start = 99;
  ASSERT_EQ(after.readTrailer(-4, start), RecordStatus::ok);
  EXPECT_EQ(start, 0u) << "one record of 100,052 bytes";
  RecordHeader header;
  EXPECT_EQ(after.readHeader(-100052, header), RecordStatus::ok);
  EXPECT_EQ(after.readHeader(-100053, header), RecordStatus::badOffset);
  EXPECT_EQ(after.readHeader(INT64_MIN, header), RecordStatus::badOffset);
}

TEST_F(RecordReading, TornLastRecordIsIncomplete) {
  std::filesystem::resize_file(dataPath(), offsets[2] + 1000);  // header whole, JPEG not
  Record record;
  EXPECT_EQ(reader.readRecord(static_cast<int64_t>(offsets[2]), record), RecordStatus::incomplete);
  EXPECT_EQ(RecordResultCode(RecordStatus::incomplete), -1);
  uint64_t pos = 0;
  EXPECT_EQ(reader.nextRecord(offsets[1], pos), RecordStatus::incomplete);
  EXPECT_NE(reader.previousRecord(reader.dataSize(), pos), RecordStatus::ok);
  std::filesystem::resize_file(dataPath(), offsets[2] + 20);  // header cut short
  EXPECT_EQ(reader.readEntryRecord(2, record), RecordStatus::incomplete);
  EXPECT_EQ(reader.readEntryRecord(1, record), RecordStatus::ok);
}

TEST_F(RecordReading, MisplacedAndForeignDataGiveCleanResults) {
  const auto indexPath = IndexFilePath(folder, HourKey(kSampleTime));
  AppendEntry(indexPath, IndexEntry{kSampleTime, 0, 0, reader.dataSize() + 10});
  AppendEntry(indexPath, IndexEntry{kSampleTime, 0, 0, ~uint64_t{0}});
  testing::AppendBytes(indexPath, "torn", 4);
  EXPECT_EQ(reader.entryCount(), 5u) << "a torn entry is not counted";
  Record record;
  uint64_t pos = 0;
  EXPECT_EQ(reader.readEntryRecord(3, record), RecordStatus::incomplete);
  EXPECT_EQ(reader.readEntryRecord(4, record), RecordStatus::badOffset);
  EXPECT_EQ(reader.nextRecord(~uint64_t{0} - 100, pos), RecordStatus::badOffset);

  // An offset inside a JPEG.
  EXPECT_EQ(reader.readRecord(static_cast<int64_t>(offsets[0] + 100), record), RecordStatus::badMagic);
  EXPECT_EQ(reader.nextRecord(offsets[0] + 100, pos), RecordStatus::badMagic);
  EXPECT_EQ(RecordResultCode(RecordStatus::badMagic), -2);

  // Lengths no record has: nothing of their size is allocated or read.
  patch(offsets[1] + 4, 0xFFFFFFF0u);
  EXPECT_EQ(reader.readEntryRecord(1, record), RecordStatus::badLength);
  EXPECT_EQ(reader.nextRecord(offsets[0], pos), RecordStatus::badLength);
  patch(offsets[1] + 4, 20);
  EXPECT_EQ(reader.readEntryRecord(1, record), RecordStatus::badLength);
  patch(offsets[1] + 4, 68);
  // A trailer that disagrees with its header.
  patch(offsets[1] - 4, 1234);
  EXPECT_EQ(reader.readEntryRecord(0, record), RecordStatus::badTrailer);
  EXPECT_EQ(reader.nextRecord(0, pos), RecordStatus::badTrailer);
  EXPECT_NE(reader.previousRecord(offsets[1], pos), RecordStatus::ok);
}

TEST(RecordReader, OpeningWithoutFilesOrIndex) {
  testing::TempFolder temp;
  RecordFileReader reader;
  Record record;
  EXPECT_EQ(reader.readRecord(0, record), RecordStatus::notOpen);
  EXPECT_FALSE(reader.open(temp.path(), "26120814", nullptr));
  AppendRecord(temp.path(), RecordTime{kSampleTime, 0, 0, 0}, FakeJpeg(100), false);
  ASSERT_TRUE(reader.open(temp.path(), "26120814"));
  EXPECT_FALSE(reader.indexOpen());
  EXPECT_EQ(reader.entryCount(), 0u);
  EXPECT_EQ(reader.readRecord(0, record), RecordStatus::ok);
}

}  // namespace
}  // namespace velmora
