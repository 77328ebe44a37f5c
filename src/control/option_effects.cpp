#include "control/option_effects.h"


#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/helpers.h"
#include "app/log.h"
#include "app/strings.h"
#include "platform/curl.h"
#include "platform/files.h"

namespace velmora::control {

namespace {

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One argument of a desktop entry's Exec line: quoted when it holds a reserved
// character, with the characters the quoting rules name escaped; then the backslashes
// escaped once more because the value is a desktop-entry string.
std::string ExecArgument(const std::string& argument) {
  static constexpr const char* kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string quoted;
  if (argument.find_first_of(kReserved) == std::string::npos && !argument.empty() &&
      argument.find('=') == std::string::npos) {
    quoted = argument;
  } else {
    quoted = "\"";
    for (char c : argument) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += "\"";
  }
  std::string escaped;
  for (char c : quoted) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  // A percent sign is a field code in Exec lines.
  std::string result;
  for (char c : escaped) {
    if (c == '%') result += '%';
    result += c;
  }
  return result;
}

}  // namespace

OptionValues OptionsFromSettings(const Settings& s, bool runAtStartup) {
  OptionValues v;
  v.viewStretch = s.viewStretch;
  v.viewResampleSmall = s.viewResampleSmall;
  v.viewResampleLarge = s.viewResampleLarge;
  v.captionShow = s.captionShow;
  v.captionShowFPS = s.captionShowFPS;
  v.captionShowSize = s.captionShowSize;
  v.captionShowDimensions = s.captionShowDimensions;
  v.captionShowMotion = s.captionShowMotion;
  v.motionAlertSilent = s.motionAlertSilent;
  v.taskbarIcon = s.taskbarIcon;
  v.runAtStartup = runAtStartup;
  v.playbackShow = s.playbackShow;
  v.diskFullness = s.diskFullness;
  return v;
}

std::vector<OptionEffect> ApplyOptions(const OptionValues& before, const OptionValues& after, Settings& s) {
  std::vector<OptionEffect> effects;
  if (before.viewStretch != after.viewStretch || before.viewResampleSmall != after.viewResampleSmall ||
      before.viewResampleLarge != after.viewResampleLarge) {
    s.viewStretch = after.viewStretch;
    s.viewResampleSmall = after.viewResampleSmall;
    s.viewResampleLarge = after.viewResampleLarge;
    effects.push_back(OptionEffect::kRepaintViewsErasing);
  }
  s.captionShowDimensions = after.captionShowDimensions;
  s.captionShowFPS = after.captionShowFPS;
  s.captionShowMotion = after.captionShowMotion;
  s.captionShowSize = after.captionShowSize;
  s.motionAlertSilent = after.motionAlertSilent;
  if (before.captionShow != after.captionShow) {
    s.captionShow = after.captionShow;
    effects.push_back(OptionEffect::kRepaintViews);
  }
  if (before.taskbarIcon != after.taskbarIcon) {
    s.taskbarIcon = after.taskbarIcon;
    effects.push_back(after.taskbarIcon ? OptionEffect::kTrayIconOn : OptionEffect::kTrayIconOff);
  }
  if (before.runAtStartup != after.runAtStartup)
    effects.push_back(after.runAtStartup ? OptionEffect::kCreateStartupEntry : OptionEffect::kDeleteStartupEntry);
  s.diskFullness = after.diskFullness;
  if (before.playbackShow != after.playbackShow) {
    s.playbackShow = after.playbackShow;
    effects.push_back(OptionEffect::kUpdatePlaybackPane);
  }
  effects.push_back(OptionEffect::kSaveSettings);
  return effects;
}

std::optional<int> ParseDiskFullness(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  if (begin == end || end - begin > 3) return std::nullopt;  // 4..95 never needs more
  int value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  if (value < kDiskFullnessMin || value > kDiskFullnessMax) return std::nullopt;
  return value;
}

std::string DiskFullnessRangeMessage() {
  return "Please enter an integer between " + std::to_string(kDiskFullnessMin) + " and " +
         std::to_string(kDiskFullnessMax) + ".";
}

std::string StartupEntryPath() {
  std::string config;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    config = std::string(home) + "/.config";
  }
  if (config.empty()) return std::string();
  while (config.size() > 1 && config.back() == '/') config.pop_back();
  const std::string path = config + "/autostart/velmora-nvr.desktop";
  Log("%s: [%s]", "GetStartupShortcut", path.c_str());
  return path;
}

