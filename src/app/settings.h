// The program's settings: the settings file of the recording service and the registry
// stand-in of the user interface. The Core owns the program's one Settings and hands it
// to the parts that read it (program/core.h); read once at start, written at exit and
// after each change. Written on the main thread only; workers read single words.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// The main window's placement record, kept byte for byte as the 44-byte layout:
// length, flags, show command, min position, max position, normal rectangle.
struct WindowPlacement {
  uint32_t length = 0;  // 44 when valid
  uint32_t flags = 0;
  uint32_t showCmd = 0;
  int32_t minX = 0, minY = 0;
  int32_t maxX = 0, maxY = 0;
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};
static_assert(sizeof(WindowPlacement) == 44, "placement record is 44 bytes");

// The range of diskFullness the Options dialog offers, and its default.
constexpr int kDiskFullnessMin = 4;
constexpr int kDiskFullnessMax = 95;
constexpr int kDiskFullnessDefault = 75;
// JPEG quality of pictures made from video cameras, unless the settings name another.
constexpr int kLiveJpegQualityDefault = 80;
// Seconds without a frame after which a recording device makes the server's health
// answer fail, unless the settings name another.
constexpr int kHealthFrameSecondsDefault = 60;

struct Settings {
  // Settings file ("Velmora NVR.exe.config").
  int diskFullness = kDiskFullnessDefault;  // percent, kDiskFullnessMin..kDiskFullnessMax
  bool httpServer = false;
  int httpServerPort = 80;
  bool logClear = false;
  bool logProfile = false;
  // Under a service manager the log lines go to the journal; true: to the journal only,
  // not to the log file. Written only when true.
  bool logJournalOnly = false;
  unsigned logSizeMax = 2;  // megabytes; written as logSizeMaxMB
  std::string pathData;     // UTF-8, at most 259 characters
  bool recordEnable = true;
  std::string httpServerUser;      // empty = the server is open
  std::string httpServerPassword;
  // The one client address (an IP address) that may read the HTTP server's /metrics
  // without the login; empty: none. Written only when set.
  std::string httpMetricsAddress;
  // The HTTP server's /healthz reports a recording device that delivered no frame for
  // this many seconds (at least 1); written only when it differs from the default.
  int httpHealthFrameSeconds = kHealthFrameSecondsDefault;
  // JPEG quality (1..100) of the pictures made from H.264 and H.265 cameras; written
  // only when it differs from the default.
  int liveJpegQuality = kLiveJpegQualityDefault;

  // Registry values, in the order they are read and written.
  uint32_t aviDataRate = 300;
  uint32_t aviFCC = 0;  // four code characters, first in the lowest byte; 0 = none
  uint32_t aviKeyFrame = 15;
  uint32_t aviQuality = 0xFFFFFFFFu;
  WindowPlacement windowPlacement;
  bool captionShow = true;
  bool captionShowDimensions = false;
  bool captionShowFPS = true;
  bool captionShowMotion = false;
  bool captionShowSize = true;
  bool deviceListShow = true;
  bool motionAlertSilent = false;
  bool playbackShow = false;
  std::string pathPictures;
  std::string pathVideo;
  bool statusBarShow = true;
  bool taskbarIcon = false;
  uint32_t viewMode = 7;
  std::string viewName;
  bool viewStretch = true;
  bool viewResampleLarge = true;
  bool viewResampleSmall = true;
  uint32_t viewTarget = 0;
  // Width in pixels of the Device List beside the views (0: the default width).
  uint32_t deviceListWidth = 0;
  // Mount points (or folders above them) whose drives are listed as removable media
  // besides those under /media and /run/media, separated by ';'. Only read: the value
  // is set by hand in the registry file and kept there by the writer.
  std::string mediaMountRoots;
};

// Longest path or name value kept (the 260-character buffers of the stored format,
// less the terminator). Longer values are cut at a character boundary.
constexpr std::size_t kMaxSettingText = 259;

// Reads the settings file, then the registry file, over the values of `s`. Missing or
// unreadable files keep the defaults; bad lines are skipped. Writes no log lines (the
// log may not be open yet): returns its notes about values it corrected, one line each.
std::vector<std::string> LoadSettings(Settings& s, const std::string& appDataFolder, const std::string& registryPath);
// Writes the settings file, then the registry file, each through a temporary file
// and a rename. Failures keep the in-memory values and the old files.
void SaveSettings(const Settings& s, const std::string& appDataFolder, const std::string& registryPath);

// The two stores on their own (tests and tools).
// A diskFullness without a number or below kDiskFullnessMin reads as the default, one
// above kDiskFullnessMax as kDiskFullnessMax; each correction adds a line to `notes`.
void ReadSettingsFile(const std::string& path, Settings& s,
                      std::vector<std::string>* notes = nullptr);
bool WriteSettingsFile(const std::string& path, const Settings& s);
std::string SettingsFileText(const Settings& s);
void ReadRegistry(const std::string& path, Settings& s);
bool WriteRegistry(const std::string& path, const Settings& s);

// The aviFCC value as its (up to) four characters, and back.
std::string FourccText(uint32_t fcc);
uint32_t FourccFromText(const std::string& text);

}  // namespace velmora
