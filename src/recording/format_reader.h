// Read-only access to one hour's pair of recording files, shared by everything that
// reads recordings (playback, export, the HTTP server, backup, removal). Every read is
// bounds-checked against the file's current size: a record cut short at the end, an
// index entry pointing past the data, or bytes that are not a record give a status,
// never an over-read. The files may grow while they are read (the recorder appends),
// so sizes are taken afresh for every call. Calls are independent (positioned reads),
// so one reader may be used from several threads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "recording/format.h"

namespace velmora {

enum class RecordStatus {
  ok,
  incomplete,   // fewer bytes there than asked for: end of file, or a record still being written
  badOffset,    // an offset before the start of the file, or past any possible file size
  badMagic,     // the bytes there do not start with "JPG1"
  badLength,    // a record length outside the record bounds
  badTrailer,   // the trailer does not repeat the record length
  readError,    // the system refused the read (logged)
  noMemory,     // no room for the JPEG
  notOpen,      // the file is not open
};

// The readers' result convention: 0 read, -1 nothing complete there, -2 any other error.
int RecordResultCode(RecordStatus status);
const char* RecordStatusText(RecordStatus status);

struct Record {
  uint64_t offset = 0;
  RecordHeader header;
  std::vector<uint8_t> jpeg;
};

class RecordFileReader {
 public:
  RecordFileReader() = default;
  ~RecordFileReader();
  RecordFileReader(RecordFileReader&& other) noexcept;
  RecordFileReader& operator=(RecordFileReader&& other) noexcept;
  RecordFileReader(const RecordFileReader&) = delete;
  RecordFileReader& operator=(const RecordFileReader&) = delete;

  // Opens the data file of the hour key in the folder and its index file when present.
  // False (logged with `label`) when the data file cannot be opened.
  bool open(const std::filesystem::path& folder, std::string_view hourKey,
            const char* label = "RecordFileReader");
  // The same for explicit paths; an empty or missing index path leaves the index closed.
  bool openFiles(const std::filesystem::path& dataPath, const std::filesystem::path& indexPath,
                 const char* label = "RecordFileReader");
  // Opens only an index file (to read positions without the data).
  bool openIndex(const std::filesystem::path& indexPath, const char* label = "RecordFileReader");
  void close();

  bool dataOpen() const { return dataFd_ >= 0; }
  bool indexOpen() const { return indexFd_ >= 0; }

  // Current sizes in bytes (0 when closed or unreadable).
  uint64_t dataSize() const;
  uint64_t indexSize() const;
  // Whole entries in the index; a torn last entry is not counted.
  uint64_t entryCount() const;

  RecordStatus readEntry(uint64_t index, IndexEntry& entry) const;
  // The last entry of the index, or incomplete when it holds none.
  RecordStatus readLastEntry(IndexEntry& entry) const;

  // Offsets below 0 count back from the end of the data file (-4 is the last trailer).
  // The header is filled whenever 48 bytes were read, also with a wrong magic.
  RecordStatus readHeader(int64_t offset, RecordHeader& header, uint64_t* at = nullptr) const;
  // Header, JPEG and trailer of the record at the offset: magic, length bounds, the whole
  // record inside the file, and a trailer equal to the record length. With badTrailer the
  // header and JPEG are still filled in (only the trailer disagrees); with badLength the
  // header is, so a caller can report the length it found.
  RecordStatus readRecord(int64_t offset, Record& record) const;
  // Checks the record at the offset as readRecord does, without reading its JPEG.
  RecordStatus checkRecord(uint64_t offset, RecordHeader& header) const;
  // The record named by index entry i.
  RecordStatus readEntryRecord(uint64_t index, Record& record) const;

  // The start of the record after the one at `offset`. Both records must be complete
  // (checkRecord); incomplete when the data ends there or the next record is cut short.
  RecordStatus nextRecord(uint64_t offset, uint64_t& next, RecordHeader* nextHeader = nullptr) const;
  // The start of the record before the one at `offset` (offset may be the data size, for
  // the last record), found through the trailer ending at the offset; the record there
  // must be complete and of the trailer's length. incomplete at offset 0.
  RecordStatus previousRecord(uint64_t offset, uint64_t& previous,
                              RecordHeader* previousHeader = nullptr) const;
  // Reads the trailer whose first byte is at `trailerAt` (below 0: counted from the end,
  // -4 is the last record's trailer) and gives the start of the record it ends, without
  // checking the record there.
  RecordStatus readTrailer(int64_t trailerAt, uint64_t& recordStart) const;

  // Reads exactly `length` bytes at `offset` of the data file: incomplete when fewer exist.
  RecordStatus readData(uint64_t offset, void* buffer, std::size_t length) const;

 private:
  RecordStatus resolve(int64_t offset, uint64_t& at) const;

  int dataFd_ = -1;
  int indexFd_ = -1;
};

// Positioned read of up to `length` bytes, repeated until done, end of file or an error.
// Returns the bytes read, or -1 on a failed call (errno kept).
int64_t ReadFully(int fd, uint64_t offset, void* buffer, std::size_t length);
// Size of an open file, or -1 (errno kept).
int64_t FileSize(int fd);

}  // namespace velmora
