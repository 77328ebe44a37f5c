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

bool ZoneWatched(const MotionConfig& settings, int zone) {
  return ((settings.grid4x4 >> ZoneGridBit(zone)) & 1) != 0;
}

// The value of each of the frame's zones (zero for all in a frame too small for them).
std::array<uint64_t, kMotionZones> ZoneValues(const FrameView& frame, int zoneWidth, int zoneHeight) {
  std::array<uint64_t, kMotionZones> values{};
  if (zoneWidth > 0 && zoneHeight > 0) {
    std::vector<uint64_t> sums;
    CellSums(frame, zoneWidth, zoneHeight, kZoneCols, kZoneRows, sums);
    for (int n = 0; n < kMotionZones; ++n)
      values[n] = ColourValue(sums[n * 3 + 0], sums[n * 3 + 1], sums[n * 3 + 2]);
  }
  return values;
}

// The zones that moved against the reference, and each watched zone's change in percent.
struct ZoneChanges {
  std::array<uint64_t, kMotionZones> changes{};
  uint64_t foundLow = 0;
  uint64_t foundHigh = 0;
  bool motion = false;  // enough zones moved
};

// Compares the watched zones with the reference, in zone order. Later zones are not
// examined once the frame counts as motion.
ZoneChanges CompareZones(const MotionState& state, const MotionConfig& settings,
                         const std::array<uint64_t, kMotionZones>& values, int zoneWidth, int zoneHeight) {
  const int table = kSimpleSensitivity[SensitivityIndex(settings.sensitivity)];
  // The largest possible sum of one zone's three colour sums.
  const double zoneMax = static_cast<double>(zoneWidth) * zoneHeight * 765.0;
  const int needed = settings.requireMultipleZones ? 2 : 1;
  ZoneChanges found;
  int moved = 0;
  for (int n = 0; n < kMotionZones && !found.motion; ++n) {
    if (!ZoneWatched(settings, n)) continue;
    const uint64_t cur = values[n];
    const uint64_t ref = state.zoneLevels[n];
    const uint64_t larger = std::max(cur, ref);
    const uint64_t smaller = std::min(cur, ref);
    const uint64_t change = larger == 0 ? 0 : 100 * (larger - smaller) / larger;
    found.changes[n] = change;
    const uint64_t noise = state.zoneNoise[n];
    const uint64_t excess = change < noise ? 0 : change - noise;
    double threshold = 0;
    if (cur != 0) {
      const double ratio = 0.35 * zoneMax / static_cast<double>(cur);
      threshold = std::floor(std::max(ratio * ratio * table + 0.5, static_cast<double>(table)));
    }
    if (static_cast<double>(excess) > threshold) {
      ++moved;
      SetZone(found.foundLow, found.foundHigh, n);
      if (moved >= needed) found.motion = true;
    }
  }
  return found;
}

// A frame without motion: each watched zone's noise follows its change, and the frames
// held after a motion frame are counted down.
void SettleQuietFrame(MotionState& state, const MotionConfig& settings,
                      const std::array<uint64_t, kMotionZones>& values, const ZoneChanges& found,
                      const FrameView& frame) {
  for (int n = 0; n < kMotionZones; ++n) {
    if (!ZoneWatched(settings, n)) continue;
    state.zoneNoise[n] = static_cast<uint32_t>((uint64_t{state.zoneNoise[n]} * 80 + found.changes[n] * 20 + 50) / 100);
  }
  // Without ignoring gradual changes the reference stays, so a slow change adds up
  // against it until it counts as motion.
  if (settings.ignoreGradualChanges) {
    state.zoneLevels = values;
    state.motionReference = MotionReference{true, frame.width, frame.height, {}};
  }
  if (state.motionHold > 0) {
    --state.motionHold;
    state.recordFrame = true;
  }
}

// Outlines the moved zones in the frame, green.
void MarkMovedZones(const FrameView& frame, const ZoneChanges& found, int zoneWidth, int zoneHeight) {
  for (int n = 0; n < kMotionZones; ++n) {
    if (!ZoneSet(found.foundLow, found.foundHigh, n)) continue;
    const int x = (n % kZoneCols) * zoneWidth;
    const int y = frame.height - (n / kZoneCols + 1) * zoneHeight;
    DrawFrameRect(frame, x, y, zoneWidth, zoneHeight, 0, 255, 0);
  }
}

}  // namespace

bool motion_detect(MotionState& state, const MotionConfig& settings, const FrameView& frame,
                   const MotionCall& call) {
  if (!frame.valid()) {
    Log("%s: ImageFromBuffer failed for %s", "motion_detect", call.deviceName);
    return false;
  }
  const int width = frame.width;
  const int height = frame.height;
  const int zoneWidth = width / kZoneCols;
  const int zoneHeight = height / kZoneRows;
  const std::array<uint64_t, kMotionZones> values = ZoneValues(frame, zoneWidth, zoneHeight);

  if (state.motionKind != 0) {
    StartOver(state, 0);
    state.zoneLevels = values;
    state.zoneNoise.fill(kInitialZoneNoise);
    state.motionReference = MotionReference{true, width, height, {}};
    return false;
  }

  const ZoneChanges found = CompareZones(state, settings, values, zoneWidth, zoneHeight);
  if (!found.motion) {
    SettleQuietFrame(state, settings, values, found, frame);
    return false;
  }

  state.motionHold = kSimpleHold;
  state.recordFrame = true;
  if (call.markingApplies && settings.motionShow) MarkMovedZones(frame, found, zoneWidth, zoneHeight);
  state.zoneLevels = values;
  state.motionReference = MotionReference{true, width, height, {}};
  state.motionMaskLow = found.foundLow;
  state.motionMaskHigh = found.foundHigh;
  return settings.motionAlert;
}

}  // namespace velmora
