// Internals shared by the motion detectors.
#pragma once

#include "recording/motion.h"

namespace velmora::motion_detail {

// The table entry for a sensitivity, clamped to 0-15.
int SensitivityIndex(uint32_t sensitivity);

// A detector whose state belongs to another kind starts over: the frame is recorded as
// a start record (every mask bit set) and the state is emptied for the new kind, which
// then stores its own fresh reference.
void StartOver(MotionState& state, int kind);

// Frame side lengths that the zone and block grids divide.
constexpr int kZoneCols = 16;
constexpr int kZoneRows = 8;
constexpr int kBlockSide = 8;

// Sets zone bit n (0-127) in the low/high pair.
inline void SetZone(uint64_t& low, uint64_t& high, int zone) {
  if (zone < 64) low |= uint64_t{1} << zone;
  else high |= uint64_t{1} << (zone - 64);
}
inline bool ZoneSet(uint64_t low, uint64_t high, int zone) {
  return zone < 64 ? ((low >> zone) & 1) != 0 : ((high >> (zone - 64)) & 1) != 0;
}

}  // namespace velmora::motion_detail
