// The window's commands: their resource ids, and when each one is enabled and checked.
// The rules read the selected tree entry, the window's modes and the settings; they hold
// no widgets, so the window asks them whenever a menu opens or a toolbar is updated.
#pragma once

#include <span>

#include "model/group_record.h"

namespace velmora::control {

// File menu.
constexpr int kCmdImportDeviceFile = 10064;
constexpr int kCmdNewGroup = 10001;  // also "&Add Group" in the tree's menu
constexpr int kCmdRecord = 10059;    // recording on or off for the whole program
constexpr int kCmdExit = 236;
// Edit menu.
constexpr int kCmdCut = 57635;
constexpr int kCmdCopy = 57634;
constexpr int kCmdPaste = 57637;
constexpr int kCmdDelete = 57632;
constexpr int kCmdRename = 10000;
// View menu.
constexpr int kCmdCaptions = 10016;
constexpr int kCmdStatusBar = 59393;
constexpr int kCmdDeviceList = 10060;
constexpr int kCmdViewStretch = 10061;  // accelerator only
constexpr int kCmdLayoutFirst = 10026;  // "Multi-View"; layout index = id - kCmdLayoutFirst
constexpr int kCmdLayoutLast = 10042;   // "10x10"
constexpr int kCmdFullScreen = 10017;
// Play menu and the playback toolbar.
constexpr int kCmdPlayback = 10050;
constexpr int kCmdExport = 10051;
constexpr int kCmdZoomIn = 10052;
constexpr int kCmdZoomOut = 10053;
constexpr int kCmdPreviousFrame = 10054;
constexpr int kCmdReversePlay = 10055;
constexpr int kCmdPause = 10056;
constexpr int kCmdPlay = 10057;
constexpr int kCmdNextFrame = 10058;
// Tools and Help menus.
constexpr int kCmdScanNetwork = 240;
constexpr int kCmdOpenLogFile = 10062;
constexpr int kCmdOpenRecordingFolder = 10063;
constexpr int kCmdOptions = 237;
constexpr int kCmdHelpContents = 238;
constexpr int kCmdAbout = 239;
// Tray menu.
constexpr int kCmdTrayRestore = 233;
constexpr int kCmdTrayExit = 234;
// Device tree and view-tile context menus.
constexpr int kCmdView = 10011;        // show the selected entry in the views
constexpr int kCmdPlayFolder = 10008;  // the same for a folder of recordings
constexpr int kCmdRefresh = 10012;
constexpr int kCmdRecording = 10013;
constexpr int kCmdEnabled = 10014;
constexpr int kCmdAddCamera = 10010;
constexpr int kCmdSort = 10006;
constexpr int kCmdProperties = 10015;
constexpr int kCmdTemplateFirst = 20000;  // the named device templates
constexpr int kCmdTemplateLast = 20013;
// Generic cameras of any maker, offered beside the named templates in "Add Camera...":
// a JPEG or MJPEG address over HTTP, an RTSP address (H.264 / H.265), an HTTPS address.
constexpr int kCmdCameraHttp = 20100;
constexpr int kCmdCameraRtsp = 20101;
constexpr int kCmdCameraHttps = 20102;
constexpr int kCmdGenericFirst = kCmdCameraHttp;
constexpr int kCmdGenericLast = kCmdCameraHttps;
// Their texts (in command order), and the title of the popup that offers them.
constexpr int kStrAddCameraMenu = 800;
constexpr int kStrCameraHttp = 801;
constexpr int kCmdCopyImage = 10024;
constexpr int kCmdSendImage = 10025;
constexpr int kCmdSaveJpeg = 10018;
constexpr int kCmdPlayRecorded = 10019;
constexpr int kCmdConfigurePage = 10020;
constexpr int kCmdMainPage = 10021;
constexpr int kCmdTelnet = 10022;
// Device tree menu of an HTTPS device: forget the kept certificate so the next
// connection keeps the one the camera now shows.
constexpr int kCmdTrustCertificate = 10070;

// What the rules look at besides the settings. The window fills it from its state each
// time it asks.
struct CommandContext {
  const GroupRecord* selected = nullptr;  // the tree's selected entry
  bool playbackMode = false;
  bool editingLabel = false;        // a tree label is being edited in place
  bool clipboardHasDevice = false;  // the clipboard holds a copied device
  bool fullScreen = false;
  bool statusBarVisible = true;
  bool deviceListVisible = true;
  // The window's switches as the settings hold them: recording, captions, stretched views.
  bool recordEnable = true;
  bool captionShow = true;
  bool viewStretch = true;
  int layout = 0;                   // the view frame's current layout index
  bool selectedTileHasImage = false;  // the selected entry's view tile holds an image
  bool selectedTileHasJpeg = false;   // ... and the JPEG bytes of that image
  bool selectedCertificateChanged = false;  // the selected device refused a changed certificate
  // The loaded playback feed holds at least 20 pictures (zooming in makes sense), and it
  // shows less than all the recorded material (zooming out does).
  bool playbackEnoughPictures = false;
  bool playbackCanZoomOut = false;
};

struct CommandState {
  bool enabled = true;
  bool checked = false;
};

// A device template: a named one or a generic camera.
inline bool IsTemplateCommand(int id) {
  return (id >= kCmdTemplateFirst && id <= kCmdTemplateLast) || (id >= kCmdGenericFirst && id <= kCmdGenericLast);
}

// Every command id the rules know, in menu order (layouts and templates one by one).
std::span<const int> CommandIds();

// The enabled and checked state of a command. An id the rules do not know is disabled.
CommandState EvaluateCommand(int commandId, const CommandContext& context);

// Whether the window can carry the command out yet. Commands whose work belongs to a
// part of the window still to come are false; the window shows them disabled, with a
// tooltip saying so, whatever EvaluateCommand says.
bool CommandBuilt(int commandId);

// The menu text of a command the string table has no text for ("" for the others).
const char* CommandOwnText(int commandId);

}  // namespace velmora::control
