// The playback engine driven without a thread: a fake clock paces it, and the hooks
// record what it posts to the main window and what it shows in the tiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "live/view_slot.h"
#include "playback/playback_engine.h"
#include "app/program_signals.h"
#include "playback/playback_thread.h"
#include "test_recorded_data_support.h"

namespace velmora {
namespace {

using playtest::kHourStart;
using playtest::LogCapture;
using playtest::RecordWriter;
using playtest::SmallJpeg;
using playtest::TempFolder;

class FakeClock : public PlaybackClock {
 public:
  double t = 1000.0;
  double costPerReading = 0;  // simulated work between two readings of the clock
  std::vector<int> waits;

  double now() override {
    const double value = t;
    t += costPerReading;
    return value;
  }
  void wait(PlaybackQueue& queue, int ms) override {
    waits.push_back(ms);
    if (queue.empty()) t += ms / 1000.0;
  }
};

struct Shown {
  int tile = -1;
  bool frame = false;
  std::string caption;
  double at = 0;
};

// The fixture is the engine's output: it keeps what the engine posts and shows, and
// answers for the delete pass, the recorder's files and the playback limit.
class Engine : public ::testing::Test, public PlaybackOutput {
 protected:
  Engine() : engine(993, &clock, this) {
    engine.data().setStatusSink([this](const std::string& text) { statuses.push_back(text); });
  }

  bool post(AppMessage m) override {
    posted.push_back(std::move(m));
    return true;
  }
  void show(int tile, std::unique_ptr<ImageHolder> frame, std::string caption) override {
    shown.push_back({tile, frame != nullptr, std::move(caption), clock.t});
  }
  bool waitDeletePass(std::chrono::milliseconds) override { return deletePassFree; }
  void closeAllRecordings() override { ++closeCalls; }
  void limitTimer(bool start) override { limitRunning = start; }

  PlaybackView View(int tile, const TempFolder& folder, const std::string& name, int slot = 0) {
    PlaybackView v;
    v.tile = tile;
    v.slot = slot;
    v.hasNode = true;
    v.name = name;
    v.source = folder.str();
    return v;
  }

  void Feed(std::vector<PlaybackView> views, FeedRange requested = FeedRange::Unknown(), double zoom = 0) {
    PlayMsgNewFeed m;
    m.fullRange = !requested.known();
    m.requested = requested;
    m.zoomPosition = zoom;
    m.views = std::move(views);
    ASSERT_TRUE(engine.queue().post(std::move(m)));
    Drain();
  }

  // Runs the engine until it is idle, at most `limit` passes.
  int Drain(int limit = 10000) {
    int passes = 0;
    while (passes < limit && engine.processOne()) ++passes;
    return passes;
  }

  template <class M>
  int Count() const {
    int n = 0;
    for (const auto& m : posted) n += std::holds_alternative<M>(m) ? 1 : 0;
    return n;
  }
  template <class M>
  const M* Last() const {
    for (auto it = posted.rbegin(); it != posted.rend(); ++it)
      if (const M* m = std::get_if<M>(&*it)) return m;
    return nullptr;
  }
  std::string Caption(const std::string& name, int64_t seconds, unsigned ms) const {
    return name + ": " + FrameTimeText(seconds, ms);
  }

  FakeClock clock;
  PlaybackEngine engine;
  std::vector<AppMessage> posted;
  std::vector<Shown> shown;
  std::vector<std::string> statuses;
  bool deletePassFree = true;
  int closeCalls = 0;
  bool limitRunning = false;
};

TEST_F(Engine, NewFeedFindsTheRangeBuildsTheTimelineAndPostsTheGraph) {
  LogCapture log;
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 30; ++i) writer.Append(kHourStart + 100 + i, 0, SmallJpeg());
  deletePassFree = false;
  Feed({View(3, folder, "Door", 2)});

  EXPECT_TRUE(log.contains("NEWFEED: delete thread still running"));
  EXPECT_TRUE(log.contains("Index res: 160, Time Range: 29.00, Pics: 30"));
  const PlaybackSummary s = engine.summary();
  EXPECT_TRUE(s.feedLoaded);
  EXPECT_TRUE(s.rangeKnown);
  EXPECT_TRUE(s.enoughPictures);
  EXPECT_FALSE(s.canZoomOut);
  EXPECT_EQ(s.feed.startTime, kHourStart + 100);
  EXPECT_EQ(s.feed.endTime, kHourStart + 129);
  EXPECT_EQ(s.columns, 160);
  EXPECT_EQ(Count<MsgColumnCount>(), 1);
  ASSERT_NE(Last<MsgSliderSeek>(), nullptr);
  EXPECT_EQ(Last<MsgSliderSeek>()->column, 0);
  ASSERT_NE(Last<MsgTimelineGraph>(), nullptr);
  ASSERT_NE(Last<MsgTimelineGraph>()->graph, nullptr);
  EXPECT_EQ(Last<MsgTimelineGraph>()->graph->width(), 512);
  EXPECT_EQ(Count<MsgStatusText>(), 0);
  EXPECT_EQ(closeCalls, 1);
  EXPECT_TRUE(limitRunning);

