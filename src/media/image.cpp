#include "media/image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace velmora {

namespace {

std::atomic<int> g_liveImages{0};

// Largest pixel buffer an image may have; far above any camera frame, low enough that a
// bad size cannot ask for all of memory.
constexpr std::size_t kMaxImageBytes = std::size_t{1} << 30;

inline uint8_t GreyOf(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>((r * 77 + g * 150 + b * 29 + 128) >> 8);
}

// 5 x 7 glyphs, one byte per row, bit 4 = leftmost column.
struct Glyph {
  char ch;
  uint8_t rows[7];
};

constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {';', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}},
};

const Glyph* FindGlyph(char ch) {
  for (const Glyph& g : kGlyphs) {
    if (g.ch == ch) return &g;
  }
  return nullptr;
}

constexpr int kCellWidth = 6;
constexpr int kCellHeight = 9;

// Resampling taps of one axis: for each destination position, the source positions and
// their weights (summing to kWeightOne).
constexpr int kWeightShift = 14;
constexpr int kWeightOne = 1 << kWeightShift;

struct Taps {
  std::vector<int> first;   // index into index/weight per destination position
  std::vector<int> count;
  std::vector<int> index;   // source position (already clamped to the image)
  std::vector<int> weight;
};

// srcStart/srcLen: source rectangle on this axis; limit: image size on this axis;
// dstStart/dstLen: destination rectangle; [clip0, clip1): destination positions wanted.
Taps BuildTaps(int srcStart, int srcLen, int limit, int dstStart, int dstLen, int clip0, int clip1) {
  Taps t;
  const double scale = static_cast<double>(srcLen) / dstLen;
  std::vector<double> w;
  std::vector<int> idx;
  for (int d = clip0; d < clip1; ++d) {
    const int k = d - dstStart;
    w.clear();
    idx.clear();
    if (scale > 1.0) {
      // Shrinking: every source pixel the destination pixel covers, by covered length.
      const double a = k * scale;
      const double b = (k + 1) * scale;
      const int j0 = static_cast<int>(std::floor(a));
      const int j1 = static_cast<int>(std::ceil(b));
      for (int j = j0; j < j1; ++j) {
        const double cover = std::min(b, j + 1.0) - std::max(a, static_cast<double>(j));
        if (cover <= 0.0) continue;
        idx.push_back(j);
        w.push_back(cover);
      }
    } else {
      // Enlarging or 1:1: linear interpolation between the two nearest pixel centres.
      double p = (k + 0.5) * scale - 0.5;
      p = std::clamp(p, 0.0, static_cast<double>(srcLen - 1));
      const int j0 = static_cast<int>(std::floor(p));
      const double f = p - j0;
      idx.push_back(j0);
      w.push_back(1.0 - f);
      if (f > 0.0 && j0 + 1 < srcLen) {
        idx.push_back(j0 + 1);
        w.push_back(f);
      }
    }
    double sum = 0.0;
    for (double v : w) sum += v;
    t.first.push_back(static_cast<int>(t.index.size()));
    int total = 0;
    std::size_t largest = t.index.size();
    int largestWeight = -1;
    for (std::size_t i = 0; i < w.size(); ++i) {
      const int q = static_cast<int>(std::lround(w[i] / sum * kWeightOne));
      t.index.push_back(std::clamp(srcStart + idx[i], 0, limit - 1));
      t.weight.push_back(q);
      total += q;
      if (q > largestWeight) {
        largestWeight = q;
        largest = t.index.size() - 1;
      }
    }
    t.weight[largest] += kWeightOne - total;  // rounding rest onto the strongest tap
    t.count.push_back(static_cast<int>(w.size()));
  }
  return t;
}

