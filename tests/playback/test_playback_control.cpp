// The main thread's side of playback with a real engine behind it: entering and leaving
// playback mode over the view slots and the tree, the zoom requests, the slider, the
// speed steps and the two-hour limit.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "app/messages.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "test_access_support.h"

namespace velmora {
namespace {

using playtest::kHourStart;
using playtest::RecordWriter;
using playtest::SmallJpeg;
using playtest::TempFolder;

class ManualClock : public PlaybackClock {
 public:
  double t = 50.0;
  double now() override { return t; }
  void wait(PlaybackQueue& queue, int ms) override {
    if (queue.empty()) t += ms / 1000.0;
  }
};

class Control : public ::testing::Test {
 protected:
  Control() : engine(993, &clock), control(engine.queue(), [this] { return engine.summary(); }, slots) {
    engine.hooks().post = [this](AppMessage m) {
      toMain.push_back(std::move(m));
      return true;
    };
    engine.hooks().show = [this](int tile, std::unique_ptr<ImageHolder> frame, std::string caption) {
      slots.SetImage(tile, std::move(frame), std::move(caption));
    };
    engine.hooks().waitDeletePass = [](std::chrono::milliseconds) { return true; };
    engine.hooks().closeAllRecordings = [] {};
    engine.hooks().limitTimer = [](bool) {};
    engine.data().setStatusSink([](const std::string&) {});
    control.uiHooks().messageBox = [this](const std::string& text) { boxes.push_back(text); };

    root = CreateRecord(EntryKind::Root, kRootName);
    local = CreateRecord(EntryKind::LocalNVR, "This NVR");
    InsertEntry(root.get(), local);
    treeRoot() = root;
    playbackMode().store(false);
  }
  ~Control() override {
    playbackMode().store(false);
    treeRoot().reset();
    DestroyTree(root.get());
  }

  // A storage-folder device shown in `tile`, reading the recordings of `folder`.
  GroupRecord* AddDevice(const std::string& name, const TempFolder& folder, int tile, bool active = true) {
    auto node = CreateRecord(EntryKind::NASDevice, name);
    node->location = folder.str();
    node->viewIndex = tile;
    node->fetchIndex = tile;
    node->fetchActive = active;
    InsertEntry(local.get(), node);
    slots.SetCaptionAndClear(tile, name + " live");
    return node.get();
  }

  // Lets the engine and the controller answer each other until both are idle.
  void Pump() {
    for (int round = 0; round < 100; ++round) {
      int passes = 0;
      while (passes < 10000 && engine.processOne()) ++passes;
      if (toMain.empty()) return;
      std::vector<AppMessage> batch;
      batch.swap(toMain);
      for (auto& m : batch) control.HandleMessage(m);
    }
  }

  ManualClock clock;
  PlaybackEngine engine;
  ViewSlots slots;
  PlaybackController control;
  std::vector<AppMessage> toMain;
  std::vector<std::string> boxes;
  std::shared_ptr<GroupRecord> root, local;
};

TEST(SpeedSteps, ValuesAndLabels) {
  EXPECT_EQ(SpeedStepTenths(6), 10);
  EXPECT_EQ(SpeedLabel(6), "1.0");
  EXPECT_EQ(SpeedLabel(0), "0.1");
  EXPECT_EQ(SpeedLabel(5), "0.8");
  EXPECT_EQ(SpeedLabel(15), "10.0");
  EXPECT_EQ(SpeedLabel(16), "25");
  EXPECT_EQ(SpeedLabel(18), "100");
  EXPECT_EQ(SpeedLabel(26), "100000");
  EXPECT_EQ(SpeedStepTenths(27), 1);
  EXPECT_EQ(SpeedStepTenths(-1), 1);
  for (int p = 1; p < kSpeedSteps; ++p) EXPECT_GT(SpeedStepTenths(p), SpeedStepTenths(p - 1));
}

TEST_F(Control, EnteringNeedsAnActiveView) {
  EXPECT_FALSE(control.Enter(nullptr));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "There are no view windows active.");
  EXPECT_FALSE(control.active());

