// Synthetic frames for the motion detector tests: a flat grey scene with changed
// rectangles in picture coordinates (top-down); zones and blocks counted from the bottom.
#pragma once

#include <cstdint>
#include <vector>

#include "recording/motion.h"

namespace velmora::testing {

struct Colour {
  uint8_t blue, green, red;
  bool operator==(const Colour&) const = default;
};
constexpr Colour kGreen{0, 255, 0};
constexpr Colour kYellow{0, 255, 255};
constexpr Colour kMagenta{255, 0, 255};
constexpr Colour kDarkMagenta{160, 0, 160};
constexpr Colour Grey(uint8_t level) { return {level, level, level}; }

class TestFrame {
 public:
  TestFrame(int width, int height, int bitsPerPixel = 24, uint8_t level = 100)
      : width_(width), height_(height), bytes_(bitsPerPixel / 8),
        stride_((width * bytes_ + 3) & ~3), pixels_(std::size_t(stride_) * height) {
    fill(0, 0, width, height, level);
  }
  FrameView view() { return FrameView{pixels_.data(), width_, height_, stride_, bytes_ * 8}; }

  void fill(int x, int y, int w, int h, uint8_t level) {
    for (int py = y; py < y + h; ++py)
      for (int px = x; px < x + w; ++px)
        for (int i = 0; i < bytes_; ++i) pixel(px, py)[i] = i < 3 ? level : 0;
  }
  // Zone n: column n % 16, row n / 16 from the bottom.
  void fillZone(int zone, uint8_t level) {
    const int zw = width_ / 16, zh = height_ / 8;
    fill((zone % 16) * zw, height_ - (zone / 16 + 1) * zh, zw, zh, level);
  }
  // 8 x 8 block at col, row from the bottom.
  void fillBlock(int col, int row, uint8_t level) {
    fill(col * 8, height_ - (row + 1) * 8, 8, 8, level);
  }
  Colour at(int x, int y) {
    const uint8_t* p = pixel(x, y);
    return bytes_ == 1 ? Grey(p[0]) : Colour{p[0], p[1], p[2]};
  }
  uint8_t* pixel(int x, int y) { return pixels_.data() + std::size_t(y) * stride_ + x * bytes_; }
  const std::vector<uint8_t>& bytes() const { return pixels_; }

 private:
  int width_, height_, bytes_, stride_;
  std::vector<uint8_t> pixels_;
};

inline bool ZoneBit(const MotionState& s, int zone) {
  return ((zone < 64 ? s.motionMaskLow >> zone : s.motionMaskHigh >> (zone - 64)) & 1) != 0;
}
inline int ZoneCount(const MotionState& s) {
  int n = 0;
  for (int z = 0; z < 128; ++z) n += ZoneBit(s, z);
  return n;
}

}  // namespace velmora::testing
