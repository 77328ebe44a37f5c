// Record and index layouts, hour keys, file names and the folder marker.
#include <gtest/gtest.h>

#include <cstring>

#include "recording/format.h"
#include "test_format_files.h"

namespace velmora {
namespace {

using testing::kSampleTime;

template <typename T>
T At(const uint8_t* bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

TEST(RecordLayout, HundredThousandByteJpegMakesRecordWithMatchingTrailer) {
  const auto jpeg = testing::FakeJpeg(100000);
  const auto record = testing::BuildRecord(jpeg, RecordTime{kSampleTime, 250, 300, 1}, 0x21, 1);
  ASSERT_EQ(record.size(), 100052u);
  const uint8_t* r = record.data();
  EXPECT_EQ(std::memcmp(r, "JPG1", 4), 0);
  EXPECT_EQ(At<uint32_t>(r, 4), 100052u);
  EXPECT_EQ(At<int32_t>(r, 8), kSampleTime);
  EXPECT_EQ(At<uint16_t>(r, 12), 250);
  EXPECT_EQ(At<int16_t>(r, 14), 300);
  EXPECT_EQ(At<int16_t>(r, 16), 1);
  EXPECT_EQ(At<uint64_t>(r, 24), 0x21u);
  EXPECT_EQ(At<uint64_t>(r, 32), 1u);
  EXPECT_EQ(At<uint32_t>(r, 18) | At<uint16_t>(r, 22) | At<uint64_t>(r, 40), 0u) << "reserved";
  EXPECT_EQ(std::memcmp(r + 48, jpeg.data(), jpeg.size()), 0);
  EXPECT_EQ(At<uint32_t>(r, 100048), 100052u);

  const RecordHeader header = RecordHeader::FromBytes(r);
  EXPECT_EQ(JpegLength(header), 100000u);
  EXPECT_EQ(NextRecordOffset(500, header), 100552u);
  EXPECT_EQ(PreviousRecordOffset(100552, 100052), 500);
  EXPECT_EQ(PreviousRecordOffset(67, 68), -1) << "would start before the file";
  EXPECT_EQ(PreviousRecordOffset(1000, 67), -1) << "shorter than any record";
}

TEST(RecordLayout, JpegLengthBounds) {
  std::vector<uint8_t> buffer(kMaxJpegBytes + 1 + kRecordOverheadBytes, 0xAA);
  const RecordTime time{kSampleTime, 0, 0, 0};
  EXPECT_EQ(FillRecord(buffer.data(), 15, time, 0, 0), 0u);
  EXPECT_EQ(FillRecord(buffer.data(), kMaxJpegBytes + 1, time, 0, 0), 0u);
  EXPECT_EQ(buffer[0], 0xAA) << "a rejected record writes nothing";
  EXPECT_EQ(FillRecord(buffer.data(), 16, time, 0, 0), 68u);
  EXPECT_EQ(FillRecord(buffer.data(), kMaxJpegBytes, time, 0, 0), kMaxJpegBytes + 52);
}

TEST(IndexLayout, EntryBytesAndOrder) {
  const IndexEntry entry = MakeIndexEntry(RecordTime{kSampleTime, 999, 0, 0}, 0x0102030405060708ull);
  uint8_t bytes[16];
  entry.ToBytes(bytes);
  EXPECT_EQ(At<int32_t>(bytes, 0), kSampleTime);
  EXPECT_EQ(At<uint16_t>(bytes, 4), 999);
  EXPECT_EQ(At<uint16_t>(bytes, 6), 0);
  EXPECT_EQ(At<uint64_t>(bytes, 8), 0x0102030405060708ull);
  EXPECT_EQ(IndexEntry::FromBytes(bytes), entry);
  EXPECT_TRUE(EntryBefore(IndexEntry{100, 500, 0, 0}, IndexEntry{100, 501, 0, 0}));
  EXPECT_FALSE(EntryBefore(IndexEntry{101, 0, 0, 0}, IndexEntry{100, 999, 0, 0}));
}

TEST(HourKeys, KeysAndFileNames) {
  EXPECT_EQ(HourKey(kSampleTime), "26120814");
  const int32_t fourteen = kSampleTime - 5 * 60 - 9;
  EXPECT_EQ(HourKey(fourteen - 1), "26120813");
  EXPECT_EQ(HourKey(fourteen), "26120814");
  EXPECT_EQ(HourKey(946684800), "00010100");  // 2000-01-01
  EXPECT_EQ(HourKey(-1), "69123123");
  EXPECT_LT(HourKey(1293839999), HourKey(1293840000)) << "text order is time order over a year end";

  EXPECT_TRUE(IsDataFileName("26120814.vlj"));
  EXPECT_TRUE(IsIndexFileName("26120814.vlx"));
  EXPECT_FALSE(IsDataFileName("26120814.vlx"));
  EXPECT_FALSE(IsDataFileName("2612081x.vlj"));
  EXPECT_FALSE(IsIndexFileName("2612081.vlx"));

  const auto folder = DeviceFolder("/rec", "Yard/Door");
  EXPECT_EQ(folder, std::filesystem::path("/rec/Yard/Door"));
  EXPECT_EQ(DeviceFolder("/rec", "/Yard/Door"), folder) << "stays under the root";
  EXPECT_EQ(DataFilePath(folder, "26120814"), "/rec/Yard/Door/26120814.vlj");
  EXPECT_EQ(IndexFilePath(folder, "26120814"), "/rec/Yard/Door/26120814.vlx");
}

TEST(RootMarker, WrittenAfreshAndFound) {
  testing::TempFolder temp;
  EXPECT_FALSE(HasRootMarker(temp.path()));
  ASSERT_TRUE(WriteRootMarker(temp.path(), "A much longer device path"));
  ASSERT_TRUE(WriteRootMarker(temp.path(), "Yard/Door"));
  EXPECT_TRUE(HasRootMarker(temp.path()));
  EXPECT_EQ(testing::ReadText(temp.path() / ".nvr"), "root=\"Yard/Door\"\r\n");
  EXPECT_FALSE(WriteRootMarker(temp.path() / "missing", "x"));
}

}  // namespace
}  // namespace velmora
