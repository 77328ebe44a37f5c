#include "media/jpeg.h"

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "app/log.h"
#include "media/jpeg_turbo.h"

// The library's own interface; its headers need <cstdio> first.
#include <jpeglib.h>
#include <jerror.h>

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

void LogLoadFailure(const uint8_t* data, std::size_t length, unsigned code, const std::string& detail) {
  Log("%s: CImage::Load() failed (%x)", kDecodeLabel, code);
  if (!detail.empty()) Log("%s: %s", kDecodeLabel, detail.c_str());
  if (code == kOutOfMemory) LogMemoryReport(kDecodeLabel);
  Log("%s: buffer=%p, size=%u", kDecodeLabel, static_cast<const void*>(data), Clamp32(length));
  const std::size_t n = std::min<std::size_t>(16, length);
  LogHexDump(data, n);
  LogHexDump(data + length - n, n);
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

// One decode through the library's own interface, which reports every warning by its
// message code (the simpler TurboJPEG calls only give the text of the first one, so
// they cannot tell a harmless warning from a damaging one). Warnings that mean data is
// missing or wrong end the decode like an error; the rest are counted and the frame is
// kept: cameras pad frames before the end marker, write odd JFIF revisions, and so on.
struct DecodeErrors {
  jpeg_error_mgr pub;  // first member: the library hands back its address
  jmp_buf jump;
  char text[JMSG_LENGTH_MAX];
  bool outOfMemory;
  int keptWarnings;
};

// Warnings after which the picture is partly missing or wrong.
bool RefusedWarning(int code) {
  switch (code) {
    case JWRN_HIT_MARKER:         // premature end of data segment
    case JWRN_JPEG_EOF:           // premature end of the file
    case JWRN_HUFF_BAD_CODE:      // bad Huffman code
    case JWRN_ARITH_BAD_CODE:     // bad arithmetic code
    case JWRN_MUST_RESYNC:        // restart markers lost: data in between is gone
    case JWRN_BOGUS_PROGRESSION:  // progressive scans that do not fit together
    case JWRN_NOT_SEQUENTIAL:     // scan parameters the frame type cannot have
      return true;
    default:
      return false;
  }
}

[[noreturn]] void OnDecodeError(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<DecodeErrors*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->text);
  errors->outOfMemory = cinfo->err->msg_code == JERR_OUT_OF_MEMORY;
  std::longjmp(errors->jump, 1);
}

void OnDecodeMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  auto* errors = reinterpret_cast<DecodeErrors*>(cinfo->err);
  if (!RefusedWarning(cinfo->err->msg_code)) {
    ++errors->keptWarnings;
    return;
  }
  (*cinfo->err->format_message)(cinfo, errors->text);
  std::longjmp(errors->jump, 1);
}

void OnDecodeOutput(j_common_ptr) {}  // nothing goes to the standard error stream

// A progressive frame can carry any number of scans, each of which costs a pass over
// the picture: more than 500 is refused.
constexpr int kMaxProgressiveScans = 500;

void OnDecodeProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (dinfo->input_scan_number <= kMaxProgressiveScans) return;
  auto* errors = reinterpret_cast<DecodeErrors*>(cinfo->err);
  std::snprintf(errors->text, sizeof errors->text, "Progressive JPEG image has more than %d scans",
                kMaxProgressiveScans);
  std::longjmp(errors->jump, 1);
}

// Everything one decode owns. The library's state lives here, outside the frame that
// calls setjmp, so nothing that a jump back leaves behind is lost.
struct DecodeJob {
  const uint8_t* data = nullptr;
  std::size_t length = 0;
  int maxWidth = 0;
  int maxHeight = 0;
  jpeg_decompress_struct cinfo{};
  DecodeErrors errors{};
  jpeg_progress_mgr progress{};
  bool created = false;
  std::unique_ptr<Image> image;
  std::unique_ptr<uint8_t[]> inks;  // four-component frames: the inks before conversion
  std::string failure;              // why the decode failed, when it did
  unsigned code = kLoadFailed;

