#include "control/commands.h"

#include <array>
#include <initializer_list>
#include <optional>

#include "app/settings.h"
#include "app/strings.h"

namespace velmora::control {

namespace {

constexpr std::array<int, 81> kCommandIds = [] {
  std::array<int, 81> ids{};
  std::size_t n = 0;
  for (int id : {kCmdImportDeviceFile, kCmdNewGroup, kCmdRecord, kCmdExit, kCmdCut, kCmdCopy,
                 kCmdPaste, kCmdDelete, kCmdRename, kCmdCaptions, kCmdStatusBar, kCmdDeviceList,
                 kCmdViewStretch})
    ids[n++] = id;
  for (int id = kCmdLayoutFirst; id <= kCmdLayoutLast; ++id) ids[n++] = id;
  for (int id : {kCmdFullScreen, kCmdPlayback, kCmdExport, kCmdZoomIn, kCmdZoomOut,
                 kCmdPreviousFrame, kCmdReversePlay, kCmdPause, kCmdPlay, kCmdNextFrame,
                 kCmdScanNetwork, kCmdOpenLogFile, kCmdOpenRecordingFolder, kCmdOptions,
                 kCmdHelpContents, kCmdAbout, kCmdTrayRestore, kCmdTrayExit, kCmdView,
                 kCmdPlayFolder, kCmdRefresh, kCmdRecording, kCmdEnabled, kCmdAddCamera,
                 kCmdSort, kCmdProperties})
    ids[n++] = id;
  for (int id = kCmdTemplateFirst; id <= kCmdTemplateLast; ++id) ids[n++] = id;
  for (int id = kCmdGenericFirst; id <= kCmdGenericLast; ++id) ids[n++] = id;
  for (int id : {kCmdCopyImage, kCmdSendImage, kCmdSaveJpeg, kCmdPlayRecorded,
                 kCmdConfigurePage, kCmdTelnet, kCmdMainPage, kCmdTrustCertificate})
    ids[n++] = id;
  if (n != ids.size()) throw "the command list and its size disagree";  // fails the build
  return ids;
}();

bool KindIn(const GroupRecord* record, std::initializer_list<int32_t> kinds) {
  if (record == nullptr) return false;
  for (int32_t kind : kinds) {
    if (record->kind == kind) return true;
  }
  return false;
}

// Removable media and leftover recordings (-8 .. -3) keep the names their scans gave.
bool IsScannedKind(int32_t kind) {
  return kind >= EntryKind::RemovableDrive && kind <= EntryKind::OldRecordingsFolder;
}

CommandState Enabled(bool enabled) { return CommandState{enabled, false}; }
CommandState Checked(bool checked) { return CommandState{true, checked}; }

}  // namespace

std::span<const int> CommandIds() { return kCommandIds; }

namespace {

// Each group's rules: the command's state, or nullopt when it is not one of the group's.

// The program's own commands, always available, and the window's switches.
std::optional<CommandState> ProgramCommandState(int id, const CommandContext& c) {
  switch (id) {
    case kCmdImportDeviceFile:
    case kCmdNewGroup:
    case kCmdExit:
    case kCmdScanNetwork:
    case kCmdOpenLogFile:
    case kCmdOpenRecordingFolder:
    case kCmdOptions:
    case kCmdHelpContents:
    case kCmdAbout:
    case kCmdTrayRestore:
    case kCmdTrayExit:
    case kCmdSort:
      return Enabled(true);

    case kCmdRecord: return Checked(c.recordEnable);
    case kCmdCaptions: return Checked(c.captionShow);
    case kCmdViewStretch: return Checked(c.viewStretch);
    case kCmdStatusBar: return Checked(c.statusBarVisible);
    case kCmdDeviceList: return Checked(c.deviceListVisible);
    case kCmdFullScreen: return Checked(c.fullScreen);
    default: return std::nullopt;
  }
}

// Editing the tree: cut, copy, paste, delete, rename; not while a playback runs, except
// what leaves the tree as it is.
std::optional<CommandState> EditCommandState(int id, const CommandContext& c) {
  using namespace EntryKind;
  const GroupRecord* s = c.selected;
  const bool playback = c.playbackMode;
  switch (id) {
    case kCmdCut: return Enabled(!playback && KindIn(s, {Device, ServerDevice, HTTPDevice, NASDevice}));
    case kCmdCopy: return Enabled(KindIn(s, {Device, ServerDevice, HTTPDevice, NASDevice}));
    case kCmdPaste:
      return Enabled(c.clipboardHasDevice &&
                     KindIn(s, {Group, Device, ServerDevice, HTTPDevice, NASDevice, ServerCamera}));
    case kCmdDelete:
      return Enabled(!c.editingLabel && !playback && s != nullptr &&
                     !KindIn(s, {RemovableDrive, RemovableEntry, RemovableFolder, LocalNVR}));
    case kCmdRename:
      return Enabled(s != nullptr &&
                     (s->kind == LocalNVR || (!playback && !IsScannedKind(s->kind))));
    default: return std::nullopt;
  }
}

// Playback starts and ends with 10050; the others act on a running playback only.
std::optional<CommandState> PlaybackCommandState(int id, const CommandContext& c) {
  const bool playback = c.playbackMode;
  switch (id) {
    case kCmdPlayback: return Checked(playback);
    // Zooming in needs pictures enough to spread over a narrower range; zooming out
    // needs a range narrower than all the material.
    case kCmdZoomIn: return Enabled(playback && c.playbackEnoughPictures);
    case kCmdZoomOut: return Enabled(playback && c.playbackCanZoomOut);
    case kCmdExport:
    case kCmdPreviousFrame:
    case kCmdReversePlay:
    case kCmdPause:
    case kCmdPlay:
    case kCmdNextFrame:
      return Enabled(playback);
    default: return std::nullopt;
  }
}

// The commands on the selected entry: by its kind and its state.
std::optional<CommandState> EntryCommandState(int id, const CommandContext& c) {
  using namespace EntryKind;
  const GroupRecord* s = c.selected;
  const bool playback = c.playbackMode;
  switch (id) {
    case kCmdView:
    case kCmdRefresh:
      return Enabled(s != nullptr);
    case kCmdPlayFolder:
      return Enabled(!playback && KindIn(s, {OldRecordingsFolder, RemovableFolder}));
    case kCmdRecording:
      return CommandState{KindIn(s, {ServerCamera, Device, HTTPDevice}), s != nullptr && s->recording};
    case kCmdEnabled:
      return CommandState{!playback && KindIn(s, {ServerCamera, Device, HTTPDevice, NASDevice}),
                          s != nullptr && s->enabled};
    case kCmdAddCamera:
      return Enabled(!playback && KindIn(s, {ServerDevice}) && FirstFreeCameraIndex(s) >= 0);
    case kCmdProperties:
      return Enabled(KindIn(s, {ServerDevice, ServerCamera, Device, HTTPDevice, NASDevice}));
    case kCmdTrustCertificate:
      return Enabled(c.selectedCertificateChanged && KindIn(s, {Device, ServerCamera, HTTPDevice}));
    default: return std::nullopt;
  }
}

// The commands on the selected tile's image and on the device's own pages.
std::optional<CommandState> ImageCommandState(int id, const CommandContext& c) {
  using namespace EntryKind;
  const GroupRecord* s = c.selected;
  switch (id) {
    case kCmdCopyImage: return Enabled(s != nullptr && c.selectedTileHasImage);
    case kCmdSaveJpeg:
    case kCmdSendImage:
      return Enabled(s != nullptr && c.selectedTileHasJpeg);
    case kCmdPlayRecorded: return Enabled(s != nullptr && !s->stillShown && !c.playbackMode);
    case kCmdConfigurePage:
    case kCmdMainPage:
    case kCmdTelnet:
      return Enabled(KindIn(s, {Device, ServerCamera}));
    default: return std::nullopt;
  }
}

}  // namespace

CommandState EvaluateCommand(int id, const CommandContext& c) {
  if (id >= kCmdLayoutFirst && id <= kCmdLayoutLast) return Checked(c.layout == id - kCmdLayoutFirst);
  if (IsTemplateCommand(id)) return Enabled(true);
  for (auto rules : {ProgramCommandState, EditCommandState, PlaybackCommandState, EntryCommandState,
                     ImageCommandState}) {
    if (const std::optional<CommandState> state = rules(id, c)) return *state;
  }
  return Enabled(false);
}

const char* CommandOwnText(int id) {
  if (id == kCmdTrustCertificate) return "Trust New Certificate";
  // The generic cameras' texts follow each other in the string table.
  if (id >= kCmdGenericFirst && id <= kCmdGenericLast) return StringText(kStrCameraHttp + id - kCmdGenericFirst).c_str();
  return "";
}

bool CommandBuilt(int id) {
  for (int known : kCommandIds) {
    if (known == id) return true;
  }
  return false;
}

}  // namespace velmora::control
