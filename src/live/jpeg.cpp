#include "live/jpeg.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "app/log.h"
#include "live/jpeg_turbo.h"

namespace velmora {

namespace {

constexpr const char* kDecodeLabel = "ImageFromBuffer";
// Result codes written in the "CImage::Load() failed (%x)" line.
constexpr unsigned kLoadFailed = 0x80004005u;   // generic failure
constexpr unsigned kOutOfMemory = 0x8007000Eu;  // E_OUTOFMEMORY

unsigned Clamp32(std::size_t n) { return n > UINT_MAX ? UINT_MAX : static_cast<unsigned>(n); }

// Checks the start and end markers; returns the length to decode (bytes after the
// final end marker cut away) or 0 when the data is refused (already logged).
std::size_t CheckMarkers(const uint8_t* data, std::size_t length) {
  if (data == nullptr) length = 0;
  if (length < 2 || data[0] != 0xFF || data[1] != 0xD8) {
    Log("%s: expected JPEG SOI, got 0x%02x%02x, size=%u", kDecodeLabel, length > 0 ? data[0] : 0,
        length > 1 ? data[1] : 0, Clamp32(length));
    return 0;
  }
  // Cameras may send up to about a kilobyte of padding after the end marker: look for
  // the last end marker among the final 1024 bytes and cut behind it.
  if (length >= 1024) {
    for (std::size_t i = length - 2;; --i) {
      if (data[i] == 0xFF && data[i + 1] == 0xD9) {
        length = i + 2;
        break;
      }
      if (i == length - 1024) break;
    }
  }
  if (data[length - 2] != 0xFF || data[length - 1] != 0xD9) {
    Log("%s: expected JPEG EOI, got 0x%02x%02x, len=%u", kDecodeLabel, data[length - 2], data[length - 1],
        Clamp32(length));
    const std::size_t n = std::min<std::size_t>(16, length);
    LogHexDump(data + length - n, n);
    return 0;
  }
  return length;
}

// After a failed decode the library's handle can keep state that spoils the next
// header read (sizes of 0 x 0), so the thread gets a fresh one.
void ResetDecompressor() { ThreadDecompressor() = TurboJpegHandle(TurboKind::kDecompress); }

void LogLoadFailure(const uint8_t* data, std::size_t length, unsigned code, const std::string& detail) {
  Log("%s: CImage::Load() failed (%x)", kDecodeLabel, code);
  if (!detail.empty()) Log("%s: %s", kDecodeLabel, detail.c_str());
  if (code == kOutOfMemory) LogMemoryReport(kDecodeLabel);
  Log("%s: buffer=%p, size=%u", kDecodeLabel, static_cast<const void*>(data), Clamp32(length));
  const std::size_t n = std::min<std::size_t>(16, length);
  LogHexDump(data, n);
  LogHexDump(data + length - n, n);
  ResetDecompressor();
}

// Picks the DCT scale for the bounds: the largest of 1, 1/2, 1/4, 1/8 that fits.
tjscalingfactor PickScale(int width, int height, int maxWidth, int maxHeight) {
  static constexpr tjscalingfactor kScales[] = {{1, 1}, {1, 2}, {1, 4}, {1, 8}};
  if (maxWidth <= 0 || maxHeight <= 0) return kScales[0];
  for (const tjscalingfactor& sf : kScales) {
    if (TJSCALED(width, sf) <= maxWidth && TJSCALED(height, sf) <= maxHeight) return sf;
  }
  return kScales[3];
}

std::unique_ptr<Image> Decode(const uint8_t* data, std::size_t inputLength, int maxWidth, int maxHeight) {
  const std::size_t length = CheckMarkers(data, inputLength);
  if (length == 0) return nullptr;

  TurboJpegHandle& tj = ThreadDecompressor();
  if (!tj) {
    Log("%s: CImage() failed", kDecodeLabel);
    return nullptr;
  }
  int width = 0;
  int height = 0;
  int subsamp = 0;
  int colourspace = 0;
  if (tjDecompressHeader3(tj.get(), data, length, &width, &height, &subsamp, &colourspace) != 0) {
    LogLoadFailure(data, length, kLoadFailed, tj.errorText());
    return nullptr;
  }
  if (width <= 0 || height <= 0 || width > kMaxDecodeSide || height > kMaxDecodeSide ||
      static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxDecodePixels) {
    LogLoadFailure(data, length, kLoadFailed,
                   "declared size " + std::to_string(width) + "x" + std::to_string(height) + " is out of range");
    return nullptr;
  }
  const tjscalingfactor sf = PickScale(width, height, maxWidth, maxHeight);
  const int outW = TJSCALED(width, sf);
  const int outH = TJSCALED(height, sf);

  const bool grey = colourspace == TJCS_GRAY;
  const bool cmyk = colourspace == TJCS_CMYK || colourspace == TJCS_YCCK;
  std::unique_ptr<Image> image(new (std::nothrow) Image());
  if (!image) {
    Log("%s: CImage() failed", kDecodeLabel);
    return nullptr;
  }
  if (!image->Create(outW, outH, grey ? 8 : 24, false)) {
    LogLoadFailure(data, length, kOutOfMemory, "");
    return nullptr;
  }
  if (grey) image->SetGreyPalette();

  // Any warning (premature end, bad Huffman code, stray bytes, ...) means the picture
  // may be partly missing or wrong: such a frame counts as corrupt, and decoding stops
  // at the first one.
  const int flags = TJFLAG_BOTTOMUP | TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING;
  if (!cmyk) {
    if (tjDecompress2(tj.get(), data, length, image->bits(), outW, image->stride(), outH,
                      grey ? TJPF_GRAY : TJPF_BGR, flags) != 0) {
      LogLoadFailure(data, length, kLoadFailed, tj.errorText());
      return nullptr;
    }
    return image;
  }

  // Four-component frames: decode the inks, then convert to BGR. Such files store the
  // inks inverted, so each channel is ink x black / 255.
  const std::size_t cmykStride = static_cast<std::size_t>(outW) * 4;
  std::unique_ptr<uint8_t[]> inks(new (std::nothrow) uint8_t[cmykStride * static_cast<std::size_t>(outH)]);
  if (!inks) {
    LogLoadFailure(data, length, kOutOfMemory, "");
    return nullptr;
  }
  if (tjDecompress2(tj.get(), data, length, inks.get(), outW, static_cast<int>(cmykStride), outH, TJPF_CMYK,
                    TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING) != 0) {
    LogLoadFailure(data, length, kLoadFailed, tj.errorText());
    return nullptr;
  }
  for (int y = 0; y < outH; ++y) {
    const uint8_t* s = inks.get() + static_cast<std::size_t>(y) * cmykStride;
    uint8_t* d = image->row(y);
    for (int x = 0; x < outW; ++x, s += 4, d += 3) {
      const unsigned k = s[3];
      d[0] = static_cast<uint8_t>((s[2] * k + 127) / 255);
      d[1] = static_cast<uint8_t>((s[1] * k + 127) / 255);
      d[2] = static_cast<uint8_t>((s[0] * k + 127) / 255);
    }
  }
  return image;
}

bool IsGreyRamp(const Image& image) {
  if (image.colourCount() != 256) return false;
  const auto& table = image.colourTable();
  for (uint32_t i = 0; i < 256; ++i) {
    if ((table[i] & 0xFFFFFFu) != ((i << 16) | (i << 8) | i)) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<Image> ImageFromBuffer(const uint8_t* data, std::size_t length) {
  return Decode(data, length, 0, 0);
}

std::unique_ptr<Image> ImageFromBufferScaled(const uint8_t* data, std::size_t length, int maxWidth,
                                             int maxHeight) {
  return Decode(data, length, std::max(maxWidth, 1), std::max(maxHeight, 1));
}

bool JpegDimensions(const uint8_t* data, std::size_t length, int& width, int& height) {
  if (data == nullptr || length < 4) return false;
  TurboJpegHandle& tj = ThreadDecompressor();
  int subsamp = 0;
  int colourspace = 0;
  return tj && tjDecompressHeader3(tj.get(), data, length, &width, &height, &subsamp, &colourspace) == 0;
}

std::vector<uint8_t> EncodeJpeg(const Image& image, int quality) {
  std::vector<uint8_t> out;
  if (!image.valid()) {
    Log("EncodeJpeg: no image");
    return out;
  }
  const Image* source = &image;
  std::unique_ptr<Image> expanded;
  JpegPixels px;
  if (image.bitsPerPixel() == 8 && !IsGreyRamp(image)) {
    // A coloured table: write the colours, not the indices.
    expanded = Image::New(image.width(), image.height(), 24);
    const Rect all{0, 0, image.width(), image.height()};
    if (!expanded || !image.DrawScaled(all, *expanded, all, ScaleMode::kFast)) {
      Log("EncodeJpeg: out of memory for %dx%d", image.width(), image.height());
      return out;
    }
    source = expanded.get();
  }
  px.rows = source->bits();
  px.width = source->width();
  px.height = source->height();
  px.pitch = source->stride();
  px.bottomUp = true;
  px.format = source->bitsPerPixel() == 8 ? TJPF_GRAY : (source->bitsPerPixel() == 32 ? TJPF_BGRX : TJPF_BGR);
  std::string error;
  if (!EncodeJpegPixels(px, quality, out, &error)) {
    Log("EncodeJpeg: tjCompress2 failed (%s)", error.c_str());
    out.clear();
  }
  return out;
}

}  // namespace velmora
