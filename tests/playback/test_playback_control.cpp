// The main thread's side of playback with a real engine behind it: entering and leaving
// playback mode over the view slots and the tree, the zoom requests, the slider, the
// speed steps and the two-hour limit.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/program_signals.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "platform/clock.h"
#include "playback_output.h"
#include "test_recorded_data_support.h"
#include "test_tree.h"

using velmora::test::TestTree;
using velmora::test::TestTreeShare;

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
  Control()
      : output(toMain, slots), engine(993, &clock, &output),
        control(engine.queue(), [this] { return engine.summary(); }, slots, limit) {
    engine.data().setStatusSink([](const std::string&) {});
    On<PlaybackWarning>([this](const PlaybackWarning& w) { boxes.push_back(w.text); });

    root = CreateRecord(EntryKind::Root, kRootName);
    local = CreateRecord(EntryKind::LocalNVR, "This NVR");
    InsertEntry(root.get(), local);
    TestTree().root = root;
    control.setTree(TestTreeShare());
    programSignals().playbackMode.store(false);
  }
  ~Control() override {
    programSignals().playbackMode.store(false);
    TestTree().root.reset();
    DestroyTree(root.get());
  }

  // Calls `on` with every report of kind R, for the rest of the test.
  template <class R, class F>
  void On(F on) {
    control.subscribe([on](const PlaybackReport& report) {
      if (const R* r = std::get_if<R>(&report)) on(*r);
    });
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
  ViewSlots slots;
  std::vector<AppMessage> toMain;
  test::KeptPlaybackOutput output;
  PlaybackEngine engine;
  PlaybackLimitTimer limit;
  PlaybackController control;
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
  On<PlaybackControlsShown>([&](const PlaybackControlsShown& r) { shownPane = r.show; });

  ASSERT_TRUE(control.Enter(nullptr));
  EXPECT_TRUE(programSignals().playbackMode.load());
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
  EXPECT_FALSE(programSignals().playbackMode.load());
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

// Fewer than 20 pictures are not zoomed into, and a feed showing all the material is
// not zoomed out of: neither asks the playback thread for anything.
TEST_F(Control, ZoomNeedsTwentyPicturesAndZoomOutANarrowerRange) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 19; ++i) writer.Append(kHourStart + 10 * i, 0, SmallJpeg());
  AddDevice("Door", folder, 0);
  int feeds = 0;
  On<PlaybackFeedRequested>([&feeds](auto&) { ++feeds; });
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  ASSERT_TRUE(control.rangeKnown());
  EXPECT_FALSE(control.enoughPictures());
  EXPECT_FALSE(control.canZoomOut());
  control.SliderMoved(80, false);
  control.SliderMoved(100, true);  // a selection does not make the pictures more
  while (engine.queue().take()) {
  }
  feeds = 0;
  control.ZoomIn(nullptr);
  control.ZoomOut(false, nullptr);
  control.ZoomOut(true, nullptr);
  EXPECT_EQ(feeds, 0);
  EXPECT_TRUE(engine.queue().empty());
  EXPECT_EQ(engine.summary().feed.startTime, kHourStart);
  control.Leave();
  Pump();

  // The twentieth picture makes the feed worth zooming into; the zoomed feed can be
  // zoomed out of again.
  writer.Append(kHourStart + 190, 0, SmallJpeg());
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  EXPECT_TRUE(control.enoughPictures());
  feeds = 0;
  control.SliderMoved(80, false);
  control.ZoomIn(nullptr);
  Pump();
  EXPECT_EQ(feeds, 1);
  EXPECT_TRUE(control.canZoomOut());
  control.ZoomOut(true, nullptr);
  Pump();
  EXPECT_EQ(feeds, 2);
  EXPECT_FALSE(control.canZoomOut());
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
  limit.start(1000);
  control.Tick(1000 + kPlaybackLimitMs - 1);
  EXPECT_TRUE(control.active());
  control.Tick(1000 + kPlaybackLimitMs);
  EXPECT_FALSE(control.active());
  bool said = false;
  while (auto m = mainQueue().take()) {
    if (auto* status = std::get_if<MsgStatusText>(&*m)) said = said || status->text == kTextPlaybackLimit;
  }
  EXPECT_TRUE(said);
  EXPECT_FALSE(limit.running());
  Pump();
}

// The program's pace and its two-hour limit run on the program's clock.
TEST(PlaybackClocks, ThePaceAndTheLimitReadTheProgramClock) {
  platform::ManualClock manual(0, 5000);
  platform::ScopedClock use(manual);
  SteadyPlaybackClock steady;
  EXPECT_DOUBLE_EQ(steady.now(), 5.0);
  manual.advance(std::chrono::milliseconds(250));
  EXPECT_DOUBLE_EQ(steady.now(), 5.25);
  PlaybackLimitTimer limit;
  ViewSlots shown;
  ProgramPlaybackOutput output(limit, shown);
  output.limitTimer(true);
  EXPECT_FALSE(limit.fire(5250 + kPlaybackLimitMs - 1));
  EXPECT_TRUE(limit.fire(5250 + kPlaybackLimitMs));
  EXPECT_FALSE(limit.running());
  output.limitTimer(true);
  output.limitTimer(false);
  EXPECT_FALSE(limit.running()) << "killing the limit stops it";
}

