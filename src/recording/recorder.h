// The recorder: decides for every decoded live frame whether it goes into the device's
// recording files, runs motion detection for it, and writes it as one record plus one
// index entry. It also keeps the per-device files open between frames (switching them
// at the UTC hour), closes them when recording stops, clears the tiles' recording marks,
// and renames a device's recordings folder when the device is renamed or moved.
//
// Threads and locks: check_record runs on the fetch workers with the device's fetchLock
// held. Every record write of every device of a tree happens under the tree's recording
// lock, and within it under the device's recordLock (always in that order). The device's
// motion state is used only inside both locks. The main thread closes files under
// recordLock alone and renames folders under the recording lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "app/app_parts.h"
#include "app/installed.h"
#include "live/stream.h"
#include "media/image.h"
#include "model/group_record.h"
#include "recording/format.h"
#include "recording/motion.h"

namespace velmora {


// The record time fields of a moment (seconds and milliseconds, floored).
RecordTime RecordTimeOf(std::chrono::system_clock::time_point when);

// True when the moment lies inside the device's schedule: always with the schedule off,
// else when both the local weekday's flag (0 = Sunday) and the local hour's flag are set.
bool InSchedule(const GroupRecord& device, std::chrono::system_clock::time_point when);

// One decoded live frame of a device. `buffer` is the first of 48 writable bytes in
// front of the JPEG of `jpegLength` bytes, which is followed by 4 writable bytes; the
// record is assembled there and written with one write. Sets the frame's motion flag
// when the frame was chosen for recording and updates the tile's recording mark
// (1 inside the schedule, 2 outside). JPEG lengths outside 16..4,194,304 are refused
// with a log line. The device's files lie in its folder below the recordings folder of
// `tree`, the tree it is in; the write is made under the tree's recording lock.
void check_record(GroupRecord& device, ImageHolder* frame, uint8_t* buffer, std::size_t jpegLength, DeviceTree& tree);

// The device's motion detector state, created on first use. Call with the device's
// recording locks held.
MotionState& DeviceMotionState(GroupRecord& device);

// Sets the recording mark of every view tile to 0.
void record_stop(ViewSlots& shown);

// Closes the device's data and index files under its recordLock and forgets the open
// hour (failed closes are logged). DeviceRecorder::closeRecordings for the tree.
void record_close_files(GroupRecord& device);

// Renames the recordings folder of a device whose path changed from oldPath to newPath,
// both below `recordings`. The caller holds the tree's recording lock and has closed the
// files of the renamed subtree.
// Waits up to 1 s for a running removal pass. A failure other than "the old folder does
// not exist" is posted as status "Error renaming folder for recorded images (%d)!".
// Returns true when the folder was moved or there was nothing to move.
bool record_rename_folder(const std::string& recordings, const std::string& oldPath, const std::string& newPath);
// The same, giving the system's error code of a failure in `error` (0 on success).
bool record_rename_folder(const std::string& recordings, const std::string& oldPath, const std::string& newPath,
                          int& error);
// How long record_rename_folder waits for a removal pass (tests shorten it).
void SetRenameWait(std::chrono::milliseconds wait);

// The recorder's side of the stream parser and the tree: every decoded frame goes to
// check_record; the tree's closeRecordings is record_close_files, its clearRecordingMark
// sets the device's tile mark back to 0. Frames are recorded into `tree` (none before a
// tree is given); the recorder keeps it alive, since the fetch workers may call it until
// the process ends.
class DeviceRecorder final : public FrameRecorder, public DeviceRecording {
 public:
  explicit DeviceRecorder(std::shared_ptr<DeviceTree> tree = nullptr) : tree_(std::move(tree)) {}
  // The tree to record into from now on. Main thread, before any frame can arrive (the
  // tree is read after it).
  void recordInto(std::shared_ptr<DeviceTree> tree) { tree_ = std::move(tree); }
  void recordFrame(GroupRecord& device, ImageHolder& frame, uint8_t* headroom, std::size_t jpegLength) override;
  void clearRecordingMark(GroupRecord& device) override;
  void closeRecordings(GroupRecord& device) override;

 private:
  std::shared_ptr<DeviceTree> tree_;
};
// The recorder's steps in the application's start-up, timer 3 and shutdown: record_stop,
// closing the files of the whole tree (nothing when there is no tree: a start that ends
// before the tree is read, or a tree already destroyed), the cleanup thread, and the
// removal pass's snapshot, in the tree's recordings folder (set by the start-up before
// the cleanup thread starts). Main thread only. The tree outlives the steps.
class RecorderSteps : public RecorderPart {
 public:
  // tree: the devices and their recordings folder; shown: the view slots whose
  // recording marks recordStop clears.
  RecorderSteps(DeviceTree& tree, ViewSlots& shown) : tree_(tree), slots_(shown) {}
  void recordStop() override;
  void closeRecordings() override;
  void startCleanupThread() override;
  bool joinCleanup(std::chrono::milliseconds timeout) override;
  void periodic() override;

 private:
  DeviceTree& tree_;
  ViewSlots& slots_;
};

}  // namespace velmora
