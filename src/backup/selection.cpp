// The backup's date range, the file selection rule and the marker file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "app/helpers.h"
#include "app/log.h"
#include "backup/backup.h"
#include "recording/format.h"

namespace velmora::backup {

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return days[month - 1];
}

// Local time of a day and hour as seconds since 1970 UTC. The daylight-saving state is
// left to the time-zone rules, so both halves of the year convert correctly.
int64_t LocalMoment(const LocalDate& date, int hour) {
  struct tm local {};
  local.tm_year = date.year - 1900;
  local.tm_mon = date.month - 1;
  local.tm_mday = date.day;
  local.tm_hour = hour;
  local.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&local));
}

}  // namespace

bool ParseLocalDate(std::string_view text, LocalDate& date) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  int fields[3] = {0, 0, 0};
  const std::size_t starts[3] = {0, 5, 8};
  const std::size_t lengths[3] = {4, 2, 2};
  for (int f = 0; f < 3; ++f) {
    for (std::size_t i = 0; i < lengths[f]; ++i) {
      const char c = text[starts[f] + i];
      if (c < '0' || c > '9') return false;
      fields[f] = fields[f] * 10 + (c - '0');
    }
  }
  // Hour keys and record times are 32-bit seconds: nothing after 2037 can be recorded.
  if (fields[0] < 1970 || fields[0] > 2037) return false;
  if (fields[1] < 1 || fields[1] > 12) return false;
  if (fields[2] < 1 || fields[2] > DaysInMonth(fields[0], fields[1])) return false;
  date = LocalDate{fields[0], fields[1], fields[2]};
  return true;
}

LocalDate LocalDateOf(int64_t seconds) {
  const time_t tt = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&tt, &local) == nullptr) return LocalDate{1970, 1, 1};
  return LocalDate{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

std::string FormatLocalDate(const LocalDate& date) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
  return text;
}

DateRange DefaultRange(int64_t now) {
  return DateRange{LocalDateOf(now - 604800), LocalDateOf(now)};
}

Selection MakeSelection(const DateRange& range) {
  Selection selection;
  selection.firstKey = HourKey(static_cast<int32_t>(LocalMoment(range.start, 0)));
  selection.lastKey = HourKey(static_cast<int32_t>(LocalMoment(range.end, 23)));
  return selection;
}

bool Selection::selects(std::string_view name, bool isFolder) const {
  if (isFolder) return false;
  if (name == kRootMarkerName) return true;
  if (!EndsWithNoCase(name, kDataFileExtension) && !EndsWithNoCase(name, kIndexFileExtension))
    return false;
  const std::string_view stem = name.substr(0, name.size() - 4);
  return stem >= std::string_view(firstKey) && stem <= std::string_view(lastKey);
}

bool ListSelectedFiles(const std::filesystem::path& folder, const Selection& selection,
                       std::vector<SelectedFile>& files) {
  files.clear();
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    LogLastError(("ListSelectedFiles: opendir(" + folder.string() + ")").c_str());
    return false;
  }
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    struct stat st {};
    // A link is looked at as what it is, never followed: only plain files are copied.
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const bool folderEntry = S_ISDIR(st.st_mode);
    if (!selection.selects(name, folderEntry) || !S_ISREG(st.st_mode)) continue;
    files.push_back(SelectedFile{std::string(name), static_cast<uint64_t>(st.st_size)});
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end(),
            [](const SelectedFile& a, const SelectedFile& b) { return a.name < b.name; });
  return true;
}

bool WriteBackupMarker(const std::filesystem::path& folder, std::string_view devicePath) {
  return WriteRootMarker(folder, devicePath);
}

std::string DefaultVolumeLabel(const std::filesystem::path& source, int64_t now) {
  std::filesystem::path folder = source;
  if (!folder.has_filename()) folder = folder.parent_path();  // "a/b/" names b
  std::string label = folder.filename().string();
  const time_t tt = static_cast<time_t>(now);
  struct tm local {};
  char date[32] = "";
  if (localtime_r(&tt, &local) != nullptr) std::strftime(date, sizeof date, "-%Y%m%d", &local);
  return label + date;
}

}  // namespace velmora::backup
