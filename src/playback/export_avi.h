// The AVI file of an export, written with the container library's AVI muxer (which
// switches to the extended index format by itself for large files). Three kinds of
// compressor: "DIB " stores every frame as uncompressed bottom-up BGR rows; "MJPG" stores
// the recorded JPEGs as they are, without re-encoding; any other four-character code is
// handed to the codec library's encoder for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/image.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVCodecParameters;
struct SwsContext;

namespace velmora {

constexpr uint32_t MakeFourcc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
constexpr uint32_t kFourccDib = MakeFourcc('D', 'I', 'B', ' ');
constexpr uint32_t kFourccMjpg = MakeFourcc('M', 'J', 'P', 'G');

enum class CompressorKind { kUncompressed = 1, kPassThroughJpeg = 2, kEncoder = 3 };

// A compressor that can be used: its code, how it works, and its description.
struct CompressorChoice {
  uint32_t fourcc = kFourccDib;
  CompressorKind kind = CompressorKind::kUncompressed;
  std::string description;
  // The codec library's encoder by name (kEncoder); empty: its default for the code.
  std::string encoder;
};

// The compressor for a four-character code: "DIB " and "MJPG" always; others when the
// codec library has an encoder for the code. False when there is none.
bool FindCompressor(uint32_t fourcc, CompressorChoice& choice);

// Every compressor an export can use on this machine, for the operator's choice:
// "DIB " (uncompressed) and "MJPG" (the recorded JPEGs passed through) first, then one
// entry per four-character code of the AVI video tags for which the codec library has a
// software encoder that opens for a 320 x 240 picture, in the library's order. The
// list is worked out once per process (opening every encoder takes a moment).
const std::vector<CompressorChoice>& ListCompressors();

// The compressor in force for the aviFCC setting: that one when it can be used; else
// "unable to open user specified video compressor '%c%c%c%c'" is logged and the
// pass-through "MJPG" (always usable) stands in. Logs "using video compressor '%c%c%c%c'".
CompressorChoice ResolveCompressor(uint32_t aviFCC);

// The quality setting as the compressor uses it: 1..10000 (0 or less, read as a signed
// value, becomes 1).
int ClampQuality(uint32_t aviQuality);

// The encoder settings of the export.
struct AviOptions {
  CompressorChoice compressor;
  int rate = 10;   // frames per second = rate / scale
  int scale = 1;
  int width = 0;   // every frame has this size
  int height = 0;
  std::string streamName;  // at most 64 characters are kept
  uint32_t quality = 0xFFFFFFFFu;  // aviQuality
  uint32_t keyFrameEvery = 15;     // aviKeyFrame
  uint32_t dataRateKBps = 300;     // aviDataRate (kilobytes per second)
};

// Results of the writer, mapped by the export side to its texts.
enum class AviResult {
  kOk = 0,
  kOpenFailed,        // the file could not be created
  kReadOnly,          // the file system is read-only or the file may not be written
  kNoMemory,
  kNoHandler,         // the container library has no AVI muxer
  kCompressorOpen,    // no encoder could be set up
  kFormatUnsupported, // the encoder refused the frame size or format
  kCompressFailed,    // the encoder failed on a frame
  kWriteShort,        // the disk took fewer bytes than written (full, or an I/O error)
  kOtherError,
};

// Clears the key-frame flag of every entry in the AVI file's indexes (the "idx1" index
// and the extended "ix" chunks). False when the file could not be rewritten.
bool ClearKeyFrameFlags(const std::string& path);

// RAII owners of the library objects.
struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const;
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const;
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const;
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const;
};
struct ScaleContextDeleter {
  void operator()(SwsContext* context) const;
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScaleContextPtr = std::unique_ptr<SwsContext, ScaleContextDeleter>;

class AviWriter {
 public:
  AviWriter() = default;
  ~AviWriter();  // closes (finishes) the file when still open
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  // Creates the file (replacing one that is there) and writes its header.
  AviResult Open(const std::string& path, const AviOptions& options);
  // Writes one frame: the decoded image (24-bit BGR; other depths are converted) and,
  // for the pass-through compressor, the recorded JPEG. keyFrame tells whether the
  // frame was flagged as a key frame.
  AviResult Write(const Image& image, const uint8_t* jpeg, std::size_t jpegLength, bool* keyFrame = nullptr);
  // Drains the encoder and writes the index and the trailer; kWriteShort when the data
  // did not all reach the file. Safe to call more than once.
  AviResult Close();

  bool open() const { return format_ != nullptr; }
  // The library's error code of the last failure (a negative number), 0 when none.
  int lastError() const { return lastError_; }
  int64_t framesWritten() const { return position_; }

 private:
  // The steps of Open: the video stream and what its frames are (the encoder opened when
  // one compresses them), then the file made and its header written.
  AviResult AddVideoStream(AVFormatContext& format);
  AviResult OpenEncoder(const AVFormatContext& format, AVCodecParameters& par);
  AviResult StartFile(AVFormatContext& format, const std::string& path);
  AviResult WritePacket(AVPacket* packet);
  AviResult Encode(AVFrame* frame);

  AviOptions options_;
  std::string path_;
  FormatContextPtr format_;
  CodecContextPtr encoder_;
  FramePtr frame_;
  PacketPtr packet_;
  ScaleContextPtr scaler_;
  int streamIndex_ = 0;
  int64_t position_ = 0;
  bool headerWritten_ = false;
  bool failed_ = false;
  bool lastKey_ = false;  // the last packet out of the encoder was a key frame
  int lastError_ = 0;
};

}  // namespace velmora
