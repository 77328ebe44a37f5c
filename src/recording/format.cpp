#include "recording/format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "app/log.h"
#include "platform/clock.h"

namespace velmora {

RecordHeader RecordHeader::FromBytes(const uint8_t* bytes) {
  RecordHeader header;
  std::memcpy(&header, bytes, sizeof header);
  return header;
}

void RecordHeader::ToBytes(uint8_t* bytes) const { std::memcpy(bytes, this, sizeof *this); }

bool EntryBefore(const IndexEntry& a, const IndexEntry& b) {
  return a.time < b.time || (a.time == b.time && a.milliseconds < b.milliseconds);
}

RecordTime RecordTimeAt(int64_t seconds, unsigned milliseconds) {
  // The standard offset comes from the time-zone rules read once per process.
  static std::once_flag tzOnce;
  std::call_once(tzOnce, [] { tzset(); });

  RecordTime t;
  t.seconds = static_cast<int32_t>(seconds);
  t.milliseconds = static_cast<uint16_t>(milliseconds % 1000);
  t.timezone = static_cast<int16_t>(::timezone / 60);
  time_t tt = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&tt, &local) != nullptr) t.dstFlag = local.tm_isdst > 0 ? 1 : 0;
  return t;
}

RecordTime CurrentRecordTime() {
  const int64_t ms = platform::WallMs();
  int64_t seconds = ms / 1000;
  int64_t rest = ms % 1000;
  if (rest < 0) {  // before 1970: keep the milliseconds within 0-999
    rest += 1000;
    seconds -= 1;
  }
  return RecordTimeAt(seconds, static_cast<unsigned>(rest));
}

std::string HourKey(int32_t seconds) {
  time_t tt = static_cast<time_t>(seconds);
  struct tm utc {};
  if (gmtime_r(&tt, &utc) == nullptr) return "00000000";
  // tm_year may be negative before 1900; keep the year's last two digits positive.
  const int year = ((utc.tm_year + 1900) % 100 + 100) % 100;
  char key[16];
  std::snprintf(key, sizeof key, "%02u%02u%02u%02u", static_cast<unsigned>(year),
                static_cast<unsigned>(utc.tm_mon + 1), static_cast<unsigned>(utc.tm_mday),
                static_cast<unsigned>(utc.tm_hour));
  return key;
}

