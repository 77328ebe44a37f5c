// Changing a device that may be fetched and recorded right now. Workers read a device's
// name, path, location, credentials and its recording and motion settings while they hold
// its fetchLock (and the recorder its recordLock under recordingLock()); every change the
// window makes to those fields goes through the functions here, which take the locks in
// the one order the program uses (fetchLock, then recordingLock(), then recordLock), close
// the recording files and move the recordings folder before the new path is used.
//
// Main thread only (the tree's structure is the main thread's).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "model/group_record.h"

namespace velmora::control {

// The settings of an entry the operator can change: the property pages, a rename,
// Enabled and Recording. A copy read with ReadDeviceSettings, changed, and handed back
// to ApplyDeviceSettings.
struct DeviceSettings {
  std::string name;
  std::string location;
  std::string username;
  std::string password;
  int32_t debugLevel = 0;
  bool syncTime = false;
  bool enabled = false;
  bool recording = false;
  uint32_t updateDelay = 0;
  int32_t archiveTime = 0;
  bool scheduleEnabled = false;
  std::array<bool, 7> daysOfWeek{};
  std::array<bool, 24> hoursOfDay{};
  bool motionEnabled = true;
  bool motionAlert = false;
  bool ignoreGradualChanges = true;
  bool requireMultipleZones = false;
  bool motionShow = false;
  uint32_t motionType = 0;
  uint32_t sensitivity = 11;
  uint16_t grid4x4 = 0xFFFF;
};

// What an edit did. `messageId` is the number of the string the window shows (0 when
// there is nothing to say), for example 392 when the recordings folder could not be
// renamed; `ok` is false when the edit was refused or undone.
struct EditResult {
  bool ok = true;
  int messageId = 0;
};

// The entry's settings now (read under its fetchLock).
DeviceSettings ReadDeviceSettings(GroupRecord& entry);

// Applies changed settings to the entry: a new name is cleaned (CleanName) and, with the
// paths of the entry and everything below it, changed under the locks after the
// recording files of the subtree are closed and its recordings folders renamed; the
// other fields are written under the entry's fetchLock. The fetch is restarted when
// the location or credentials changed, and the recording state applied afterwards.
EditResult ApplyDeviceSettings(GroupRecord& entry, const DeviceSettings& settings);

// Renames the entry (any kind the rename rules allow): the same as ApplyDeviceSettings
// with only the name changed.
EditResult RenameEntryLive(GroupRecord& entry, const std::string& name);

// Moves the entry with its subtree to `position` of `newParent`'s children (as
// MoveEntry counts it), renames its recordings folders from the old paths to the new
// ones under the locks, and applies the recording state. `ok` is false, with nothing
// changed, when MoveEntry refuses the move.
EditResult MoveEntryLive(GroupRecord& entry, GroupRecord& newParent, std::size_t position);

// Enabled and Recording of one entry, applied under its fetchLock, then the recording
// state of the entry applied (fetch started or stopped, files closed).
void SetEnabledLive(GroupRecord& entry, bool enabled);
void SetRecordingLive(GroupRecord& entry, bool recording);

// The view slot fields the playback side changes while a device may be fetched.
void SetStillShownLive(GroupRecord& entry, bool stillShown);

}  // namespace velmora::control