// Converts row `y` of src into `channels` bytes per pixel for columns [x0, x1].
void ReadChannels(const Image& src, int y, int x0, int x1, int channels, uint8_t* out) {
  const uint8_t* p = src.row(y);
  const int bpp = src.bitsPerPixel();
  const auto& table = src.colourTable();
  for (int x = x0; x <= x1; ++x) {
    if (bpp == 8) {
      const uint8_t v = p[x];
      if (channels == 1) {
        *out++ = v;
      } else {
        const uint32_t e = v < src.colourCount() ? table[v] : 0;
        *out++ = static_cast<uint8_t>(e);
        *out++ = static_cast<uint8_t>(e >> 8);
        *out++ = static_cast<uint8_t>(e >> 16);
      }
    } else {
      const uint8_t* q = p + static_cast<std::size_t>(x) * (bpp / 8);
      *out++ = q[0];
      *out++ = q[1];
      *out++ = q[2];
      if (channels == 4) *out++ = bpp == 32 ? q[3] : 255;
    }
  }
}

// Writes one resampled pixel (channels bytes: index/grey, BGR or BGRA) to dst at q.
inline void WriteChannels(const uint8_t* v, int channels, int dstBpp, uint8_t* q) {
  if (dstBpp == 8) {
    q[0] = channels == 1 ? v[0] : GreyOf(v[2], v[1], v[0]);
  } else if (channels == 1) {
    q[0] = q[1] = q[2] = v[0];
    if (dstBpp == 32) q[3] = 255;
  } else {
    q[0] = v[0];
    q[1] = v[1];
    q[2] = v[2];
    if (dstBpp == 32) q[3] = channels == 4 ? v[3] : 255;
  }
}

}  // namespace

Image::Image() { g_liveImages.fetch_add(1, std::memory_order_relaxed); }

Image::~Image() { g_liveImages.fetch_sub(1, std::memory_order_relaxed); }

int Image::LiveCount() { return g_liveImages.load(std::memory_order_relaxed); }

std::unique_ptr<Image> Image::New(int width, int height, int bitsPerPixel) {
  std::unique_ptr<Image> image(new (std::nothrow) Image());
  if (!image || !image->Create(width, height, bitsPerPixel)) return nullptr;
  return image;
}

bool Image::Create(int width, int height, int bitsPerPixel, bool zero) {
  Destroy();
  if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) return false;
  if (bitsPerPixel != 8 && bitsPerPixel != 24 && bitsPerPixel != 32) return false;
  const std::size_t stride = (static_cast<std::size_t>(width) * (bitsPerPixel / 8) + 3) & ~std::size_t{3};
  const std::size_t total = stride * static_cast<std::size_t>(height);
  if (total > kMaxImageBytes) return false;
  uint8_t* memory = zero ? new (std::nothrow) uint8_t[total]() : new (std::nothrow) uint8_t[total];
  if (memory == nullptr) return false;
  bits_.reset(memory);
  width_ = width;
  height_ = height;
  bpp_ = bitsPerPixel;
  stride_ = static_cast<int>(stride);
  colourTable_.fill(0);
  colourCount_ = bitsPerPixel == 8 ? 256 : 0;
  transparentIndex_ = -1;
  hasAlpha_ = false;
  return true;
}

void Image::Destroy() {
  bits_.reset();
  width_ = height_ = bpp_ = stride_ = 0;
  colourCount_ = 0;
}

std::unique_ptr<Image> Image::Copy() const {
  if (!valid()) return nullptr;
  std::unique_ptr<Image> copy(new (std::nothrow) Image());
  if (!copy || !copy->Create(width_, height_, bpp_, false)) return nullptr;
  std::memcpy(copy->bits_.get(), bits_.get(), sizeBytes());
  copy->colourTable_ = colourTable_;
  copy->colourCount_ = colourCount_;
  copy->transparentIndex_ = transparentIndex_;
  copy->hasAlpha_ = hasAlpha_;
  return copy;
}

void Image::SetGreyPalette() {
  for (uint32_t i = 0; i < 256; ++i) colourTable_[i] = (i << 16) | (i << 8) | i;
  colourCount_ = 256;
}