// Each kind of change is reported on its own, so a window redraws only what shows it;
// the summary accessors say what the controls need.
TEST_F(Control, ChangesAreReportedByKind) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 30; ++i) writer.Append(kHourStart + 10 * i, 0, SmallJpeg());
  AddDevice("Door", folder, 0);
  struct Counts {
    int slider = 0, range = 0, graph = 0, play = 0, speed = 0, feed = 0;
  } n;
  On<PlaybackSliderChanged>([&](auto&) { ++n.slider; });
  On<PlaybackRangeChanged>([&](auto&) { ++n.range; });
  On<PlaybackGraphChanged>([&](auto&) { ++n.graph; });
  On<PlaybackPlayStateChanged>([&](auto&) { ++n.play; });
  On<PlaybackSpeedChanged>([&](auto&) { ++n.speed; });
  On<PlaybackFeedRequested>([&](auto&) { ++n.feed; });

  EXPECT_FALSE(control.rangeKnown());
  EXPECT_FALSE(control.fullRange().known());
  ASSERT_TRUE(control.Enter(nullptr));
  EXPECT_EQ(n.feed, 1);
  EXPECT_EQ(n.graph, 0) << "nothing drawn before the thread answers";
  Pump();
  EXPECT_EQ(n.graph, 1);
  EXPECT_GE(n.range, 2) << "the column count and the graph's range";
  EXPECT_EQ(n.play, 0);
  EXPECT_EQ(n.speed, 0);
  EXPECT_TRUE(control.rangeKnown());
  EXPECT_TRUE(control.enoughPictures());
  EXPECT_FALSE(control.canZoomOut());
  EXPECT_EQ(control.fullRange().startTime, kHourStart);
  EXPECT_EQ(control.fullRange().endTime, kHourStart + 290);
  EXPECT_EQ(control.shownRange().startTime, kHourStart);

  // The operator's own moves report too; an unchanged column from the thread does not.
  const Counts before = n;
  control.SliderMoved(40, false);
  EXPECT_EQ(n.slider, before.slider + 1);
  AppMessage same = MsgTimelineColumn{40};
  control.HandleMessage(same);
  EXPECT_EQ(n.slider, before.slider + 1);
  AppMessage other = MsgTimelineColumn{41};
  control.HandleMessage(other);
  EXPECT_EQ(n.slider, before.slider + 2);
  EXPECT_EQ(n.graph, before.graph);
  EXPECT_EQ(n.range, before.range);

  control.SetSpeedPosition(9);
  EXPECT_EQ(n.speed, 1);
  AppMessage up = MsgSpeedUp{};
  control.HandleMessage(up);
  EXPECT_EQ(n.speed, 2);
  EXPECT_EQ(control.speedPosition(), 10);

  control.Play();
  Pump();
  EXPECT_GE(n.play, 2) << "playing, then paused at the end of the material";
  EXPECT_FALSE(control.playing());

  // Zooming in: a new feed, the selection cleared, the zoomed range in the summary.
  control.SliderMoved(80, false);
  control.ZoomIn(nullptr);
  EXPECT_EQ(n.feed, 2);
  Pump();
  EXPECT_TRUE(control.canZoomOut());
  EXPECT_GT(control.shownRange().start(), control.fullRange().start());
  EXPECT_EQ(control.fullRange().startTime, kHourStart);

  const int graphs = n.graph;
  control.Leave();
  EXPECT_FALSE(control.fullRange().known()) << "nothing is shown outside playback";
  Pump();
  EXPECT_EQ(n.graph, graphs + 1) << "the stop clears the graph";
  EXPECT_EQ(control.graph(), nullptr);
}