bool IsHourKey(std::string_view text) {
  if (text.size() != kHourKeyLength) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

static bool IsKeyWithExtension(std::string_view name, std::string_view extension) {
  return name.size() == kHourKeyLength + extension.size() &&
         name.substr(kHourKeyLength) == extension && IsHourKey(name.substr(0, kHourKeyLength));
}

bool IsDataFileName(std::string_view name) { return IsKeyWithExtension(name, kDataFileExtension); }

bool IsIndexFileName(std::string_view name) {
  return IsKeyWithExtension(name, kIndexFileExtension);
}

std::filesystem::path DeviceFolder(const std::filesystem::path& root, std::string_view devicePath) {
  while (!devicePath.empty() && devicePath.front() == '/') devicePath.remove_prefix(1);
  if (devicePath.empty()) return root;
  return root / std::filesystem::path(devicePath);
}

namespace {

// Walks the steps of a tree path below the root by the folder rule; with `create`,
// missing steps are made as real folders.
int WalkTreeFolder(const std::filesystem::path& root, std::string_view treePath, bool deviceFolder,
                   bool create) {
  while (!treePath.empty() && treePath.front() == '/') treePath.remove_prefix(1);
  std::vector<std::filesystem::path> steps;
  for (const std::filesystem::path& step : std::filesystem::path(treePath)) {
    if (step.empty() || step == ".") continue;
    if (step == "..") return EINVAL;
    steps.push_back(step);
  }
  // The root is the operator's choice and may lie anywhere, through links too.
  if (create) {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
  }
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  std::filesystem::path at = root;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    at /= steps[i];
    if (::lstat(at.c_str(), &st) != 0) {
      if (errno != ENOENT || !create) return errno;
      // Made here, or by someone else meanwhile; either way it is looked at again.
      if (::mkdir(at.c_str(), 0777) != 0 && errno != EEXIST) return errno;
      if (::lstat(at.c_str(), &st) != 0) return errno;
    }
    if (S_ISDIR(st.st_mode)) continue;
    if (!S_ISLNK(st.st_mode)) return ENOTDIR;
    if (!deviceFolder || i + 1 != steps.size()) return ELOOP;
    // The device folder itself: a link to a folder is followed. One whose target is
    // missing (its disk not mounted) is not replaced by a folder here.
    if (::stat(at.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  }
  return 0;
}

}  // namespace

int CheckTreeFolder(const std::filesystem::path& root, std::string_view treePath, bool deviceFolder) {
  return WalkTreeFolder(root, treePath, deviceFolder, false);
}

int MakeDeviceFolder(const std::filesystem::path& root, std::string_view treePath) {
  return WalkTreeFolder(root, treePath, true, true);
}

std::filesystem::path DataFilePath(const std::filesystem::path& folder, std::string_view hourKey) {
  std::string name(hourKey);
  name += kDataFileExtension;
  return folder / name;
}

std::filesystem::path IndexFilePath(const std::filesystem::path& folder, std::string_view hourKey) {
  std::string name(hourKey);
  name += kIndexFileExtension;
  return folder / name;
}

bool IsValidHeader(const RecordHeader& header) { return header.magic == kRecordMagic; }

bool IsValidJpegLength(uint64_t jpegLength) {
  return jpegLength >= kMinJpegBytes && jpegLength <= kMaxJpegBytes;
}

uint32_t JpegLength(const RecordHeader& header) {
  return header.recordLength >= kRecordOverheadBytes ? header.recordLength - kRecordOverheadBytes
                                                     : 0;
}

bool HasValidRecordLength(const RecordHeader& header) {
  return header.recordLength >= kMinRecordBytes && header.recordLength <= kMaxRecordBytes;
}

uint32_t FillRecord(uint8_t* record, uint32_t jpegLength, const RecordTime& time,
                    uint64_t motionMaskLow, uint64_t motionMaskHigh) {
  if (!IsValidJpegLength(jpegLength)) return 0;
  RecordHeader header;
  header.magic = kRecordMagic;
  header.recordLength = jpegLength + kRecordOverheadBytes;
  header.time = time.seconds;
  header.milliseconds = time.milliseconds;
  header.timezone = time.timezone;
  header.dstFlag = time.dstFlag;
  header.motionMaskLow = motionMaskLow;
  header.motionMaskHigh = motionMaskHigh;
  header.ToBytes(record);
  std::memcpy(record + kRecordHeaderBytes + jpegLength, &header.recordLength, kRecordTrailerBytes);
  return header.recordLength;
}

IndexEntry MakeIndexEntry(const RecordTime& time, uint64_t recordOffset) {
  IndexEntry entry;
  entry.time = time.seconds;
  entry.milliseconds = time.milliseconds;
  entry.offset = recordOffset;
  return entry;
}

uint64_t NextRecordOffset(uint64_t offset, const RecordHeader& header) {
  return offset + header.recordLength;
}

int64_t PreviousRecordOffset(uint64_t trailerEnd, uint32_t trailerLength) {
  if (trailerLength < kMinRecordBytes || trailerLength > trailerEnd) return -1;
  return static_cast<int64_t>(trailerEnd - trailerLength);
}

std::string RootMarkerText(std::string_view devicePath) {
  std::string text = "root=\"";
  text += devicePath;
  text += "\"\r\n";
  return text;
}

bool WriteRootMarker(const std::filesystem::path& folder, std::string_view devicePath) {
  const std::string path = (folder / kRootMarkerName).string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    LogLastError(("open(" + path + ")").c_str());
    return false;
  }
  const std::string text = RootMarkerText(devicePath);
  bool ok = true;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      LogLastError(("write(" + path + ")").c_str());
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && ok) {
    LogLastError(("close(" + path + ")").c_str());
    ok = false;
  }
  return ok;
}

bool HasRootMarker(const std::filesystem::path& folder) {
  std::error_code ec;
  return std::filesystem::is_regular_file(folder / kRootMarkerName, ec);
}

}  // namespace velmora