Colour Image::PixelAt(int x, int y) const {
  if (!valid() || x < 0 || y < 0 || x >= width_ || y >= height_) return Colour{};
  const uint8_t* p = row(y);
  if (bpp_ == 8) {
    const uint8_t v = p[x];
    const uint32_t e = v < colourCount_ ? colourTable_[v] : 0;
    return Colour{static_cast<uint8_t>(e >> 16), static_cast<uint8_t>(e >> 8), static_cast<uint8_t>(e)};
  }
  const uint8_t* q = p + static_cast<std::size_t>(x) * bytesPerPixel();
  return Colour{q[2], q[1], q[0]};
}

uint8_t Image::NearestIndex(Colour c) const {
  if (colourCount_ == 0) return GreyOf(c.r, c.g, c.b);
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < colourCount_; ++i) {
    const uint32_t e = colourTable_[i];
    const long dr = static_cast<long>((e >> 16) & 0xFF) - c.r;
    const long dg = static_cast<long>((e >> 8) & 0xFF) - c.g;
    const long db = static_cast<long>(e & 0xFF) - c.b;
    const long d = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return static_cast<uint8_t>(best);
}

void Image::SetPixel(int x, int y, Colour c) { FillRect(Rect{x, y, 1, 1}, c); }

void Image::FillRect(const Rect& r, Colour c) {
  if (!valid()) return;
  const int x0 = std::max(r.x, 0);
  const int y0 = std::max(r.y, 0);
  const int x1 = std::min(r.x + std::max(r.width, 0), width_);
  const int y1 = std::min(r.y + std::max(r.height, 0), height_);
  if (x0 >= x1 || y0 >= y1) return;
  const uint8_t index = bpp_ == 8 ? NearestIndex(c) : 0;
  for (int y = y0; y < y1; ++y) {
    uint8_t* p = row(y);
    if (bpp_ == 8) {
      std::memset(p + x0, index, static_cast<std::size_t>(x1 - x0));
      continue;
    }
    const int n = bytesPerPixel();
    for (int x = x0; x < x1; ++x) {
      uint8_t* q = p + static_cast<std::size_t>(x) * n;
      q[0] = c.b;
      q[1] = c.g;
      q[2] = c.r;
      if (n == 4) q[3] = 255;
    }
  }
}

void Image::FrameRect(const Rect& r, Colour c) {
  if (r.empty()) return;
  FillRect(Rect{r.x, r.y, r.width, 1}, c);                 // top
  FillRect(Rect{r.x, r.bottom() - 1, r.width, 1}, c);      // bottom
  FillRect(Rect{r.x, r.y, 1, r.height}, c);                // left
  FillRect(Rect{r.right() - 1, r.y, 1, r.height}, c);      // right
}

int Image::TextWidth(std::string_view text, int scale) {
  return static_cast<int>(text.size()) * kCellWidth * std::max(scale, 1);
}

int Image::TextHeight(int scale) { return kCellHeight * std::max(scale, 1); }

void Image::DrawText(int x, int y, std::string_view text, Colour foreground, const Colour* background,
                     int scale) {
  if (!valid()) return;
  scale = std::max(scale, 1);
  if (background != nullptr) FillRect(Rect{x, y, TextWidth(text, scale), TextHeight(scale)}, *background);
  int cx = x;
  for (char ch : text) {
    if (const Glyph* g = FindGlyph(ch)) {
      for (int gy = 0; gy < 7; ++gy) {
        for (int gx = 0; gx < 5; ++gx) {
          if ((g->rows[gy] >> (4 - gx)) & 1) {
            FillRect(Rect{cx + gx * scale, y + (gy + 1) * scale, scale, scale}, foreground);
          }
        }
      }
    }
    cx += kCellWidth * scale;
  }
}

