// Recording files: one folder per device under the recordings root, and in it one
// pair of files per UTC hour. The data file (".vlj") is a plain sequence of records
// (48-byte header, the JPEG as received, 4-byte trailer repeating the record length);
// the index file (".vlx") holds one 16-byte entry (time, milliseconds, offset) per
// record, appended in write order. Both are little-endian and have no file header.
// The writer (the recorder) and every reader share the definitions below.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/recording_names.h"  // the file extensions and the backup marker

namespace velmora {

static_assert(std::endian::native == std::endian::little,
              "recording files are little-endian and are read and written in place");

// The four bytes "JPG1" read as one little-endian word.
constexpr uint32_t kRecordMagic = 0x3147504Au;
constexpr uint32_t kRecordHeaderBytes = 48;
constexpr uint32_t kRecordTrailerBytes = 4;
// What a record adds to its JPEG: header plus trailer.
constexpr uint32_t kRecordOverheadBytes = kRecordHeaderBytes + kRecordTrailerBytes;
// Bounds of the JPEG inside a record; nothing outside them is ever written or read.
constexpr uint32_t kMinJpegBytes = 16;
constexpr uint32_t kMaxJpegBytes = 0x400000;
constexpr uint32_t kMinRecordBytes = kMinJpegBytes + kRecordOverheadBytes;
constexpr uint32_t kMaxRecordBytes = kMaxJpegBytes + kRecordOverheadBytes;
constexpr uint32_t kIndexEntryBytes = 16;

// Mask words of a record written without detected motion (start of detection, or the
// first record of a file while recording on motion only).
constexpr uint64_t kAllZones = ~uint64_t{0};

constexpr std::size_t kHourKeyLength = 8;

// The header in front of every JPEG. Every field sits at its natural alignment, so the
// struct has no padding and its memory image is the file layout.
struct RecordHeader {
  uint32_t magic = 0;          // kRecordMagic
  uint32_t recordLength = 0;   // JPEG length + 52
  int32_t time = 0;            // seconds since 1970 UTC
  uint16_t milliseconds = 0;   // 0-999
  int16_t timezone = 0;        // standard offset, minutes west of UTC
  int16_t dstFlag = 0;         // non-zero while daylight-saving time is in effect
  uint8_t reserved1[6] = {};
  uint64_t motionMaskLow = 0;  // zones 0-63
  uint64_t motionMaskHigh = 0; // zones 64-127
  uint64_t reserved2 = 0;

  // Copies from / to exactly kRecordHeaderBytes bytes.
  static RecordHeader FromBytes(const uint8_t* bytes);
  void ToBytes(uint8_t* bytes) const;
  // Both words zero means the frame was recorded with motion detection off.
  bool hasMotion() const { return motionMaskLow != 0 || motionMaskHigh != 0; }
};
static_assert(sizeof(RecordHeader) == 48, "record header is 48 bytes");
static_assert(offsetof(RecordHeader, recordLength) == 4);
static_assert(offsetof(RecordHeader, time) == 8);
static_assert(offsetof(RecordHeader, milliseconds) == 12);
static_assert(offsetof(RecordHeader, timezone) == 14);
static_assert(offsetof(RecordHeader, dstFlag) == 16);
static_assert(offsetof(RecordHeader, motionMaskLow) == 24);
static_assert(offsetof(RecordHeader, motionMaskHigh) == 32);
static_assert(offsetof(RecordHeader, reserved2) == 40);

// One index entry; also the in-memory position of one recorded frame during playback.
// A position whose time is 0 is empty.
struct IndexEntry {
  int32_t time = 0;
  uint16_t milliseconds = 0;
  uint16_t reserved = 0;
  uint64_t offset = 0;  // first byte of the record in the data file of the same hour

