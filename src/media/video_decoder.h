// H.264 and H.265 pictures for the live path: a decoder that takes either whole access
// units (RTSP packets) or a raw byte stream (the HTTP H.264 script), refuses pictures
// above a size limit before it decodes them, and an encoder that turns a decoded
// picture into the JPEG frame the rest of the live path expects (and, when a slot
// shows it, into the tile's image without a JPEG round trip).
//
// One object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/image.h"

struct AVCodecContext;
struct AVCodecParserContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace velmora {

// Largest picture width or height the live path decodes.
constexpr int kMaxPictureSide = 8192;
// Bytes of a raw byte stream held without a complete unit before the stream is
// judged broken (the parser's buffer stays bounded).
constexpr std::size_t kMaxPendingStreamBytes = 4u << 20;

// libav writes its own messages to standard error, several per packet of a damaged
// stream; the live path reports such streams through the device's state and log
// instead. Lowers libav's level to fatal messages (once).
void QuietLibavMessages();

enum class VideoCodec { kH264 = 1, kH265 = 2 };

enum class DecodeResult {
  kOk = 1,         // every unit fed so far decoded (pictures may follow later)
  kError = 2,      // a unit did not decode (lost packets, corrupt data)
  kTooLarge = 3,   // the stream announced a picture above the limit: nothing decoded
  kNoUnit = 4,     // a raw stream held too many bytes without a unit boundary
};

struct VideoDecoderOptions {
  int threads = 0;                     // 0: from the machine (at most 4)
  int maxSide = kMaxPictureSide;       // larger pictures are refused
  bool wholeUnits = true;              // packets are complete access units
};

class VideoDecoder {
 public:
  VideoDecoder();
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // Opens the decoder and its unit parser. extradata (parameter sets out of band) may
  // be null. False with error filled on failure.
  bool Open(VideoCodec codec, const VideoDecoderOptions& options, const uint8_t* extradata,
            std::size_t extradataSize, std::string& error);
  bool isOpen() const { return context_ != nullptr; }

  // Every picture the decoder finishes (damaged ones are dropped). Its pts is the one
  // given to Feed for its unit, or for a raw byte stream the unit's number from 0.
  using PictureSink = std::function<void(const AVFrame& picture)>;
  // Every access unit cut out of a raw byte stream, with its number, before it is
  // decoded (for the data a camera puts beside its pictures, such as a motion grid).
  using UnitSink = std::function<void(const uint8_t* unit, std::size_t size, int64_t number)>;

  // Feeds bytes: a whole unit when wholeUnits, else any piece of the byte stream.
  // Units announcing a picture above the limit are not decoded (kTooLarge).
  DecodeResult Feed(const uint8_t* data, std::size_t size, int64_t pts, const PictureSink& sink,
                    const UnitSink& unitSink = nullptr);

  // Width and height the stream last announced (0 before its first unit).
  int announcedWidth() const { return width_; }
  int announcedHeight() const { return height_; }
  // Pictures decoded since Open.
  uint64_t picturesDecoded() const { return pictures_; }

 private:
  DecodeResult DecodeUnit(const uint8_t* data, std::size_t size, int64_t pts, const PictureSink& sink);
  void Close();

  AVCodecContext* context_ = nullptr;
  AVCodecParserContext* parser_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  VideoDecoderOptions options_;
  VideoCodec codec_ = VideoCodec::kH264;
  int width_ = 0;
  int height_ = 0;
  std::size_t pendingBytes_ = 0;  // raw bytes fed since the last unit came out
  uint64_t pictures_ = 0;
  int64_t units_ = 0;  // units cut out of a raw byte stream
};

// A decoded picture to JPEG (and to a tile image). Keeps its converter between calls
// and builds it again when the picture's size or format changes.
class PictureEncoder {
 public:
  PictureEncoder();
  ~PictureEncoder();
  PictureEncoder(const PictureEncoder&) = delete;
  PictureEncoder& operator=(const PictureEncoder&) = delete;

  // Encodes the picture at quality (1..100) into out: `headroom` spare bytes, the JPEG,
  // then `trailer` spare bytes; jpegLength is the JPEG's size. With a motion grid (32
  // bytes, 16 big-endian rows) the JPEG carries it as a camera's APP10 motion segment
  // behind its first segment. False with error filled on failure.
  bool Encode(const AVFrame& picture, int quality, const uint8_t* motionGrid, std::size_t headroom,
              std::size_t trailer, std::vector<uint8_t>& out, std::size_t& jpegLength, std::string& error);

  // The picture as a 24-bit image; null on failure.
  std::unique_ptr<Image> ToImage(const AVFrame& picture);

  // Times the converter was (re)built (diagnostics and tests).
  int converterBuilds() const { return converterBuilds_; }

 private:
  // The picture's planes as the JPEG encoder takes them.
  struct YuvPlanes {
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    int strides[3] = {0, 0, 0};
    int subsampling = -1;  // a TJSAMP value
  };
  bool ConvertToYuv420(const AVFrame& picture, YuvPlanes& yuv, std::string& error);
  void ExpandToFullRange(const AVFrame& picture, YuvPlanes& yuv);
  bool CompressPlanes(const YuvPlanes& yuv, int width, int height, int quality, const uint8_t* motionGrid,
                      std::size_t headroom, std::size_t trailer, std::vector<uint8_t>& out,
                      std::size_t& jpegLength, std::string& error);

  SwsContext* yuv_ = nullptr;  // any format -> full-range 4:2:0
  SwsContext* bgr_ = nullptr;  // any format -> BGR24
  std::vector<uint8_t> planes_;
  int converterBuilds_ = 0;
};

}  // namespace velmora