std::string StartupEntryText(const std::string& programPath) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Velmora NVR\n"
         "Comment=Velmora NVR\n"
         "Exec=" + ExecArgument(programPath) + "\n"
         "Icon=velmora-nvr\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool CreateStartupEntry(const std::string& entryPath, const std::string& programPath) {
  const char* where = "CMainFrame::SetRunStartup";
  if (entryPath.empty()) {
    Log("%s: no configuration folder for the autostart entry", where);
    return false;
  }
  Log("%s: szApp=[%s]", where, programPath.c_str());
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(entryPath).parent_path(), ec);
  if (ec) {
    Log("%s: cannot create the autostart folder (%s)", where, ec.message().c_str());
    return false;
  }
  if (!platform::WriteFileAtomic(entryPath, StartupEntryText(programPath))) {
    Log("%s: cannot write [%s] (%s)", where, entryPath.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void DeleteStartupEntry(const std::string& entryPath) {
  if (entryPath.empty()) return;
  std::error_code ec;
  std::filesystem::remove(entryPath, ec);
}

bool StartupEntryExists(const std::string& entryPath) {
  std::error_code ec;
  return !entryPath.empty() && std::filesystem::is_regular_file(entryPath, ec);
}

std::vector<std::string> ManualCandidates(const std::string& programFolder, const std::string& resFolder) {
  std::vector<std::string> candidates;
  if (!programFolder.empty()) {
    std::filesystem::path prefix = std::filesystem::path(programFolder).lexically_normal();
    if (!prefix.has_filename()) prefix = prefix.parent_path();
    candidates.push_back((prefix.parent_path() / "share/doc/velmora-nvr/manual/index.html").string());
  }
  if (!resFolder.empty()) candidates.push_back((std::filesystem::path(resFolder) / "manual/index.html").string());
  return candidates;
}

std::string PictureNaming::Proposal(const std::string& pathPictures) const {
  return advanced_ ? naming_.Proposal(pathPictures) : pathPictures + "image1";
}

void PictureNaming::Advance(const std::string& chosenPath) {
  naming_.Advance(chosenPath);
  advanced_ = true;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::optional<UrlParts> SplitDeviceUrl(const std::string& url) {
  if (url.empty()) return std::nullopt;
  const platform::CurlUrl parsed = platform::ParseUrl(url, CURLU_NON_SUPPORT_SCHEME);
  if (!parsed) return std::nullopt;
  UrlParts parts;
  if (!platform::UrlPart(parsed.get(), CURLUPART_SCHEME, 0, parts.scheme)) return std::nullopt;
  parts.scheme = AsciiLower(parts.scheme);
  if (parts.scheme == "file") return parts;  // no host needed; opens nothing anyway
  if (!platform::UrlPart(parsed.get(), CURLUPART_HOST, 0, parts.host) || parts.host.empty()) return std::nullopt;
  std::string port;
  if (platform::UrlPart(parsed.get(), CURLUPART_PORT, 0, port)) parts.port = std::atoi(port.c_str());
  return parts;
}

std::optional<DevicePages> DevicePageUrls(const std::string& deviceUrl, int32_t kind, int32_t cameraIndex) {
  const std::optional<UrlParts> parts = SplitDeviceUrl(deviceUrl);
  if (!parts || parts->scheme == "file") return std::nullopt;
  std::string suffix;
  if (parts->scheme == "http" && parts->port != 0 && parts->port != 80) suffix = ":" + std::to_string(parts->port);
  DevicePages pages;
  pages.configure = "http://" + parts->host + suffix + "/admin.cgi";
  if (kind == -2 && cameraIndex >= 0) pages.configure += "?image&" + std::to_string(cameraIndex);
  pages.main = "http://" + parts->host + suffix + "/";
  return pages;
}

std::vector<std::string> TerminalArguments(const std::string& terminalProgram, const std::vector<std::string>& command) {
  const std::string name = BaseName(terminalProgram);
  std::vector<std::string> args;
  if (name == "gnome-terminal" || name == "kgx" || name == "ptyxis") {
    args.push_back("--");
  } else if (name == "xfce4-terminal") {
    args.push_back("-x");
  } else {
    args.push_back("-e");
  }
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

std::string MailBody(const std::string& deviceText, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char date[128] = {};
  if (std::strftime(date, sizeof date, "%c", &local) == 0) date[0] = '\0';
  return "Device: " + deviceText + "\nDate: " + date + "\n";
}

std::vector<std::string> MailArguments(const std::string& deviceText, const std::string& body,
                                       const std::string& attachment) {
  return {"--subject", deviceText, "--body", body, "--attach", attachment};
}

std::string XdgResultText(int exitStatus) {
  switch (exitStatus) {
    case 0: return "Success.";
    case 1: return "Error in command line syntax.";
    case 2: return "One of the files passed on the command line did not exist.";
    case 3: return "A required tool could not be found.";
    case 4: return "The action failed.";
    case 5: return "No permission to read one of the files passed on the command line.";
    default: return "Unknown error.";
  }
}

std::string OpenFailedText(const std::string& path, const std::string& reason) {
  return FormatString(807, path) + "\n" + reason;
}

std::string XdgFailureReason(int exitStatus) { return FormatString(808, exitStatus) + " " + XdgResultText(exitStatus); }

}  // namespace velmora::control