  // Seeking shows the frame at the column with its time in the caption.
  engine.queue().post(PlayMsgSeek{80});
  Drain();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].tile, 3);
  EXPECT_TRUE(shown[0].frame);
  EXPECT_EQ(shown[0].caption, Caption("Door", kHourStart + 114, 0));
}

TEST_F(Engine, NoRecordingsBlankTheViewsAndSayWhy) {
  TempFolder empty;
  PlaybackView nameless;
  nameless.tile = 1;
  nameless.source = empty.str();
  Feed({View(0, empty, "Door"), nameless});
  const PlaybackSummary s = engine.summary();
  EXPECT_TRUE(s.feedLoaded);
  EXPECT_FALSE(s.rangeKnown);
  EXPECT_EQ(s.columns, 160);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].caption, "Door: (no image found)");
  EXPECT_FALSE(shown[0].frame);
  EXPECT_EQ(shown[1].caption, "No View Selected: (no image found)");
  ASSERT_NE(Last<MsgStatusText>(), nullptr);
  EXPECT_EQ(*Last<MsgStatusText>()->text,
            "There are no recorded images in the view window(s) you have selected.");
  EXPECT_EQ(Count<MsgSliderSeek>(), 0);
  // Playing a blank feed ends at once.
  engine.queue().post(PlayMsgPlayForward{0});
  Drain();
  EXPECT_FALSE(engine.playing());
  EXPECT_EQ(Count<MsgPaused>(), 1);
}

TEST_F(Engine, TwoViewsAtTenAndFiveFramesPerSecondStayInStep) {
  TempFolder fast, slow;
  RecordWriter wf(fast.path()), ws(slow.path());
  const int64_t t0 = kHourStart + 100;
  for (int k = 0; k < 20; ++k) wf.Append(t0 + k / 10, static_cast<unsigned>((k % 10) * 100), SmallJpeg());
  for (int k = 0; k < 10; ++k) ws.Append(t0 + (50 + k * 200) / 1000, static_cast<unsigned>((50 + k * 200) % 1000), SmallJpeg());
  Feed({View(0, fast, "Fast"), View(1, slow, "Slow", 1)});
  engine.queue().post(PlayMsgSeek{0});
  Drain();
  shown.clear();

  engine.queue().post(PlayMsgPlayForward{0});
  Drain(200);
  EXPECT_FALSE(engine.playing()) << "the end of the material pauses";
  EXPECT_EQ(Count<MsgPlaying>(), 1);
  EXPECT_EQ(Count<MsgPaused>(), 1);

  std::vector<Shown> fastShows, slowShows;
  for (const auto& s : shown) (s.tile == 0 ? fastShows : slowShows).push_back(s);
  ASSERT_EQ(fastShows.size(), 19u);
  ASSERT_EQ(slowShows.size(), 9u);
  for (std::size_t i = 0; i < fastShows.size(); ++i) {
    const int k = static_cast<int>(i) + 1;
    EXPECT_EQ(fastShows[i].caption, Caption("Fast", t0 + k / 10, static_cast<unsigned>((k % 10) * 100)));
    if (i > 0) {
      EXPECT_NEAR(fastShows[i].at - fastShows[i - 1].at, 0.1, 1e-9) << "fast view changes every 0.1 s";
    }
  }
  for (std::size_t i = 0; i < slowShows.size(); ++i) {
    const int ms = 50 + (static_cast<int>(i) + 1) * 200;
    EXPECT_EQ(slowShows[i].caption, Caption("Slow", t0 + ms / 1000, static_cast<unsigned>(ms % 1000)));
    // Shown together with the fast view's frame 50 ms before it.
    EXPECT_DOUBLE_EQ(slowShows[i].at, fastShows[2 * i + 1].at);
    if (i > 0) {
      EXPECT_NEAR(slowShows[i].at - slowShows[i - 1].at, 0.2, 1e-9) << "slow view changes every 0.2 s";
    }
  }
  // The last frames stay shown: nothing blanks the tiles at the end.
  EXPECT_TRUE(shown.back().frame);
}

