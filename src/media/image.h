// Decoded frames: an uncompressed bitmap of 8 (with colour table), 24 (BGR) or 32
// (BGRA/BGRX) bits per pixel, stored bottom-up like a device-independent bitmap, and
// the holder that carries one frame through the live path.
//
// Coordinates are top-down (y 0 is the top row of the picture) in every call; only the
// memory layout is bottom-up: bits() is the bottom row, pixels() the top row and pitch()
// is negative. Rows are padded to a multiple of 4 bytes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace velmora {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  int right() const { return x + width; }    // exclusive
  int bottom() const { return y + height; }  // exclusive
};

struct Colour {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;

  friend bool operator==(const Colour&, const Colour&) = default;
};

// How DrawScaled resamples. kFast picks the nearest source pixel and drops the rest;
// kSmooth averages the covered source area when shrinking and interpolates linearly
// when enlarging.
enum class ScaleMode { kFast = 1, kSmooth = 2 };

class Image {
 public:
  static constexpr int kMaxDimension = 32767;

  Image();
  virtual ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // A new blank image (all bytes zero; an 8-bit image gets an all-zero colour table of
  // 256 entries). Null when the size or depth is invalid or memory is short.
  static std::unique_ptr<Image> New(int width, int height, int bitsPerPixel);

  // (Re)allocates this image. Depth 8, 24 or 32; sides 1..kMaxDimension. When zero is
  // false the pixels are left undefined (for callers that overwrite every row).
  // Returns false and leaves the image empty on failure.
  bool Create(int width, int height, int bitsPerPixel, bool zero = true);
  void Destroy();

  // An image of the same size and depth holding the same pixels and colour table.
  std::unique_ptr<Image> Copy() const;

  bool valid() const { return bits_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }
  int bitsPerPixel() const { return bpp_; }
  int bytesPerPixel() const { return bpp_ / 8; }
  // Bytes from one row to the next one below it: negative, since rows are bottom-up.
  std::ptrdiff_t pitch() const { return -static_cast<std::ptrdiff_t>(stride_); }
  // Padded bytes per row (the absolute pitch).
  int stride() const { return stride_; }
  std::size_t sizeBytes() const { return static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_); }

  // First byte in memory (the bottom row of the picture).
  uint8_t* bits() { return bits_.get(); }
  const uint8_t* bits() const { return bits_.get(); }
  // First byte of the top row.
  uint8_t* pixels() { return row(0); }
  const uint8_t* pixels() const { return row(0); }
  // First byte of row y counted from the top; y must be in 0..height-1.
  uint8_t* row(int y) { return bits_.get() + static_cast<std::size_t>(height_ - 1 - y) * stride_; }
  const uint8_t* row(int y) const {
    return bits_.get() + static_cast<std::size_t>(height_ - 1 - y) * stride_;
  }

  // Colour table of 8-bit images: entries as 0x00RRGGBB (blue in the lowest byte, the
  // memory order of a bitmap colour table). Unused for other depths.
  std::array<uint32_t, 256>& colourTable() { return colourTable_; }
  const std::array<uint32_t, 256>& colourTable() const { return colourTable_; }
  int colourCount() const { return colourCount_; }
  void setColourCount(int count) { colourCount_ = count < 0 ? 0 : (count > 256 ? 256 : count); }
  // Fills the colour table with the 256 grey levels (index = level).
  void SetGreyPalette();

  int transparentIndex() const { return transparentIndex_; }
  void setTransparentIndex(int index) { transparentIndex_ = index; }
  bool hasAlpha() const { return hasAlpha_; }
  void setHasAlpha(bool alpha) { hasAlpha_ = alpha; }

  // The colour at (x, y); black outside the image. 8-bit pixels go through the table.
  Colour PixelAt(int x, int y) const;
  void SetPixel(int x, int y, Colour c);

  // Draws the source rectangle `from` of this image into `to` of dst, stretching as
  // needed; the part of `to` outside dst is clipped and source coordinates are clamped
  // to this image. Returns false for empty rectangles or invalid images. Depths may
  // differ; an 8-bit destination receives grey levels (or indices when both are 8-bit).
  bool DrawScaled(const Rect& from, Image& dst, const Rect& to, ScaleMode mode) const;

  // One-pixel outline of r, clipped at the image edges.
  void FrameRect(const Rect& r, Colour c);
  // Fills r, clipped at the image edges.
  void FillRect(const Rect& r, Colour c);
  void Fill(Colour c) { FillRect(Rect{0, 0, width_, height_}, c); }

  // Draws text with the built-in 5 x 7 font (digits, space and ". , : ; - + / % # ( )
  // ="; other characters draw as blank cells). Each character cell is 6 x 9 pixels
  // times scale; the background, when given, fills the cells. Clipped at the edges.
  void DrawText(int x, int y, std::string_view text, Colour foreground, const Colour* background,
                int scale = 1);
  // Width and height that DrawText covers.
  static int TextWidth(std::string_view text, int scale = 1);
  static int TextHeight(int scale = 1);

  // Images alive in the process (diagnostics and leak checks).
  static int LiveCount();

 private:
  // Value stored for a colour: an index for 8-bit images, packed BGR(A) otherwise.
  uint8_t NearestIndex(Colour c) const;

  std::unique_ptr<uint8_t[]> bits_;
  int width_ = 0;
  int height_ = 0;
  int bpp_ = 0;
  int stride_ = 0;
  std::array<uint32_t, 256> colourTable_{};
  int colourCount_ = 0;
  int transparentIndex_ = -1;
  bool hasAlpha_ = false;
};

// One frame on its way from the stream to a view tile: the decoded image, the frame's
// own copy of its JPEG bytes and their length, and the motion flag set by detection.
// Whoever holds it owns all of it.
struct ImageHolder {
  std::unique_ptr<Image> image;
  std::unique_ptr<uint8_t[]> jpeg;
  uint64_t length = 0;
  uint8_t motion = 0;

  // A holder with a copy of the bytes and no image yet; null when memory is short.
  static std::unique_ptr<ImageHolder> FromJpeg(const uint8_t* data, std::size_t size);
};

}  // namespace velmora
