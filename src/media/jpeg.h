// JPEG bytes to images and back. Decoding checks the frame's markers first and logs
// every refusal (warnings of missing or corrupt data too, not harmless ones); it is safe
// to call from any thread at the same time (each decode has its own decoder state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/image.h"

namespace velmora {

// Largest width or height ImageFromBuffer accepts, and the largest pixel count: a
// header may declare up to 65535 x 65535, which must not become a giant allocation.
constexpr int kMaxDecodeSide = 16384;
constexpr uint64_t kMaxDecodePixels = uint64_t{64} * 1024 * 1024;

// Decodes one JPEG frame into a new image: 24-bit BGR for colour, 8-bit with a grey
// colour table for greyscale. The bytes are neither modified nor kept. Returns null
// (after logging why) when the data is not a complete, decodable JPEG.
std::unique_ptr<Image> ImageFromBuffer(const uint8_t* data, std::size_t length);

// The same, decoded at a reduced size by the decoder's DCT scaling: the largest of the
// scales 1, 1/2, 1/4 and 1/8 whose result fits maxWidth x maxHeight (1/8 when none
// does). Used where a small picture is wanted from a large frame.
std::unique_ptr<Image> ImageFromBufferScaled(const uint8_t* data, std::size_t length, int maxWidth,
                                             int maxHeight);

// Reads width and height from the frame header without decoding. False when the
// header cannot be read.
bool JpegDimensions(const uint8_t* data, std::size_t length, int& width, int& height);

// Encodes an image as JPEG (quality 1..100). 8-bit images are written as greyscale
// when their colour table is the grey ramp, else expanded to colour. Returns an empty
// vector (after logging) on failure.
std::vector<uint8_t> EncodeJpeg(const Image& image, int quality);

}  // namespace velmora
