// Test-side helpers for recording files: a temporary folder, JPEG-like payloads and a
// plain appender that writes records and entries as the recorder does.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "recording/format.h"

namespace velmora::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-rec-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// 2026-12-08 14:05:09 UTC.
constexpr int32_t kSampleTime = 1796738709;

// FF D8, bytes derived from seed, FF D9.
inline std::vector<uint8_t> FakeJpeg(std::size_t length, uint8_t seed = 1) {
  std::vector<uint8_t> jpeg(length);
  for (std::size_t i = 0; i < length; ++i) jpeg[i] = static_cast<uint8_t>(seed + i * 7);
  jpeg[0] = jpeg[length - 2] = 0xFF;
  jpeg[1] = 0xD8;
  jpeg[length - 1] = 0xD9;
  return jpeg;
}

inline std::vector<uint8_t> BuildRecord(const std::vector<uint8_t>& jpeg, const RecordTime& time,
                                        uint64_t low = 0, uint64_t high = 0) {
  std::vector<uint8_t> record(jpeg.size() + kRecordOverheadBytes);
  std::copy(jpeg.begin(), jpeg.end(), record.begin() + kRecordHeaderBytes);
  FillRecord(record.data(), static_cast<uint32_t>(jpeg.size()), time, low, high);
  return record;
}

inline uint64_t FileBytes(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

inline void AppendBytes(const std::filesystem::path& path, const void* data, std::size_t length) {
  std::ofstream(path, std::ios::binary | std::ios::app)
      .write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void AppendEntry(const std::filesystem::path& indexPath, const IndexEntry& entry) {
  uint8_t bytes[kIndexEntryBytes];
  entry.ToBytes(bytes);
  AppendBytes(indexPath, bytes, sizeof bytes);
}

// Appends a record to the hour's data file and its entry to the index; returns its offset.
inline uint64_t AppendRecord(const std::filesystem::path& folder, const RecordTime& time,
                             const std::vector<uint8_t>& jpeg, bool withEntry = true) {
  const std::string key = HourKey(time.seconds);
  std::filesystem::create_directories(folder);
  const uint64_t offset = FileBytes(DataFilePath(folder, key));
  const auto record = BuildRecord(jpeg, time);
  AppendBytes(DataFilePath(folder, key), record.data(), record.size());
  if (withEntry) AppendEntry(IndexFilePath(folder, key), MakeIndexEntry(time, offset));
  return offset;
}

}  // namespace velmora::testing
