// Preparing an existing hour's files for appending: a torn tail is cut back to the last
// complete record, index entries past it are dropped, anything else is left alone.
#include <gtest/gtest.h>

#include "recording/format_append.h"
#include "recording/format_reader.h"
#include "test_format_files.h"

namespace velmora {
namespace {

using testing::AppendBytes;
using testing::AppendEntry;
using testing::AppendRecord;
using testing::FakeJpeg;
using testing::FileBytes;
using testing::kSampleTime;

class AppendPreparation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp.path().empty());
    folder = temp.path() / "cam";
    key = HourKey(kSampleTime);
  }
  std::filesystem::path data() const { return DataFilePath(folder, key); }
  std::filesystem::path index() const { return IndexFilePath(folder, key); }
  RecordTime at(int s) const { return RecordTime{kSampleTime + s, 0, 0, 0}; }
  uint64_t writeRecords(int count) {
    uint64_t end = 0;
    for (int i = 0; i < count; ++i) {
      AppendRecord(folder, at(i), FakeJpeg(1000 + 10 * i, static_cast<uint8_t>(i)));
      end = FileBytes(data());
    }
    return end;
  }
  // Every record reached by stepping from offset 0, and whether stepping ended cleanly.
  std::vector<uint64_t> walk(RecordStatus* last = nullptr) const {
    RecordFileReader reader;
    std::vector<uint64_t> offsets;
    if (!reader.open(folder, key)) return offsets;
    RecordHeader header;
    if (reader.checkRecord(0, header) != RecordStatus::ok) return offsets;
    uint64_t pos = 0;
    offsets.push_back(pos);
    for (int guard = 0; guard < 1000; ++guard) {
      uint64_t next = 0;
      const RecordStatus status = reader.nextRecord(pos, next);
      if (status != RecordStatus::ok) {
        if (last != nullptr) *last = status;
        break;
      }
      offsets.push_back(pos = next);
    }
    return offsets;
  }

  testing::TempFolder temp;
  std::filesystem::path folder;
  std::string key;
};

TEST_F(AppendPreparation, CleanFilesAreLeftAsTheyAre) {
  const uint64_t end = writeRecords(3);
  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(point.dataEnd, end) << "restart in the same hour appends at the data size";
  EXPECT_FALSE(point.dataCut());
  EXPECT_FALSE(point.indexCut());
  EXPECT_FALSE(point.unrecognisedTail);
  EXPECT_EQ(point.entriesKept, 3u);
  EXPECT_EQ(FileBytes(data()), end);
  EXPECT_EQ(FileBytes(index()), 48u);
}

TEST_F(AppendPreparation, TornRecordIsCutAndLaterRecordsStayReachable) {
  const uint64_t end = writeRecords(3);
  // A write that stopped after the header and part of the JPEG; its entry was never
  // written, but an entry from a crash that kept the index and lost data points past.
  const auto torn = testing::BuildRecord(FakeJpeg(5000), at(9));
  AppendBytes(data(), torn.data(), 700);
  AppendEntry(index(), IndexEntry{kSampleTime + 10, 0, 0, end + 700});

  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(point.dataSize, end + 700);
  EXPECT_EQ(point.dataEnd, end);
  EXPECT_TRUE(point.dataCut());
  EXPECT_EQ(point.entriesKept, 3u);
  EXPECT_EQ(FileBytes(data()), end);
  EXPECT_EQ(FileBytes(index()), 48u);

  const uint64_t offset = AppendRecord(folder, at(20), FakeJpeg(2000, 9));
  EXPECT_EQ(offset, end);
  RecordStatus last = RecordStatus::ok;
  const auto offsets = walk(&last);
  ASSERT_EQ(offsets.size(), 4u) << "stepping by length reaches the appended record";
  EXPECT_EQ(offsets.back(), offset);
  EXPECT_EQ(last, RecordStatus::incomplete);
}

TEST_F(AppendPreparation, WithoutTheRepairTheAppendedRecordIsUnreachable) {
  // What the repair prevents: appending behind a torn record.
  writeRecords(2);
  const auto torn = testing::BuildRecord(FakeJpeg(5000), at(9));
  AppendBytes(data(), torn.data(), 700);
  AppendRecord(folder, at(20), FakeJpeg(2000, 9));
  RecordStatus last = RecordStatus::ok;
  EXPECT_EQ(walk(&last).size(), 2u);
  EXPECT_NE(last, RecordStatus::ok);
}

