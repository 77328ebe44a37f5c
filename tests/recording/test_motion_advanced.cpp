// The advanced (block) detector. Scenes are 128 x 128: 16 x 16 blocks, grid cells of
// 4 x 4 blocks, zones 8 pixels wide and 16 high.
#include <gtest/gtest.h>

#include <utility>

#include "recording/format.h"
#include "test_motion_frames.h"

namespace velmora {
namespace {

using testing::Grey;
using testing::TestFrame;
using testing::ZoneBit;
using testing::ZoneCount;
using Shape = std::vector<std::pair<int, int>>;

// A centre block with three changed neighbours, each of which has only one: exactly one
// block survives the neighbourhood filter.
const Shape kOneSurvivor = {{0, 0}, {-1, 1}, {1, 1}, {0, -1}};
const Shape kSquare = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
// Every block has two changed neighbours: none survives.
const Shape kCorner = {{0, 0}, {1, 0}, {0, 1}};

class AdvancedDetector : public ::testing::Test {
 protected:
  bool run(TestFrame& frame, bool marking = false) {
    state.recordFrame = false;
    alert = motion_detect_advanced(state, settings, frame.view(), MotionCall{"Door", marking});
    return state.recordFrame;
  }
  void restart(int width = 128, int height = 128, int bpp = 24) {
    state = MotionState{};
    TestFrame scene(width, height, bpp);
    ASSERT_TRUE(run(scene));
    ASSERT_EQ(state.motionKind, 1);
  }
  // A frame of the scene with shapes of changed blocks at (col, row) from the bottom.
  static TestFrame changed(std::vector<std::pair<int, int>> places, const Shape& shape,
                           int bpp = 24) {
    TestFrame frame(128, 128, bpp);
    for (auto [col, row] : places)
      for (auto [dx, dy] : shape) frame.fillBlock(col + dx, row + dy, 200);
    return frame;
  }

