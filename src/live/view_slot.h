// The 100 view slots: what each tile of the view grid shows (the newest frame and its
// caption or a status text) and the marks painted over it. Workers and playback store
// into a slot under the slot's lock and set its dirty flag; the main thread takes the
// dirty flags every 20 ms and repaints those tiles. No drawing happens here: a window
// takes a snapshot of a slot (the shared, immutable frame and a copy of the rest) under
// the lock and paints it after the lock is released, so a slow paint never holds up a
// worker storing the next frame.
//
// Every operation takes the slot index and does nothing for an index outside 0..99.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/paths.h"
#include "media/image.h"

namespace velmora {

// Number of playback tracks, and so of border colours.
constexpr int kPlaybackSlotCount = 16;

// Recording mark of a slot (set by the recorder).
constexpr int kRecordingMarkOff = 0;
constexpr int kRecordingMarkOn = 1;
constexpr int kRecordingMarkIdle = 2;  // recording is on but outside the schedule

// Border colour of playback track 0..15 (also its line on the timeline).
Colour PlaybackSlotColour(int slot);

// The state of one slot as a painter sees it: a copy taken under the slot's lock. The
// frame is shared and never changed once stored, so it stays valid after the lock is
// released, however many newer frames replace it in the slot meanwhile.
struct ViewSlotState {
  std::shared_ptr<const ImageHolder> image;
  std::string text;
  std::string title;  // the tile window's title (set by SetCaptionAndClear)
  bool frozen = false;
  bool selected = false;
  bool errorMark = false;
  int playbackSlot = -1;
  int recordingMark = kRecordingMarkOff;
  bool zoomed = false;
  Rect zoom;  // image pixels shown while zoomed
};

class ViewSlot {
 public:
  ViewSlot() = default;
  ViewSlot(const ViewSlot&) = delete;
  ViewSlot& operator=(const ViewSlot&) = delete;

  // Replaces the shown frame (the old holder is freed, or released to a painter still
  // holding it) and the text, and marks the slot dirty. A frozen slot refuses the frame:
  // the new holder is freed instead. Returns true when the frame was taken. The holder
  // must not be changed by anyone once stored.
  bool SetImage(std::unique_ptr<ImageHolder> holder, std::string caption);
  // Replaces the text and marks the slot dirty; ignored while frozen.
  bool SetText(std::string text);
  // Main thread, when a device is given the slot or the slot falls empty: clears the
  // zoom, the recording mark and the error mark, sets the title and the text, frees the
  // frame and asks for a repaint with erase.
  void SetCaptionAndClear(std::string text);

  // A new image holding the shown frame, or null.
  std::unique_ptr<Image> CopyImage() const;
  // A copy of the shown frame's JPEG bytes; empty when there are none.
  std::vector<uint8_t> CopyJpeg() const;

  std::string Text() const;
  bool Selected() const;
  // Setting the selection asks for a repaint without erase.
  void SetSelected(bool selected);
  int PlaybackSlot() const;
  void SetPlaybackSlot(int slot);
  int RecordingMark() const;
  // Stores the mark; returns true (and marks the slot dirty) when it changed.
  bool SetRecordingMark(int mark);
  bool ErrorMark() const;
  // Stores the mark; a change asks for a repaint (the warning symbol comes or goes).
  void SetErrorMark(bool error);
  bool Frozen() const;
  void SetFrozen(bool frozen);

  // Zoom state (main thread: mouse, wheel and keys on the tile).
  void SetZoom(bool zoomed, const Rect& zoom);

  // Asks for a repaint (with erase: the background is cleared first).
  void Invalidate(bool erase);
  // Takes the dirty flag: true when the slot must be repainted; erase tells whether the
  // background must be cleared first. Both flags are cleared.
  bool TakeDirty(bool* erase = nullptr);

  // A copy of the slot's state taken under its lock; the frame is shared, not copied.
  ViewSlotState Snapshot() const;
  // Calls fn(const ViewSlotState&) on a snapshot, with the lock already released.
  template <class Fn>
  void Read(Fn&& fn) const {
    const ViewSlotState state = Snapshot();
    fn(state);
  }

 private:
  // Takes the lock for a store from a worker or playback, counting the wait when the
  // lock was busy (see LockWaitStats).
  std::unique_lock<std::mutex> LockForStore() const;

  // lock_ guards every field below.
  mutable std::mutex lock_;
  std::shared_ptr<const ImageHolder> image_;
  std::string text_;
  std::string title_;
  bool frozen_ = false;
  bool selected_ = false;
  bool errorMark_ = false;
  bool dirty_ = false;
  bool eraseWanted_ = false;
  int playbackSlot_ = -1;
  int recordingMark_ = kRecordingMarkOff;
  bool zoomed_ = false;
  Rect zoom_;
};

class ViewSlots {
 public:
  ViewSlots() = default;
  ViewSlots(const ViewSlots&) = delete;
  ViewSlots& operator=(const ViewSlots&) = delete;

  static constexpr int size() { return viewSlotCount; }
  // The slot, or null for an index outside 0..99.
  ViewSlot* at(int index);
  const ViewSlot* at(int index) const;

  // The slot operations by index; an index outside 0..99 does nothing (a refused frame
  // is freed).
  bool SetImage(int index, std::unique_ptr<ImageHolder> holder, std::string caption);
  bool SetText(int index, std::string text);
  void SetCaptionAndClear(int index, std::string text);
  void SetErrorMark(int index, bool error);
  bool SetRecordingMark(int index, int mark);
  int RecordingMark(int index) const;
  std::string Text(int index) const;
  bool ErrorMark(int index) const;
  int PlaybackSlot(int index) const;
  void SetPlaybackSlot(int index, int slot);

  // The lowest playback slot 0..15 that no view slot holds; -1 when all are taken.
  int LowestFreePlaybackSlot() const;
  // Clears the frozen flag of every slot.
  void ClearAllFrozen();
  // Showing a node starts from: no playback slots, no selection, nothing frozen.
  void ResetForNewView();
  // Sets the recording mark of every slot to 0 (recording stopped).
  void ClearAllRecordingMarks();
  // The indices of the slots to repaint now (their dirty flags are cleared). When
  // erased is given, the indices among them whose repaint must clear the background
  // first are appended to it.
  std::vector<int> TakeDirty(std::vector<int>* erased = nullptr);

 private:
  std::array<ViewSlot, viewSlotCount> slots_;
};

// How long stores into view slots (frames and texts from workers and playback) waited
// for a slot's lock that was busy, over all slots since the last reset. An uncontended
// store is not counted and costs no clock read.
struct LockWaitStats {
  uint64_t contended = 0;  // stores that found the lock busy
  uint64_t maxWaitNs = 0;  // longest of those waits
  uint64_t totalWaitNs = 0;
};
LockWaitStats ViewSlotLockWaits();
void ResetViewSlotLockWaits();

}  // namespace velmora
