// Record and index layouts, hour keys, file names and the folder marker.
#include <gtest/gtest.h>

#include <cstring>

#include "recording/format.h"
#include "test_format_files.h"

namespace velmora {
namespace {

using testing::BuildRecord;
using testing::FakeJpeg;
using testing::kSampleTime;

template <typename T>
T At(const std::vector<uint8_t>& bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

TEST(RecordLayout, HundredThousandByteJpegMakesRecordWithMatchingTrailer) {
  RecordTime time{kSampleTime, 250, 300, 1};
  const auto jpeg = FakeJpeg(100000);
  const auto record = BuildRecord(jpeg, time, 0x21, 0x8000000000000000ull);

  ASSERT_EQ(record.size(), 100052u);
  EXPECT_EQ(std::memcmp(record.data(), "JPG1", 4), 0);
  EXPECT_EQ(At<uint32_t>(record, 4), 100052u);
  EXPECT_EQ(At<int32_t>(record, 8), kSampleTime);
  EXPECT_EQ(At<uint16_t>(record, 12), 250);
  EXPECT_EQ(At<int16_t>(record, 14), 300);
  EXPECT_EQ(At<int16_t>(record, 16), 1);
  for (std::size_t i = 18; i < 24; ++i) EXPECT_EQ(record[i], 0) << i;
  EXPECT_EQ(At<uint64_t>(record, 24), 0x21u);
  EXPECT_EQ(At<uint64_t>(record, 32), 0x8000000000000000ull);
  EXPECT_EQ(At<uint64_t>(record, 40), 0u);
  EXPECT_EQ(std::memcmp(record.data() + 48, jpeg.data(), jpeg.size()), 0);
  EXPECT_EQ(At<uint32_t>(record, 48 + 100000), 100052u);

  const RecordHeader header = RecordHeader::FromBytes(record.data());
  EXPECT_TRUE(IsValidHeader(header));
  EXPECT_EQ(JpegLength(header), 100000u);
  EXPECT_EQ(NextRecordOffset(500, header), 100552u);
  EXPECT_EQ(PreviousRecordOffset(100552, 100052), 500);
}

TEST(RecordLayout, JpegLengthBounds) {
  RecordTime time{kSampleTime, 0, 0, 0};
  std::vector<uint8_t> buffer(kMaxJpegBytes + 1 + kRecordOverheadBytes, 0xAA);
  EXPECT_EQ(FillRecord(buffer.data(), 15, time, 0, 0), 0u);
  EXPECT_EQ(buffer[0], 0xAA) << "a rejected record writes nothing";
  EXPECT_EQ(FillRecord(buffer.data(), kMaxJpegBytes + 1, time, 0, 0), 0u);
  EXPECT_EQ(FillRecord(buffer.data(), 16, time, 0, 0), 68u);
  EXPECT_EQ(FillRecord(buffer.data(), kMaxJpegBytes, time, 0, 0), kMaxJpegBytes + 52);

  RecordHeader header;
  header.magic = kRecordMagic;
  header.recordLength = 10;
  EXPECT_EQ(JpegLength(header), 0u);
  EXPECT_FALSE(HasValidRecordLength(header));
  header.recordLength = kMaxRecordBytes + 1;
  EXPECT_FALSE(HasValidRecordLength(header));
  header.magic = 0x3147504B;
  EXPECT_FALSE(IsValidHeader(header));
}

TEST(RecordLayout, PreviousOffsetRejectsImpossibleTrailers) {
  EXPECT_EQ(PreviousRecordOffset(100, 68), 32);
  EXPECT_EQ(PreviousRecordOffset(68, 68), 0);
  EXPECT_EQ(PreviousRecordOffset(67, 68), -1) << "would start before the file";
  EXPECT_EQ(PreviousRecordOffset(1000, 67), -1) << "shorter than any record";
  EXPECT_EQ(PreviousRecordOffset(1000, 0), -1);
}

TEST(IndexLayout, EntryBytes) {
  const IndexEntry entry = MakeIndexEntry(RecordTime{kSampleTime, 999, 0, 0}, 0x0102030405060708ull);
  uint8_t bytes[16];
  entry.ToBytes(bytes);
  const std::vector<uint8_t> v(bytes, bytes + 16);
  EXPECT_EQ(At<int32_t>(v, 0), kSampleTime);
  EXPECT_EQ(At<uint16_t>(v, 4), 999);
  EXPECT_EQ(At<uint16_t>(v, 6), 0);
  EXPECT_EQ(At<uint64_t>(v, 8), 0x0102030405060708ull);
  EXPECT_EQ(IndexEntry::FromBytes(bytes), entry);

  IndexEntry a{100, 500, 0, 0}, b{100, 501, 0, 0}, c{101, 0, 0, 0};
  EXPECT_TRUE(EntryBefore(a, b));
  EXPECT_TRUE(EntryBefore(b, c));
  EXPECT_FALSE(EntryBefore(b, a));
  EXPECT_FALSE(EntryBefore(a, a));
  EXPECT_TRUE(IndexEntry{}.empty());
}

TEST(HourKeys, FormatAndBoundaries) {
  EXPECT_EQ(HourKey(kSampleTime), "26120814");
  // 13:59:59 and 14:00:00 UTC of the same day: only the hour digits differ.
  const int32_t fourteen = kSampleTime - 5 * 60 - 9;
  EXPECT_EQ(HourKey(fourteen - 1), "26120813");
  EXPECT_EQ(HourKey(fourteen), "26120814");
  EXPECT_EQ(HourKey(946684800), "00010100");  // 2000-01-01 00:00 UTC
  EXPECT_EQ(HourKey(0), "70010100");
  EXPECT_EQ(HourKey(-1), "69123123");
  EXPECT_LT(HourKey(fourteen - 1), HourKey(fourteen)) << "text order is time order";
  EXPECT_LT(HourKey(1293839999), HourKey(1293840000));  // across a year end (2010 -> 2011)
}

TEST(HourKeys, FileNames) {
  EXPECT_TRUE(IsHourKey("26120814"));
  EXPECT_FALSE(IsHourKey("2612081"));
  EXPECT_FALSE(IsHourKey("2612081x"));
  EXPECT_TRUE(IsDataFileName("26120814.vlj"));
  EXPECT_FALSE(IsDataFileName("26120814.vlx"));
  EXPECT_TRUE(IsIndexFileName("26120814.vlx"));
  EXPECT_FALSE(IsDataFileName("x6120814.vlj"));
  EXPECT_FALSE(IsDataFileName("26120814.vljx"));
  EXPECT_FALSE(IsIndexFileName(".nvr"));

  const std::filesystem::path root = "/rec";
  const auto folder = DeviceFolder(root, "Yard/Door");
  EXPECT_EQ(folder, std::filesystem::path("/rec/Yard/Door"));
  EXPECT_EQ(DeviceFolder(root, "/Yard/Door"), folder) << "a leading separator stays under the root";
  EXPECT_EQ(DeviceFolder(root, "//"), root);
  EXPECT_EQ(DataFilePath(folder, "26120814"), std::filesystem::path("/rec/Yard/Door/26120814.vlj"));
  EXPECT_EQ(IndexFilePath(folder, "26120814"), std::filesystem::path("/rec/Yard/Door/26120814.vlx"));
}

TEST(RecordClock, MomentFields) {
  const RecordTime t = RecordTimeAt(kSampleTime, 1250);
  EXPECT_EQ(t.seconds, kSampleTime);
  EXPECT_EQ(t.milliseconds, 250);
  EXPECT_TRUE(t.dstFlag == 0 || t.dstFlag == 1);
  const RecordTime now = CurrentRecordTime();
  EXPECT_LT(now.milliseconds, 1000);
  EXPECT_GT(now.seconds, kSampleTime - 10 * 365 * 86400);
}

TEST(RootMarker, WrittenAfreshAndFound) {
  testing::TempFolder temp;
  ASSERT_FALSE(temp.path().empty());
  EXPECT_EQ(RootMarkerText("Yard/Door"), "root=\"Yard/Door\"\r\n");
  EXPECT_FALSE(HasRootMarker(temp.path()));
  ASSERT_TRUE(WriteRootMarker(temp.path(), "A long/device path"));
  ASSERT_TRUE(WriteRootMarker(temp.path(), "Yard/Door"));
  EXPECT_TRUE(HasRootMarker(temp.path()));
  const auto bytes = testing::ReadAll(temp.path() / ".nvr");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "root=\"Yard/Door\"\r\n");
  EXPECT_FALSE(WriteRootMarker(temp.path() / "missing", "x"));
}

}  // namespace
}  // namespace velmora
