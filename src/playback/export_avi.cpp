#include "playback/export_avi.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "app/log.h"

namespace velmora {

namespace {

constexpr std::size_t kMaxStreamName = 64;

// The codec library's codec for a four-character code of the AVI video tags.
AVCodecID CodecOfFourcc(uint32_t fourcc) {
  const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
  return av_codec_get_id(tables, fourcc);
}

AviResult MapError(int error) {
  if (error == AVERROR(ENOMEM)) return AviResult::kNoMemory;
  if (error == AVERROR(ENOSPC) || error == AVERROR(EIO) || error == AVERROR(EFBIG) || error == AVERROR(EDQUOT)) {
    return AviResult::kWriteShort;
  }
  return AviResult::kOtherError;
}

void LogAvError(const char* call, int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  Log("%s failed (%d: %s)", call, error, text);
}

std::string FourccChars(uint32_t fcc) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((fcc >> (8 * i)) & 0xFF);
  return s;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Rewrites the index chunks of the chunks between `begin` and `end` (recursing into
// RIFF and LIST chunks). False when a read or write failed.
bool ClearKeysIn(int fd, uint64_t begin, uint64_t end, int depth) {
  uint8_t head[12];
  uint64_t at = begin;
  while (at + 8 <= end) {
    if (::pread(fd, head, 12, static_cast<off_t>(at)) < 8) return true;
    const uint64_t size = Le32(head + 4);
    const uint64_t body = at + 8;
    if (body + size > end) return true;  // a chunk reaching past its parent: stop here
    const bool idx1 = std::memcmp(head, "idx1", 4) == 0;
    const bool ix = head[0] == 'i' && head[1] == 'x';
    if ((std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "LIST", 4) == 0) && depth < 4 && size >= 4) {
      if (!ClearKeysIn(fd, body + 4, body + size, depth + 1)) return false;
    } else if (idx1 || (ix && size >= 24)) {
      std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
      if (::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(body)) != static_cast<ssize_t>(bytes.size())) {
        return false;
      }
      if (idx1) {
        // 16-byte entries: chunk id, flags (0x10 = key frame), offset, size.
        for (std::size_t e = 0; e + 16 <= bytes.size(); e += 16) PutLe32(&bytes[e + 4], Le32(&bytes[e + 4]) & ~0x10u);
      } else {
        // A standard index: 24-byte header, then offset and size pairs; bit 31 of the
        // size marks a frame that is not a key frame.
        const uint32_t entries = Le32(&bytes[4]);
        for (std::size_t e = 0; e < entries && 24 + e * 8 + 8 <= bytes.size(); ++e) {
          uint8_t* sizeField = &bytes[24 + e * 8 + 4];
          PutLe32(sizeField, Le32(sizeField) | 0x80000000u);
        }
      }
      if (::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(body)) != static_cast<ssize_t>(bytes.size())) {
        return false;
      }
    }
    at = body + size + (size & 1);
  }
  return true;
}

}  // namespace

bool ClearKeyFrameFlags(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    LogLastError("CreateFile");
    return false;
  }
  const off_t size = ::lseek(fd, 0, SEEK_END);
  bool ok = size > 0 && ClearKeysIn(fd, 0, static_cast<uint64_t>(size), 0);
  if (!ok) LogLastError("WriteFile");
  if (::close(fd) != 0) ok = false;
  return ok;
}

void FormatContextDeleter::operator()(AVFormatContext* context) const {
  if (context == nullptr) return;
  if (context->pb != nullptr && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
  avformat_free_context(context);
}
void CodecContextDeleter::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void ScaleContextDeleter::operator()(SwsContext* context) const { sws_freeContext(context); }

namespace {

// True when the encoder can be opened for a small picture converted from 24-bit rows,
// with the settings an export uses.
bool EncoderOpens(const AVCodec* codec, uint32_t fourcc) {
  if (codec->pix_fmts == nullptr) return false;
  const AVPixelFormat pixels = codec->pix_fmts[0];
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(pixels);
  if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) || !sws_isSupportedOutput(pixels)) {
    return false;
  }
  CodecContextPtr encoder(avcodec_alloc_context3(codec));
  if (!encoder) return false;
  encoder->width = 320;
  encoder->height = 240;
  encoder->time_base = AVRational{1, 10};
  encoder->framerate = AVRational{10, 1};
  encoder->pix_fmt = pixels;
  encoder->codec_tag = fourcc;
  encoder->max_b_frames = 0;
  encoder->gop_size = 15;
  encoder->bit_rate = int64_t{300} * 1024 * 8;
  // One thread: the check is about whether it opens, not how fast it runs.
  encoder->thread_count = 1;
  return avcodec_open2(encoder.get(), codec, nullptr) >= 0;
}

