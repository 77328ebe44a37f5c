// Pixel access shared by the motion detectors: cell colour sums and rectangle marks.
#include <bit>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "recording/motion.h"

namespace velmora {

static_assert(std::endian::native == std::endian::little, "lane sums read pixel bytes as words");

bool FrameView::valid() const {
  // JPEG dimensions end at 65535, which also keeps one row's 32-bit colour sums exact.
  if (pixels == nullptr || width <= 0 || height <= 0) return false;
  if (width > kMaxFrameSide || height > kMaxFrameSide) return false;
  if (bitsPerPixel != 8 && bitsPerPixel != 24 && bitsPerPixel != 32) return false;
  const long long rowBytes = static_cast<long long>(width) * (bitsPerPixel / 8);
  return std::llabs(static_cast<long long>(stride)) >= rowBytes;
}

uint64_t ColourValue(uint64_t blue, uint64_t green, uint64_t red) {
  // Block and zone sums of ordinary frames stay below 2^26, so the sum of squares is
  // exact in a double. Only very large cells need 128 bits.
  constexpr uint64_t kSmall = uint64_t{1} << 26;
  if (blue < kSmall && green < kSmall && red < kSmall) {
    const uint64_t sum = blue * blue + green * green + red * red;
    auto root = static_cast<uint64_t>(std::sqrt(static_cast<double>(sum)));
    while (root > 0 && root * root > sum) --root;
    while ((root + 1) * (root + 1) <= sum) ++root;
    return root;
  }
  using u128 = unsigned __int128;
  const u128 sum = u128(blue) * blue + u128(green) * green + u128(red) * red;
  auto root = static_cast<uint64_t>(std::sqrt(static_cast<long double>(sum)));
  while (root > 0 && u128(root) * root > sum) --root;
  while (u128(root + 1) * (root + 1) <= sum) ++root;
  return root;
}

namespace {

// Cell sums work on 64-bit words holding four 16-bit lanes: a word of pixel bytes split
// into its even and odd bytes gives two such words, and lanes of many words add up
// without carrying into each other until a lane could pass 65535. A group is the
// smallest run of whole pixels that fills whole words. Which colour each lane holds
// follows from the byte positions; the lane totals are moved into the colour sums
// ("flushed") before they could overflow and at the end of each cell row.
constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;

inline uint64_t Word(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}
inline uint64_t Lane(uint64_t lanes, int k) { return (lanes >> (16 * k)) & 0xFFFF; }

template <int Bytes>
struct LaneSums;

// 24 bits: a group is 8 pixels in 3 words (bytes B G R B G R B G | R B G R B G R B |
// G R B G R B G R). Even and odd bytes of the three words pair up into three lane
// words with the same colour pattern: a (B R G B), b (G B R G), c (R G B R).
template <>
struct LaneSums<3> {
  static constexpr int kPixels = 8;
  static constexpr int kMaxGroups = 128;  // two bytes per lane per group
  uint64_t a = 0, b = 0, c = 0;
  void add(const uint8_t* p, int groups) {
    for (int g = 0; g < groups; ++g, p += 24) {
      const uint64_t w0 = Word(p), w1 = Word(p + 8), w2 = Word(p + 16);
      a += (w0 & kEvenBytes) + ((w1 >> 8) & kEvenBytes);
      b += ((w0 >> 8) & kEvenBytes) + (w2 & kEvenBytes);
      c += (w1 & kEvenBytes) + ((w2 >> 8) & kEvenBytes);
    }
  }
  void flush(uint64_t* sums) {
    sums[0] += Lane(a, 0) + Lane(a, 3) + Lane(b, 1) + Lane(c, 2);
    sums[1] += Lane(a, 2) + Lane(b, 0) + Lane(b, 3) + Lane(c, 1);
    sums[2] += Lane(a, 1) + Lane(b, 2) + Lane(c, 0) + Lane(c, 3);
    a = b = c = 0;
  }
};

// 32 bits: a group is 2 pixels in one word; even bytes B R B R, odd bytes G A G A.
template <>
struct LaneSums<4> {
  static constexpr int kPixels = 2;
  static constexpr int kMaxGroups = 256;
  uint64_t even = 0, odd = 0;
  void add(const uint8_t* p, int groups) {
    for (int g = 0; g < groups; ++g, p += 8) {
      const uint64_t w = Word(p);
      even += w & kEvenBytes;
      odd += (w >> 8) & kEvenBytes;
    }
  }
  void flush(uint64_t* sums) {
    sums[0] += Lane(even, 0) + Lane(even, 2);
    sums[1] += Lane(odd, 0) + Lane(odd, 2);
    sums[2] += Lane(even, 1) + Lane(even, 3);
    even = odd = 0;
  }
};

// 8 bits: a group is 8 grey pixels in one word, read as equal blue, green and red.
template <>
struct LaneSums<1> {
  static constexpr int kPixels = 8;
  static constexpr int kMaxGroups = 128;
  uint64_t grey = 0;
  void add(const uint8_t* p, int groups) {
    for (int g = 0; g < groups; ++g, p += 8) {
      const uint64_t w = Word(p);
      grey += (w & kEvenBytes) + ((w >> 8) & kEvenBytes);
    }
  }
  void flush(uint64_t* sums) {
    const uint64_t total = Lane(grey, 0) + Lane(grey, 1) + Lane(grey, 2) + Lane(grey, 3);
    sums[0] += total;
    sums[1] += total;
    sums[2] += total;
    grey = 0;
  }
};

// Plain sums of `count` pixels onto sums[0..3).
template <int Bytes>
inline void AddPixels(const uint8_t* p, int count, uint64_t* sums) {
  uint32_t b = 0, g = 0, r = 0;
  for (int x = 0; x < count; ++x, p += Bytes) {
    b += p[0];
    if constexpr (Bytes > 1) {
      g += p[1];
      r += p[2];
    }
  }
  sums[0] += b;
  sums[1] += Bytes > 1 ? g : b;
  sums[2] += Bytes > 1 ? r : b;
}

// One row of cells (cell row r of the grid): every pixel of it read once.
template <int Bytes>
void CellRowSums(const FrameView& frame, int r, int cellWidth, int cellHeight, int cols,
                 uint64_t* sums, std::vector<LaneSums<Bytes>>& lanes) {
  using L = LaneSums<Bytes>;
  const int groups = cellWidth / L::kPixels;
  const int rest = cellWidth - groups * L::kPixels;
  // Cells too narrow for a group, or too wide for one row to fit the lanes, are summed
  // pixel by pixel.
  const bool packed = groups > 0 && groups <= L::kMaxGroups;
  lanes.resize(packed ? cols : 0);
  const std::ptrdiff_t cellBytes = static_cast<std::ptrdiff_t>(cellWidth) * Bytes;
  int pending = 0;  // groups added to every cell's lanes since their last flush
  for (int k = 0; k < cellHeight; ++k) {
    // Cell row r counts from the bottom; the view's rows run top-down.
    const int y = frame.height - 1 - (r * cellHeight + k);
    const uint8_t* row = frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride;
    if (!packed) {
      for (int c = 0; c < cols; ++c) AddPixels<Bytes>(row + c * cellBytes, cellWidth, sums + 3 * c);
      continue;
    }
    if (pending + groups > L::kMaxGroups) {
      for (int c = 0; c < cols; ++c) lanes[c].flush(sums + 3 * c);
      pending = 0;
    }
    const std::ptrdiff_t restOffset = static_cast<std::ptrdiff_t>(groups) * L::kPixels * Bytes;
    for (int c = 0; c < cols; ++c) {
      lanes[c].add(row + c * cellBytes, groups);
      if (rest > 0) AddPixels<Bytes>(row + c * cellBytes + restOffset, rest, sums + 3 * c);
    }
    pending += groups;
  }
  if (packed)
    for (int c = 0; c < cols; ++c) lanes[c].flush(sums + 3 * c);
}

}  // namespace

void CellSums(const FrameView& frame, int cellWidth, int cellHeight, int cols, int rows,
              std::vector<uint64_t>& sums) {
  sums.assign(static_cast<std::size_t>(cols) * rows * 3, 0);
  if (!frame.valid() || cellWidth <= 0 || cellHeight <= 0 || cols <= 0 || rows <= 0) return;
  if (static_cast<long long>(cellWidth) * cols > frame.width ||
      static_cast<long long>(cellHeight) * rows > frame.height)
    return;
  std::vector<LaneSums<3>> lanes3;
  std::vector<LaneSums<4>> lanes4;
  std::vector<LaneSums<1>> lanes1;
  for (int r = 0; r < rows; ++r) {
    uint64_t* cellSums = sums.data() + static_cast<std::size_t>(r) * cols * 3;
    switch (frame.bitsPerPixel) {
      case 24: CellRowSums<3>(frame, r, cellWidth, cellHeight, cols, cellSums, lanes3); break;
      case 32: CellRowSums<4>(frame, r, cellWidth, cellHeight, cols, cellSums, lanes4); break;
      default: CellRowSums<1>(frame, r, cellWidth, cellHeight, cols, cellSums, lanes1); break;
    }
  }
}

static void PutPixel(const FrameView& frame, int x, int y, uint8_t red, uint8_t green,
                     uint8_t blue) {
  uint8_t* p = frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride +
               static_cast<std::ptrdiff_t>(x) * (frame.bitsPerPixel / 8);
  if (frame.bitsPerPixel == 8) {
    // A grey frame cannot hold the colour: use its brightness.
    *p = static_cast<uint8_t>((red * 299 + green * 587 + blue * 114 + 500) / 1000);
    return;
  }
  p[0] = blue;
  p[1] = green;
  p[2] = red;
  if (frame.bitsPerPixel == 32) p[3] = 255;
}

void DrawFrameRect(const FrameView& frame, int x, int y, int width, int height, uint8_t red,
                   uint8_t green, uint8_t blue) {
  if (!frame.valid() || width <= 0 || height <= 0) return;
  const long long right = static_cast<long long>(x) + width - 1;
  const long long bottom = static_cast<long long>(y) + height - 1;
  const int x0 = std::max(x, 0);
  const int x1 = static_cast<int>(std::min<long long>(right, frame.width - 1));
  const int y0 = std::max(y, 0);
  const int y1 = static_cast<int>(std::min<long long>(bottom, frame.height - 1));
  if (x0 > x1 || y0 > y1) return;
  // Horizontal edges, only where they lie inside the frame.
  for (long long edge : {static_cast<long long>(y), bottom}) {
    if (edge < 0 || edge >= frame.height) continue;
    for (int px = x0; px <= x1; ++px) PutPixel(frame, px, static_cast<int>(edge), red, green, blue);
  }
  for (long long edge : {static_cast<long long>(x), right}) {
    if (edge < 0 || edge >= frame.width) continue;
    for (int py = y0; py <= y1; ++py) PutPixel(frame, static_cast<int>(edge), py, red, green, blue);
  }
}

}  // namespace velmora