  MotionState state;
  MotionConfig settings;
  bool alert = false;
};

TEST_F(AdvancedDetector, StartsOverOnFirstFrameKindOrSizeChange) {
  TestFrame scene(128, 128);
  EXPECT_TRUE(run(scene));
  EXPECT_EQ(state.motionMaskLow & state.motionMaskHigh, kAllZones);
  ASSERT_EQ(state.blockNoise, std::vector<int32_t>(256, 150));
  EXPECT_FALSE(run(scene));
  TestFrame wider(136, 128);
  EXPECT_TRUE(run(wider)) << "a new frame size";
  EXPECT_EQ(state.blockNoise.size(), 17u * 16u);
  state.motionKind = 2;
  EXPECT_TRUE(run(wider)) << "another kind";
  EXPECT_EQ(state.motionKind, 1);
}

TEST_F(AdvancedDetector, SurvivorsNeededDependOnMultipleZones) {
  struct Case {
    std::vector<std::pair<int, int>> places;
    const Shape* shape;
    bool multiple, motion;
  };
  const Case cases[] = {
      {{{5, 5}}, &kCorner, true, false},          // no block has 3 changed neighbours
      {{{8, 8}}, &kOneSurvivor, true, true},       // one survivor suffices with the option
      {{{8, 8}}, &kOneSurvivor, false, false},     // but not without it
      {{{3, 3}, {11, 11}}, &kOneSurvivor, false, false},
      {{{3, 3}, {11, 11}, {3, 11}}, &kOneSurvivor, false, true},  // three do
      {{{8, 0}}, &kSquare, false, false},          // two of four lie in the bottom border row
      {{{14, 14}}, &kSquare, false, false},        // only (14, 14) is inside the border
      {{{14, 14}}, &kSquare, true, true},
  };
  for (const Case& c : cases) {
    settings.requireMultipleZones = c.multiple;
    restart();
    TestFrame frame = changed(c.places, *c.shape);
    EXPECT_EQ(run(frame), c.motion) << c.places.size() << " at " << c.places[0].first;
  }
  // The last case: block (14, 14), centre (116, 116) in zone column 14 and row 7.
  EXPECT_EQ(ZoneCount(state), 1);
  EXPECT_TRUE(ZoneBit(state, 7 * 16 + 14));
}

TEST_F(AdvancedDetector, MotionHoldsFourFramesAndRaisesTheAlert) {
  settings.motionAlert = true;
  restart();
  TestFrame frame = changed({{6, 6}}, kSquare);
  EXPECT_TRUE(run(frame));
  EXPECT_TRUE(alert);
  EXPECT_EQ(ZoneCount(state), 2) << "centres at x 52 and 60 fall into zone columns 6 and 7";
  EXPECT_TRUE(ZoneBit(state, 3 * 16 + 6) && ZoneBit(state, 3 * 16 + 7));
  const uint64_t low = state.motionMaskLow;
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(run(frame)) << i;
    EXPECT_FALSE(alert);
  }
  EXPECT_EQ(state.motionMaskLow, low);
  EXPECT_FALSE(run(frame));
}

TEST_F(AdvancedDetector, GridRowsCountFromTheBottom) {
  auto moved = [&](uint16_t grid, int row) {
    settings.grid4x4 = grid;
    restart();
    TestFrame frame = changed({{1, row}}, kSquare);
    return run(frame);
  };
  EXPECT_TRUE(moved(0x1000, 1));  // bit 12: bottom-left cell
  EXPECT_FALSE(moved(0x1000, 13));
  EXPECT_TRUE(moved(0x0001, 13));  // bit 0: top-left cell
  EXPECT_FALSE(moved(0x0001, 1));
}

TEST_F(AdvancedDetector, TooSmallFramesNeverShowMotion) {
  settings.requireMultipleZones = true;
  for (auto [w, h] : {std::pair{24, 24}, std::pair{31, 200}, std::pair{200, 31}}) {
    restart(w, h);
    TestFrame frame(w, h, 24, 250);
    EXPECT_FALSE(run(frame)) << w << "x" << h;
  }
}

TEST_F(AdvancedDetector, YellowMarksAndOtherDepths) {
  settings.requireMultipleZones = true;
  settings.motionShow = true;
  for (int bpp : {24, 8, 32}) {
    restart(128, 128, bpp);
    TestFrame frame = changed({{8, 8}}, kOneSurvivor, bpp);
    EXPECT_TRUE(run(frame, true)) << bpp;
    EXPECT_EQ(ZoneCount(state), 1);
    if (bpp != 24) continue;
    // Block (8, 8): x 64-71, y 56-63; neighbours that did not survive are not marked.
    EXPECT_EQ(frame.at(64, 56), testing::kYellow);
    EXPECT_EQ(frame.at(71, 63), testing::kYellow);
    EXPECT_EQ(frame.at(67, 60), Grey(200));
    EXPECT_EQ(frame.at(56, 48), Grey(200));
  }
}

TEST_F(AdvancedDetector, GradualChangesNoiseAndTheReference) {
  restart();
  TestFrame frame(128, 128);
  for (int i = 1; i <= 30; ++i) {
    frame.fill(0, 0, 128, 128, static_cast<uint8_t>(100 + 2 * i));
    EXPECT_FALSE(run(frame)) << i;
  }
  settings.ignoreGradualChanges = false;
  const auto reference = state.motionReference.blockValues;
  frame.fill(0, 0, 128, 128, 161);
  EXPECT_FALSE(run(frame));
  EXPECT_EQ(state.motionReference.blockValues, reference) << "kept without the option";

  // Noise rises fast on a change below the threshold and falls slowly.
  settings.ignoreGradualChanges = true;
  restart();
  const std::size_t b = 4 * 16 + 4;
  TestFrame flicker(128, 128);
  flicker.fillBlock(4, 4, 118);  // 17%
  EXPECT_FALSE(run(flicker));
  const int32_t risen = state.blockNoise[b];
  EXPECT_EQ(risen, (17 * 330 + 150 * 77) / 100);
  flicker.fillBlock(4, 4, 121);  // 2%
  EXPECT_FALSE(run(flicker));
  EXPECT_EQ(state.blockNoise[b], (2 * 10 + risen * 99) / 100);
  EXPECT_EQ(state.blockNoise[0], 150);
}

}  // namespace
}  // namespace velmora