  DecodeJob() = default;
  DecodeJob(const DecodeJob&) = delete;
  DecodeJob& operator=(const DecodeJob&) = delete;
  ~DecodeJob() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

// The steps of a decode; an error or a refused warning jumps back to RunDecode.
bool DecodeSteps(DecodeJob& job) {
  jpeg_decompress_struct& cinfo = job.cinfo;
  jpeg_create_decompress(&cinfo);
  job.created = true;
  job.progress.progress_monitor = OnDecodeProgress;
  cinfo.progress = &job.progress;
  jpeg_mem_src(&cinfo, job.data, static_cast<unsigned long>(job.length));
  jpeg_read_header(&cinfo, TRUE);

  const JDIMENSION width = cinfo.image_width;
  const JDIMENSION height = cinfo.image_height;
  if (width == 0 || height == 0 || width > kMaxDecodeSide || height > kMaxDecodeSide ||
      static_cast<uint64_t>(width) * height > kMaxDecodePixels) {
    job.failure = "declared size " + std::to_string(width) + "x" + std::to_string(height) + " is out of range";
    return false;
  }
  const tjscalingfactor sf = PickScale(static_cast<int>(width), static_cast<int>(height), job.maxWidth, job.maxHeight);
  cinfo.scale_num = static_cast<unsigned>(sf.num);
  cinfo.scale_denom = static_cast<unsigned>(sf.denom);
  const bool grey = cinfo.jpeg_color_space == JCS_GRAYSCALE;
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = grey ? JCS_GRAYSCALE : (cmyk ? JCS_CMYK : JCS_EXT_BGR);
  jpeg_calc_output_dimensions(&cinfo);
  const int outW = static_cast<int>(cinfo.output_width);
  const int outH = static_cast<int>(cinfo.output_height);

  job.image.reset(new (std::nothrow) Image());
  if (!job.image || !job.image->Create(outW, outH, grey ? 8 : 24, false)) {
    job.code = kOutOfMemory;
    return false;
  }
  if (grey) job.image->SetGreyPalette();
  const std::size_t cmykStride = static_cast<std::size_t>(outW) * 4;
  if (cmyk) {
    job.inks.reset(new (std::nothrow) uint8_t[cmykStride * static_cast<std::size_t>(outH)]);
    if (!job.inks) {
      job.code = kOutOfMemory;
      return false;
    }
  }

  jpeg_start_decompress(&cinfo);
  while (cinfo.output_scanline < cinfo.output_height) {
    const int y = static_cast<int>(cinfo.output_scanline);
    JSAMPROW row = cmyk ? job.inks.get() + static_cast<std::size_t>(y) * cmykStride : job.image->row(y);
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  if (!cmyk) return true;

  // Four-component frames store the inks inverted, so each channel is ink x black / 255.
  for (int y = 0; y < outH; ++y) {
    const uint8_t* s = job.inks.get() + static_cast<std::size_t>(y) * cmykStride;
    uint8_t* d = job.image->row(y);
    for (int x = 0; x < outW; ++x, s += 4, d += 3) {
      const unsigned k = s[3];
      d[0] = static_cast<uint8_t>((s[2] * k + 127) / 255);
      d[1] = static_cast<uint8_t>((s[1] * k + 127) / 255);
      d[2] = static_cast<uint8_t>((s[0] * k + 127) / 255);
    }
  }
  return true;
}

// Decodes job.data into job.image. False with job.failure and job.code set. Only the
// job is live across the jump, and it lives in the caller's frame.
bool RunDecode(DecodeJob& job) {
  job.cinfo.err = jpeg_std_error(&job.errors.pub);
  job.errors.pub.error_exit = OnDecodeError;
  job.errors.pub.emit_message = OnDecodeMessage;
  job.errors.pub.output_message = OnDecodeOutput;
  if (setjmp(job.errors.jump) != 0) {
    job.failure = job.errors.text;
    job.code = job.errors.outOfMemory ? kOutOfMemory : kLoadFailed;
    return false;
  }
  return DecodeSteps(job);
}

std::unique_ptr<Image> Decode(const uint8_t* data, std::size_t inputLength, int maxWidth, int maxHeight) {
  const std::size_t length = CheckMarkers(data, inputLength);
  if (length == 0) return nullptr;
  DecodeJob job;
  job.data = data;
  job.length = length;
  job.maxWidth = maxWidth;
  job.maxHeight = maxHeight;
  if (!RunDecode(job)) {
    LogLoadFailure(data, length, job.code, job.failure);
    return nullptr;
  }
  return std::move(job.image);
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
