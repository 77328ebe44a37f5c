#include "control/property_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/application.h"
#include "app/helpers.h"
#include "app/log.h"
#include "app/recording_names.h"
#include "app/strings.h"
#include "model/group_record.h"

namespace velmora::control {

namespace {

constexpr int kStringNoDeviceName = 130;
constexpr int kStringBadNameCharacters = 131;
constexpr int kStringNoWebImageName = 266;
constexpr int kStringNoImagePath = 268;
constexpr int kStringCommaInUrl = 269;
constexpr int kFirstRateString = 900;
constexpr int kLastRateString = 926;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A decimal number at the start of `text`, with the rest after it; nothing without digits
// or beyond 32 bits.
std::optional<uint32_t> LeadingNumber(std::string_view& text) {
  std::size_t digits = 0;
  uint64_t value = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    if (value > UINT32_MAX) return std::nullopt;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return static_cast<uint32_t>(value);
}

void SkipBlanks(std::string_view& text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
}

}  // namespace

std::vector<int> PropertyPagesOf(int32_t kind) {
  std::vector<int> pages{kDeviceInfoPage};
  const bool recorded = kind == EntryKind::ServerCamera || kind == EntryKind::Device ||
                        kind == EntryKind::HTTPDevice;
  if (recorded || kind == EntryKind::NASDevice) pages.push_back(kRecordInfoPage);
  if (recorded) pages.push_back(kSchedulePage);
  return pages;
}

DeviceInfoRules DeviceInfoRulesOf(int32_t kind) {
  DeviceInfoRules rules{};
  if (kind == EntryKind::ServerCamera || kind == EntryKind::Device || kind == EntryKind::ServerDevice) {
    rules.locationLabel = "&Hostname or IP:";
  } else if (kind == EntryKind::NASDevice) {
    rules.locationLabel = "Folder &Path:";
  } else {
    rules.locationLabel = "&URL:";
  }
  rules.locationReadOnly = kind == EntryKind::ServerCamera;
  rules.browseShown = kind == EntryKind::NASDevice;
  rules.credentialsEnabled = kind != EntryKind::ServerCamera && kind != EntryKind::NASDevice;
  rules.syncTimeEnabled = kind == EntryKind::Device || kind == EntryKind::ServerDevice;
  return rules;
}

int NameProblem(int32_t kind, const std::string& name) {
  if (name.find_first_not_of(" \t\r\n") == std::string::npos) {
    return kind == EntryKind::HTTPDevice ? kStringNoWebImageName : kStringNoDeviceName;
  }
  if (name.find_first_of(kForbiddenNameChars) != std::string::npos) return kStringBadNameCharacters;
  return 0;
}

PropertyProblem CheckDeviceInfo(int32_t kind, const std::string& name, const std::string& location,
                                int32_t debugLevel) {
  const bool webImage = kind == EntryKind::HTTPDevice;
  if (const int problem = NameProblem(kind, name); problem != 0) return {problem, PropertyField::Name};
  if (webImage) {
    if (location.find(',') != std::string::npos) return {kStringCommaInUrl, PropertyField::Location};
    if (location.find('/') == std::string::npos) return {kStringNoImagePath, PropertyField::Location};
  }
  if (debugLevel < 0 || debugLevel > kMaxDebugLevel) return {0, PropertyField::DebugLevel};
  return {};
}

std::optional<uint32_t> ParseUpdateRate(std::string_view original) {
  const std::string lowered = AsciiLower(original);
  std::string_view text = lowered;
  SkipBlanks(text);
  if (StartsWith(text, "every")) {
    text.remove_prefix(5);
    SkipBlanks(text);
    const std::optional<uint32_t> count = LeadingNumber(text);
    if (!count) return std::nullopt;
    SkipBlanks(text);
    uint64_t unit = 0;
    if (StartsWith(text, "second")) {
      unit = 1000;
    } else if (StartsWith(text, "minute")) {
      unit = 60 * 1000;
    } else if (StartsWith(text, "hour")) {
      unit = 60 * 60 * 1000;
    } else {
      return std::nullopt;
    }
    const uint64_t ms = *count * unit;
    if (ms > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(ms);
  }
  const std::optional<uint32_t> fps = LeadingNumber(text);
  if (!fps || *fps == 0) return std::nullopt;
  SkipBlanks(text);
  if (!StartsWith(text, "fps")) return std::nullopt;
  return 1000u / *fps;
}

std::vector<UpdateRate> UpdateRateTable(const std::vector<std::string>& texts) {
  std::vector<UpdateRate> table;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i == 0) {
      table.push_back(UpdateRate{texts[i], 0});
      continue;
    }
    const std::optional<uint32_t> ms = ParseUpdateRate(texts[i]);
    if (!ms) {
      Log("%s: Unable to parse update rate '%s'", "RecordInfo::RecordInfo", AsciiLower(texts[i]).c_str());
      continue;
    }
    table.push_back(UpdateRate{texts[i], *ms});
  }
  // The slider runs from the slowest rate on the left to the fastest on the right.
  std::reverse(table.begin(), table.end());
  return table;
}

std::vector<UpdateRate> UpdateRateTable() {
  std::vector<std::string> texts;
  for (int id = kFirstRateString; id <= kLastRateString; ++id) texts.push_back(StringText(id));
  return UpdateRateTable(texts);
}

RateMatch MatchUpdateRate(const std::vector<UpdateRate>& table, uint32_t delay) {
  RateMatch match;
  uint64_t best = UINT64_MAX;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const uint32_t ms = table[i].milliseconds;
    if (ms == delay) return RateMatch{i, true};
    const uint64_t distance = ms > delay ? ms - delay : delay - ms;
    if (distance < best) {
      best = distance;
      match.index = i;
    }
  }
  return match;
}

int DaysToKeep(int32_t archiveTime) {
  return std::clamp(archiveTime / kSecondsPerDay, kMinDaysToKeep, kMaxDaysToKeep);
}

uint32_t ShownMotionType(uint32_t motionType) {
  return motionType == 1 || motionType == 2 ? motionType : 0;
}

int ZoneBitAt(int x, int y, int width, int height) {
  auto quarter = [](int value, int size) {
    if (value < size / 4) return 0;
    if (value < size / 2) return 1;
    if (value < 3 * size / 4) return 2;
    return 3;
  };
  return quarter(y, height) * 4 + quarter(x, width);
}

bool IsCountedRecordingFile(std::string_view name) { return name == kRootMarkerName || IsRecordingFileName(name); }

FileCount CountRecordingFiles(const std::string& folder, const std::atomic<bool>& stop,
                              const std::function<void(const FileCount&)>& progress) {
  FileCount count;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return count;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (!IsCountedRecordingFile(name)) continue;
    std::error_code sizeError;
    if (!it->is_regular_file(sizeError)) continue;
    const uintmax_t size = it->file_size(sizeError);
    ++count.files;
    if (!sizeError) count.bytes += size;
    if (progress) progress(count);
    if (stop.load()) break;
  }
  return count;
}

std::string FileCounterText(const FileCount& count) {
  char text[96];
  std::snprintf(text, sizeof text, "(%lu files; %s)", static_cast<unsigned long>(count.files),
                ShortByteSize(count.bytes).c_str());
  return text;
}

}  // namespace velmora::control