  TempFolder a, b;
  AddDevice("A", a, 0);
  AddDevice("B", b, 1);
  // Two active views, none recording: the operator must pick.
  EXPECT_FALSE(control.Enter(nullptr));
  EXPECT_EQ(boxes.back(),
            "Please select a viewing window by clicking\non it with the left mouse button, or hold Ctrl\nand click on "
            "multiple windows.");
  // Recording tiles are taken.
  slots.SetRecordingMark(1, kRecordingMarkOn);
  EXPECT_TRUE(control.Enter(nullptr));
  EXPECT_EQ(slots.PlaybackSlot(0), -1);
  EXPECT_EQ(slots.PlaybackSlot(1), 0);
  EXPECT_EQ(control.playbackTiles(), std::vector<int>{1});
}

TEST_F(Control, EnterShowsRecordingsAndLeaveRestoresTheLiveTile) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 30; ++i) writer.Append(kHourStart + 100 + i, 0, SmallJpeg());
  GroupRecord* door = AddDevice("Door", folder, 0);
  bool shownPane = false;
  control.uiHooks().showControls = [&](bool show) { shownPane = show; };

  ASSERT_TRUE(control.Enter(nullptr));
  EXPECT_TRUE(playbackMode().load());
  EXPECT_TRUE(shownPane);
  EXPECT_EQ(slots.PlaybackSlot(0), 0) << "the single active first tile is taken";
  EXPECT_TRUE(door->stillShown);
  EXPECT_EQ(door->savedCaption, "Door live");
  Pump();
  EXPECT_TRUE(engine.summary().feedLoaded);
  EXPECT_EQ(control.sliderMax(), 160);
  ASSERT_NE(control.graph(), nullptr);
  // The new feed put the slider at 0 and the seek showed the first frame.
  EXPECT_EQ(slots.Text(0), "Door: " + FrameTimeText(kHourStart + 100, 0));
  EXPECT_EQ(control.TimeLabelTexts().size(), 5u);
  EXPECT_FALSE(control.TimeLabelTexts()[0].empty());

  // Asking again (same range) keeps the saved live state.
  control.RequestNewFeed(FeedKind::kSameRange, nullptr);
  Pump();
  EXPECT_EQ(door->savedCaption, "Door live");

  control.Leave();
  Pump();
  EXPECT_FALSE(playbackMode().load());
  EXPECT_FALSE(door->stillShown);
  EXPECT_EQ(slots.Text(0), "Door live");
  EXPECT_FALSE(engine.feedLoaded());
  EXPECT_EQ(control.graph(), nullptr);
  EXPECT_FALSE(shownPane);
  EXPECT_TRUE(control.TimeLabelTexts()[0].empty());
}

TEST_F(Control, TilesThatStoppedFetchingLoseTheirSlot) {
  TempFolder folder;
  GroupRecord* door = AddDevice("Door", folder, 0);
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  door->fetchActive = false;
  EXPECT_FALSE(control.RequestNewFeed(FeedKind::kSameRange, nullptr));
  EXPECT_EQ(boxes.back(), "There are no active views selected\nfor playback.");
  EXPECT_FALSE(control.active());
  EXPECT_EQ(slots.PlaybackSlot(0), -1);
}

TEST_F(Control, ThreeDayFeedShowsTwoDaysThenZoomOutShowsAll) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  const auto jpeg = SmallJpeg();
  const int64_t start = kHourStart;
  const int64_t end = start + 3 * 86400;
  for (int64_t t = start; t <= end; t += 1800) writer.Append(t, 0, jpeg);
  AddDevice("Door", folder, 0);
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  PlaybackSummary s = engine.summary();
  EXPECT_EQ(s.feed.startTime, end - 172800);
  EXPECT_EQ(s.feed.endTime, end);
  EXPECT_EQ(s.full.startTime, start);
  EXPECT_TRUE(s.canZoomOut);
  EXPECT_EQ(control.RangeTexts()[2], "2 days + 00:00:00 showing    (3 days + 00:00:00 total)");

  control.ZoomOut(true, nullptr);
  Pump();
  s = engine.summary();
  EXPECT_EQ(s.feed.startTime, start);
  EXPECT_EQ(s.feed.endTime, end);
  EXPECT_FALSE(s.canZoomOut);
  EXPECT_EQ(s.pictures, 145);
}

