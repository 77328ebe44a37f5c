#include "media/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "media/jpeg_turbo.h"

namespace velmora {

namespace {

std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  return text;
}

int DecoderThreads(int asked) {
  if (asked > 0) return asked;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<int>(std::min(cores, 4u));
}

// Limited-range (16..235, 16..240) samples stretched to the full range JPEG uses.
struct RangeTables {
  std::array<uint8_t, 256> luma{};
  std::array<uint8_t, 256> chroma{};
  RangeTables() {
    for (int v = 0; v < 256; ++v) {
      luma[static_cast<std::size_t>(v)] = static_cast<uint8_t>(std::clamp((v - 16) * 255 / 219, 0, 255));
      chroma[static_cast<std::size_t>(v)] =
          static_cast<uint8_t>(std::clamp(128 + (v - 128) * 255 / 224, 0, 255));
    }
  }
};
const RangeTables& rangeTables() {
  static const RangeTables tables;
  return tables;
}

// The TurboJPEG subsampling of an 8-bit planar YUV format, -1 for any other format.
int PlanarSubsampling(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      return TJSAMP_420;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
      return TJSAMP_422;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
      return TJSAMP_444;
    default:
      return -1;
  }
}

bool FullRange(const AVFrame& picture) {
  return picture.color_range == AVCOL_RANGE_JPEG || picture.format == AV_PIX_FMT_YUVJ420P ||
         picture.format == AV_PIX_FMT_YUVJ422P || picture.format == AV_PIX_FMT_YUVJ444P;
}

// The swscale name of a format: deprecated full-range names are given as their plain
// format (the range goes to sws_setColorspaceDetails instead).
AVPixelFormat PlainFormat(int format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    default:
      return static_cast<AVPixelFormat>(format);
  }
}

SwsContext* Converter(SwsContext* old, const AVFrame& picture, AVPixelFormat to, bool fullRangeOut, int& builds) {
  const AVPixelFormat from = PlainFormat(picture.format);
  SwsContext* context = sws_getCachedContext(old, picture.width, picture.height, from, picture.width,
                                             picture.height, to, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (context == nullptr) return nullptr;
  if (context != old) {
    ++builds;
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(context, coefficients, FullRange(picture) ? 1 : 0, coefficients,
                             fullRangeOut ? 1 : 0, 0, 1 << 16, 1 << 16);
  }
  return context;
}

// Inserts the camera motion segment (FF EA 00 22 + 32 bytes) behind the first segment
// that follows the start marker. The JPEG starts at jpeg and spans `length` bytes; 36
// spare bytes must follow it. Returns the new length.
std::size_t InsertMotionSegment(uint8_t* jpeg, std::size_t length, const uint8_t* grid) {
  constexpr std::size_t kSegment = 4 + 32;
  std::size_t at = 2;
  if (length >= 6 && jpeg[2] == 0xFF) at = 4 + ((static_cast<std::size_t>(jpeg[4]) << 8) | jpeg[5]);
  if (at > length) at = 2;
  std::memmove(jpeg + at + kSegment, jpeg + at, length - at);
  const uint8_t head[4] = {0xFF, 0xEA, 0x00, 0x22};
  std::memcpy(jpeg + at, head, 4);
  std::memcpy(jpeg + at + 4, grid, 32);
  return length + kSegment;
}

}  // namespace

void QuietLibavMessages() {
  static const bool once = [] {
    if (av_log_get_level() > AV_LOG_FATAL) av_log_set_level(AV_LOG_FATAL);
    return true;
  }();
  (void)once;
}

// --- VideoDecoder ---

VideoDecoder::VideoDecoder() = default;
VideoDecoder::~VideoDecoder() { Close(); }