std::vector<CompressorChoice> EnumerateCompressors() {
  std::vector<CompressorChoice> list;
  CompressorChoice fixed;
  FindCompressor(kFourccDib, fixed);
  list.push_back(fixed);
  FindCompressor(kFourccMjpg, fixed);
  list.push_back(fixed);
  // Encoders that refuse the trial say so at error level: not the operator's concern.
  const int level = av_log_get_level();
  av_log_set_level(AV_LOG_QUIET);
  const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
  void* state = nullptr;
  while (const AVCodec* codec = av_codec_iterate(&state)) {
    if (!av_codec_is_encoder(codec) || codec->type != AVMEDIA_TYPE_VIDEO) continue;
    if (codec->capabilities & (AV_CODEC_CAP_EXPERIMENTAL | AV_CODEC_CAP_HARDWARE)) continue;
    // Uncompressed and JPEG frames have their entries already.
    if (codec->id == AV_CODEC_ID_RAWVIDEO || codec->id == AV_CODEC_ID_MJPEG) continue;
    const unsigned tag = av_codec_get_tag(tables, codec->id);
    if (tag == 0) continue;
    bool known = false;
    for (const CompressorChoice& c : list) known = known || c.fourcc == tag;
    if (known) continue;  // the first encoder of a code that opens stands for it
    if (!EncoderOpens(codec, tag)) continue;
    CompressorChoice choice;
    choice.fourcc = tag;
    choice.kind = CompressorKind::kEncoder;
    choice.description = codec->long_name != nullptr ? codec->long_name : codec->name;
    choice.encoder = codec->name;
    list.push_back(std::move(choice));
  }
  av_log_set_level(std::min(level, AV_LOG_ERROR));
  return list;
}

}  // namespace

const std::vector<CompressorChoice>& ListCompressors() {
  static const std::vector<CompressorChoice> list = EnumerateCompressors();
  return list;
}

bool FindCompressor(uint32_t fourcc, CompressorChoice& choice) {
  if (fourcc == kFourccDib) {
    choice = CompressorChoice{kFourccDib, CompressorKind::kUncompressed, std::string(), std::string()};
    return true;
  }
  if (fourcc == kFourccMjpg) {
    choice = CompressorChoice{kFourccMjpg, CompressorKind::kPassThroughJpeg, "Motion JPEG (recorded images)", std::string()};
    return true;
  }
  if (fourcc == 0) return false;
  const AVCodecID id = CodecOfFourcc(fourcc);
  if (id == AV_CODEC_ID_NONE || id == AV_CODEC_ID_RAWVIDEO) return false;
  const AVCodec* codec = avcodec_find_encoder(id);
  if (codec == nullptr) return false;
  choice = CompressorChoice{fourcc, CompressorKind::kEncoder,
                            codec->long_name != nullptr ? codec->long_name : codec->name, codec->name};
  return true;
}

CompressorChoice ResolveCompressor(uint32_t aviFCC) {
  CompressorChoice choice;
  if (!FindCompressor(aviFCC, choice)) {
    const std::string c = FourccChars(aviFCC);
    Log("unable to open user specified video compressor '%c%c%c%c'", c[0], c[1], c[2], c[3]);
    FindCompressor(kFourccMjpg, choice);
  }
  const std::string c = FourccChars(choice.fourcc);
  Log("using video compressor '%c%c%c%c'", c[0], c[1], c[2], c[3]);
  return choice;
}