TEST_F(Control, ZoomInAroundTheSliderAndToASelection) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i <= 160; ++i) writer.Append(kHourStart + i, 0, SmallJpeg());
  AddDevice("Door", folder, 0);
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  ASSERT_EQ(control.sliderMax(), 160);
  control.SliderMoved(80, false);
  Pump();

  control.ZoomIn(nullptr);
  Pump();
  // Columns 80 - 160/6 = 54 to 54 + 160/3 = 107 of one second each.
  PlaybackSummary s = engine.summary();
  EXPECT_EQ(s.feed.startTime, kHourStart + 54);
  EXPECT_EQ(s.feed.endTime, kHourStart + 107);
  EXPECT_NEAR(control.zoomPosition(), 26.0 / 53.0, 1e-9);
  EXPECT_EQ(control.sliderColumn(), static_cast<int>(std::lround(160 * 26.0 / 53.0)));

  // A shift-drag selection is requested exactly.
  control.SliderMoved(16, false);
  control.SliderMoved(48, true);
  EXPECT_TRUE(control.hasSelection());
  control.ZoomIn(nullptr);
  Pump();
  s = engine.summary();
  // 53 s over 160 columns: column 16 starts 5.3 s and column 48 15.9 s after the start.
  EXPECT_EQ(s.feed.startTime, kHourStart + 59);
  EXPECT_NEAR(s.feed.start(), kHourStart + 54 + 5.3, 0.002);
  EXPECT_NEAR(s.feed.end(), kHourStart + 54 + 15.9, 0.002);
  EXPECT_FALSE(control.hasSelection());
}

TEST_F(Control, SliderWhilePlayingSeeksAndHoldsTheThumbUntilTakenOver) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 100; ++i) writer.Append(kHourStart + i, 0, SmallJpeg());
  AddDevice("Door", folder, 0);
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  control.Play();
  // One pass: the play message; its report goes to the controller.
  engine.processOne();
  for (auto& m : toMain) control.HandleMessage(m);
  toMain.clear();
  ASSERT_TRUE(control.playing());

  control.SliderMoved(120, false);
  EXPECT_TRUE(control.dragging());
  AppMessage stale = MsgTimelineColumn{3};
  control.HandleMessage(stale);
  EXPECT_EQ(control.sliderColumn(), 120) << "the thumb stays where the operator put it";
  // The seek is taken over: the thumb follows the play again.
  engine.processOne();
  bool taken = false;
  for (auto& m : toMain) {
    taken = taken || std::holds_alternative<MsgSeekTaken>(m);
    control.HandleMessage(m);
  }
  toMain.clear();
  EXPECT_TRUE(taken);
  EXPECT_FALSE(control.dragging());
  AppMessage moved = MsgTimelineColumn{125};
  control.HandleMessage(moved);
  EXPECT_EQ(control.sliderColumn(), 125);

  // Speed reports move the speed slider within its ends.
  control.SetSpeedPosition(26);
  AppMessage up = MsgSpeedUp{};
  control.HandleMessage(up);
  EXPECT_EQ(control.speedPosition(), 26);
  AppMessage down = MsgSpeedDown{};
  control.HandleMessage(down);
  EXPECT_EQ(control.speedPosition(), 25);
  control.Pause();
  Pump();
  EXPECT_FALSE(control.playing());
  control.Leave();
  Pump();
}

TEST_F(Control, TheTwoHourLimitLeavesPlayback) {
  TempFolder folder;
  AddDevice("Door", folder, 0);
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  while (mainQueue().take()) {
  }
  playbackLimitTimer().start(1000);
  control.Tick(1000 + kPlaybackLimitMs - 1);
  EXPECT_TRUE(control.active());
  control.Tick(1000 + kPlaybackLimitMs);
  EXPECT_FALSE(control.active());
  bool said = false;
  while (auto m = mainQueue().take()) {
    if (auto* status = std::get_if<MsgStatusText>(&*m)) said = said || status->text == kTextPlaybackLimit;
  }
  EXPECT_TRUE(said);
  EXPECT_FALSE(playbackLimitTimer().running());
  Pump();
}

TEST_F(Control, CommandsDoNothingOutsidePlayback) {
  control.Play();
  control.NextFrame();
  control.PreviousFrame();
  control.ReversePlay();
  control.Pause();
  control.ZoomIn(nullptr);
  control.ZoomOut(false, nullptr);
  control.SliderMoved(10, false);
  EXPECT_TRUE(engine.queue().empty());
}

}  // namespace
}  // namespace velmora