void VideoDecoder::Close() {
  if (parser_ != nullptr) av_parser_close(parser_);
  parser_ = nullptr;
  avcodec_free_context(&context_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
}

bool VideoDecoder::Open(VideoCodec codec, const VideoDecoderOptions& options, const uint8_t* extradata,
                        std::size_t extradataSize, std::string& error) {
  Close();
  QuietLibavMessages();
  options_ = options;
  codec_ = codec;
  width_ = 0;
  height_ = 0;
  pendingBytes_ = 0;
  pictures_ = 0;
  units_ = 0;
  const AVCodecID id = codec == VideoCodec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
  const AVCodec* decoder = avcodec_find_decoder(id);
  if (decoder == nullptr) {
    error = std::string("no decoder for ") + avcodec_get_name(id);
    return false;
  }
  context_ = avcodec_alloc_context3(decoder);
  parser_ = av_parser_init(id);
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (context_ == nullptr || parser_ == nullptr || packet_ == nullptr || frame_ == nullptr) {
    error = "out of memory for the decoder";
    Close();
    return false;
  }
  if (options_.wholeUnits) parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  context_->thread_count = DecoderThreads(options_.threads);
  context_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  // Pictures decoded from damaged references are dropped, not shown as smears; the
  // decoder's own allocations never exceed the picture limit.
  context_->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
  context_->max_pixels = static_cast<int64_t>(options_.maxSide) * options_.maxSide;
  if (extradata != nullptr && extradataSize > 0) {
    context_->extradata = static_cast<uint8_t*>(av_mallocz(extradataSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context_->extradata == nullptr) {
      error = "out of memory for the decoder";
      Close();
      return false;
    }
    std::memcpy(context_->extradata, extradata, extradataSize);
    context_->extradata_size = static_cast<int>(extradataSize);
  }
  const int rc = avcodec_open2(context_, decoder, nullptr);
  if (rc < 0) {
    error = "avcodec_open2 failed (" + AvErrorText(rc) + ")";
    Close();
    return false;
  }
  return true;
}

DecodeResult VideoDecoder::Feed(const uint8_t* data, std::size_t size, int64_t pts, const PictureSink& sink,
                                const UnitSink& unitSink) {
  if (context_ == nullptr) return DecodeResult::kError;
  DecodeResult result = DecodeResult::kOk;
  auto worse = [&result](DecodeResult r) {
    if (static_cast<int>(r) > static_cast<int>(result)) result = r;
  };
  // The parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes beyond what it is given
  // only from its own buffer; our bytes are handed over in slices it copies.
  std::size_t offset = 0;
  do {
    uint8_t* unit = nullptr;
    int unitSize = 0;
    const int remaining = static_cast<int>(std::min<std::size_t>(size - offset, 1u << 30));
    const int used = av_parser_parse2(parser_, context_, &unit, &unitSize, data + offset, remaining, pts, pts, 0);
    if (used < 0) return DecodeResult::kError;
    offset += static_cast<std::size_t>(used);
    pendingBytes_ += static_cast<std::size_t>(used);
    if (unitSize > 0) {
      pendingBytes_ = 0;
      int64_t unitPts = pts;
      if (!options_.wholeUnits) {
        unitPts = units_++;
        if (unitSink) unitSink(unit, static_cast<std::size_t>(unitSize), unitPts);
      }
      worse(DecodeUnit(unit, static_cast<std::size_t>(unitSize), unitPts, sink));
    } else if (pendingBytes_ > kMaxPendingStreamBytes) {
      // No unit boundary in megabytes: not a stream of units. The parser starts over.
      av_parser_close(parser_);
      parser_ = av_parser_init(codec_ == VideoCodec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
      if (parser_ != nullptr && options_.wholeUnits) parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
      pendingBytes_ = 0;
      if (parser_ == nullptr) {
        Close();
        return DecodeResult::kError;
      }
      worse(DecodeResult::kNoUnit);
    }
    if (used == 0 && unitSize == 0) break;
  } while (offset < size);
  return result;
}

DecodeResult VideoDecoder::DecodeUnit(const uint8_t* data, std::size_t size, int64_t pts, const PictureSink& sink) {
  const int width = parser_->width > 0 ? parser_->width : parser_->coded_width;
  const int height = parser_->height > 0 ? parser_->height : parser_->coded_height;
  if (width > 0 && height > 0) {
    width_ = width;
    height_ = height;
  }
  if (width_ > options_.maxSide || height_ > options_.maxSide) return DecodeResult::kTooLarge;

  if (av_new_packet(packet_, static_cast<int>(size)) < 0) return DecodeResult::kError;
  std::memcpy(packet_->data, data, size);
  packet_->pts = pts;
  packet_->dts = AV_NOPTS_VALUE;
  DecodeResult result = DecodeResult::kOk;
  int rc = avcodec_send_packet(context_, packet_);
  av_packet_unref(packet_);
  if (rc < 0 && rc != AVERROR(EAGAIN)) result = DecodeResult::kError;
  for (;;) {
    rc = avcodec_receive_frame(context_, frame_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) {
      result = DecodeResult::kError;
      break;
    }
    if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
      // Concealed damage is not shown or recorded: the next whole picture is.
      result = DecodeResult::kError;
      av_frame_unref(frame_);
      continue;
    }
    if (frame_->width > options_.maxSide || frame_->height > options_.maxSide) {
      av_frame_unref(frame_);
      return DecodeResult::kTooLarge;
    }
    ++pictures_;
    if (frame_->pts == AV_NOPTS_VALUE) frame_->pts = frame_->best_effort_timestamp;
    if (sink) sink(*frame_);
    av_frame_unref(frame_);
  }
  return result;
}

// --- PictureEncoder ---

PictureEncoder::PictureEncoder() = default;
PictureEncoder::~PictureEncoder() {
  sws_freeContext(yuv_);
  sws_freeContext(bgr_);
}

bool PictureEncoder::Encode(const AVFrame& picture, int quality, const uint8_t* motionGrid, std::size_t headroom,
                            std::size_t trailer, std::vector<uint8_t>& out, std::size_t& jpegLength,
                            std::string& error) {
  jpegLength = 0;
  const int width = picture.width;
  const int height = picture.height;
  if (width <= 0 || height <= 0 || width > Image::kMaxDimension || height > Image::kMaxDimension) {
    error = "bad picture size";
    return false;
  }
  YuvPlanes yuv;
  yuv.planes[0] = picture.data[0];
  yuv.planes[1] = picture.data[1];
  yuv.planes[2] = picture.data[2];
  yuv.strides[0] = picture.linesize[0];
  yuv.strides[1] = picture.linesize[1];
  yuv.strides[2] = picture.linesize[2];
  yuv.subsampling = PlanarSubsampling(picture.format);
  if (yuv.subsampling < 0) {
    if (!ConvertToYuv420(picture, yuv, error)) return false;
  } else if (!FullRange(picture)) {
    ExpandToFullRange(picture, yuv);
  }
  return CompressPlanes(yuv, width, height, quality, motionGrid, headroom, trailer, out, jpegLength, error);
}

// Any other format (semi-planar, 10-bit, RGB) becomes full-range 4:2:0 first, in planes_.
bool PictureEncoder::ConvertToYuv420(const AVFrame& picture, YuvPlanes& yuv, std::string& error) {
  const std::size_t w = static_cast<std::size_t>(picture.width);
  const std::size_t h = static_cast<std::size_t>(picture.height);
  const std::size_t cw = (w + 1) / 2;
  const std::size_t ch = (h + 1) / 2;
  yuv_ = Converter(yuv_, picture, AV_PIX_FMT_YUV420P, true, converterBuilds_);
  if (yuv_ == nullptr) {
    error = std::string("no conversion from ") + (av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture.format))
                                                       ? av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture.format))
                                                       : "?");
    return false;
  }
  planes_.resize(w * h + 2 * cw * ch);
  uint8_t* dst[4] = {planes_.data(), planes_.data() + w * h, planes_.data() + w * h + cw * ch, nullptr};
  int dstStrides[4] = {picture.width, static_cast<int>(cw), static_cast<int>(cw), 0};
  sws_scale(yuv_, picture.data, picture.linesize, 0, picture.height, dst, dstStrides);
  for (int i = 0; i < 3; ++i) {
    yuv.planes[i] = dst[i];
    yuv.strides[i] = dstStrides[i];
  }
  yuv.subsampling = TJSAMP_420;
  return true;
}

