// The simple detector ("motion_detect"): the frame's 16 x 8 zones are compared with the
// reference frame's zone values. A zone's value is the integer square root of the sum of
// the squares of its blue, green and red sums; a zone moved when its change in percent,
// less its noise level, exceeds a threshold that grows for darker zones.
#include <algorithm>
#include <cmath>

#include "app/log.h"
#include "recording/motion.h"
#include "recording/motion_detail.h"

namespace velmora {

using namespace motion_detail;

namespace {

// Noise level every zone starts with after a start-over, in percent.
constexpr uint32_t kInitialZoneNoise = 3;
// Frames still recorded after a motion frame.
constexpr int kSimpleHold = 2;

}  // namespace

bool motion_detect(MotionState& state, const MotionSettings& settings, const FrameView& frame,
                   const MotionCall& call) {
  if (!frame.valid()) {
    Log("%s: ImageFromBuffer failed for %s", "motion_detect", call.deviceName);
    return false;
  }
  const int width = frame.width;
  const int height = frame.height;
  const int zoneWidth = width / kZoneCols;
  const int zoneHeight = height / kZoneRows;

  std::array<uint64_t, kMotionZones> values{};
  if (zoneWidth > 0 && zoneHeight > 0) {
    std::vector<uint64_t> sums;
    CellSums(frame, zoneWidth, zoneHeight, kZoneCols, kZoneRows, sums);
    for (int n = 0; n < kMotionZones; ++n)
      values[n] = ColourValue(sums[n * 3 + 0], sums[n * 3 + 1], sums[n * 3 + 2]);
  }

  if (state.motionKind != 0) {
    StartOver(state, 0);
    state.zoneLevels = values;
    state.zoneNoise.fill(kInitialZoneNoise);
    state.motionReference = MotionReference{true, width, height, {}};
    return false;
  }

  const int table = kSimpleSensitivity[SensitivityIndex(settings.sensitivity)];
  // The largest possible sum of one zone's three colour sums.
  const double zoneMax = static_cast<double>(zoneWidth) * zoneHeight * 765.0;
  const int needed = settings.requireMultipleZones ? 2 : 1;

  std::array<uint64_t, kMotionZones> changes{};
  uint64_t foundLow = 0;
  uint64_t foundHigh = 0;
  int moved = 0;
  bool motion = false;
  for (int n = 0; n < kMotionZones && !motion; ++n) {
    if (((settings.grid4x4 >> ZoneGridBit(n)) & 1) == 0) continue;
    const uint64_t cur = values[n];
    const uint64_t ref = state.zoneLevels[n];
    const uint64_t larger = std::max(cur, ref);
    const uint64_t smaller = std::min(cur, ref);
    const uint64_t change = larger == 0 ? 0 : 100 * (larger - smaller) / larger;
    changes[n] = change;
    const uint64_t noise = state.zoneNoise[n];
    const uint64_t excess = change < noise ? 0 : change - noise;
    double threshold = 0;
    if (cur != 0) {
      const double ratio = 0.35 * zoneMax / static_cast<double>(cur);
      threshold = std::floor(std::max(ratio * ratio * table + 0.5, static_cast<double>(table)));
    }
    if (static_cast<double>(excess) > threshold) {
      ++moved;
      SetZone(foundLow, foundHigh, n);
      // Later zones are not examined once the frame counts as motion.
      if (moved >= needed) motion = true;
    }
  }

  if (!motion) {
    for (int n = 0; n < kMotionZones; ++n) {
      if (((settings.grid4x4 >> ZoneGridBit(n)) & 1) == 0) continue;
      state.zoneNoise[n] =
          static_cast<uint32_t>((uint64_t{state.zoneNoise[n]} * 80 + changes[n] * 20 + 50) / 100);
    }
    // Without ignoring gradual changes the reference stays, so a slow change adds up
    // against it until it counts as motion.
    if (settings.ignoreGradualChanges) {
      state.zoneLevels = values;
      state.motionReference = MotionReference{true, width, height, {}};
    }
    if (state.motionHold > 0) {
      --state.motionHold;
      state.recordFrame = true;
    }
    return false;
  }

  state.motionHold = kSimpleHold;
  state.recordFrame = true;
  if (call.markingApplies && settings.motionShow) {
    for (int n = 0; n < kMotionZones; ++n) {
      if (!ZoneSet(foundLow, foundHigh, n)) continue;
      const int x = (n % kZoneCols) * zoneWidth;
      const int y = height - (n / kZoneCols + 1) * zoneHeight;
      DrawFrameRect(frame, x, y, zoneWidth, zoneHeight, 0, 255, 0);
    }
  }
  state.zoneLevels = values;
  state.motionReference = MotionReference{true, width, height, {}};
  state.motionMaskLow = foundLow;
  state.motionMaskHigh = foundHigh;
  return settings.motionAlert;
}

}  // namespace velmora
