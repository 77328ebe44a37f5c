// The window's small settings surface without widgets: what the Options dialog edits and
// what applying it changes (in the order it is applied), the start-at-login entry, and
// the rules of sharing a tile's image and opening a device's pages: the save-as naming,
// the page URLs, and the argument lists handed to external programs (every program is
// started with a list, never through a shell, so names and URLs from the tree stay one
// argument each).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "playback/export_writer.h"

namespace velmora::control {

// ---------------------------------------------------------------------------------------
// Options

// The values the Options dialog shows and edits. runAtStartup is not a setting: it is
// whether the start-at-login entry existed when the window was created (or was last
// changed by the dialog).
struct OptionValues {
  bool viewStretch = true;
  bool viewResampleSmall = true;
  bool viewResampleLarge = true;
  bool captionShow = true;
  bool captionShowFPS = true;
  bool captionShowSize = true;
  bool captionShowDimensions = false;
  bool captionShowMotion = false;
  bool motionAlertSilent = false;
  bool taskbarIcon = false;
  bool runAtStartup = false;
  bool playbackShow = false;
  int diskFullness = kDiskFullnessDefault;

  friend bool operator==(const OptionValues&, const OptionValues&) = default;
};

OptionValues OptionsFromSettings(const Settings& s, bool runAtStartup);

// What the window does after the new values are stored, in this order.
enum class OptionEffect {
  kRepaintViewsErasing,  // the scaling options changed
  kRepaintViews,         // the caption was switched on or off
  kTrayIconOn,
  kTrayIconOff,
  kCreateStartupEntry,
  kDeleteStartupEntry,
  kUpdatePlaybackPane,   // shown in playback mode or when playbackShow is on; relayout
  kSaveSettings,         // always last
};

// Writes the dialog's values into `s` in the apply order (scaling options together, the
// caption details and the silent alert, captionShow, taskbarIcon, diskFullness,
// playbackShow) and returns what the window must do, in order. A setting that did not
// change is still written where the apply order writes it unconditionally; its effect
// only happens on a change. The settings are always saved.
std::vector<OptionEffect> ApplyOptions(const OptionValues& before, const OptionValues& after, Settings& s);

// The capacity box's text: the number when it is a whole number within
// kDiskFullnessMin..kDiskFullnessMax, otherwise nothing (the caller shows
// DiskFullnessRangeMessage and keeps the dialog open).
std::optional<int> ParseDiskFullness(const std::string& text);
std::string DiskFullnessRangeMessage();

// ---------------------------------------------------------------------------------------
// Start at login: an XDG autostart entry.

// $XDG_CONFIG_HOME/autostart/velmora-nvr.desktop, with ~/.config when XDG_CONFIG_HOME is
// unset or not absolute; empty when neither it nor HOME gives a folder. Logs
// "GetStartupShortcut: [path]".
std::string StartupEntryPath();
// The entry's text for the program at `programPath`: a desktop entry of type Application
// whose Exec line quotes the path as the desktop-entry rules want.
std::string StartupEntryText(const std::string& programPath);
// Writes the entry (creating the autostart folder); false with a log line on failure.
bool CreateStartupEntry(const std::string& entryPath, const std::string& programPath);
// Deletes it; a missing entry or a failure is ignored.
void DeleteStartupEntry(const std::string& entryPath);
bool StartupEntryExists(const std::string& entryPath);

// ---------------------------------------------------------------------------------------
// Help

// Where the manual may lie, best first: next to an installed program
// (<prefix>/share/doc/velmora-nvr/manual/index.html for <prefix>/bin), then in the
// source tree's res folder. The caller opens the first that exists.
std::vector<std::string> ManualCandidates(const std::string& programFolder, const std::string& resFolder);

// ---------------------------------------------------------------------------------------
// Save this image as JPEG: the proposed name is pathPictures + base + counter, starting
// at "image1"; each save (or failed creation) advances it from the chosen name: "cam"
// proposes "cam2" next, "door12" proposes "door13".
class PictureNaming {
 public:
  std::string Proposal(const std::string& pathPictures) const;
  void Advance(const std::string& chosenPath);

 private:
  ExportNaming naming_;  // the same rule as the video export's names
  bool advanced_ = false;
};

// The folder of a chosen file with its trailing "/" (the new pathPictures).
std::string FolderOf(const std::string& path);

// ---------------------------------------------------------------------------------------
// Device pages and telnet

struct UrlParts {
  std::string scheme;  // lower case
  std::string host;
  int port = 0;        // as written; 0 when none
};
// Splits a device URL; nothing when it has no host or cannot be split.
std::optional<UrlParts> SplitDeviceUrl(const std::string& url);

struct DevicePages {
  std::string configure;  // http://host[:port]/admin.cgi[?image&N]
  std::string main;       // http://host[:port]/
};
// The pages of a device from its DeviceUrl: the port appears when the scheme is http and
// the port is neither 0 nor 80; a camera of a video server (kind -2) with a camera index
// of 0 or more gets "?image&" and the index on its configuration page. Nothing for a URL
// that cannot be split or a "file" URL.
std::optional<DevicePages> DevicePageUrls(const std::string& deviceUrl, int32_t kind, int32_t cameraIndex);

// The program and arguments that run `telnet host` in a terminal emulator. The terminal
// is the TERMINAL variable when set (a program name or path), else x-terminal-emulator;
// `findProgram` resolves a name on PATH (empty when missing). Nothing when no terminal
// is found. gnome-terminal takes the command after "--", xfce4-terminal after "-x",
// every other terminal after "-e" as xterm does.
struct ProgramCall {
  std::string program;
  std::vector<std::string> arguments;
};
template <class Find>
std::optional<ProgramCall> TelnetCall(const std::string& host, const char* terminalVariable, Find&& findProgram);
std::vector<std::string> TerminalArguments(const std::string& terminalProgram, const std::vector<std::string>& command);

// ---------------------------------------------------------------------------------------
// Send Image through xdg-email

// "Device: %s\nDate: %s\n" with the device text and the local date in the locale's "%c".
std::string MailBody(const std::string& deviceText, std::time_t when);
// --subject, --body and --attach with the file: the mail client's own window asks for
// the recipients.
std::vector<std::string> MailArguments(const std::string& deviceText, const std::string& body,
                                       const std::string& attachment);
// The text of an exit status of the desktop's helpers (xdg-email, xdg-open) for the log.
std::string XdgResultText(int exitStatus);
// What the window tells the operator when the desktop could not open `path`: string 807
// naming it, and the reason on the next line.
std::string OpenFailedText(const std::string& path, const std::string& reason);
// The reason of an xdg-open that ended with a non-zero status: string 808 with the status
// and the meaning xdg-open gives it.
std::string XdgFailureReason(int exitStatus);

// ---------------------------------------------------------------------------------------

template <class Find>
std::optional<ProgramCall> TelnetCall(const std::string& host, const char* terminalVariable, Find&& findProgram) {
  std::string terminal;
  if (terminalVariable != nullptr && *terminalVariable != '\0') terminal = findProgram(std::string(terminalVariable));
  if (terminal.empty()) terminal = findProgram(std::string("x-terminal-emulator"));
  if (terminal.empty()) return std::nullopt;
  return ProgramCall{terminal, TerminalArguments(terminal, {"telnet", host})};
}

}  // namespace velmora::control