  // The stored layout is the struct's own (little-endian, no padding): a copy each way,
  // inline since the timeline reads every entry of an hour through it.
  static IndexEntry FromBytes(const uint8_t* bytes) {
    IndexEntry entry;
    std::memcpy(&entry, bytes, sizeof entry);
    return entry;
  }
  void ToBytes(uint8_t* bytes) const { std::memcpy(bytes, this, sizeof *this); }
  bool empty() const { return time == 0; }
  bool operator==(const IndexEntry&) const = default;
};
static_assert(sizeof(IndexEntry) == 16, "index entry is 16 bytes");
static_assert(offsetof(IndexEntry, milliseconds) == 4);
static_assert(offsetof(IndexEntry, offset) == 8);

// True when a is earlier than b (seconds, then milliseconds).
bool EntryBefore(const IndexEntry& a, const IndexEntry& b);

// The four time fields of a record, all from one reading of the clock.
struct RecordTime {
  int32_t seconds = 0;
  uint16_t milliseconds = 0;
  int16_t timezone = 0;  // standard offset in minutes west of UTC, ignoring daylight saving
  int16_t dstFlag = 0;
};

// Reads the system clock once.
RecordTime CurrentRecordTime();
// The same fields for a given moment (seconds since 1970 UTC and milliseconds).
RecordTime RecordTimeAt(int64_t seconds, unsigned milliseconds);

// "%02u%02u%02u%02u" of year % 100, month, day and hour in UTC. Text order is time order.
std::string HourKey(int32_t seconds);
// True for exactly eight digits.
bool IsHourKey(std::string_view text);
// True for an hour key followed by ".vlj" / ".vlx".
bool IsDataFileName(std::string_view name);
bool IsIndexFileName(std::string_view name);

// The device folder: the recordings root joined with the device's tree path (names
// joined by "/"). Leading separators of the tree path are dropped so that the folder
// always stays under the root.
std::filesystem::path DeviceFolder(const std::filesystem::path& root, std::string_view devicePath);
// The folder rule shared by the recorder, the removal pass and the HTTP server. Below the
// recordings root every step of a tree path is a real folder, except that a device's own
// folder may be a symbolic link to a folder (a camera's recordings put on another
// disk): that link is followed, at that level alone. A link at any other level, and
// anything inside a device folder that is a link, is never followed, so no tree name
// and no link planted below the root can lead the program elsewhere.
//
// CheckTreeFolder: 0 when the folder of `treePath` below `root` is reached by that rule
// (its last step may be a link when `deviceFolder`); otherwise the reason: ENOENT a
// missing step, ELOOP a link the rule does not follow, ENOTDIR a step that is no folder,
// EINVAL a ".." step.
int CheckTreeFolder(const std::filesystem::path& root, std::string_view treePath, bool deviceFolder);
// The recorder's side of the rule: makes the device folder of `treePath`, creating
// missing steps as real folders (and the root with its parents when missing); a device
// folder that is a link to a folder is used as it is. 0 or the reason, as above.
int MakeDeviceFolder(const std::filesystem::path& root, std::string_view treePath);
std::filesystem::path DataFilePath(const std::filesystem::path& folder, std::string_view hourKey);
std::filesystem::path IndexFilePath(const std::filesystem::path& folder, std::string_view hourKey);

// A header is valid when it starts with "JPG1".
bool IsValidHeader(const RecordHeader& header);
bool IsValidJpegLength(uint64_t jpegLength);
// recordLength - 52; 0 when the length is too small to hold a record at all.
uint32_t JpegLength(const RecordHeader& header);
// The header's length lies within the record bounds.
bool HasValidRecordLength(const RecordHeader& header);

// Builds a record in place: `record` points at the 48 writable bytes in front of a JPEG
// of jpegLength bytes, which is followed by 4 writable bytes. Returns the record length,
// or 0 (nothing written) when jpegLength is out of bounds.
uint32_t FillRecord(uint8_t* record, uint32_t jpegLength, const RecordTime& time,
                    uint64_t motionMaskLow, uint64_t motionMaskHigh);
IndexEntry MakeIndexEntry(const RecordTime& time, uint64_t recordOffset);

// Start of the record after the one at `offset` with this header.
uint64_t NextRecordOffset(uint64_t offset, const RecordHeader& header);
// Start of the record whose trailer ends at `trailerEnd`; -1 when the trailer value
// cannot describe a record there (below the minimum record or reaching before 0).
int64_t PreviousRecordOffset(uint64_t trailerEnd, uint32_t trailerLength);

// The ".nvr" marker: one line "root=\"%s\"\r\n" with the device's path, replacing an
// earlier file. Returns false (logged) when it cannot be written.
std::string RootMarkerText(std::string_view devicePath);
bool WriteRootMarker(const std::filesystem::path& folder, std::string_view devicePath);
bool HasRootMarker(const std::filesystem::path& folder);

}  // namespace velmora
