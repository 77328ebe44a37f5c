// Showing a tree entry in the views, and what that does to playback mode: an entry of
// recordings (a removable drive, a folder on it, a recordings folder found there, the
// old-recordings branch and its folders) is shown in playback, any other entry live.
//
// Main thread only.
#pragma once

#include "model/group_record.h"

namespace velmora::control {

struct ShowPlan {
  // Playback is left before the tiles are given out: the tiles it played get back what
  // they showed, the nodes shown there go live again, and the old feed stops before
  // another entry takes its tiles.
  bool leavePlayback = false;
  // Playback is entered after the tiles were given out: a new feed of the recordings
  // folders that received a tile.
  bool enterPlayback = false;
};

// Whether an entry is one of recordings, shown only through playback (kinds -8 to -3).
bool IsRecordingsEntry(const GroupRecord& entry);

// What showing `entry` does with playback mode on or off. An entry of recordings shown
// during playback leaves the feed running now and enters playback again with its own.
ShowPlan PlanShowEntry(const GroupRecord& entry, bool playbackMode);

}  // namespace velmora::control
