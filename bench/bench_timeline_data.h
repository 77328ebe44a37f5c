// One day of a 10 fps camera for the playback benchmarks: 24 hour files of 36,000
// frames each (864,000 index entries), written the way the recorder writes them, into
// a temporary folder that is removed afterwards.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/image.h"
#include "media/jpeg.h"
#include "recording/format.h"

namespace velmora::bench {

constexpr int64_t kDayStart = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr int kFramesPerSecond = 10;
constexpr int kHours = 24;
constexpr int kFramesPerHour = 3600 * kFramesPerSecond;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Writes the day into `folder`. With data, every record holds a small real JPEG; without,
// only the index files are written (all the timeline reads), with the offsets the
// records would have.
inline bool WriteDay(const std::filesystem::path& folder, bool withData) {
  std::filesystem::create_directories(folder);
  std::unique_ptr<Image> picture = Image::New(32, 24, 24);
  if (!picture) return false;
  picture->Fill(Colour{90, 140, 200});
  const std::vector<uint8_t> jpeg = EncodeJpeg(*picture, 50);
  if (jpeg.empty()) return false;
  std::vector<uint8_t> record(jpeg.size() + kRecordOverheadBytes);
  std::copy(jpeg.begin(), jpeg.end(), record.begin() + kRecordHeaderBytes);

  std::vector<uint8_t> index(static_cast<std::size_t>(kFramesPerHour) * kIndexEntryBytes);
  std::vector<uint8_t> data;
  if (withData) data.reserve(static_cast<std::size_t>(kFramesPerHour) * record.size());
  for (int hour = 0; hour < kHours; ++hour) {
    const int64_t hourStart = kDayStart + hour * 3600;
    const std::string key = HourKey(static_cast<int32_t>(hourStart));
    data.clear();
    uint64_t offset = 0;
    for (int i = 0; i < kFramesPerHour; ++i) {
      const int64_t ms = static_cast<int64_t>(i) * (1000 / kFramesPerSecond);
      const RecordTime time = RecordTimeAt(hourStart + ms / 1000, static_cast<unsigned>(ms % 1000));
      MakeIndexEntry(time, offset).ToBytes(index.data() + static_cast<std::size_t>(i) * kIndexEntryBytes);
      if (withData) {
        FillRecord(record.data(), static_cast<uint32_t>(jpeg.size()), time, 0, 0);
        data.insert(data.end(), record.begin(), record.end());
      }
      offset += record.size();
    }
    std::ofstream out(IndexFilePath(folder, key), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(index.data()), static_cast<std::streamsize>(index.size()));
    if (!out) return false;
    if (withData) {
      std::ofstream d(DataFilePath(folder, key), std::ios::binary | std::ios::trunc);
      d.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
      if (!d) return false;
    }
  }
  return true;
}

}  // namespace velmora::bench
