#include "app/settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "app/helpers.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace velmora {

namespace {

// Number of UTF-8 characters (lead bytes) in a text.
std::size_t CharacterCount(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// Signed decimal as the stored format reads it: leading blanks, sign, digits; the rest
// is ignored and a text without digits is 0.
int ReadSignedDecimal(const std::string& text) {
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > 2147483647L) return 2147483647;
  if (value < -2147483647L - 1) return -2147483647 - 1;
  return static_cast<int>(value);
}

// Unsigned in decimal, "0x" hexadecimal or leading-0 octal.
unsigned ReadUnsigned(const std::string& text) {
  unsigned long value = std::strtoul(text.c_str(), nullptr, 0);
  return static_cast<unsigned>(value);
}

// A value as it may appear inside a log line: control bytes shown as '?'.
// The fullness limit in force for a stored text. The cleanup thread deletes the oldest
// hours while the drive is fuller than this, so a value it cannot use must never reach
// it: a text without a number, or one below the Options range, means the default (a
// 0 would delete all but the last two hours of every camera); one above the range means
// its top. Each correction leaves a note.
int ReadDiskFullness(const std::string& value, std::vector<std::string>& notes) {
  char* end = nullptr;
  const long number = std::strtol(value.c_str(), &end, 10);
  const std::string shown = "diskFullness value \"" + LogSafe(value, 64) + "\"";
  if (end == value.c_str()) {
    notes.push_back(shown + " is not a number, using " + std::to_string(kDiskFullnessDefault));
    return kDiskFullnessDefault;
  }
  if (number < kDiskFullnessMin) {
    notes.push_back(shown + " is below " + std::to_string(kDiskFullnessMin) + ", using " +
                    std::to_string(kDiskFullnessDefault));
    return kDiskFullnessDefault;
  }
  if (number > kDiskFullnessMax) {
    notes.push_back(shown + " is above " + std::to_string(kDiskFullnessMax) + ", using " +
                    std::to_string(kDiskFullnessMax));
    return kDiskFullnessMax;
  }
  return static_cast<int>(number);
}

// A JPEG quality: a number is held to 1..100; anything else keeps the default.
int ReadJpegQuality(const std::string& value) {
  char* end = nullptr;
  const long number = std::strtol(value.c_str(), &end, 10);
  if (end == value.c_str()) return kLiveJpegQualityDefault;
  return static_cast<int>(std::clamp(number, 1L, 100L));
}

// The health answer's frame limit: a text without a positive number means the default
// (a limit of 0 would fail every device at once).
int ReadHealthFrameSeconds(const std::string& value) {
  const int seconds = ReadSignedDecimal(value);
  return seconds >= 1 ? seconds : kHealthFrameSecondsDefault;
}

// diskFullness is converted once all lines are read, so only the value in force is
// checked (a repeated key overwrites the earlier one).
void ApplySetting(Settings& s, const std::string& key, const std::string& value,
                  std::optional<std::string>& diskFullness) {
  if (key == "diskFullness") diskFullness = value;
  else if (key == "httpServer") s.httpServer = value == "true";
  else if (key == "httpServerPort") s.httpServerPort = ReadSignedDecimal(value);
  else if (key == "logClear") s.logClear = value == "true";
  else if (key == "logProfile") s.logProfile = value == "true";
  else if (key == "logJournalOnly")
    s.logJournalOnly = value == "true";
  else if (key == "logSizeMax" || key == "logSizeMaxMB") s.logSizeMax = ReadUnsigned(value);
  else if (key == "pathData") s.pathData = value;
  else if (key == "recordEnable") s.recordEnable = value == "true";
  else if (key == "httpServerUser") s.httpServerUser = value;
  else if (key == "httpServerPassword") s.httpServerPassword = value;
  else if (key == "liveJpegQuality") s.liveJpegQuality = ReadJpegQuality(value);
  // The HTTP server's monitoring routes.
  if (key == "httpMetricsAddress") s.httpMetricsAddress = value;
  if (key == "httpHealthFrameSeconds") s.httpHealthFrameSeconds = ReadHealthFrameSeconds(value);
}

// A whole line of the form: blanks, <add key="K" value="V"/>, blanks (K and V hold no
// double quote). Anything else on the line makes it not count.
bool MatchSettingLine(const std::string& line, std::string& key, std::string& value) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  size_t i = 0;
  while (i < line.size() && isBlank(line[i])) ++i;
  auto expect = [&](const char* literal) {
    size_t n = std::strlen(literal);
    if (line.compare(i, n, literal) != 0) return false;
    i += n;
    return true;
  };
  auto quoted = [&](std::string& out) {
    size_t end = line.find('"', i);
    if (end == std::string::npos) return false;
    out = line.substr(i, end - i);
    i = end + 1;
    return true;
  };
  if (!expect("<add key=\"") || !quoted(key) || !expect(" value=\"") || !quoted(value) ||
      !expect("/>"))
    return false;
  while (i < line.size() && isBlank(line[i])) ++i;
  return i == line.size();
}

