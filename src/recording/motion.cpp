// Detector selection and the rules all three detectors share.
#include <algorithm>

#include "recording/format.h"
#include "recording/motion.h"
#include "recording/motion_detail.h"

namespace velmora {

const std::array<int, 16> kSimpleSensitivity = {36, 28, 23, 21, 19, 17, 15, 13,
                                                11, 9,  7,  5,  4,  3,  2,  1};
const std::array<int, 16> kAdvancedSensitivity = {36, 28, 23, 21, 19, 17, 15, 13,
                                                  11, 9,  7,  6,  5,  4,  3,  2};

namespace motion_detail {

int SensitivityIndex(uint32_t sensitivity) { return sensitivity > 15 ? 15 : static_cast<int>(sensitivity); }

void StartOver(MotionState& state, int kind) {
  state.recordFrame = true;
  state.motionMaskLow = kAllZones;
  state.motionMaskHigh = kAllZones;
  state.motionKind = kind;
  state.motionHold = 0;
  state.motionReference = MotionReference{};
  state.zoneLevels.fill(0);
  state.zoneNoise.fill(0);
  state.blockNoise.clear();
  state.cameraMotionBlock.fill(0);
}

}  // namespace motion_detail

int ZoneGridBit(int zone) {
  // Grid rows count from the top, zone rows from the bottom: zones 96-127 (the top two
  // zone rows) lie in grid row 0.
  return (3 - zone / 32) * 4 + (zone % 16) / 4;
}

bool DetectMotion(MotionState& state, const MotionConfig& settings, const FrameView& frame,
                  const uint8_t* jpeg, std::size_t jpegLength, const MotionCall& call) {
  switch (settings.motionType) {
    case 1:
      return motion_detect_advanced(state, settings, frame, call);
    case 2:
      return motion_detect_camera(state, settings, jpeg, jpegLength, frame, call);
    default:
      return motion_detect(state, settings, frame, call);
  }
}

}  // namespace velmora