namespace {

// The destination pixels a drawing covers: columns [x0, x1) and rows [y0, y1).
struct Clip {
  int x0 = 0, y0 = 0;
  int x1 = 0, y1 = 0;
};

// Nearest pixel: the source pixel under each destination pixel's centre. Throws
// std::bad_alloc when its column table cannot be held.
void DrawNearest(const Image& src, const Rect& from, Image& dst, const Rect& to, const Clip& clip) {
  std::vector<int> xs(static_cast<std::size_t>(clip.x1 - clip.x0));
  for (int dx = clip.x0; dx < clip.x1; ++dx) {
    const int64_t s = (2 * int64_t{dx - to.x} + 1) * from.width / (2 * int64_t{to.width});
    xs[static_cast<std::size_t>(dx - clip.x0)] = std::clamp(static_cast<int>(from.x + s), 0, src.width() - 1);
  }
  const int srcBpp = src.bitsPerPixel();
  const int dstBpp = dst.bitsPerPixel();
  const int srcBytes = src.bytesPerPixel();
  const int dstBytes = dst.bytesPerPixel();
  uint8_t conv[4];
  for (int dy = clip.y0; dy < clip.y1; ++dy) {
    const int64_t s = (2 * int64_t{dy - to.y} + 1) * from.height / (2 * int64_t{to.height});
    const int sy = std::clamp(static_cast<int>(from.y + s), 0, src.height() - 1);
    const uint8_t* sp = src.row(sy);
    uint8_t* dp = dst.row(dy) + static_cast<std::size_t>(clip.x0) * dstBytes;
    if (srcBpp == dstBpp) {
      for (int sx : xs) {
        std::memcpy(dp, sp + static_cast<std::size_t>(sx) * srcBytes, static_cast<std::size_t>(srcBytes));
        dp += dstBytes;
      }
    } else {
      const int channels = srcBpp == 32 && dstBpp == 32 ? 4 : 3;
      for (int sx : xs) {
        ReadChannels(src, sy, sx, sx, channels, conv);
        WriteChannels(conv, channels, dstBpp, dp);
        dp += dstBytes;
      }
    }
  }
}

// The horizontal pass of the smoothing filter: source rows [yMin, yMax] filtered into
// 16-bit rows of `outW` pixels with 8 fractional bits.
std::vector<uint16_t> SmoothRows(const Image& src, const Taps& hx, int yMin, int yMax, int outW, int channels) {
  const int xMin = *std::min_element(hx.index.begin(), hx.index.end());
  const int xMax = *std::max_element(hx.index.begin(), hx.index.end());
  const std::size_t rowValues = static_cast<std::size_t>(outW) * channels;
  std::vector<uint16_t> horizontal(static_cast<std::size_t>(yMax - yMin + 1) * rowValues);
  std::vector<uint8_t> line(static_cast<std::size_t>(xMax - xMin + 1) * channels);
  for (int y = yMin; y <= yMax; ++y) {
    ReadChannels(src, y, xMin, xMax, channels, line.data());
    uint16_t* out = horizontal.data() + static_cast<std::size_t>(y - yMin) * rowValues;
    for (int k = 0; k < outW; ++k) {
      const int first = hx.first[static_cast<std::size_t>(k)];
      const int count = hx.count[static_cast<std::size_t>(k)];
      for (int c = 0; c < channels; ++c) {
        uint32_t sum = 0;
        for (int t = first; t < first + count; ++t) {
          sum += static_cast<uint32_t>(hx.weight[static_cast<std::size_t>(t)]) *
                 line[static_cast<std::size_t>(hx.index[static_cast<std::size_t>(t)] - xMin) * channels + c];
        }
        // 255 << 14 shifted by 6 keeps 8 fractional bits and fits 16 bits.
        *out++ = static_cast<uint16_t>((sum + 32) >> 6);
      }
    }
  }
  return horizontal;
}

// The vertical pass: the filtered rows (the first of them is source row yMin) combined
// into the clipped destination pixels.
void SmoothColumns(const std::vector<uint16_t>& horizontal, const Taps& vy, int yMin, int channels, Image& dst,
                   const Clip& clip) {
  const int outW = clip.x1 - clip.x0;
  const std::size_t rowValues = static_cast<std::size_t>(outW) * channels;
  const int dstBpp = dst.bitsPerPixel();
  const int dstBytes = dst.bytesPerPixel();
  std::vector<uint8_t> pixel(static_cast<std::size_t>(channels));
  for (int dy = clip.y0; dy < clip.y1; ++dy) {
    const int k = dy - clip.y0;
    const int first = vy.first[static_cast<std::size_t>(k)];
    const int count = vy.count[static_cast<std::size_t>(k)];
    uint8_t* dp = dst.row(dy) + static_cast<std::size_t>(clip.x0) * dstBytes;
    for (int x = 0; x < outW; ++x) {
      for (int c = 0; c < channels; ++c) {
        uint32_t sum = 0;
        for (int t = first; t < first + count; ++t) {
          const std::size_t r = static_cast<std::size_t>(vy.index[static_cast<std::size_t>(t)] - yMin);
          sum += static_cast<uint32_t>(vy.weight[static_cast<std::size_t>(t)]) *
                 horizontal[r * rowValues + static_cast<std::size_t>(x) * channels + c];
        }
        pixel[static_cast<std::size_t>(c)] = static_cast<uint8_t>(std::min<uint32_t>((sum + (1u << 21)) >> 22, 255));
      }
      WriteChannels(pixel.data(), channels, dstBpp, dp);
      dp += dstBytes;
    }
  }
}

// Smoothing: separable filter, horizontal pass into 16-bit rows, then vertical. Throws
// std::bad_alloc when its rows cannot be held.
void DrawSmooth(const Image& src, const Rect& from, Image& dst, const Rect& to, const Clip& clip) {
  const int srcBpp = src.bitsPerPixel();
  const int dstBpp = dst.bitsPerPixel();
  const int channels = (srcBpp == 8 && dstBpp == 8) ? 1 : (srcBpp == 32 && dstBpp == 32 ? 4 : 3);
  const Taps hx = BuildTaps(from.x, from.width, src.width(), to.x, to.width, clip.x0, clip.x1);
  const Taps vy = BuildTaps(from.y, from.height, src.height(), to.y, to.height, clip.y0, clip.y1);
  const int yMin = *std::min_element(vy.index.begin(), vy.index.end());
  const int yMax = *std::max_element(vy.index.begin(), vy.index.end());
  const std::vector<uint16_t> horizontal = SmoothRows(src, hx, yMin, yMax, clip.x1 - clip.x0, channels);
  SmoothColumns(horizontal, vy, yMin, channels, dst, clip);
}

}  // namespace