const char* Bool(bool value) { return value ? "true" : "false"; }

// Registry values that are plain DWORDs, in table order, with their variables.
struct DwordValue {
  const char* name;
  uint32_t Settings::*number;
  bool Settings::*flag;
};

std::vector<DwordValue> FlagValues() {
  return {
      {"captionShow", nullptr, &Settings::captionShow},
      {"captionShowDimensions", nullptr, &Settings::captionShowDimensions},
      {"captionShowFPS", nullptr, &Settings::captionShowFPS},
      {"captionShowMotion", nullptr, &Settings::captionShowMotion},
      {"captionShowSize", nullptr, &Settings::captionShowSize},
      {"deviceListShow", nullptr, &Settings::deviceListShow},
      {"motionAlertSilent", nullptr, &Settings::motionAlertSilent},
      {"playbackShow", nullptr, &Settings::playbackShow},
  };
}

}  // namespace

std::string SettingsFileText(const Settings& s) {
  std::string text;
  text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  text += "<configuration>\n";
  text += "\t<appSettings>\n";
  auto add = [&](const char* key, const std::string& value) {
    text += "\t\t<add key=\"";
    text += key;
    text += "\" value=\"";
    text += value;
    text += "\"/>\n";
  };
  add("diskFullness", std::to_string(s.diskFullness));
  add("httpServer", Bool(s.httpServer));
  add("httpServerPort", std::to_string(s.httpServerPort));
  add("logClear", Bool(s.logClear));
  add("logProfile", Bool(s.logProfile));
  add("logSizeMaxMB", std::to_string(s.logSizeMax));
  add("pathData", s.pathData);
  add("recordEnable", Bool(s.recordEnable));
  // The server's credentials appear only once set, so an open server's file stays as
  // every installation writes it.
  if (!s.httpServerUser.empty()) add("httpServerUser", s.httpServerUser);
  if (!s.httpServerPassword.empty()) add("httpServerPassword", s.httpServerPassword);
  if (s.liveJpegQuality != kLiveJpegQualityDefault) add("liveJpegQuality", std::to_string(s.liveJpegQuality));
  if (s.logJournalOnly) add("logJournalOnly", Bool(s.logJournalOnly));
  if (!s.httpMetricsAddress.empty()) add("httpMetricsAddress", s.httpMetricsAddress);
  if (s.httpHealthFrameSeconds != kHealthFrameSecondsDefault)
    add("httpHealthFrameSeconds", std::to_string(s.httpHealthFrameSeconds));
  text += "\t</appSettings>\n";
  text += "</configuration>\n";
  return text;
}

void ReadSettingsFile(const std::string& path, Settings& s, std::vector<std::string>* notes) {
  std::string content;
  if (!platform::ReadWholeFile(path, content, 1 << 20)) return;
  std::optional<std::string> diskFullness;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string text = content.substr(start, end - start);
    start = end + 1;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::string key, value;
    if (MatchSettingLine(text, key, value)) ApplySetting(s, key, value, diskFullness);
  }
  if (diskFullness) {
    std::vector<std::string> corrections;
    s.diskFullness = ReadDiskFullness(*diskFullness, corrections);
    if (notes != nullptr) notes->insert(notes->end(), corrections.begin(), corrections.end());
  }
}

bool WriteSettingsFile(const std::string& path, const Settings& s) {
  return platform::WriteFileAtomic(path, SettingsFileText(s));
}

std::string FourccText(uint32_t fcc) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((fcc >> (8 * i)) & 0xFF);
    if (c == '\0') break;
    text += c;
  }
  return text;
}