// Video samples use the limited range; JPEG readers expect the full one. The planes are
// mapped through the range tables into planes_.
void PictureEncoder::ExpandToFullRange(const AVFrame& picture, YuvPlanes& yuv) {
  const std::size_t w = static_cast<std::size_t>(picture.width);
  const std::size_t h = static_cast<std::size_t>(picture.height);
  const std::size_t chromaWidth = yuv.subsampling == TJSAMP_444 ? w : (w + 1) / 2;
  const std::size_t chromaHeight = yuv.subsampling == TJSAMP_420 ? (h + 1) / 2 : h;
  planes_.resize(w * h + 2 * chromaWidth * chromaHeight);
  const RangeTables& tables = rangeTables();
  uint8_t* dst[3] = {planes_.data(), planes_.data() + w * h, planes_.data() + w * h + chromaWidth * chromaHeight};
  for (std::size_t y = 0; y < h; ++y) {
    const uint8_t* from = picture.data[0] + static_cast<std::ptrdiff_t>(y) * picture.linesize[0];
    uint8_t* to = dst[0] + y * w;
    for (std::size_t x = 0; x < w; ++x) to[x] = tables.luma[from[x]];
  }
  for (int p = 1; p < 3; ++p) {
    for (std::size_t y = 0; y < chromaHeight; ++y) {
      const uint8_t* from = picture.data[p] + static_cast<std::ptrdiff_t>(y) * picture.linesize[p];
      uint8_t* to = dst[p] + y * chromaWidth;
      for (std::size_t x = 0; x < chromaWidth; ++x) to[x] = tables.chroma[from[x]];
    }
  }
  for (int i = 0; i < 3; ++i) yuv.planes[i] = dst[i];
  yuv.strides[0] = picture.width;
  yuv.strides[1] = yuv.strides[2] = static_cast<int>(chromaWidth);
}

