// Camera-supplied motion blocks: finding them in the JPEG and reading them.
#include <gtest/gtest.h>

#include "recording/format.h"
#include "test_motion_frames.h"

namespace velmora {
namespace {

using testing::Grey;
using testing::TestFrame;
using testing::ZoneBit;
using testing::ZoneCount;
using Rows = std::array<uint16_t, 16>;  // row 0 at the top of the picture, bit 15 the left

std::array<uint8_t, 32> ToBlock(const Rows& rows) {
  std::array<uint8_t, 32> block{};
  for (int i = 0; i < 16; ++i) {
    block[2 * i] = static_cast<uint8_t>(rows[i] >> 8);
    block[2 * i + 1] = static_cast<uint8_t>(rows[i]);
  }
  return block;
}

std::vector<uint8_t> Segment(const Rows& rows, bool tagged) {
  std::vector<uint8_t> s = {0xFF, 0xEA, 0x00, static_cast<uint8_t>(tagged ? 0x26 : 0x22)};
  if (tagged) s.insert(s.end(), {'V', 'L', 'M', '0'});
  const auto block = ToBlock(rows);
  s.insert(s.end(), block.begin(), block.end());
  return s;
}

// SOI, a filler segment, the given segments, entropy-like bytes, EOI.
std::vector<uint8_t> Jpeg(const std::vector<std::vector<uint8_t>>& segments = {}) {
  std::vector<uint8_t> j = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x11, 0x22};
  for (const auto& s : segments) j.insert(j.end(), s.begin(), s.end());
  for (int i = 0; i < 200; ++i) j.push_back(static_cast<uint8_t>(i % 50 == 0 ? 0xFF : i));
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}
std::vector<uint8_t> Jpeg(const Rows& rows, bool tagged = false) { return Jpeg({Segment(rows, tagged)}); }

TEST(CameraMotionBlock, FormsPlacesAndBounds) {
  Rows a{}, b{};
  a[0] = 0x8000;
  b[15] = 0x0001;
  std::array<uint8_t, 32> found{};
  auto find = [&](const std::vector<uint8_t>& j) { return FindCameraMotionBlock(j.data(), j.size(), found); };
  ASSERT_TRUE(find(Jpeg(a)));
  EXPECT_EQ(found, ToBlock(a));
  ASSERT_TRUE(find(Jpeg(b, true)));
  EXPECT_EQ(found, ToBlock(b));
  ASSERT_TRUE(find(Jpeg({Segment(a, false), Segment(b, true)})));
  EXPECT_EQ(found, ToBlock(b)) << "the segment nearest the end wins";

  // A last segment whose block runs past the end is passed over.
  auto cut = Jpeg(a);
  const auto tail = Segment(b, true);
  cut.insert(cut.end(), tail.begin(), tail.end() - 1);
  ASSERT_TRUE(find(cut));
  EXPECT_EQ(found, ToBlock(a));

  auto wrongLength = Segment(a, false);
  wrongLength[3] = 0x23;
  auto wrongTag = Segment(a, true);
  wrongTag[7] = '1';
  EXPECT_FALSE(find(Jpeg({wrongLength, wrongTag})));
  EXPECT_FALSE(find(Jpeg()));
  const auto exact = Segment(a, false);
  EXPECT_TRUE(find(exact));
  EXPECT_FALSE(FindCameraMotionBlock(exact.data(), exact.size() - 1, found));
  EXPECT_FALSE(FindCameraMotionBlock(exact.data(), 1, found));
  EXPECT_FALSE(FindCameraMotionBlock(nullptr, 0, found));
}

class CameraDetector : public ::testing::Test {
 protected:
  bool run(const std::vector<uint8_t>& jpeg, FrameView frame = {}, bool marking = false) {
    state.recordFrame = false;
    alert = motion_detect_camera(state, settings, jpeg.data(), jpeg.size(), frame,
                                 MotionCall{"Door", marking});
    return state.recordFrame;
  }
  void restart() {
    state = MotionState{};
    ASSERT_TRUE(run(Jpeg()));
    ASSERT_EQ(state.motionKind, 2);
    ASSERT_EQ(state.motionMaskLow & state.motionMaskHigh, kAllZones);
  }
  MotionState state;
  MotionConfig settings;
  bool alert = false;
};

TEST_F(CameraDetector, SensitivityAndGridCellsFromTheBottom) {
  settings.sensitivity = 15;
  restart();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(run(Jpeg())) << "no segment, no motion";
  Rows one{};
  one[15] = 0x8000;  // a single bit in the bottom-left cell
  EXPECT_TRUE(run(Jpeg(one)));

  settings.sensitivity = 0;
  restart();
  Rows cell{};
  for (int i = 12; i < 16; ++i) cell[i] = 0xF000;
  cell[12] = 0x7000;
  EXPECT_FALSE(run(Jpeg(cell))) << "15 of 16 bits";
  cell[12] = 0xF000;
  EXPECT_TRUE(run(Jpeg(cell)));

  settings.sensitivity = 15;
  Rows low{}, high{};
  low[14] = 0x0100;  // block row 1 from the bottom, column 7: grid cell bit 13
  high[1] = 0x0100;  // block row 14 from the bottom: grid cell bit 1
  settings.grid4x4 = 1u << 13;
  restart();
  EXPECT_TRUE(run(Jpeg(low)));
  restart();
  EXPECT_FALSE(run(Jpeg(high)));
  settings.grid4x4 = 1u << 1;
  EXPECT_TRUE(run(Jpeg(high)));
}

TEST_F(CameraDetector, MasksHoldAlertAndMultipleCells) {
  settings.sensitivity = 15;
  settings.motionAlert = true;
  settings.requireMultipleZones = true;
  restart();
  Rows rows{};
  rows[15] = 0x8000;  // zone 0
  EXPECT_FALSE(run(Jpeg(rows))) << "one moved cell of two needed";
  rows[0] = 0x0001;   // zone 127
  rows[13] = 0x0100;  // zone 16 + 7
  EXPECT_TRUE(run(Jpeg(rows, true)));
  EXPECT_TRUE(alert);
  EXPECT_EQ(ZoneCount(state), 3);
  EXPECT_TRUE(ZoneBit(state, 0) && ZoneBit(state, 127) && ZoneBit(state, 23));
  EXPECT_EQ(state.cameraMotionBlock, ToBlock(rows));
  EXPECT_TRUE(run(Jpeg()));
  EXPECT_FALSE(alert);
  EXPECT_TRUE(run(Jpeg()));
  EXPECT_FALSE(run(Jpeg()));
  EXPECT_TRUE(ZoneBit(state, 127)) << "masks stay until the next motion";
}

TEST_F(CameraDetector, MarksCurrentAndPreviousBlocks) {
  settings.sensitivity = 15;
  settings.motionShow = true;
  restart();
  Rows first{}, second{};
  first[0] = 0x8000;    // top-left cell
  second[15] = 0x0001;  // bottom-right cell
  TestFrame frame(160, 160);
  EXPECT_TRUE(run(Jpeg(first), frame.view(), false));
  EXPECT_EQ(frame.at(0, 0), Grey(100)) << "marking does not apply";
  EXPECT_TRUE(run(Jpeg(second), frame.view(), true));
  // Cells of 10 x 10: the block in magenta, the previous one shrunk by 2 in dark magenta.
  EXPECT_EQ(frame.at(150, 150), testing::kMagenta);
  EXPECT_EQ(frame.at(159, 159), testing::kMagenta);
  EXPECT_EQ(frame.at(155, 155), Grey(100));
  EXPECT_EQ(frame.at(2, 2), testing::kDarkMagenta);
  EXPECT_EQ(frame.at(7, 7), testing::kDarkMagenta);
  EXPECT_EQ(frame.at(0, 0), Grey(100));
  EXPECT_TRUE(run(Jpeg(second), FrameView{}, true)) << "no frame only skips the marks";
}

}  // namespace
}  // namespace velmora