uint32_t FourccFromText(const std::string& text) {
  uint32_t fcc = 0;
  for (size_t i = 0; i < 4 && i < text.size(); ++i) {
    fcc |= static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << (8 * i);
  }
  return fcc;
}

void ReadRegistry(const std::string& path, Settings& s) {
  platform::RegistryKey key;
  if (!key.load(path)) return;
  auto number = [&](const char* name, uint32_t& target) {
    if (auto v = key.dword(name)) target = *v;
  };
  auto flag = [&](const char* name, bool& target) {
    if (auto v = key.dword(name)) target = *v != 0;
  };
  auto text = [&](const char* name, std::string& target) {
    if (auto v = key.string(name)) {
      // The stored format holds at most 259 characters; a longer value is not used.
      std::string value(v->c_str());
      if (CharacterCount(value) <= kMaxSettingText) target = value;
    }
  };
  number("aviDataRate", s.aviDataRate);
  if (auto v = key.string("aviFCC")) s.aviFCC = FourccFromText(*v);
  number("aviKeyFrame", s.aviKeyFrame);
  number("aviQuality", s.aviQuality);
  if (auto v = key.binary("windowPlacement")) {
    WindowPlacement placement{};
    std::memcpy(&placement, v->data(), std::min(v->size(), sizeof placement));
    if (v->size() != sizeof placement) placement.length = 0;
    s.windowPlacement = placement;
  }
  for (const auto& value : FlagValues()) flag(value.name, s.*(value.flag));
  text("pathPictures", s.pathPictures);
  text("pathVideo", s.pathVideo);
  flag("statusBarShow", s.statusBarShow);
  flag("taskbarIcon", s.taskbarIcon);
  number("viewMode", s.viewMode);
  text("viewName", s.viewName);
  flag("viewStretch", s.viewStretch);
  flag("viewResampleLarge", s.viewResampleLarge);
  flag("viewResampleSmall", s.viewResampleSmall);
  number("viewTarget", s.viewTarget);
  number("deviceListWidth", s.deviceListWidth);
  text("mediaMountRoots", s.mediaMountRoots);
}

bool WriteRegistry(const std::string& path, const Settings& s) {
  platform::RegistryKey key;
  // Keep values this version does not know, so a newer installation's choices survive.
  key.load(path);
  key.setDword("aviDataRate", s.aviDataRate);
  key.setString("aviFCC", FourccText(s.aviFCC));
  key.setDword("aviKeyFrame", s.aviKeyFrame);
  key.setDword("aviQuality", s.aviQuality);
  std::vector<uint8_t> placement(sizeof(WindowPlacement));
  std::memcpy(placement.data(), &s.windowPlacement, placement.size());
  key.setBinary("windowPlacement", placement);
  for (const auto& value : FlagValues()) key.setDword(value.name, s.*(value.flag) ? 1 : 0);
  key.setString("pathPictures", s.pathPictures);
  key.setString("pathVideo", s.pathVideo);
  key.setDword("statusBarShow", s.statusBarShow ? 1 : 0);
  key.setDword("taskbarIcon", s.taskbarIcon ? 1 : 0);
  key.setDword("viewMode", s.viewMode);
  key.setString("viewName", s.viewName);
  key.setDword("viewStretch", s.viewStretch ? 1 : 0);
  key.setDword("viewResampleLarge", s.viewResampleLarge ? 1 : 0);
  key.setDword("viewResampleSmall", s.viewResampleSmall ? 1 : 0);
  key.setDword("viewTarget", s.viewTarget);
  key.setDword("deviceListWidth", s.deviceListWidth);
  return key.save(path);
}

std::vector<std::string> LoadSettings(Settings& s, const std::string& appDataFolder, const std::string& registryPath) {
  std::vector<std::string> notes;
  ReadSettingsFile(appDataFolder + "Velmora NVR.exe.config", s, &notes);
  ReadRegistry(registryPath, s);
  return notes;
}

void SaveSettings(const Settings& s, const std::string& appDataFolder, const std::string& registryPath) {
  WriteSettingsFile(appDataFolder + "Velmora NVR.exe.config", s);
  if (!registryPath.empty()) {
    auto slash = registryPath.rfind('/');
    if (slash != std::string::npos) platform::CreatePrivateFolder(registryPath.substr(0, slash));
    WriteRegistry(registryPath, s);
  }
}

}  // namespace velmora