bool Image::DrawScaled(const Rect& from, Image& dst, const Rect& to, ScaleMode mode) const {
  if (!valid() || !dst.valid() || from.empty() || to.empty()) return false;
  if (&dst == this) {
    // Drawing into itself would read pixels already overwritten: work from a copy.
    std::unique_ptr<Image> copy = Copy();
    return copy && copy->DrawScaled(from, dst, to, mode);
  }
  Clip clip;
  clip.x0 = std::max(to.x, 0);
  clip.y0 = std::max(to.y, 0);
  clip.x1 = std::min(to.right(), dst.width());
  clip.y1 = std::min(to.bottom(), dst.height());
  if (clip.x0 >= clip.x1 || clip.y0 >= clip.y1) return true;  // entirely outside: nothing to draw
  try {
    if (mode != ScaleMode::kSmooth) {
      DrawNearest(*this, from, dst, to, clip);
    } else {
      DrawSmooth(*this, from, dst, to, clip);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::unique_ptr<ImageHolder> ImageHolder::FromJpeg(const uint8_t* data, std::size_t size) {
  std::unique_ptr<ImageHolder> holder(new (std::nothrow) ImageHolder());
  if (!holder) return nullptr;
  if (size > 0) {
    holder->jpeg.reset(new (std::nothrow) uint8_t[size]);
    if (!holder->jpeg) return nullptr;
    std::memcpy(holder->jpeg.get(), data, size);
  }
  holder->length = size;
  return holder;
}

}  // namespace velmora
