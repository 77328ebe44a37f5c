// Command enabling rules: what each kind of tree entry allows, in and out of playback,
// and the checked states that follow the settings and the window's modes.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/settings.h"
#include "control/commands.h"
#include "model/group_record.h"

namespace velmora::control {
namespace {

class CommandsTest : public ::testing::Test {
 protected:
  // A standalone entry of `kind`, enabled, recording and without a still.
  static std::shared_ptr<GroupRecord> Entry(int32_t kind) {
    auto record = CreateRecord(kind, "entry");
    record->enabled = true;
    record->recording = true;
    return record;
  }

  // The selection-dependent commands, in the column order of the tables below.
  static std::string Row(const CommandContext& c) {
    static const int columns[] = {kCmdCut,      kCmdCopy,        kCmdPaste,   kCmdDelete,
                                  kCmdRename,   kCmdView,        kCmdPlayFolder, kCmdRefresh,
                                  kCmdRecording, kCmdEnabled,    kCmdAddCamera, kCmdProperties,
                                  kCmdPlayRecorded, kCmdTelnet,  kCmdConfigurePage, kCmdMainPage};
    std::string row;
    for (int id : columns) row += EvaluateCommand(id, c).enabled ? 'x' : '.';
    return row;
  }
};

// Columns: Cut Copy Paste Delete Rename View Play Refresh Recording Enabled AddCamera
// Properties PlayRecorded Telnet ConfigurePage MainPage.
TEST_F(CommandsTest, EachKindAllowsItsCommandsAndPlaybackTakesSomeAway) {
  struct Expect {
    int32_t kind;
    const char* normal;
    const char* playback;
  };
  const std::vector<Expect> table = {
      //                                    CCPDRVPRREAPPTCM
      {EntryKind::RemovableDrive,         ".....x.x....x...", ".....x.x........"},
      {EntryKind::RemovableEntry,         ".....x.x....x...", ".....x.x........"},
      {EntryKind::RemovableFolder,        ".....xxx....x...", ".....x.x........"},
      {EntryKind::OldRecordingsNode,      "...x.x.x....x...", ".....x.x........"},
      {EntryKind::OldRecordingsSub,       "...x.x.x....x...", ".....x.x........"},
      {EntryKind::OldRecordingsFolder,    "...x.xxx....x...", ".....x.x........"},
      {EntryKind::ServerCamera,           "..xxxx.xxx.xxxxx", "..x..x.xx..x.xxx"},
      {EntryKind::LocalNVR,               "....xx.x....x...", "....xx.x........"},
      {EntryKind::Group,                  "..xxxx.x....x...", "..x..x.x........"},
      {EntryKind::Device,                 "xxxxxx.xxx.xxxxx", ".xx..x.xx..x.xxx"},
      {EntryKind::ServerDevice,           "xxxxxx.x..xxx...", ".xx..x.x...x...."},
      {EntryKind::HTTPDevice,             "xxxxxx.xxx.xx...", ".xx..x.xx..x...."},
      {EntryKind::NASDevice,              "xxxxxx.x.x.xx...", ".xx..x.x...x...."},
  };
  for (const Expect& e : table) {
    auto record = Entry(e.kind);
    CommandContext c;
    c.selected = record.get();
    c.clipboardHasDevice = true;
    EXPECT_EQ(Row(c), e.normal) << "kind " << e.kind;
    c.playbackMode = true;
    EXPECT_EQ(Row(c), e.playback) << "kind " << e.kind << " in playback";
  }

  // Nothing selected: none of them.
  CommandContext none;
  none.clipboardHasDevice = true;
  EXPECT_EQ(Row(none), "................");
}

TEST_F(CommandsTest, SelectionDetailsDecideTheirCommands) {
  // Paste needs a copied device; Delete is off while a label is edited.
  auto cam = Entry(EntryKind::Device);
  CommandContext c;
  c.selected = cam.get();
  EXPECT_FALSE(EvaluateCommand(kCmdPaste, c).enabled);
  c.editingLabel = true;
  EXPECT_FALSE(EvaluateCommand(kCmdDelete, c).enabled);
  EXPECT_TRUE(EvaluateCommand(kCmdRename, c).enabled);
  c.editingLabel = false;

  // Recording and Enabled are checked from the entry; a disabled entry still offers both.
  cam->recording = false;
  cam->enabled = false;
  EXPECT_EQ(EvaluateCommand(kCmdRecording, c).checked, false);
  EXPECT_EQ(EvaluateCommand(kCmdEnabled, c).checked, false);
  EXPECT_TRUE(EvaluateCommand(kCmdEnabled, c).enabled);
  cam->recording = true;
  cam->enabled = true;
  EXPECT_TRUE(EvaluateCommand(kCmdRecording, c).checked);
  EXPECT_TRUE(EvaluateCommand(kCmdEnabled, c).checked);

  // Playing one tile's recordings needs a live (not still) tile outside playback.
  cam->stillShown = true;
  EXPECT_FALSE(EvaluateCommand(kCmdPlayRecorded, c).enabled);
  cam->stillShown = false;

  // The image commands need what the tile holds.
  EXPECT_FALSE(EvaluateCommand(kCmdCopyImage, c).enabled);
  EXPECT_FALSE(EvaluateCommand(kCmdSaveJpeg, c).enabled);
  c.selectedTileHasImage = true;
  EXPECT_TRUE(EvaluateCommand(kCmdCopyImage, c).enabled);
  EXPECT_FALSE(EvaluateCommand(kCmdSendImage, c).enabled);
  c.selectedTileHasJpeg = true;
  EXPECT_TRUE(EvaluateCommand(kCmdSaveJpeg, c).enabled);
  EXPECT_TRUE(EvaluateCommand(kCmdSendImage, c).enabled);
  c.selected = nullptr;
  EXPECT_FALSE(EvaluateCommand(kCmdCopyImage, c).enabled);
  EXPECT_FALSE(EvaluateCommand(kCmdSendImage, c).enabled);

  // Add Camera only while the server has a free input: a gap counts, 16 inputs do not.
  auto server = Entry(EntryKind::ServerDevice);
  for (int i : {0, 1, 3}) {
    auto input = CreateRecord(EntryKind::ServerCamera, "Camera " + std::to_string(i + 1));
    input->cameraIndex = i;
    InsertEntry(server.get(), input);
  }
  c.selected = server.get();
  EXPECT_TRUE(EvaluateCommand(kCmdAddCamera, c).enabled);
  for (int i : {2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) {
    auto input = CreateRecord(EntryKind::ServerCamera, "Camera " + std::to_string(i + 1));
    input->cameraIndex = i;
    InsertEntry(server.get(), input);
  }
  EXPECT_FALSE(EvaluateCommand(kCmdAddCamera, c).enabled);
  DestroyTree(server.get());
}

TEST_F(CommandsTest, ChecksFollowSettingsAndTheWindowAndGlobalsStayEnabled) {
  CommandContext c;
  c.recordEnable = false;
  c.captionShow = true;
  c.viewStretch = false;
  c.statusBarVisible = false;
  c.deviceListVisible = true;
  c.fullScreen = true;
  c.layout = 4;
  EXPECT_FALSE(EvaluateCommand(kCmdRecord, c).checked);
  EXPECT_TRUE(EvaluateCommand(kCmdCaptions, c).checked);
  EXPECT_FALSE(EvaluateCommand(kCmdViewStretch, c).checked);
  EXPECT_FALSE(EvaluateCommand(kCmdStatusBar, c).checked);
  EXPECT_TRUE(EvaluateCommand(kCmdDeviceList, c).checked);
  EXPECT_TRUE(EvaluateCommand(kCmdFullScreen, c).checked);
  c.recordEnable = true;
  c.captionShow = false;
  c.viewStretch = true;
  EXPECT_TRUE(EvaluateCommand(kCmdRecord, c).checked);
  EXPECT_FALSE(EvaluateCommand(kCmdCaptions, c).checked);
  EXPECT_TRUE(EvaluateCommand(kCmdViewStretch, c).checked);

  // Exactly one layout is checked: the current one.
  std::vector<int> checkedLayouts;
  for (int id = kCmdLayoutFirst; id <= kCmdLayoutLast; ++id) {
    EXPECT_TRUE(EvaluateCommand(id, c).enabled);
    if (EvaluateCommand(id, c).checked) checkedLayouts.push_back(id);
  }
  EXPECT_EQ(checkedLayouts, std::vector<int>{10030});

  // Commands without a rule stay enabled with nothing selected, even in playback and
  // while a label is edited.
  c.playbackMode = true;
  c.editingLabel = true;
  for (int id : {kCmdImportDeviceFile, kCmdNewGroup, kCmdRecord, kCmdExit, kCmdScanNetwork,
                 kCmdOpenLogFile, kCmdOpenRecordingFolder, kCmdOptions, kCmdHelpContents,
                 kCmdAbout, kCmdTrayRestore, kCmdTrayExit, kCmdSort, kCmdTemplateFirst,
                 kCmdTemplateLast, kCmdPlayback})
    EXPECT_TRUE(EvaluateCommand(id, c).enabled) << id;

  // The playback commands act on a running playback only; 10050 shows whether it runs.
  // (The zoom commands' own conditions are met here; see the zoom test.)
  c.playbackEnoughPictures = true;
  c.playbackCanZoomOut = true;
  EXPECT_TRUE(EvaluateCommand(kCmdPlayback, c).checked);
  for (int id = kCmdExport; id <= kCmdNextFrame; ++id) EXPECT_TRUE(EvaluateCommand(id, c).enabled);
  c.playbackMode = false;
  EXPECT_FALSE(EvaluateCommand(kCmdPlayback, c).checked);
  for (int id = kCmdExport; id <= kCmdNextFrame; ++id) EXPECT_FALSE(EvaluateCommand(id, c).enabled);
}

// Zoom In needs a feed of at least 20 pictures, Zoom Out a feed narrower than all the
// material; neither works outside playback whatever the feed says.
TEST_F(CommandsTest, ZoomFollowsThePicturesAndTheShownRange) {
  CommandContext c;
  c.playbackMode = true;
  auto zoom = [&c] {
    return std::string() + (EvaluateCommand(kCmdZoomIn, c).enabled ? 'i' : '.') +
           (EvaluateCommand(kCmdZoomOut, c).enabled ? 'o' : '.');
  };
  EXPECT_EQ(zoom(), "..");  // a feed not loaded yet, or too few pictures showing everything
  c.playbackEnoughPictures = true;
  EXPECT_EQ(zoom(), "i.");
  c.playbackCanZoomOut = true;
  EXPECT_EQ(zoom(), "io");
  c.playbackEnoughPictures = false;  // zoomed into a stretch of few pictures
  EXPECT_EQ(zoom(), ".o");
  c.playbackMode = false;
  c.playbackEnoughPictures = true;
  EXPECT_EQ(zoom(), "..");
  // The transport commands do not depend on the count.
  c.playbackMode = true;
  c.playbackEnoughPictures = c.playbackCanZoomOut = false;
  for (int id : {kCmdExport, kCmdPreviousFrame, kCmdReversePlay, kCmdPause, kCmdPlay, kCmdNextFrame})
    EXPECT_TRUE(EvaluateCommand(id, c).enabled) << id;
}

TEST_F(CommandsTest, TheIdListIsCompleteAndEveryCommandIsBuilt) {
  std::set<int> ids(CommandIds().begin(), CommandIds().end());
  EXPECT_EQ(ids.size(), CommandIds().size()) << "no id twice";
  EXPECT_EQ(ids.size(), 81u);
  EXPECT_TRUE(ids.count(kCmdLayoutLast) && ids.count(kCmdTemplateLast) && ids.count(kCmdMainPage));
  EXPECT_TRUE(ids.count(kCmdCameraHttp) && ids.count(kCmdCameraRtsp) && ids.count(kCmdCameraHttps));
  EXPECT_TRUE(EvaluateCommand(kCmdCameraRtsp, CommandContext{}).enabled);
  EXPECT_STREQ(CommandOwnText(kCmdCameraRtsp), "IP camera (RTSP, H.264 / H.265)");

  // Every command of the table is carried out by the window now.
  for (int id : ids) EXPECT_TRUE(CommandBuilt(id)) << id;

  // Unknown ids are neither enabled nor built.
  CommandContext c;
  EXPECT_FALSE(EvaluateCommand(12345, c).enabled);
  EXPECT_FALSE(CommandBuilt(12345));
  EXPECT_FALSE(CommandBuilt(0));
}

}  // namespace
}  // namespace velmora::control
