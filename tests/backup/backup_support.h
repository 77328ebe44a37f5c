// Test-side helpers for the backup: a zone for the test, hour files of given days, and a
// plain writer that appends records and index entries as the recorder does.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "recording/format.h"

namespace velmora::test {

// Sets the process's time zone (POSIX rule text, so no zone database is needed).
class ZoneForTest {
 public:
  explicit ZoneForTest(const char* rule) {
    if (const char* old = std::getenv("TZ")) {
      had_ = true;
      old_ = old;
    }
    ::setenv("TZ", rule, 1);
    ::tzset();
  }
  ~ZoneForTest() {
    if (had_) ::setenv("TZ", old_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A JPEG-like payload: FF D8, bytes from the seed, FF D9.
inline std::vector<uint8_t> Payload(std::size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  bytes[0] = 0xFF;
  bytes[1] = 0xD8;
  bytes[length - 2] = 0xFF;
  bytes[length - 1] = 0xD9;
  return bytes;
}

inline std::vector<uint8_t> MakeRecord(std::size_t jpegLength, uint32_t seed, int32_t seconds) {
  std::vector<uint8_t> record(jpegLength + kRecordOverheadBytes);
  const std::vector<uint8_t> jpeg = Payload(jpegLength, seed);
  std::copy(jpeg.begin(), jpeg.end(), record.begin() + kRecordHeaderBytes);
  FillRecord(record.data(), static_cast<uint32_t>(jpegLength), RecordTimeAt(seconds, seed % 1000),
             0, 0);
  return record;
}

// Appends records to an hour's pair the way the recorder does: the record first, its
// index entry only after the whole record is written.
class PairWriter {
 public:
  PairWriter(const std::filesystem::path& folder, const std::string& key)
      : data_(::open(DataFilePath(folder, key).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644)),
        index_(::open(IndexFilePath(folder, key).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644)) {
    offset_ = static_cast<uint64_t>(::lseek(data_, 0, SEEK_END));
  }
  ~PairWriter() {
    ::close(data_);
    ::close(index_);
  }
  // Writes `record` in two writes (so a reader may see it half written in between);
  // `between` runs between them.
  template <class Between>
  void append(const std::vector<uint8_t>& record, int32_t seconds, Between between) {
    const std::size_t half = record.size() / 2;
    WriteAll(data_, record.data(), half);
    between();
    WriteAll(data_, record.data() + half, record.size() - half);
    IndexEntry entry;
    entry.time = seconds;
    entry.offset = offset_;
    uint8_t bytes[kIndexEntryBytes];
    entry.ToBytes(bytes);
    WriteAll(index_, bytes, sizeof bytes);
    offset_ += record.size();
  }
  void append(const std::vector<uint8_t>& record, int32_t seconds) {
    append(record, seconds, [] {});
  }
  // Half a record and no entry: what a write cut off part-way leaves.
  void appendTorn(const std::vector<uint8_t>& record) {
    WriteAll(data_, record.data(), record.size() / 2);
  }

 private:
  static void WriteAll(int fd, const uint8_t* data, std::size_t length) {
    while (length > 0) {
      const ssize_t n = ::write(fd, data, length);
      if (n <= 0) return;
      data += n;
      length -= static_cast<std::size_t>(n);
    }
  }
  int data_;
  int index_;
  uint64_t offset_ = 0;
};

// Seconds of a UTC hour.
inline int32_t UtcHour(int year, int month, int day, int hour) {
  struct tm utc {};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  return static_cast<int32_t>(::timegm(&utc));
}

// One complete pair per UTC hour from `first` for `hours` hours, each with `records`
// records of a few hundred bytes.
inline void MakeHours(const std::filesystem::path& folder, int32_t first, int hours,
                      int records = 2) {
  std::filesystem::create_directories(folder);
  for (int h = 0; h < hours; ++h) {
    const int32_t at = first + h * 3600;
    PairWriter writer(folder, HourKey(at));
    for (int r = 0; r < records; ++r)
      writer.append(MakeRecord(200 + static_cast<std::size_t>(r * 37 + h), static_cast<uint32_t>(h * 100 + r), at + r), at + r);
  }
}

}  // namespace velmora::test
