// The 100 view slots: what each tile of the view grid shows (the newest frame and its
// caption or a status text) and the marks painted over it. Workers and playback store
// into a slot under the slot's lock and set its dirty flag; the main thread takes the
// dirty flags every 20 ms and repaints those tiles. No drawing happens here: a window
// reads a slot's state under the same lock and paints it.
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
#include "live/image.h"

namespace velmora {

// Number of playback tracks, and so of border colours.
constexpr int kPlaybackSlotCount = 16;

// Recording mark of a slot (set by the recorder).
constexpr int kRecordingMarkOff = 0;
constexpr int kRecordingMarkOn = 1;
constexpr int kRecordingMarkIdle = 2;  // recording is on but outside the schedule

// Border colour of playback track 0..15 (also its line on the timeline).
Colour PlaybackSlotColour(int slot);

// The state of one slot as a painter sees it, read under the slot's lock.
struct ViewSlotState {
  const ImageHolder* image = nullptr;  // valid only while the lock is held
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

  // Replaces the shown frame (the old holder is freed) and the text, and marks the slot
  // dirty. A frozen slot refuses the frame: the new holder is freed instead. Returns
  // true when the frame was taken.
  bool SetImage(std::unique_ptr<ImageHolder> holder, std::string caption);
  // Replaces the text and marks the slot dirty; ignored while frozen.
  bool SetText(std::string text);
  // Main thread, when a device is given the slot or the slot falls empty: clears the
  // zoom and the recording mark, sets the title and the text, frees the frame and asks
  // for a repaint with erase.
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
  // Stores the mark; a set mark also asks for a repaint.
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

  // Calls fn(const ViewSlotState&) with the slot's lock held (painting). The holder
  // pointer in the state is valid only during the call.
  template <class Fn>
  void Read(Fn&& fn) const {
    std::lock_guard<std::mutex> guard(lock_);
    ViewSlotState state;
    state.image = image_.get();
    state.text = text_;
    state.title = title_;
    state.frozen = frozen_;
    state.selected = selected_;
    state.errorMark = errorMark_;
    state.playbackSlot = playbackSlot_;
    state.recordingMark = recordingMark_;
    state.zoomed = zoomed_;
    state.zoom = zoom_;
    fn(static_cast<const ViewSlotState&>(state));
  }

 private:
  // lock_ guards every field below.
  mutable std::mutex lock_;
  std::unique_ptr<ImageHolder> image_;
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
  // The indices of the slots to repaint now (their dirty flags are cleared).
  std::vector<int> TakeDirty();

 private:
  std::array<ViewSlot, viewSlotCount> slots_;
};

// The process-wide view slots.
ViewSlots& viewSlots();

}  // namespace velmora
