#include "recording/format_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "app/log.h"

namespace velmora {

int64_t ReadFully(int fd, uint64_t offset, void* buffer, std::size_t length) {
  auto* out = static_cast<uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t FileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int RecordResultCode(RecordStatus status) {
  switch (status) {
    case RecordStatus::ok:
      return 0;
    case RecordStatus::incomplete:
      return -1;
    default:
      return -2;
  }
}

const char* RecordStatusText(RecordStatus status) {
  switch (status) {
    case RecordStatus::ok: return "ok";
    case RecordStatus::incomplete: return "incomplete";
    case RecordStatus::badOffset: return "bad offset";
    case RecordStatus::badMagic: return "wrong record type";
    case RecordStatus::badLength: return "bad record length";
    case RecordStatus::badTrailer: return "bad trailer";
    case RecordStatus::readError: return "read error";
    case RecordStatus::noMemory: return "no memory";
    case RecordStatus::notOpen: return "not open";
  }
  return "?";
}

RecordFileReader::~RecordFileReader() { close(); }

RecordFileReader::RecordFileReader(RecordFileReader&& other) noexcept
    : dataFd_(std::exchange(other.dataFd_, -1)), indexFd_(std::exchange(other.indexFd_, -1)) {}

RecordFileReader& RecordFileReader::operator=(RecordFileReader&& other) noexcept {
  if (this != &other) {
    close();
    dataFd_ = std::exchange(other.dataFd_, -1);
    indexFd_ = std::exchange(other.indexFd_, -1);
  }
  return *this;
}

void RecordFileReader::close() {
  if (dataFd_ >= 0) ::close(dataFd_);
  if (indexFd_ >= 0) ::close(indexFd_);
  dataFd_ = -1;
  indexFd_ = -1;
}

static int OpenReadOnly(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool RecordFileReader::open(const std::filesystem::path& folder, std::string_view hourKey,
                            const char* label) {
  return openFiles(DataFilePath(folder, hourKey), IndexFilePath(folder, hourKey), label);
}

bool RecordFileReader::openFiles(const std::filesystem::path& dataPath,
                                 const std::filesystem::path& indexPath, const char* label) {
  close();
  dataFd_ = OpenReadOnly(dataPath);
  if (dataFd_ < 0) {
    if (label != nullptr) LogLastErrorRead(label);
    return false;
  }
  if (!indexPath.empty()) {
    indexFd_ = OpenReadOnly(indexPath);
    // A missing index is normal (its first write failed, or only the data was copied).
    if (indexFd_ < 0 && errno != ENOENT && label != nullptr) LogLastErrorRead(label);
  }
  return true;
}

bool RecordFileReader::openIndex(const std::filesystem::path& indexPath, const char* label) {
  close();
  indexFd_ = OpenReadOnly(indexPath);
  if (indexFd_ < 0) {
    if (label != nullptr) LogLastErrorRead(label);
    return false;
  }
  return true;
}

uint64_t RecordFileReader::dataSize() const {
  if (dataFd_ < 0) return 0;
  const int64_t size = FileSize(dataFd_);
  return size < 0 ? 0 : static_cast<uint64_t>(size);
}

uint64_t RecordFileReader::indexSize() const {
  if (indexFd_ < 0) return 0;
  const int64_t size = FileSize(indexFd_);
  return size < 0 ? 0 : static_cast<uint64_t>(size);
}

uint64_t RecordFileReader::entryCount() const { return indexSize() / kIndexEntryBytes; }

RecordStatus RecordFileReader::readEntry(uint64_t index, IndexEntry& entry) const {
  if (indexFd_ < 0) return RecordStatus::notOpen;
  if (index >= entryCount()) return RecordStatus::incomplete;
  uint8_t bytes[kIndexEntryBytes];
  const int64_t n = ReadFully(indexFd_, index * kIndexEntryBytes, bytes, sizeof bytes);
  if (n < 0) {
    LogLastErrorRead("RecordFileReader: pread index");
    return RecordStatus::readError;
  }
  if (n != static_cast<int64_t>(sizeof bytes)) return RecordStatus::incomplete;
  entry = IndexEntry::FromBytes(bytes);
  return RecordStatus::ok;
}

RecordStatus RecordFileReader::readLastEntry(IndexEntry& entry) const {
  if (indexFd_ < 0) return RecordStatus::notOpen;
  const uint64_t count = entryCount();
  if (count == 0) return RecordStatus::incomplete;
  return readEntry(count - 1, entry);
}

RecordStatus RecordFileReader::resolve(int64_t offset, uint64_t& at) const {
  if (dataFd_ < 0) return RecordStatus::notOpen;
  if (offset >= 0) {
    at = static_cast<uint64_t>(offset);
    return RecordStatus::ok;
  }
  const uint64_t size = dataSize();
  const uint64_t back = static_cast<uint64_t>(-(offset + 1)) + 1;  // no overflow at INT64_MIN
  if (back > size) return RecordStatus::badOffset;
  at = size - back;
  return RecordStatus::ok;
}

RecordStatus RecordFileReader::readData(uint64_t offset, void* buffer, std::size_t length) const {
  if (dataFd_ < 0) return RecordStatus::notOpen;
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return RecordStatus::badOffset;
  const int64_t n = ReadFully(dataFd_, offset, buffer, length);
  if (n < 0) {
    LogLastErrorRead("RecordFileReader: pread data");
    return RecordStatus::readError;
  }
  return static_cast<std::size_t>(n) == length ? RecordStatus::ok : RecordStatus::incomplete;
}

RecordStatus RecordFileReader::readHeader(int64_t offset, RecordHeader& header,
                                          uint64_t* at) const {
  uint64_t pos = 0;
  RecordStatus status = resolve(offset, pos);
  if (status != RecordStatus::ok) return status;
  if (at != nullptr) *at = pos;
  uint8_t bytes[kRecordHeaderBytes];
  status = readData(pos, bytes, sizeof bytes);
  if (status != RecordStatus::ok) return status;
  header = RecordHeader::FromBytes(bytes);
  return IsValidHeader(header) ? RecordStatus::ok : RecordStatus::badMagic;
}

RecordStatus RecordFileReader::checkRecord(uint64_t offset, RecordHeader& header) const {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return RecordStatus::badOffset;
  RecordStatus status = readHeader(static_cast<int64_t>(offset), header);
  if (status != RecordStatus::ok) return status;
  if (!HasValidRecordLength(header)) return RecordStatus::badLength;
  const uint64_t end = offset + header.recordLength;
  if (end > dataSize()) return RecordStatus::incomplete;
  uint32_t trailer = 0;
  status = readData(end - kRecordTrailerBytes, &trailer, sizeof trailer);
  if (status != RecordStatus::ok) return status;
  return trailer == header.recordLength ? RecordStatus::ok : RecordStatus::badTrailer;
}

RecordStatus RecordFileReader::readRecord(int64_t offset, Record& record) const {
  uint64_t pos = 0;
  RecordStatus status = readHeader(offset, record.header, &pos);
  if (status != RecordStatus::ok) return status;
  record.offset = pos;
  if (!HasValidRecordLength(record.header)) return RecordStatus::badLength;
  if (pos + record.header.recordLength > dataSize()) return RecordStatus::incomplete;
  const uint32_t jpegLength = JpegLength(record.header);
  try {
    record.jpeg.resize(jpegLength + kRecordTrailerBytes);
  } catch (const std::bad_alloc&) {
    record.jpeg.clear();
    return RecordStatus::noMemory;
  }
  status = readData(pos + kRecordHeaderBytes, record.jpeg.data(), record.jpeg.size());
  if (status != RecordStatus::ok) {
    record.jpeg.clear();
    return status;
  }
  uint32_t trailer = 0;
  std::memcpy(&trailer, record.jpeg.data() + jpegLength, sizeof trailer);
  record.jpeg.resize(jpegLength);
  return trailer == record.header.recordLength ? RecordStatus::ok : RecordStatus::badTrailer;
}

RecordStatus RecordFileReader::readEntryRecord(uint64_t index, Record& record) const {
  IndexEntry entry;
  const RecordStatus status = readEntry(index, entry);
  if (status != RecordStatus::ok) return status;
  if (entry.offset > static_cast<uint64_t>(INT64_MAX)) return RecordStatus::badOffset;
  return readRecord(static_cast<int64_t>(entry.offset), record);
}

RecordStatus RecordFileReader::nextRecord(uint64_t offset, uint64_t& next,
                                          RecordHeader* nextHeader) const {
  RecordHeader header;
  RecordStatus status = checkRecord(offset, header);
  if (status != RecordStatus::ok) return status;
  const uint64_t candidate = NextRecordOffset(offset, header);
  RecordHeader following;
  status = checkRecord(candidate, following);
  if (status != RecordStatus::ok) return status;
  next = candidate;
  if (nextHeader != nullptr) *nextHeader = following;
  return RecordStatus::ok;
}

RecordStatus RecordFileReader::readTrailer(int64_t trailerAt, uint64_t& recordStart) const {
  uint64_t at = 0;
  const RecordStatus status = resolve(trailerAt, at);
  if (status != RecordStatus::ok) return status;
  uint32_t trailer = 0;
  const RecordStatus read = readData(at, &trailer, sizeof trailer);
  if (read != RecordStatus::ok) return read;
  const int64_t start = PreviousRecordOffset(at + kRecordTrailerBytes, trailer);
  if (start < 0) return RecordStatus::badLength;
  recordStart = static_cast<uint64_t>(start);
  return RecordStatus::ok;
}

RecordStatus RecordFileReader::previousRecord(uint64_t offset, uint64_t& previous,
                                              RecordHeader* previousHeader) const {
  if (dataFd_ < 0) return RecordStatus::notOpen;
  if (offset < kRecordTrailerBytes) return RecordStatus::incomplete;
  if (offset > dataSize()) return RecordStatus::incomplete;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return RecordStatus::badOffset;
  uint64_t start = 0;
  RecordStatus status = readTrailer(static_cast<int64_t>(offset - kRecordTrailerBytes), start);
  if (status != RecordStatus::ok) return status;
  RecordHeader header;
  status = checkRecord(start, header);
  if (status != RecordStatus::ok) return status;
  if (header.recordLength != offset - start) return RecordStatus::badTrailer;
  previous = start;
  if (previousHeader != nullptr) *previousHeader = header;
  return RecordStatus::ok;
}

}  // namespace velmora
