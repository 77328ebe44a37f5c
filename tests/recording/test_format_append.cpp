// Preparing an existing hour's files for appending: a torn tail is cut back to the last
// complete record, index entries past it are dropped, anything else is left alone.
#include <gtest/gtest.h>

#include "recording/format_append.h"
#include "recording/format_reader.h"
#include "test_format_files.h"

namespace velmora {
namespace {

using testing::AppendBytes;
using testing::AppendRecord;
using testing::FakeJpeg;
using testing::FileBytes;
using testing::kSampleTime;

class AppendPreparation : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = temp.path() / "cam";
    for (int i = 0; i < 3; ++i) AppendRecord(folder, at(i), FakeJpeg(1000 + 10 * i));
    end = FileBytes(data());
  }
  std::filesystem::path data() const { return DataFilePath(folder, "26120814"); }
  std::filesystem::path index() const { return IndexFilePath(folder, "26120814"); }
  static RecordTime at(int s) { return RecordTime{kSampleTime + s, 0, 0, 0}; }
  bool prepare() { return PrepareAppendFiles(data(), index(), point); }
  // Records reached by stepping by length from offset 0.
  std::size_t reachable() const {
    RecordFileReader reader;
    RecordHeader header;
    if (!reader.open(folder, "26120814") || reader.checkRecord(0, header) != RecordStatus::ok)
      return 0;
    std::size_t count = 1;
    for (uint64_t pos = 0; count < 100 && reader.nextRecord(pos, pos) == RecordStatus::ok;) ++count;
    return count;
  }
  void appendTorn(std::size_t bytes) {
    const auto torn = testing::BuildRecord(FakeJpeg(5000), at(9));
    AppendBytes(data(), torn.data(), bytes);
  }

  testing::TempFolder temp;
  std::filesystem::path folder;
  uint64_t end = 0;
  AppendPoint point;
};

TEST_F(AppendPreparation, CleanFilesStayAndAppendGoesToTheEnd) {
  ASSERT_TRUE(prepare());
  EXPECT_EQ(point.dataEnd, end);
  EXPECT_EQ(point.entriesKept, 3u);
  EXPECT_FALSE(point.dataCut() || point.indexCut() || point.unrecognisedTail);
  EXPECT_EQ(FileBytes(data()), end);
}

TEST_F(AppendPreparation, TornRecordIsCutSoAppendedRecordsStayReachable) {
  appendTorn(700);
  // The data write of the last record was lost after its entry was written.
  testing::AppendEntry(index(), IndexEntry{kSampleTime + 10, 0, 0, end + 700});
  ASSERT_TRUE(prepare());
  EXPECT_EQ(point.dataEnd, end);
  EXPECT_EQ(point.entriesKept, 3u);
  EXPECT_EQ(FileBytes(data()), end);
  EXPECT_EQ(FileBytes(index()), 48u);
  EXPECT_EQ(AppendRecord(folder, at(20), FakeJpeg(2000)), end);
  EXPECT_EQ(reachable(), 4u);
}

TEST_F(AppendPreparation, WithoutTheCutTheAppendedRecordIsUnreachable) {
  appendTorn(700);
  AppendRecord(folder, at(20), FakeJpeg(2000));
  EXPECT_EQ(reachable(), 3u);
}

TEST_F(AppendPreparation, PartialHeadersAndZeroFillAreCut) {
  for (std::size_t bytes : {3u, 6u, 47u}) {
    appendTorn(bytes);
    ASSERT_TRUE(prepare());
    EXPECT_EQ(FileBytes(data()), end) << bytes;
  }
  const std::vector<uint8_t> zeros(3000, 0);
  AppendBytes(data(), zeros.data(), zeros.size());
  ASSERT_TRUE(prepare());
  EXPECT_EQ(FileBytes(data()), end);
}

TEST_F(AppendPreparation, ForeignTailIsKept) {
  const std::string foreign = "not a record, and not zeros either";
  AppendBytes(data(), foreign.data(), foreign.size());
  ASSERT_TRUE(prepare());
  EXPECT_TRUE(point.unrecognisedTail);
  EXPECT_EQ(point.dataEnd, end + foreign.size()) << "appending never overwrites";
  EXPECT_EQ(FileBytes(data()), end + foreign.size());

  // A whole record whose trailer disagrees is damage, not a torn write.
  std::filesystem::resize_file(data(), end);
  auto record = testing::BuildRecord(FakeJpeg(100), at(5));
  record.back() ^= 1;
  AppendBytes(data(), record.data(), record.size());
  ASSERT_TRUE(prepare());
  EXPECT_TRUE(point.unrecognisedTail);
  EXPECT_EQ(FileBytes(data()), end + record.size());
}

TEST_F(AppendPreparation, EntriesPastTheDataAreDropped) {
  // The data lost its last record: the last entry naming a complete record is found
  // going back through the index; a torn entry goes too.
  std::filesystem::resize_file(data(), end - 30);
  AppendBytes(index(), "torn!", 5);
  ASSERT_TRUE(prepare());
  EXPECT_EQ(point.entriesKept, 2u);
  EXPECT_EQ(FileBytes(index()), 32u);
  EXPECT_EQ(FileBytes(data()), point.dataEnd);
  EXPECT_EQ(reachable(), 2u);

  // Without an index the data is walked from its start.
  std::filesystem::remove(index());
  appendTorn(10);
  ASSERT_TRUE(prepare());
  EXPECT_EQ(FileBytes(data()), point.dataEnd);
  EXPECT_FALSE(std::filesystem::exists(index()));

  // Without data every entry points past the end.
  std::filesystem::remove(data());
  testing::AppendEntry(index(), IndexEntry{kSampleTime, 0, 0, 0});
  ASSERT_TRUE(prepare());
  EXPECT_EQ(FileBytes(index()), 0u);
  EXPECT_FALSE(std::filesystem::exists(data()));
}

}  // namespace
}  // namespace velmora
