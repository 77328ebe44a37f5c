// Stepping every playback view to its next or previous recorded frame. The positions are
// the playback thread's tables: each view's current frame and the frame it moves to.
#pragma once

#include <array>

#include "playback/recorded_data.h"
#include "playback/timeline.h"

namespace velmora {

struct ViewPositions {
  using Entries = std::array<IndexEntry, kMaxPlaybackViews>;
  Entries current{};
  // The next position of a forward step, or the previous one of a backward step.
  Entries next{};
  // Records the hour indexes list that the last step passed over as damaged on the way
  // to each view's next position (only those whose recorded time lies in the feed).
  std::array<int, kMaxPlaybackViews> damaged{};

  void clearCurrent() { current.fill(IndexEntry{}); }
  void clearNext() {
    next.fill(IndexEntry{});
    damaged.fill(0);
  }
  bool anyNext() const {
    for (const auto& e : next)
      if (!e.empty()) return true;
    return false;
  }
};

// The next position of views first .. first + count - 1: a view with a current position
// moves on by one record (into the next hour file at the end of one); a view without one
// joins at `column` of the timeline (or the first later column holding frames), unless
// that frame is older than the current frame of another of these views. Frames after
// the feed's end are not taken. A damaged record (wrong magic, a length outside the
// record bounds or past the file's end while the index lists later records) is logged
// once and passed over: the walk goes on at the next whole record the hour's index
// lists, counted in positions.damaged. Does nothing unless 0 <= first < 16, count >= 0 and
// first + count <= 16. Returns 1 when a header read on the way had motion, else 0.
int FindNextJpegs(RecordedData& data, const Timeline& timeline, ViewPositions& positions, int column,
                  int first, int count);

// The mirror image for all views: the previous position of each (in positions.next),
// through the trailer of the record before (the last record of the previous hour file
// at a file's start); a view without a current position joins with the last frame at or
// before `column`, unless it is newer than another view's current frame. Frames before
// the feed's start are not taken. A damaged record or trailer on the way is passed over
// the same way, through the index, to the whole record before it. Returns 1 when a header read had motion.
int StepBack(RecordedData& data, const Timeline& timeline, ViewPositions& positions, int column);

}  // namespace velmora
