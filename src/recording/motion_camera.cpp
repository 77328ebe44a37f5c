// Camera-supplied motion data: cameras that detect motion themselves put a 32-byte
// bitmap into an APP10 segment of each JPEG: 16 rows of one big-endian 16-bit word,
// word 0 the top row of the picture, bit 15 the left column.
#include <bit>
#include <cstring>

#include "recording/motion.h"
#include "recording/motion_detail.h"

namespace velmora {

using namespace motion_detail;

namespace {

constexpr int kCameraHold = 2;
constexpr uint8_t kApp10 = 0xEA;
constexpr std::size_t kShortSegment = 2 + kCameraBlockBytes;      // length 34 (00 22)
constexpr std::size_t kTaggedSegment = 2 + 4 + kCameraBlockBytes;  // length 38 (00 26)

using Words = std::array<uint16_t, 16>;

Words BlockWords(const std::array<uint8_t, kCameraBlockBytes>& block) {
  Words words{};
  for (int i = 0; i < 16; ++i)
    words[i] = static_cast<uint16_t>((block[2 * i] << 8) | block[2 * i + 1]);
  return words;
}

// Word of the block row counted from the bottom of the picture.
uint16_t RowFromBottom(const Words& words, int row) { return words[15 - row]; }

// Bit of picture column j (0 = left) in a row word.
bool ColumnSet(uint16_t word, int column) { return ((word >> (15 - column)) & 1) != 0; }

void DrawBlock(const FrameView& frame, const Words& words, bool shrink, uint8_t red,
               uint8_t blue) {
  const int cellWidth = (frame.width + 15) / 16;
  const int cellHeight = (frame.height + 15) / 16;
  const int dx = shrink ? cellWidth / 4 : 0;
  const int dy = shrink ? cellHeight / 4 : 0;
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) {
      if (!ColumnSet(words[i], j)) continue;
      DrawFrameRect(frame, j * cellWidth + dx, i * cellHeight + dy, cellWidth - 2 * dx,
                    cellHeight - 2 * dy, red, 0, blue);
    }
  }
}

}  // namespace

bool FindCameraMotionBlock(const uint8_t* jpeg, std::size_t jpegLength,
                           std::array<uint8_t, kCameraBlockBytes>& block) {
  if (jpeg == nullptr || jpegLength < 2) return false;
  // From the pair that ends at the last byte towards the start; the first match whose
  // block lies wholly inside the data wins.
  std::size_t end = jpegLength - 1;  // search for FF among bytes [0, end)
  while (end > 0) {
    const void* hit = memrchr(jpeg, 0xFF, end);
    if (hit == nullptr) break;
    const std::size_t i = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - jpeg);
    end = i;
    if (jpeg[i + 1] != kApp10) continue;
    const std::size_t after = jpegLength - (i + 2);
    const uint8_t* p = jpeg + i + 2;
    if (after >= kShortSegment && p[0] == 0x00 && p[1] == kShortSegment) {
      std::memcpy(block.data(), p + 2, kCameraBlockBytes);
      return true;
    }
    if (after >= kTaggedSegment && p[0] == 0x00 && p[1] == kTaggedSegment &&
        std::memcmp(p + 2, "VLM0", 4) == 0) {
      std::memcpy(block.data(), p + 6, kCameraBlockBytes);
      return true;
    }
  }
  return false;
}

bool motion_detect_camera(MotionState& state, const MotionConfig& settings,
                          const uint8_t* jpeg, std::size_t jpegLength, const FrameView& frame,
                          const MotionCall& call) {
  if (state.motionKind != 2) {
    StartOver(state, 2);
    return false;
  }

  std::array<uint8_t, kCameraBlockBytes> block{};
  FindCameraMotionBlock(jpeg, jpegLength, block);
  const Words words = BlockWords(block);

  const int minBits = 16 - SensitivityIndex(settings.sensitivity);
  const int needed = settings.requireMultipleZones ? 2 : 1;
  int moved = 0;
  for (int q = 0; q < 4; ++q) {
    for (int c = 0; c < 4; ++c) {
      if (((settings.grid4x4 >> (12 + c - 4 * q)) & 1) == 0) continue;
      const uint16_t columns = static_cast<uint16_t>(0xF000u >> (4 * c));
      int bits = 0;
      for (int k = 0; k < 4; ++k) bits += std::popcount(static_cast<uint16_t>(RowFromBottom(words, 4 * q + k) & columns));
      if (bits >= minBits) ++moved;
    }
  }

  if (moved < needed) {
    if (state.motionHold > 0) {
      --state.motionHold;
      state.recordFrame = true;
    }
    return false;
  }

  uint64_t low = 0;
  uint64_t high = 0;
  for (int h = 0; h < kZoneRows; ++h) {
    const uint16_t rows = RowFromBottom(words, 2 * h) | RowFromBottom(words, 2 * h + 1);
    for (int j = 0; j < kZoneCols; ++j)
      if (ColumnSet(rows, j)) SetZone(low, high, h * kZoneCols + j);
  }
  state.motionMaskLow = low;
  state.motionMaskHigh = high;
  state.motionHold = kCameraHold;
  state.recordFrame = true;
  if (call.markingApplies && settings.motionShow && frame.valid()) {
    DrawBlock(frame, words, false, 255, 255);
    DrawBlock(frame, BlockWords(state.cameraMotionBlock), true, 160, 160);
  }
  state.cameraMotionBlock = block;
  return settings.motionAlert;
}

}  // namespace velmora
