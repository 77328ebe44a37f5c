#include "control/commands.h"

#include <array>
#include <initializer_list>

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

CommandState EvaluateCommand(int id, const CommandContext& c) {
  const GroupRecord* s = c.selected;
  const bool playback = c.playbackMode;
  using namespace EntryKind;

  if (id >= kCmdLayoutFirst && id <= kCmdLayoutLast) return Checked(c.layout == id - kCmdLayoutFirst);
  if (IsTemplateCommand(id)) return Enabled(true);

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

    case kCmdRecord: return Checked(settings().recordEnable);
    case kCmdCaptions: return Checked(settings().captionShow);
    case kCmdViewStretch: return Checked(settings().viewStretch);
    case kCmdStatusBar: return Checked(c.statusBarVisible);
    case kCmdDeviceList: return Checked(c.deviceListVisible);
    case kCmdFullScreen: return Checked(c.fullScreen);

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

    // Playback starts and ends with 10050; the others act on a running playback only.
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

    case kCmdCopyImage: return Enabled(s != nullptr && c.selectedTileHasImage);
    case kCmdSaveJpeg:
    case kCmdSendImage:
      return Enabled(s != nullptr && c.selectedTileHasJpeg);
    case kCmdPlayRecorded: return Enabled(s != nullptr && !s->stillShown && !playback);
    case kCmdConfigurePage:
    case kCmdMainPage:
    case kCmdTelnet:
      return Enabled(KindIn(s, {Device, ServerCamera}));
    case kCmdTrustCertificate:
      return Enabled(c.selectedCertificateChanged && KindIn(s, {Device, ServerCamera, HTTPDevice}));

    default:
      return Enabled(false);
  }
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
