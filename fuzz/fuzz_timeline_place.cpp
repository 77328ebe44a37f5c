// libFuzzer target: index entries as an index file holds them (read from a disk, a removable
// drive or another instance) placed into the playback timeline. The whole buffer is placed
// a column at a time while its times go forward; placing each entry on its own computes
// every column by itself. Both must give the same count and the same first and last entry
// of every column, for any bytes.
//
// Input: 4 bytes the feed's start (seconds), 4 bytes its length in milliseconds, 1 byte the
// column capacity, then the index entries (16 bytes each; a torn last one is not read).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "playback/timeline.h"

namespace {

using namespace velmora;

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr std::size_t kHeader = 9;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  int32_t start = 0;
  uint32_t lengthMs = 0;
  std::memcpy(&start, data, sizeof start);
  std::memcpy(&lengthMs, data + 4, sizeof lengthMs);
  static constexpr int kCapacities[] = {993, 5089, 20001};
  const int capacity = kCapacities[data[8] % 3];
  FeedRange range;
  range.startTime = start;
  range.startMs = 0;
  range.endTime = int64_t{start} + lengthMs / 1000;
  range.endMs = static_cast<int>(lengthMs % 1000);

  Timeline whole(capacity), single(capacity);
  if (!whole.Prepare(range, false, 1) || !single.Prepare(range, false, 1)) return 0;
  Check(whole.columns() == single.columns());
  const uint8_t* entries = data + kHeader;
  const std::size_t length = size - kHeader;
  const int placedWhole = whole.Place(0, entries, length);
  const int placedSingle = single.PlaceEntryByEntry(0, entries, length);
  Check(placedWhole == placedSingle);
  Check(placedWhole >= 0 && static_cast<std::size_t>(placedWhole) <= length / kIndexEntryBytes);
  for (int c = 0; c <= whole.columns(); ++c) {
    Check(whole.at(0, c).first == single.at(0, c).first);
    Check(whole.at(0, c).last == single.at(0, c).last);
  }
  return 0;
}