// A time typed into the date and time fields: inside the shown range the slider moves
// there and seeks; outside it a range of the same length centred on it is asked for,
// kept inside the recordings, with the slider landing on the typed time.
TEST_F(Control, ATypedTimeSeeksOrRecentresTheShownRange) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  const auto jpeg = SmallJpeg();
  for (int64_t t = kHourStart; t <= kHourStart + 20000; t += 100) writer.Append(t, 0, jpeg);
  AddDevice("Door", folder, 0);
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  // Zoom to the first 2,000 s through a selection.
  PlaybackSummary s = engine.summary();
  ASSERT_EQ(s.columns, 992);
  control.SliderMoved(0, false);
  control.SliderMoved(99, true);
  control.ZoomIn(nullptr);
  Pump();
  s = engine.summary();
  const double length = s.rangeLength;
  ASSERT_NEAR(s.feed.start(), kHourStart, 0.01);
  ASSERT_NEAR(length, 99 * 20000.0 / 992, 0.01);

  // Inside: the slider and a seek.
  while (engine.queue().take()) {
  }
  control.SeekToTime(s.feed.start() + length / 2, nullptr);
  EXPECT_EQ(control.sliderColumn(), s.columns / 2);
  auto posted = engine.queue().take();
  ASSERT_TRUE(posted.has_value());
  ASSERT_TRUE(std::holds_alternative<PlayMsgSeek>(*posted));
  EXPECT_EQ(std::get<PlayMsgSeek>(*posted).column, s.columns / 2);

  // Outside, in the middle of the recordings: centred, the slider in the middle.
  control.SeekToTime(kHourStart + 10000.0, nullptr);
  Pump();
  s = engine.summary();
  EXPECT_NEAR(s.feed.start(), kHourStart + 10000.0 - length / 2, 0.01);
  EXPECT_NEAR(control.zoomPosition(), 0.5, 1e-9);
  EXPECT_NEAR(control.ColumnTime(control.sliderColumn()), kHourStart + 10000.0, length / s.columns + 0.01);

  // Outside, near the end: the range ends with the recordings and the slider is still
  // on the typed time, not in the middle.
  control.SeekToTime(kHourStart + 19990.0, nullptr);
  Pump();
  s = engine.summary();
  EXPECT_NEAR(s.feed.end(), kHourStart + 20000.0, 0.01);
  EXPECT_NEAR(s.rangeLength, length, 0.01);
  EXPECT_GT(control.zoomPosition(), 0.9);
  EXPECT_NEAR(control.ColumnTime(control.sliderColumn()), kHourStart + 19990.0, length / s.columns + 0.01);
  control.Leave();
  Pump();
}

// A drag while playing holds the thumb until the seek is taken over; when the play ends
// first, the thumb must not stay held, or single steps would never move it again. A
// selection made on the old columns is gone once the column count is new.
TEST_F(Control, PausingReleasesAHeldThumbAndNewColumnsDropTheSelection) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 50; ++i) writer.Append(kHourStart + i, 0, SmallJpeg());
  AddDevice("Door", folder, 0);
  ASSERT_TRUE(control.Enter(nullptr));
  Pump();
  AppMessage playing = MsgPlaying{};
  control.HandleMessage(playing);
  control.SliderMoved(30, false);
  ASSERT_TRUE(control.dragging());
  AppMessage paused = MsgPaused{};
  control.HandleMessage(paused);
  EXPECT_FALSE(control.dragging());
  AppMessage step = MsgTimelineColumn{31};
  control.HandleMessage(step);
  EXPECT_EQ(control.sliderColumn(), 31);

  control.SliderMoved(10, false);
  control.SliderMoved(20, true);
  ASSERT_TRUE(control.hasSelection());
  AppMessage count = MsgColumnCount{};
  control.HandleMessage(count);
  EXPECT_FALSE(control.hasSelection());
  control.Leave();
  Pump();
}

// Every receiver hears every report, in the order they subscribed; one that left hears
// nothing more while the others go on hearing.
TEST_F(Control, EveryReceiverHearsEachReportUntilItLeaves) {
  std::vector<std::string> heard;
  auto speedTo = [&heard](std::string who) {
    return [&heard, who](const PlaybackReport& report) {
      if (std::holds_alternative<PlaybackSpeedChanged>(report)) heard.push_back(who);
    };
  };
  const int first = control.subscribe(speedTo("first"));
  const int second = control.subscribe(speedTo("second"));
  EXPECT_NE(first, second);
  control.SetSpeedPosition(8);
  EXPECT_EQ(heard, (std::vector<std::string>{"first", "second"}));
  control.unsubscribe(first);
  control.SetSpeedPosition(9);
  EXPECT_EQ(heard, (std::vector<std::string>{"first", "second", "second"}));
  control.unsubscribe(second);
  control.SetSpeedPosition(10);
  EXPECT_EQ(heard.size(), 3u);

  // A warning reaches the receivers still there (the fixture's), not the log.
  playtest::LogCapture log;
  EXPECT_FALSE(control.Enter(nullptr));
  EXPECT_EQ(boxes, std::vector<std::string>{kTextNoActiveViews});
  EXPECT_FALSE(log.contains(kTextNoActiveViews));
}

// Without a window nobody receives reports: a warning is written to the log.
TEST_F(Control, WarningsWithoutReceiverGoToTheLog) {
  playtest::LogCapture log;
  PlaybackController bare(engine.queue(), [this] { return engine.summary(); }, slots, limit);
  EXPECT_FALSE(bare.Enter(nullptr));
  EXPECT_TRUE(log.contains(kTextNoActiveViews));
  EXPECT_TRUE(boxes.empty());
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
