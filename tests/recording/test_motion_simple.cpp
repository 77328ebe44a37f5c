// The simple (zone) detector.
#include <gtest/gtest.h>

#include "recording/format.h"
#include "test_motion_frames.h"

namespace velmora {
namespace {

using testing::Grey;
using testing::TestFrame;
using testing::ZoneBit;
using testing::ZoneCount;

class SimpleDetector : public ::testing::Test {
 protected:
  // One frame as the recorder passes it: recordFrame cleared first.
  bool run(TestFrame& frame, bool marking = false) {
    state.recordFrame = false;
    alert = motion_detect(state, settings, frame.view(), MotionCall{"Door", marking});
    return state.recordFrame;
  }
  // A fresh detector started on a flat 160 x 80 scene (zones of 10 x 10).
  void restart(TestFrame& scene) {
    state = MotionState{};
    ASSERT_TRUE(run(scene));
    ASSERT_EQ(state.motionKind, 0);
  }

  MotionState state;
  MotionConfig settings;
  TestFrame scene{160, 80};
  bool alert = false;
};

TEST_F(SimpleDetector, StartRecordThenQuietScene) {
  ASSERT_TRUE(run(scene));
  EXPECT_EQ(state.motionMaskLow & state.motionMaskHigh, kAllZones);
  EXPECT_EQ(state.zoneNoise[77], 3u);
  for (int i = 0; i < 6; ++i) {
    scene.fill(0, 0, 160, 80, static_cast<uint8_t>(100 + i % 2));  // below every threshold
    EXPECT_FALSE(run(scene)) << i;
  }
  EXPECT_EQ(state.zoneNoise[77], 2u) << "0% changes pull noise 3 down to 2.4, rounded to 2";
  state.motionKind = 1;
  EXPECT_TRUE(run(scene)) << "another kind's state starts over";
  EXPECT_EQ(state.motionMaskLow, kAllZones);
}

TEST_F(SimpleDetector, OneZoneIsMotionWithTwoHoldFrames) {
  settings.motionAlert = true;
  restart(scene);
  scene.fillZone(5, 200);
  EXPECT_TRUE(run(scene));
  EXPECT_TRUE(alert);
  EXPECT_EQ(state.motionMaskLow, uint64_t{1} << 5);
  EXPECT_EQ(state.motionMaskHigh, 0u);
  EXPECT_TRUE(run(scene));
  EXPECT_FALSE(alert);
  EXPECT_EQ(state.motionMaskLow, uint64_t{1} << 5) << "hold frames carry the motion's mask";
  EXPECT_TRUE(run(scene));
  EXPECT_FALSE(run(scene));
}

TEST_F(SimpleDetector, ZonesCountFromTheBottomAndStopAtTheDecidingOne) {
  restart(scene);
  scene.fill(0, 0, 10, 10, 220);  // top-left corner of the picture: zone 112
  scene.fillZone(120, 220);
  EXPECT_TRUE(run(scene));
  EXPECT_TRUE(ZoneBit(state, 112));
  EXPECT_EQ(ZoneCount(state), 1) << "zones after the deciding one are not examined";

  // 85 rows: zones of 10 rows and 5 spare rows at the top that are never read.
  TestFrame tall(160, 85);
  restart(tall);
  tall.fill(0, 0, 160, 5, 255);
  EXPECT_FALSE(run(tall));
}

TEST_F(SimpleDetector, MultipleZonesRequiredWhenAsked) {
  settings.requireMultipleZones = true;
  restart(scene);
  scene.fillZone(40, 200);
  EXPECT_FALSE(run(scene));
  scene.fillZone(40, 100);
  EXPECT_FALSE(run(scene));
  scene.fillZone(40, 200);
  scene.fillZone(90, 200);
  EXPECT_TRUE(run(scene));
  EXPECT_EQ(ZoneCount(state), 2);
  EXPECT_TRUE(ZoneBit(state, 40) && ZoneBit(state, 90));
}

TEST_F(SimpleDetector, TopLeftGridCellWatchesItsEightZones) {
  settings.grid4x4 = 0x0001;
  std::vector<int> triggered;
  for (int zone = 0; zone < 128; ++zone) {
    TestFrame small(64, 32);
    restart(small);
    small.fillZone(zone, 230);
    if (run(small)) triggered.push_back(zone);
  }
  EXPECT_EQ(triggered, (std::vector<int>{96, 97, 98, 99, 112, 113, 114, 115}));
}

TEST_F(SimpleDetector, GradualChangeIgnoredOnlyWhenAsked) {
  auto framesUntilMotion = [&](bool ignore) {
    settings.ignoreGradualChanges = ignore;
    TestFrame ramp(160, 80, 24, 120);
    restart(ramp);
    for (int i = 1; i <= 30; ++i) {
      ramp.fill(0, 0, 160, 80, static_cast<uint8_t>(120 + 4 * i));
      if (run(ramp)) return i;
    }
    return 0;
  };
  EXPECT_EQ(framesUntilMotion(true), 0);
  EXPECT_GT(framesUntilMotion(false), 1) << "against a fixed reference it adds up";
}

TEST_F(SimpleDetector, ThresholdsAndSensitivity) {
  auto moved = [&](uint32_t sensitivity, uint8_t level) {
    settings.sensitivity = sensitivity;
    TestFrame grey(160, 80, 24, 120);
    restart(grey);
    grey.fillZone(50, level);
    return run(grey);
  };
  // Default sensitivity at a mid grey: 120 -> 132 is 9% (excess 6 over noise 3) against
  // a threshold of 7; 120 -> 135 is 11% (excess 8) against 7.
  EXPECT_FALSE(moved(11, 132));
  EXPECT_TRUE(moved(11, 135));
  EXPECT_TRUE(moved(15, 137));
  EXPECT_FALSE(moved(0, 137));
  EXPECT_TRUE(moved(99, 137)) << "clamped to 15";
  // The setting is a device's saved value, unsigned: the largest a tree file can hold
  // is clamped to 15 as well.
  EXPECT_TRUE(moved(0xFFFFFFFFu, 137)) << "clamped to 15";
}

TEST_F(SimpleDetector, GreenMarksOnlyWhenMarkingApplies) {
  for (bool marking : {false, true}) {
    for (bool show : {false, true}) {
      settings.motionShow = show;
      TestFrame frame(160, 80);
      restart(frame);
      frame.fillZone(5, 200);
      const auto before = frame.bytes();
      EXPECT_TRUE(run(frame, marking));
      EXPECT_EQ(frame.bytes() == before, !(marking && show));
    }
  }
  // Zone 5 spans x 50-59, y 70-79: a one-pixel outline.
  TestFrame frame(160, 80);
  restart(frame);
  frame.fillZone(5, 200);
  EXPECT_TRUE(run(frame, true));
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(frame.at(50 + i, 70), testing::kGreen);
    EXPECT_EQ(frame.at(50 + i, 79), testing::kGreen);
    EXPECT_EQ(frame.at(50, 70 + i), testing::kGreen);
    EXPECT_EQ(frame.at(59, 70 + i), testing::kGreen);
  }
  EXPECT_EQ(frame.at(55, 75), Grey(200));
  EXPECT_EQ(frame.at(55, 69), Grey(100));
}

TEST_F(SimpleDetector, GreyAnd32BitFramesAndMissingOrTinyFrames) {
  settings.motionShow = true;
  for (int bpp : {8, 32}) {
    TestFrame frame(160, 80, bpp);
    restart(frame);
    EXPECT_FALSE(run(frame));
    frame.fillZone(21, 200);
    EXPECT_TRUE(run(frame, true)) << bpp;
    EXPECT_EQ(state.motionMaskLow, uint64_t{1} << 21) << bpp;
    EXPECT_EQ(frame.at(50, 60), bpp == 8 ? Grey(150) : testing::kGreen) << "grey: brightness";
    if (bpp == 32) {
      EXPECT_EQ(frame.pixel(50, 60)[3], 255);
    }
  }
  state.recordFrame = false;
  EXPECT_FALSE(motion_detect(state, settings, FrameView{}, MotionCall{"Door", true}));
  EXPECT_FALSE(state.recordFrame) << "no frame, no decision";
  TestFrame tiny(12, 6);  // no zone has pixels
  restart(tiny);
  tiny.fill(0, 0, 12, 6, 255);
  EXPECT_FALSE(run(tiny));
}

}  // namespace
}  // namespace velmora