TEST_F(Engine, AfterMotionFiveStepsAreATenthApart) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  const int64_t t0 = kHourStart + 100;
  for (int i = 0; i < 10; ++i) writer.Append(t0 + 2 * i, 0, SmallJpeg(), i == 1);
  Feed({View(0, folder, "Door")});
  engine.queue().post(PlayMsgSeek{0});
  Drain();
  clock.waits.clear();

  engine.queue().post(PlayMsgPlayForward{0});
  for (int i = 0; i < 8; ++i) engine.processOne();
  // f1 (motion) after 5 ms, then five steps 0.1 s apart, then the real 2 s gaps.
  EXPECT_EQ(clock.waits, (std::vector<int>{5, 100, 100, 100, 100, 100, 2000}));

  // At double speed the motion steps are 50 ms apart.
  engine.queue().post(PlayMsgPause{});
  engine.queue().post(PlayMsgSeek{0});
  engine.queue().post(PlayMsgSpeed{20});
  Drain();
  clock.waits.clear();
  engine.queue().post(PlayMsgPlayForward{0});
  for (int i = 0; i < 8; ++i) engine.processOne();
  EXPECT_EQ(clock.waits, (std::vector<int>{5, 50, 50, 50, 50, 50, 1000}));
}

TEST_F(Engine, SingleStepsMoveEveryViewAndReportTheColumn) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  std::vector<IndexEntry> frames;
  for (int i = 0; i < 5; ++i) frames.push_back(writer.Append(kHourStart + 100 + 10 * i, 0, SmallJpeg()));
  Feed({View(0, folder, "Door")});
  engine.queue().post(PlayMsgSeek{0});
  Drain();
  posted.clear();
  shown.clear();

  engine.queue().post(PlayMsgStepForward{0});
  Drain();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, Caption("Door", kHourStart + 110, 0));
  EXPECT_EQ(engine.positions().current[0], frames[1]);
  ASSERT_NE(Last<MsgTimelineColumn>(), nullptr);
  EXPECT_EQ(Last<MsgTimelineColumn>()->column, 40);

  engine.queue().post(PlayMsgStepBackward{40});
  Drain();
  EXPECT_EQ(engine.positions().current[0], frames[0]);
  EXPECT_EQ(Last<MsgTimelineColumn>()->column, 0);

  // Backwards from the first frame there is nothing: nothing happens.
  shown.clear();
  engine.queue().post(PlayMsgStepBackward{0});
  Drain();
  EXPECT_TRUE(shown.empty());
}

TEST_F(Engine, OnlyTheLastOfQueuedSeeksIsCarriedOut) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 40; ++i) writer.Append(kHourStart + 100 + i, 0, SmallJpeg());
  Feed({View(0, folder, "Door")});
  shown.clear();
  engine.queue().post(PlayMsgSeek{10});
  engine.queue().post(PlayMsgSeek{50});
  engine.queue().post(PlayMsgSeek{120});
  Drain();
  ASSERT_EQ(shown.size(), 1u);
  // 39 s over 160 columns: column 120 starts 29.25 s in; the frame at 29 s is within 1.01 s.
  EXPECT_EQ(shown[0].caption, Caption("Door", kHourStart + 129, 0));
}

TEST_F(Engine, PlayPauseReverseAndSpeedKeys) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  for (int i = 0; i < 40; ++i) writer.Append(kHourStart + 100 + i, 0, SmallJpeg());
  Feed({View(0, folder, "Door")});
  posted.clear();

  engine.queue().post(PlayMsgPlayForward{10});
  engine.processOne();
  EXPECT_TRUE(engine.playing());
  EXPECT_GT(engine.speed(), 0);
  engine.queue().post(PlayMsgPlayBackward{10});
  engine.processOne();
  EXPECT_TRUE(engine.playing());
  EXPECT_LT(engine.speed(), 0) << "the other direction turns round";
  EXPECT_EQ(Count<MsgPlaying>(), 2);
  engine.queue().post(PlayMsgStepForward{10});
  engine.queue().post(PlayMsgStepBackward{10});
  engine.processOne();
  engine.processOne();
  EXPECT_EQ(Count<MsgSpeedDown>(), 1) << "forward key while playing backwards";
  EXPECT_EQ(Count<MsgSpeedUp>(), 1);
  engine.queue().post(PlayMsgPlayBackward{10});
  engine.processOne();
  EXPECT_FALSE(engine.playing()) << "the same direction again pauses";

  engine.queue().post(PlayMsgSpeed{0});
  engine.processOne();
  EXPECT_DOUBLE_EQ(engine.speed(), -0.1) << "sign kept, never zero";
  engine.queue().post(PlayMsgSpeed{1000});
  engine.processOne();
  EXPECT_DOUBLE_EQ(engine.speed(), -100.0);

  auto done = std::make_shared<platform::Event>(platform::Event::Reset::kManual);
  engine.queue().post(PlayMsgExportReset{done});
  engine.processOne();
  EXPECT_TRUE(done->isSet());
  EXPECT_EQ(Last<MsgTimelineColumn>()->column, 0);
  EXPECT_TRUE(engine.positions().current[0].empty());

  engine.queue().post(PlayMsgStop{});
  engine.processOne();
  EXPECT_FALSE(engine.feedLoaded());
  EXPECT_FALSE(limitRunning);
  EXPECT_EQ(Count<MsgPlaybackStopped>(), 1);
  EXPECT_TRUE(std::holds_alternative<MsgPaused>(posted.back()));
  EXPECT_FALSE(engine.summary().rangeKnown);
  // Without a feed the commands do nothing.
  const std::size_t before = posted.size();
  engine.queue().post(PlayMsgPlayForward{0});
  engine.queue().post(PlayMsgPause{});
  engine.queue().post(PlayMsgStepForward{0});
  Drain();
  EXPECT_EQ(posted.size(), before);
}

