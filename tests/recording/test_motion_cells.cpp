// Cell colour sums (packed lanes with flushes, pixel tails, wide cells) against a plain
// per-pixel sum, and the integer square root behind zone and block values.
#include <gtest/gtest.h>

#include <random>

#include "recording/motion.h"

namespace velmora {
namespace {

struct Grid {
  int cellWidth, cellHeight, cols, rows;
};

std::vector<uint64_t> PlainSums(const FrameView& f, const Grid& g) {
  std::vector<uint64_t> sums(std::size_t(g.cols) * g.rows * 3, 0);
  const int bytes = f.bitsPerPixel / 8;
  for (int r = 0; r < g.rows; ++r)
    for (int c = 0; c < g.cols; ++c)
      for (int k = 0; k < g.cellHeight; ++k)
        for (int x = 0; x < g.cellWidth; ++x) {
          const int y = f.height - 1 - (r * g.cellHeight + k);  // rows from the bottom
          const uint8_t* p = f.pixels + std::ptrdiff_t(y) * f.stride + (c * g.cellWidth + x) * bytes;
          for (int ch = 0; ch < 3; ++ch) sums[(r * g.cols + c) * 3 + ch] += p[bytes == 1 ? 0 : ch];
        }
  return sums;
}

TEST(CellSums, MatchPlainSumsForEveryDepthAndShape) {
  std::mt19937 random(7);
  for (int bpp : {8, 24, 32}) {
    for (auto [w, h] : {std::pair{1930, 300}, std::pair{641, 97}, std::pair{2300, 20}}) {
      const int stride = (w * bpp / 8 + 3) & ~3;
      std::vector<uint8_t> pixels(std::size_t(stride) * h);
      for (auto& p : pixels) p = static_cast<uint8_t>(random() % 4 == 0 ? 255 : random());
      // Also a bottom-up buffer: the view starts at the last row with a negative stride.
      for (bool bottomUp : {false, true}) {
        FrameView f{bottomUp ? pixels.data() + std::size_t(stride) * (h - 1) : pixels.data(), w, h,
                    bottomUp ? -stride : stride, bpp};
        for (Grid g : {Grid{w / 16, h / 8, 16, 8}, Grid{8, 8, w / 8, h / 8}, Grid{w - 5, 7, 1, 2},
                       Grid{3, 5, 7, 3}}) {
          std::vector<uint64_t> sums;
          CellSums(f, g.cellWidth, g.cellHeight, g.cols, g.rows, sums);
          EXPECT_EQ(sums, PlainSums(f, g)) << bpp << " " << w << "x" << h << " cell " << g.cellWidth;
        }
      }
    }
  }
}

TEST(CellSums, ColourValueIsTheExactIntegerRoot) {
  EXPECT_EQ(ColourValue(0, 0, 0), 0u);
  EXPECT_EQ(ColourValue(3, 4, 0), 5u);
  EXPECT_EQ(ColourValue(2, 2, 2), 3u);  // sqrt(12) = 3.46
  EXPECT_EQ(ColourValue(16320, 16320, 16320), 28267u);  // a white 8 x 8 block
  const uint64_t big = 4000000000ull;  // sums of very large zones: squares pass 64 bits
  EXPECT_EQ(ColourValue(big, big, big), 6928203230ull);
}

}  // namespace
}  // namespace velmora
