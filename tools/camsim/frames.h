// Everything the fake cameras send, prepared once at start so that serving a frame is
// only a write of a shared buffer: the JPEG frames (test pattern or files), their
// variants with motion blocks and encryption, the multipart parts of the MJPEG stream,
// the H.264 units, and the fault payloads.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace camsim {

using Bytes = std::shared_ptr<const std::string>;

constexpr const char* kBoundary = "myboundary";

// The camera's 32-byte motion block for frame i of a cycle of n frames: 16 rows of a
// big-endian 16-bit word, bit 15 = left column. A 4 x 4 square moves over the grid in
// the first half of the cycle; the second half is quiet (all zero).
std::array<uint8_t, 32> MotionBlock(int frame, int cycle);

// Inserts an APP10 motion segment (short: length 34; tagged: length 38 and "VLM0")
// after the first segment behind the start marker, so that the frame never begins
// FF D8 FF EA (which marks an encrypted frame).
std::string WithMotionSegment(const std::string& jpeg, MotionForm form, const std::array<uint8_t, 32>& block);

// Inserts `count` zero bytes in front of the frame's final end marker, as cameras that
// pad their frames do. The picture still decodes completely.
std::string WithPadding(const std::string& jpeg, int count);

// Inserts an EXIF segment (APP1) directly behind FF D8 whose second directory points at
// a thumbnail: a complete JPEG of its own, with its own FF D8 and FF D9.
std::string WithExifThumbnail(const std::string& jpeg, const std::string& thumbnail);

// Encrypts a frame: a new APP10 header segment behind FF D8 carrying the frame size,
// the 12-byte counter block and the offset and size of the encrypted bytes; those bytes
// (the scan data) are encrypted with AES-256 in counter mode. Returns an empty string
// when the crypto library fails.
std::string EncryptFrame(const std::string& jpeg, const std::array<uint8_t, 32>& key, uint32_t frameNumber);

// The H.264 units of frame i: an SEI user-data unit with the motion block first, then
// (every cycle's first frame) parameter sets, then a slice. Escaped like real units.
std::string H264Frame(int frame, int cycle);

// The same with real pictures: the SEI unit, then the units of the test pattern's
// frame i encoded by libavcodec (a key frame with its parameter sets every tenth frame
// and at the start of the cycle). False with error when no encoder is available or the
// size is odd.
bool RealH264Frames(int width, int height, int fps, int cycle, std::vector<std::string>& frames, std::string& error);

struct FrameSet {
  std::vector<Bytes> jpegs;  // whole frames
  std::vector<Bytes> parts;  // boundary line, part header, frame, CR LF
};

class FrameLibrary {
 public:
  // Encodes the test pattern (or reads the folder). False with error on failure.
  bool Build(const Options& options, std::string& error);

  // The frames of a camera with these settings (encryption, motion block, padding,
  // EXIF thumbnail; built on first use; call before the server starts serving, from one
  // thread).
  const FrameSet& Frames(const CameraOptions& camera);
  const FrameSet& BigFrames() const { return big_; }
  const std::vector<Bytes>& H264() const { return h264_; }
  const Bytes& Garbage() const { return garbage_; }
  const Bytes& BigHeader() const { return bigHeader_; }
  int count() const { return static_cast<int>(plain_.size()); }

 private:
  static Bytes Part(const std::string& jpeg);

  std::array<uint8_t, 32> key_{};
  std::vector<std::string> plain_;
  std::vector<std::string> thumbnails_;  // one per plain frame, for EXIF segments
  int padBytes_ = 16;
  std::map<int, FrameSet> sets_;
  FrameSet big_;
  std::vector<Bytes> h264_;
  Bytes garbage_;
  Bytes bigHeader_;
};

}  // namespace camsim
