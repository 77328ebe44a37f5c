// The advanced detector ("motion_detect_advanced"): 8 x 8-pixel blocks of the frame are
// compared with the same blocks of the reference frame. Each block keeps its own noise
// level (rising fast, falling slowly); a changed block counts only inside the block grid
// and with at least 3 changed neighbours, which drops single noisy blocks.
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "app/log.h"
#include "recording/motion.h"
#include "recording/motion_detail.h"

namespace velmora {

using namespace motion_detail;

namespace {

// Noise level of every block after a start-over, in tenths of a percent.
constexpr int32_t kInitialBlockNoise = 150;
constexpr int kAdvancedHold = 4;
// 48960 = 8 x 8 x 765, the largest sum of a block's three colour sums, over 5.
constexpr double kThresholdBase = 48960.0 / 5.0;
constexpr int kMinNeighbours = 3;

int32_t ClampNoise(int64_t value) {
  return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

// The value of each 8 x 8 block of the frame, row by row from the bottom.
std::vector<uint32_t> BlockValues(const FrameView& frame, int cols, int rows) {
  const std::size_t blocks = static_cast<std::size_t>(cols) * rows;
  std::vector<uint32_t> values(blocks);
  if (blocks > 0) {
    std::vector<uint64_t> sums;
    CellSums(frame, kBlockSide, kBlockSide, cols, rows, sums);
    for (std::size_t b = 0; b < blocks; ++b)
      values[b] = static_cast<uint32_t>(ColourValue(sums[b * 3], sums[b * 3 + 1], sums[b * 3 + 2]));
  }
  return values;
}

// Marks (1) each block whose change against the reference passes its threshold and lies
// in a watched cell of the 4 x 4 grid. A block below its threshold updates its noise
// level instead: quickly up, slowly down.
std::vector<uint8_t> ChangedBlocks(MotionState& state, const MotionConfig& settings,
                                   const std::vector<uint32_t>& values, int cols, int rows) {
  const double table = kAdvancedSensitivity[SensitivityIndex(settings.sensitivity)];
  // The 4 x 4 grid needs at least 4 blocks each way; smaller frames have no watched cell
  // and so never show motion. Blocks beyond the last whole cell (when the block count is
  // not a multiple of 4) lie outside the grid and are not watched either.
  const int gridColBlocks = cols / 4;
  const int gridRowBlocks = rows / 4;
  const std::vector<uint32_t>& reference = state.motionReference.blockValues;
  const std::size_t blocks = values.size();
  std::vector<uint8_t> candidate(blocks, 0);
  for (std::size_t b = 0; b < blocks; ++b) {
    const int col = static_cast<int>(b % cols);
    const int row = static_cast<int>(b / cols);
    const int64_t cur = values[b];
    const int64_t refValue = int64_t{reference[b]} + 1;
    const int64_t change = std::llabs(cur - refValue) * 100 / refValue;
    const double threshold = std::max(kThresholdBase / static_cast<double>(refValue) * table + 0.5, table);
    int32_t& noise = state.blockNoise[b];
    const int64_t excess = change - (int64_t{noise} + 5) / 10;
    if (threshold > static_cast<double>(excess)) {
      if (change != 0) {
        if (change * 10 > noise) noise = ClampNoise((change * 330 + int64_t{noise} * 77) / 100);
        else noise = ClampNoise((change * 10 + int64_t{noise} * 99) / 100);
      }
      continue;
    }
    if (gridColBlocks == 0 || gridRowBlocks == 0) continue;
    const int gridCol = col / gridColBlocks;
    const int gridRowFromBottom = row / gridRowBlocks;
    if (gridCol > 3 || gridRowFromBottom > 3) continue;
    const int bit = 12 + gridCol - 4 * gridRowFromBottom;
    if (((settings.grid4x4 >> bit) & 1) != 0) candidate[b] = 1;
  }
  return candidate;
}

// Neighbourhood filter: only inner blocks with enough changed neighbours count.
std::vector<std::size_t> CountingBlocks(const std::vector<uint8_t>& candidate, int cols, int rows) {
  std::vector<std::size_t> counting;
  for (int row = 1; row + 1 < rows; ++row) {
    for (int col = 1; col + 1 < cols; ++col) {
      const std::size_t b = static_cast<std::size_t>(row) * cols + col;
      if (candidate[b] == 0) continue;
      int neighbours = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          if ((dx != 0 || dy != 0) && candidate[b + static_cast<std::ptrdiff_t>(dy) * cols + dx])
            ++neighbours;
      if (neighbours >= kMinNeighbours) counting.push_back(b);
    }
  }
  return counting;
}

// The zones the counting blocks lie in (by each block's centre) into the state's motion
// mask; each block outlined in the frame, yellow, when `mark`.
void MarkMovedBlocks(MotionState& state, const FrameView& frame, const std::vector<std::size_t>& counting,
                     int cols, int rows, bool mark) {
  uint64_t low = 0;
  uint64_t high = 0;
  const int zoneWidth = frame.width / kZoneCols;
  const int zoneHeight = frame.height / kZoneRows;
  const int markWidth = frame.width / cols;
  const int markHeight = frame.height / rows;
  for (std::size_t b : counting) {
    const int col = static_cast<int>(b % cols);
    const int row = static_cast<int>(b / cols);
    // Zone of the block's centre; the last zone column and row take what lies beyond.
    const int zoneCol = std::min((col * kBlockSide + 4) / zoneWidth, kZoneCols - 1);
    const int zoneRow = std::min((row * kBlockSide + 4) / zoneHeight, kZoneRows - 1);
    SetZone(low, high, zoneCol + kZoneCols * zoneRow);
    if (mark)
      DrawFrameRect(frame, col * markWidth, frame.height - (row + 1) * markHeight, markWidth, markHeight,
                    255, 255, 0);
  }
  state.motionMaskLow = low;
  state.motionMaskHigh = high;
}

}  // namespace

bool motion_detect_advanced(MotionState& state, const MotionConfig& settings,
                            const FrameView& frame, const MotionCall& call) {
  if (!frame.valid()) {
    Log("%s: ImageFromBuffer failed for %s", "motion_detect_advanced", call.deviceName);
    return false;
  }
  const int width = frame.width;
  const int height = frame.height;
  const int cols = width / kBlockSide;
  const int rows = height / kBlockSide;
  const std::size_t blocks = static_cast<std::size_t>(cols) * rows;
  std::vector<uint32_t> values = BlockValues(frame, cols, rows);

  const MotionReference& ref = state.motionReference;
  if (!ref.present || state.motionKind != 1 || ref.width != width || ref.height != height ||
      ref.blockValues.size() != blocks || state.blockNoise.size() != blocks) {
    StartOver(state, 1);
    state.motionReference = MotionReference{true, width, height, std::move(values)};
    state.blockNoise.assign(blocks, kInitialBlockNoise);
    return false;
  }

  const std::vector<std::size_t> counting = CountingBlocks(ChangedBlocks(state, settings, values, cols, rows), cols, rows);
  const std::size_t needed = settings.requireMultipleZones ? 1 : 3;
  if (counting.size() < needed) {
    if (settings.ignoreGradualChanges) state.motionReference.blockValues = std::move(values);
    if (state.motionHold > 0) {
      --state.motionHold;
      state.recordFrame = true;
    }
    return false;
  }

  state.motionHold = kAdvancedHold;
  state.recordFrame = true;
  MarkMovedBlocks(state, frame, counting, cols, rows, call.markingApplies && settings.motionShow);
  state.motionReference.blockValues = std::move(values);
  return settings.motionAlert;
}

}  // namespace velmora
