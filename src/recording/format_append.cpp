#include "recording/format_append.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/log.h"
#include "recording/format.h"
#include "recording/format_reader.h"

namespace velmora {

namespace {

enum class Check { complete, notComplete, ioError };

// A complete record at `offset`: magic, length bounds, inside the file, trailer repeats
// the length.
Check CompleteRecordAt(int fd, uint64_t offset, uint64_t size, uint32_t& length) {
  if (size - offset < kMinRecordBytes) return Check::notComplete;
  uint8_t bytes[kRecordHeaderBytes];
  int64_t n = ReadFully(fd, offset, bytes, sizeof bytes);
  if (n < 0) return Check::ioError;
  if (n != static_cast<int64_t>(sizeof bytes)) return Check::notComplete;
  const RecordHeader header = RecordHeader::FromBytes(bytes);
  if (!IsValidHeader(header) || !HasValidRecordLength(header)) return Check::notComplete;
  if (header.recordLength > size - offset) return Check::notComplete;
  uint32_t trailer = 0;
  n = ReadFully(fd, offset + header.recordLength - kRecordTrailerBytes, &trailer, sizeof trailer);
  if (n < 0) return Check::ioError;
  if (n != static_cast<int64_t>(sizeof trailer) || trailer != header.recordLength)
    return Check::notComplete;
  length = header.recordLength;
  return Check::complete;
}

// The bytes from `offset` to the end are what a write that stopped part-way leaves: the
// beginning of a record whose length reaches past the end, or zero fill.
Check TornTailAt(int fd, uint64_t offset, uint64_t size) {
  const uint64_t tail = size - offset;
  uint8_t head[8] = {};
  const std::size_t headBytes = static_cast<std::size_t>(std::min<uint64_t>(tail, sizeof head));
  const int64_t n = ReadFully(fd, offset, head, headBytes);
  if (n < 0) return Check::ioError;
  if (n != static_cast<int64_t>(headBytes)) return Check::notComplete;

  uint8_t magic[4];
  std::memcpy(magic, &kRecordMagic, sizeof magic);
  const std::size_t magicBytes = std::min<std::size_t>(headBytes, sizeof magic);
  if (std::memcmp(head, magic, magicBytes) == 0) {
    if (headBytes < sizeof head) return Check::complete;  // the length was not written yet
    uint32_t length = 0;
    std::memcpy(&length, head + 4, sizeof length);
    if (length >= kMinRecordBytes && length <= kMaxRecordBytes && length > tail)
      return Check::complete;
    return Check::notComplete;
  }

  // Zero fill: space the file system allocated for a write whose data never arrived.
  if (tail > kMaxRecordBytes) return Check::notComplete;
  std::vector<uint8_t> chunk(64 * 1024);
  for (uint64_t at = offset; at < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), size - at));
    const int64_t got = ReadFully(fd, at, chunk.data(), want);
    if (got < 0) return Check::ioError;
    if (got != static_cast<int64_t>(want)) return Check::notComplete;
    if (std::any_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(want),
                    [](uint8_t b) { return b != 0; }))
      return Check::notComplete;
    at += want;
  }
  return Check::complete;
}

bool ReadEntryAt(int fd, uint64_t index, IndexEntry& entry) {
  uint8_t bytes[kIndexEntryBytes];
  if (ReadFully(fd, index * kIndexEntryBytes, bytes, sizeof bytes) !=
      static_cast<int64_t>(sizeof bytes))
    return false;
  entry = IndexEntry::FromBytes(bytes);
  return true;
}

}  // namespace

namespace {

// The offset of the last record an index entry names that is complete in the data file:
// everything up to it was written whole (0 without one). False on a read error.
bool LastIndexedRecord(int dataFd, int indexFd, uint64_t count, uint64_t size, uint64_t& pos) {
  pos = 0;
  uint32_t length = 0;
  for (uint64_t i = count; i-- > 0;) {
    IndexEntry entry;
    if (!ReadEntryAt(indexFd, i, entry)) {
      LogLastError("PrepareAppend: pread index");
      return false;
    }
    if (entry.offset >= size) continue;
    const Check check = CompleteRecordAt(dataFd, entry.offset, size, length);
    if (check == Check::ioError) {
      LogLastError("PrepareAppend: pread data");
      return false;
    }
    if (check == Check::complete) {
      pos = entry.offset;
      return true;
    }
  }
  return true;
}

// Walks the data file's complete records from `pos`, leaving it at the first that is not
// (or at the end). False on a read error.
bool SkipCompleteRecords(int dataFd, uint64_t size, uint64_t& pos) {
  uint32_t length = 0;
  while (pos < size) {
    const Check check = CompleteRecordAt(dataFd, pos, size, length);
    if (check == Check::ioError) {
      LogLastError("PrepareAppend: pread data");
      return false;
    }
    if (check != Check::complete) break;
    pos += length;
  }
  return true;
}

// How many index entries point before `dataEnd`. Entries are appended in write order, so
// those pointing at or past the end form the tail of the index. False on a read error.
bool EntriesBefore(int indexFd, uint64_t count, uint64_t dataEnd, uint64_t& kept) {
  kept = count;
  while (kept > 0) {
    IndexEntry entry;
    if (!ReadEntryAt(indexFd, kept - 1, entry)) {
      LogLastError("PrepareAppend: pread index");
      return false;
    }
    if (entry.offset < dataEnd) break;
    --kept;
  }
  return true;
}

}  // namespace