TEST_F(AppendPreparation, ShortTornHeadersAndZeroFillAreCut) {
  const uint64_t end = writeRecords(2);
  AppendBytes(data(), "JPG", 3);
  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(point.dataEnd, end);
  EXPECT_EQ(FileBytes(data()), end);

  // A header whose length field was not written completely.
  const auto torn = testing::BuildRecord(FakeJpeg(100), at(5));
  AppendBytes(data(), torn.data(), 6);
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(FileBytes(data()), end);

  const std::vector<uint8_t> zeros(3000, 0);
  AppendBytes(data(), zeros.data(), zeros.size());
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(point.dataEnd, end);
  EXPECT_EQ(FileBytes(data()), end);
}

TEST_F(AppendPreparation, ForeignTailIsKeptNotCut) {
  const uint64_t end = writeRecords(2);
  const std::string foreign = "not a record, and not zeros either";
  AppendBytes(data(), foreign.data(), foreign.size());
  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_TRUE(point.unrecognisedTail);
  EXPECT_EQ(point.dataEnd, end + foreign.size()) << "appending never overwrites";
  EXPECT_EQ(FileBytes(data()), end + foreign.size());
  EXPECT_EQ(point.entriesKept, 2u);

  // A complete header whose length does not reach past the end is not a torn write.
  const auto record = testing::BuildRecord(FakeJpeg(100), at(5));
  std::filesystem::resize_file(data(), end);
  AppendBytes(data(), record.data(), record.size() - 4);
  const uint32_t wrongTrailer = 7;
  AppendBytes(data(), &wrongTrailer, 4);
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_TRUE(point.unrecognisedTail);
  EXPECT_EQ(FileBytes(data()), end + record.size());
}

TEST_F(AppendPreparation, WalksFromTheStartWithoutAnIndex) {
  for (int i = 0; i < 3; ++i) AppendRecord(folder, at(i), FakeJpeg(500), 0, 0, false);
  const uint64_t end = FileBytes(data());
  AppendBytes(data(), "JPG1", 4);
  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(point.dataEnd, end);
  EXPECT_EQ(FileBytes(data()), end);
  EXPECT_FALSE(std::filesystem::exists(index()));
}

TEST_F(AppendPreparation, IndexEntriesPastTheDataAreDroppedAndTornEntriesCut) {
  const uint64_t end = writeRecords(4);
  // The data lost its last record (index written, data not): the last entry that names a
  // complete record is found going backwards.
  RecordFileReader reader;
  ASSERT_TRUE(reader.open(folder, key));
  IndexEntry third;
  ASSERT_EQ(reader.readEntry(3, third), RecordStatus::ok);
  reader.close();
  std::filesystem::resize_file(data(), third.offset + 30);
  AppendBytes(index(), "torn!", 5);

  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(point.dataEnd, third.offset);
  EXPECT_EQ(point.entriesKept, 3u);
  EXPECT_EQ(FileBytes(index()), 48u);
  EXPECT_LT(FileBytes(data()), end);

  // Only the torn index entry.
  AppendBytes(index(), "x", 1);
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(FileBytes(index()), 48u);
}

TEST_F(AppendPreparation, MissingDataEmptiesALeftoverIndex) {
  std::filesystem::create_directories(folder);
  AppendEntry(index(), IndexEntry{kSampleTime, 0, 0, 0});
  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(data(), index(), point));
  EXPECT_EQ(point.dataEnd, 0u);
  EXPECT_EQ(FileBytes(index()), 0u);
  EXPECT_FALSE(std::filesystem::exists(data()));
}

TEST_F(AppendPreparation, ScanDoesNotChangeTheFiles) {
  const uint64_t end = writeRecords(2);
  AppendBytes(data(), "JPG1", 4);
  const int dataFd = ::open(data().c_str(), O_RDONLY);
  const int indexFd = ::open(index().c_str(), O_RDONLY);
  ASSERT_GE(dataFd, 0);
  ASSERT_GE(indexFd, 0);
  AppendPoint point;
  EXPECT_TRUE(ScanAppendPoint(dataFd, indexFd, point));
  EXPECT_EQ(point.dataEnd, end);
  EXPECT_EQ(FileBytes(data()), end + 4);
  ::close(dataFd);
  ::close(indexFd);
  EXPECT_FALSE(ScanAppendPoint(-1, -1, point));
}

}  // namespace
}  // namespace velmora