int ClampQuality(uint32_t aviQuality) {
  const auto q = static_cast<int32_t>(aviQuality);
  if (q <= 0) return 1;
  if (q > 10000) return 10000;
  return q;
}

AviWriter::~AviWriter() { Close(); }

AviResult AviWriter::Open(const std::string& path, const AviOptions& options) {
  // The libraries' own chatter (encoder statistics) stays off the terminal; failures
  // are logged here with the call that failed.
  static const bool quiet = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
  }();
  (void)quiet;
  Close();
  options_ = options;
  failed_ = false;
  position_ = 0;
  if (options.width <= 0 || options.height <= 0 || options.rate <= 0 || options.scale <= 0) {
    return AviResult::kFormatUnsupported;
  }
  AVFormatContext* raw = nullptr;
  const int error = avformat_alloc_output_context2(&raw, nullptr, "avi", path.c_str());
  if (error < 0 || raw == nullptr) {
    LogAvError("avformat_alloc_output_context2", error);
    return AviResult::kNoHandler;
  }
  FormatContextPtr format(raw);
  AviResult result = AddVideoStream(*format);
  if (result == AviResult::kOk) result = StartFile(*format, path);
  if (result != AviResult::kOk) return result;
  headerWritten_ = true;
  format_ = std::move(format);
  path_ = path;
  return AviResult::kOk;
}

AviResult AviWriter::AddVideoStream(AVFormatContext& format) {
  AVStream* stream = avformat_new_stream(&format, nullptr);
  if (stream == nullptr) return AviResult::kNoMemory;
  stream->time_base = AVRational{options_.scale, options_.rate};
  stream->avg_frame_rate = AVRational{options_.rate, options_.scale};
  stream->r_frame_rate = stream->avg_frame_rate;
  std::string name = options_.streamName.substr(0, kMaxStreamName);
  if (!name.empty()) av_dict_set(&stream->metadata, "title", name.c_str(), 0);
  streamIndex_ = stream->index;

  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->width = options_.width;
  par->height = options_.height;
  switch (options_.compressor.kind) {
    case CompressorKind::kUncompressed:
      // Bottom-up BGR rows padded to four bytes: the layout of our images, as it is.
      par->codec_id = AV_CODEC_ID_RAWVIDEO;
      par->format = AV_PIX_FMT_BGR24;
      par->bits_per_coded_sample = 24;
      par->codec_tag = 0;
      break;
    case CompressorKind::kPassThroughJpeg:
      par->codec_id = AV_CODEC_ID_MJPEG;
      par->format = AV_PIX_FMT_YUVJ420P;
      par->bits_per_coded_sample = 24;
      par->codec_tag = kFourccMjpg;
      break;
    case CompressorKind::kEncoder: {
      const AviResult opened = OpenEncoder(format, *par);
      if (opened != AviResult::kOk) return opened;
      break;
    }
  }
  packet_.reset(av_packet_alloc());
  if (!packet_) return AviResult::kNoMemory;
  return AviResult::kOk;
}

