// The H.264 path of web images that name the H.264 script. The byte stream goes
// through the video decoder (video_decoder.h): each picture becomes a JPEG frame on the
// stream path, shown and recorded like a received MJPEG frame, carrying the motion grid
// of its unit's SEI as the camera's motion segment. While the stream has yielded no
// picture, each SEI unit becomes a placeholder image with the device's frame number and
// the motion grid instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "media/image.h"

namespace velmora {

constexpr std::size_t kMotionGridBytes = 32;
// From the start code to the grid of a user-data SEI: start code (4), unit header,
// payload type, payload size (one byte) and the 16-byte UUID.
constexpr std::size_t kSeiGridOffset = 23;

enum class SeiGrid {
  kNone = 1,        // not a user-data SEI: the grid stays all zero
  kGrid = 2,        // the grid was read
  kIncomplete = 3,  // the unit's bytes needed for the decision are not all here yet
};

// Reads the motion grid of the unit that starts (with its start code) at unit, with
// `available` bytes held from there: header byte 06, payload type 05, then 32 grid
// bytes 23 bytes after the start code, with each 03 that follows two zero bytes
// dropped. Never reads beyond unit + available.
SeiGrid ReadSeiMotionGrid(const uint8_t* unit, std::size_t available, uint8_t grid[kMotionGridBytes]);

// The placeholder: 640 x 480, dark grey (32, 32, 32), the number centred in white on
// black, and every set cell of the 16 x 16 grid (16 big-endian rows, bit 15 the left
// column) framed in magenta. Null when memory is short.
std::unique_ptr<Image> H264Placeholder(int32_t number, const uint8_t grid[kMotionGridBytes]);

}  // namespace velmora