TEST_F(Engine, AtSpeedHundredLateFramesAreSkippedAlongTheColumns) {
  TempFolder folder;
  RecordWriter writer(folder.path());
  const auto jpeg = SmallJpeg();
  const int64_t t0 = kHourStart + 100;
  std::map<std::string, double> recordedAt;
  for (int k = 0; k < 6000; ++k) {
    writer.Append(t0 + k / 10, static_cast<unsigned>((k % 10) * 100), jpeg);
    recordedAt[Caption("Door", t0 + k / 10, static_cast<unsigned>((k % 10) * 100))] = k / 10.0;
  }
  Feed({View(0, folder, "Door")});
  EXPECT_EQ(engine.summary().columns, 592);
  engine.queue().post(PlayMsgSeek{0});
  engine.queue().post(PlayMsgSpeed{1000});  // 100 x real time (slider position 18)
  Drain();
  shown.clear();
  clock.costPerReading = 0.02;  // every reading of the clock finds 20 ms of work done

  engine.queue().post(PlayMsgPlayForward{0});
  Drain(5000);
  EXPECT_FALSE(engine.playing()) << "ends paused at the end of the material";
  ASSERT_GT(shown.size(), 10u);
  // Far fewer frames shown than recorded, with jumps of more than a column between them.
  EXPECT_LT(shown.size(), 1000u);
  int bigJumps = 0;
  for (std::size_t i = 1; i < shown.size(); ++i) {
    ASSERT_EQ(recordedAt.count(shown[i].caption), 1u) << shown[i].caption;
    const double gap = recordedAt[shown[i].caption] - recordedAt[shown[i - 1].caption];
    EXPECT_GE(gap, 0.0) << "never backwards";
    if (gap > 1.5) ++bigJumps;  // more than a column (about 1.01 s) at once
  }
  EXPECT_GT(bigJumps, 10);
  EXPECT_EQ(shown.back().caption, Caption("Door", t0 + 599, 900)) << "the last frame is reached";
  EXPECT_NE(std::find(clock.waits.begin(), clock.waits.end(), 10), clock.waits.end())
      << "a jump along the columns waits 10 ms";
}

// The program's own output: frames reach the tiles only while playback mode is on, so a
// frame read just before playback was left does not land in a tile given to another
// entry meanwhile.
TEST(PlaybackOutput, FramesOfALeftPlaybackStayOutOfTheTiles) {
  PlaybackLimitTimer limit;
  ViewSlots shown;
  ProgramPlaybackOutput output(limit, shown);
  constexpr int kTile = 7;
  shown.SetCaptionAndClear(kTile, "Connecting to Gate");
  programSignals().playbackMode.store(false);
  output.show(kTile, nullptr, "Door: 01/02/26 03:04:05.06");
  EXPECT_EQ(shown.Text(kTile), "Connecting to Gate");
  programSignals().playbackMode.store(true);
  output.show(kTile, nullptr, "Door: 01/02/26 03:04:05.06");
  EXPECT_EQ(shown.Text(kTile), "Door: 01/02/26 03:04:05.06");
  programSignals().playbackMode.store(false);
  shown.SetCaptionAndClear(kTile, std::string());
}

TEST(PlaybackThread, StartsQuitsAndJoins) {
  startPlaybackThread();
  EXPECT_TRUE(programPlayback().engine.queue().post(PlayMsgSpeed{20}));
  quitPlayback();
  EXPECT_TRUE(joinPlayback(std::chrono::milliseconds(2000)));
  EXPECT_TRUE(joinPlayback(std::chrono::milliseconds(10))) << "joining again is harmless";
  // It can be started again (a second start of the application in one process).
  startPlaybackThread();
  quitPlayback();
  EXPECT_TRUE(joinPlayback(std::chrono::milliseconds(2000)));
}

}  // namespace
}  // namespace velmora