bool ScanAppendPoint(int dataFd, int indexFd, AppendPoint& point) {
  point = AppendPoint{};
  const int64_t dataSize = FileSize(dataFd);
  if (dataSize < 0) {
    LogLastError("PrepareAppend: fstat");
    return false;
  }
  point.dataSize = static_cast<uint64_t>(dataSize);
  point.dataEnd = point.dataSize;
  uint64_t count = 0;
  if (indexFd >= 0) {
    const int64_t indexSize = FileSize(indexFd);
    if (indexSize < 0) {
      LogLastError("PrepareAppend: fstat");
      return false;
    }
    point.indexSize = static_cast<uint64_t>(indexSize);
    count = point.indexSize / kIndexEntryBytes;
  }
  const uint64_t size = point.dataSize;

  // Start from the last complete record the index names; without one, walk the data file
  // from its start.
  uint64_t pos = 0;
  if (!LastIndexedRecord(dataFd, indexFd, count, size, pos) || !SkipCompleteRecords(dataFd, size, pos)) return false;
  if (pos < size) {
    const Check torn = TornTailAt(dataFd, pos, size);
    if (torn == Check::ioError) {
      LogLastError("PrepareAppend: pread data");
      return false;
    }
    if (torn == Check::complete) {
      point.dataEnd = pos;
    } else {
      point.unrecognisedTail = true;
    }
  }
  uint64_t kept = 0;
  if (!EntriesBefore(indexFd, count, point.dataEnd, kept)) return false;
  point.entriesKept = kept;
  return true;
}

static int Truncate(int fd, uint64_t size) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool PrepareAppend(int dataFd, const std::filesystem::path& indexPath, AppendPoint& point) {
  std::filesystem::path dataPath = indexPath;
  dataPath.replace_extension(kDataFileExtension);
  const std::string dataName = dataPath.string();

  // An index that is a link is not followed (nor cut): the recorder then reports it.
  int indexFd = ::open(indexPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (indexFd < 0 && errno != ENOENT) {
    LogLastError(("PrepareAppend: open(" + indexPath.string() + ")").c_str());
  }
  bool ok = ScanAppendPoint(dataFd, indexFd, point);
  if (!ok) {
    // Fall back to the end of the file as it is: never write over existing bytes.
    const int64_t size = FileSize(dataFd);
    point.dataEnd = size < 0 ? 0 : static_cast<uint64_t>(size);
    point.dataSize = point.dataEnd;
    if (indexFd >= 0) ::close(indexFd);
    return false;
  }

  if (point.unrecognisedTail) {
    Log("PrepareAppend: unrecognised bytes after the last complete record kept; file=%s, "
        "size=%llu",
        dataName.c_str(), static_cast<unsigned long long>(point.dataSize));
  }
  if (point.dataCut()) {
    if (Truncate(dataFd, point.dataEnd) != 0) {
      LogLastError(("PrepareAppend: ftruncate(" + dataName + ")").c_str());
      point.dataEnd = point.dataSize;
      ok = false;
    } else {
      Log("PrepareAppend: torn record cut; file=%s, size=%llu, end=%llu", dataName.c_str(),
          static_cast<unsigned long long>(point.dataSize),
          static_cast<unsigned long long>(point.dataEnd));
    }
  }
  if (indexFd >= 0) {
    // The index is cut only when the data end is known; a kept tail keeps its entries
    // unless they point past the file.
    if (ok && point.indexCut()) {
      if (Truncate(indexFd, point.entriesKept * kIndexEntryBytes) != 0) {
        LogLastError(("PrepareAppend: ftruncate(" + indexPath.string() + ")").c_str());
        ok = false;
      } else {
        Log("PrepareAppend: index cut; file=%s, entries=%llu, kept=%llu",
            indexPath.string().c_str(),
            static_cast<unsigned long long>(point.indexSize / kIndexEntryBytes),
            static_cast<unsigned long long>(point.entriesKept));
      }
    }
    ::close(indexFd);
  }
  return ok;
}

bool PrepareAppendFiles(const std::filesystem::path& dataPath,
                        const std::filesystem::path& indexPath, AppendPoint& point) {
  point = AppendPoint{};
  const int dataFd = ::open(dataPath.c_str(), O_RDWR | O_CLOEXEC);
  if (dataFd < 0) {
    if (errno == ENOENT) {
      // No data: every entry of a leftover index points past the end.
      std::error_code ec;
      if (std::filesystem::exists(indexPath, ec)) {
        point.indexSize = std::filesystem::file_size(indexPath, ec);
        if (!ec && point.indexSize > 0) {
          std::filesystem::resize_file(indexPath, 0, ec);
          if (ec) {
            errno = ec.value();
            LogLastError(("PrepareAppend: truncate(" + indexPath.string() + ")").c_str());
            return false;
          }
        }
      }
      return true;
    }
    LogLastError(("PrepareAppend: open(" + dataPath.string() + ")").c_str());
    return false;
  }
  const bool ok = PrepareAppend(dataFd, indexPath, point);
  ::close(dataFd);
  return ok;
}

}  // namespace velmora