AviResult AviWriter::OpenEncoder(const AVFormatContext& format, AVCodecParameters& par) {
  const AVCodec* codec = options_.compressor.encoder.empty()
                             ? avcodec_find_encoder(CodecOfFourcc(options_.compressor.fourcc))
                             : avcodec_find_encoder_by_name(options_.compressor.encoder.c_str());
  if (codec == nullptr) return AviResult::kCompressorOpen;
  CodecContextPtr encoder(avcodec_alloc_context3(codec));
  if (!encoder) return AviResult::kCompressorOpen;
  encoder->width = options_.width;
  encoder->height = options_.height;
  encoder->time_base = AVRational{options_.scale, options_.rate};
  encoder->framerate = AVRational{options_.rate, options_.scale};
  encoder->pix_fmt = codec->pix_fmts != nullptr ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
  encoder->codec_tag = options_.compressor.fourcc;
  // Frames leave the encoder in the order they enter it: the stream position is the
  // frame number.
  encoder->max_b_frames = 0;
  if (options_.keyFrameEvery > 0) encoder->gop_size = static_cast<int>(std::min(options_.keyFrameEvery, 600u));
  const int quality = ClampQuality(options_.quality);
  if (quality > 1) {
    // An explicit quality: constant quantiser from 31 (worst) to 1 (best).
    const int qscale = 31 - (quality - 1) * 30 / 9999;
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * qscale;
  } else if (options_.dataRateKBps > 0) {
    encoder->bit_rate = static_cast<int64_t>(options_.dataRateKBps) * 1024 * 8;
  }
  if (format.oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int error = avcodec_open2(encoder.get(), codec, nullptr);
  if (error < 0) {
    LogAvError("avcodec_open2", error);
    return AviResult::kFormatUnsupported;
  }
  if (avcodec_parameters_from_context(&par, encoder.get()) < 0) return AviResult::kNoMemory;
  // Some encoders settle on the code of the layout they picked (Ut Video's RGB
  // variants): the file must carry that one, or readers take the frames for another.
  par.codec_tag = encoder->codec_tag != 0 ? encoder->codec_tag : options_.compressor.fourcc;
  frame_.reset(av_frame_alloc());
  if (!frame_) return AviResult::kNoMemory;
  frame_->format = encoder->pix_fmt;
  frame_->width = options_.width;
  frame_->height = options_.height;
  if (av_frame_get_buffer(frame_.get(), 0) < 0) return AviResult::kNoMemory;
  scaler_.reset(sws_getContext(options_.width, options_.height, AV_PIX_FMT_BGR24, options_.width, options_.height,
                               encoder->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler_) return AviResult::kFormatUnsupported;
  encoder_ = std::move(encoder);
  return AviResult::kOk;
}

AviResult AviWriter::StartFile(AVFormatContext& format, const std::string& path) {
  int error = avio_open(&format.pb, path.c_str(), AVIO_FLAG_WRITE);
  if (error < 0) {
    LogAvError("avio_open", error);
    if (error == AVERROR(EROFS) || error == AVERROR(EACCES) || error == AVERROR(EPERM)) return AviResult::kReadOnly;
    if (error == AVERROR(ENOMEM)) return AviResult::kNoMemory;
    return AviResult::kOpenFailed;
  }
  // Uncompressed rows go in bottom-up, as a bitmap with a positive height stores them.
  AVDictionary* muxerOptions = nullptr;
  if (options_.compressor.kind == CompressorKind::kUncompressed) av_dict_set(&muxerOptions, "flipped_raw_rgb", "1", 0);
  error = avformat_write_header(&format, &muxerOptions);
  av_dict_free(&muxerOptions);
  if (error < 0) {
    LogAvError("avformat_write_header", error);
    return MapError(error);
  }
  return AviResult::kOk;
}

AviResult AviWriter::WritePacket(AVPacket* packet) {
  packet->stream_index = streamIndex_;
  const int error = av_interleaved_write_frame(format_.get(), packet);
  if (error < 0 || format_->pb->error < 0) {
    lastError_ = error < 0 ? error : format_->pb->error;
    LogAvError("av_interleaved_write_frame", error < 0 ? error : format_->pb->error);
    failed_ = true;
    return MapError(error < 0 ? error : format_->pb->error);
  }
  return AviResult::kOk;
}

AviResult AviWriter::Encode(AVFrame* frame) {
  int error = avcodec_send_frame(encoder_.get(), frame);
  if (error < 0 && error != AVERROR_EOF) {
    lastError_ = error;
    LogAvError("avcodec_send_frame", error);
    return AviResult::kCompressFailed;
  }
  for (;;) {
    error = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return AviResult::kOk;
    if (error < 0) {
      lastError_ = error;
      LogAvError("avcodec_receive_packet", error);
      return AviResult::kCompressFailed;
    }
    av_packet_rescale_ts(packet_.get(), encoder_->time_base, format_->streams[streamIndex_]->time_base);
    lastKey_ = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    const AviResult result = WritePacket(packet_.get());
    av_packet_unref(packet_.get());
    if (result != AviResult::kOk) return result;
  }
}

AviResult AviWriter::Write(const Image& image, const uint8_t* jpeg, std::size_t jpegLength, bool* keyFrame) {
  if (keyFrame != nullptr) *keyFrame = false;
  if (!format_ || failed_) return AviResult::kOtherError;
  if (image.width() != options_.width || image.height() != options_.height) return AviResult::kFormatUnsupported;
  // Every kind works from 24-bit rows; grey and 32-bit frames are converted first.
  std::unique_ptr<Image> converted;
  const Image* bgr = &image;
  if (image.bitsPerPixel() != 24 && options_.compressor.kind != CompressorKind::kPassThroughJpeg) {
    converted = Image::New(image.width(), image.height(), 24);
    if (!converted) return AviResult::kNoMemory;
    const Rect all{0, 0, image.width(), image.height()};
    image.DrawScaled(all, *converted, all, ScaleMode::kFast);
    bgr = converted.get();
  }
  const AVRational timeBase = format_->streams[streamIndex_]->time_base;
  const AVRational frameBase{options_.scale, options_.rate};
  AviResult result = AviResult::kOk;
  switch (options_.compressor.kind) {
    case CompressorKind::kUncompressed:
    case CompressorKind::kPassThroughJpeg: {
      const bool raw = options_.compressor.kind == CompressorKind::kUncompressed;
      const uint8_t* data = raw ? bgr->bits() : jpeg;
      const std::size_t size = raw ? bgr->sizeBytes() : jpegLength;
      if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT32_MAX)) {
        return AviResult::kCompressFailed;
      }
      if (av_new_packet(packet_.get(), static_cast<int>(size)) < 0) return AviResult::kNoMemory;
      std::memcpy(packet_->data, data, size);
      packet_->pts = packet_->dts = av_rescale_q(position_, frameBase, timeBase);
      packet_->duration = av_rescale_q(1, frameBase, timeBase);
      // Uncompressed frames are not flagged; every JPEG stands alone.
      if (!raw) packet_->flags |= AV_PKT_FLAG_KEY;
      if (keyFrame != nullptr) *keyFrame = !raw;
      result = WritePacket(packet_.get());
      av_packet_unref(packet_.get());
      break;
    }
    case CompressorKind::kEncoder: {
      if (av_frame_make_writable(frame_.get()) < 0) return AviResult::kNoMemory;
      // The image's top row and its (negative) pitch: the scaler reads it top-down.
      const uint8_t* src[1] = {bgr->pixels()};
      const int srcStride[1] = {static_cast<int>(bgr->pitch())};
      sws_scale(scaler_.get(), src, srcStride, 0, bgr->height(), frame_->data, frame_->linesize);
      frame_->pts = position_;
      lastKey_ = false;
      result = Encode(frame_.get());
      if (keyFrame != nullptr) *keyFrame = lastKey_;
      break;
    }
  }
  if (result == AviResult::kOk) ++position_;
  return result;
}