// The JPEG of the planes, behind `headroom` bytes of out, with the motion segment when
// there is a grid.
bool PictureEncoder::CompressPlanes(const YuvPlanes& yuv, int width, int height, int quality,
                                    const uint8_t* motionGrid, std::size_t headroom, std::size_t trailer,
                                    std::vector<uint8_t>& out, std::size_t& jpegLength, std::string& error) {
  TurboJpegHandle& tj = ThreadCompressor();
  if (!tj) {
    error = tj.errorText();
    return false;
  }
  const unsigned long bound = tjBufSize(width, height, yuv.subsampling);
  if (bound == static_cast<unsigned long>(-1)) {
    error = "picture too large to encode";
    return false;
  }
  const std::size_t segment = motionGrid != nullptr ? 36 : 0;
  out.resize(headroom + bound + segment + trailer);
  unsigned char* dst = out.data() + headroom;
  unsigned long size = bound;
  const uint8_t* planes[3] = {yuv.planes[0], yuv.planes[1], yuv.planes[2]};
  int strides[3] = {yuv.strides[0], yuv.strides[1], yuv.strides[2]};
  if (tjCompressFromYUVPlanes(tj.get(), planes, width, strides, height, yuv.subsampling, &dst, &size,
                              std::clamp(quality, 1, 100), TJFLAG_NOREALLOC) != 0) {
    error = tj.errorText();
    return false;
  }
  jpegLength = size;
  if (motionGrid != nullptr) jpegLength = InsertMotionSegment(out.data() + headroom, jpegLength, motionGrid);
  return true;
}

std::unique_ptr<Image> PictureEncoder::ToImage(const AVFrame& picture) {
  std::unique_ptr<Image> image = Image::New(picture.width, picture.height, 24);
  if (!image) return nullptr;
  bgr_ = Converter(bgr_, picture, AV_PIX_FMT_BGR24, true, converterBuilds_);
  if (bgr_ == nullptr) return nullptr;
  // Our rows are stored bottom-up: the top row and a negative pitch.
  uint8_t* dst[4] = {image->pixels(), nullptr, nullptr, nullptr};
  int dstStrides[4] = {static_cast<int>(image->pitch()), 0, 0, 0};
  sws_scale(bgr_, picture.data, picture.linesize, 0, picture.height, dst, dstStrides);
  return image;
}

}  // namespace velmora