AviResult AviWriter::Close() {
  if (!format_) return AviResult::kOk;
  AviResult result = failed_ ? AviResult::kWriteShort : AviResult::kOk;
  if (encoder_ && !failed_) {
    const AviResult drained = Encode(nullptr);
    if (drained != AviResult::kOk) result = drained;
  }
  if (headerWritten_) {
    const int error = av_write_trailer(format_.get());
    if (error < 0) {
      LogAvError("av_write_trailer", error);
      if (result == AviResult::kOk) result = AviResult::kWriteShort;
    }
  }
  if (format_->pb != nullptr) {
    avio_flush(format_->pb);
    if (format_->pb->error < 0 && result == AviResult::kOk) result = AviResult::kWriteShort;
    if (avio_closep(&format_->pb) < 0 && result == AviResult::kOk) result = AviResult::kWriteShort;
  }
  format_.reset();
  // The container library flags every frame of an intra-only codec as a key frame;
  // uncompressed frames go into the file unflagged.
  if (options_.compressor.kind == CompressorKind::kUncompressed && !path_.empty() && !ClearKeyFrameFlags(path_) &&
      result == AviResult::kOk) {
    result = AviResult::kWriteShort;
  }
  path_.clear();
  encoder_.reset();
  frame_.reset();
  scaler_.reset();
  packet_.reset();
  headerWritten_ = false;
  return result;
}

}  // namespace velmora
