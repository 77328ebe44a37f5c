#include "live/view_slot.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

namespace velmora {

namespace {

constexpr std::array<Colour, kPlaybackSlotCount> kPlaybackColours = {{
    {0, 0, 255},     {0, 208, 0},     {255, 0, 0},     {0, 208, 208},
    {192, 0, 192},   {224, 224, 16},  {153, 119, 119}, {255, 102, 51},
    {8, 136, 34},    {255, 204, 0},   {192, 192, 255}, {176, 240, 176},
    {255, 192, 192}, {173, 169, 144}, {208, 160, 208}, {170, 102, 17},
}};

std::atomic<uint64_t> lockContended{0};
std::atomic<uint64_t> lockMaxWaitNs{0};
std::atomic<uint64_t> lockTotalWaitNs{0};

void CountLockWait(uint64_t ns) {
  lockContended.fetch_add(1, std::memory_order_relaxed);
  lockTotalWaitNs.fetch_add(ns, std::memory_order_relaxed);
  uint64_t seen = lockMaxWaitNs.load(std::memory_order_relaxed);
  while (ns > seen && !lockMaxWaitNs.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
  }
}

}  // namespace

LockWaitStats ViewSlotLockWaits() {
  LockWaitStats stats;
  stats.contended = lockContended.load(std::memory_order_relaxed);
  stats.maxWaitNs = lockMaxWaitNs.load(std::memory_order_relaxed);
  stats.totalWaitNs = lockTotalWaitNs.load(std::memory_order_relaxed);
  return stats;
}

void ResetViewSlotLockWaits() {
  lockContended.store(0, std::memory_order_relaxed);
  lockMaxWaitNs.store(0, std::memory_order_relaxed);
  lockTotalWaitNs.store(0, std::memory_order_relaxed);
}

std::unique_lock<std::mutex> ViewSlot::LockForStore() const {
  std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
  if (!guard.owns_lock()) {
    // The length of a real lock wait, in nanoseconds: the system's steady clock.
    const auto start = std::chrono::steady_clock::now();
    guard.lock();
    const auto waited = std::chrono::steady_clock::now() - start;
    CountLockWait(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count()));
  }
  return guard;
}

ViewSlotState ViewSlot::Snapshot() const {
  ViewSlotState state;
  std::lock_guard<std::mutex> guard(lock_);
  state.image = image_;
  state.text = text_;
  state.title = title_;
  state.frozen = frozen_;
  state.selected = selected_;
  state.errorMark = errorMark_;
  state.playbackSlot = playbackSlot_;
  state.recordingMark = recordingMark_;
  state.zoomed = zoomed_;
  state.zoom = zoom_;
  return state;
}

Colour PlaybackSlotColour(int slot) {
  if (slot < 0 || slot >= kPlaybackSlotCount) return Colour{};
  return kPlaybackColours[static_cast<std::size_t>(slot)];
}

bool ViewSlot::SetImage(std::unique_ptr<ImageHolder> holder, std::string caption) {
  // The shared form is made before the lock is taken; whatever is dropped (the old frame,
  // or the refused new one) is freed after the lock is released.
  std::shared_ptr<const ImageHolder> frame(std::move(holder));
  std::shared_ptr<const ImageHolder> old;
  std::string oldText;
  std::unique_lock<std::mutex> guard = LockForStore();
  if (frozen_) {
    guard.unlock();
    return false;
  }
  old = std::move(image_);
  image_ = std::move(frame);
  oldText = std::move(text_);
  text_ = std::move(caption);
  dirty_ = true;
  guard.unlock();
  return true;
}

bool ViewSlot::SetText(std::string text) {
  std::unique_lock<std::mutex> guard = LockForStore();
  if (frozen_) return false;
  text_ = std::move(text);
  dirty_ = true;
  return true;
}

void ViewSlot::SetCaptionAndClear(std::string text) {
  std::shared_ptr<const ImageHolder> old;  // declared first: freed after the lock is released
  std::lock_guard<std::mutex> guard(lock_);
  zoomed_ = false;
  zoom_ = Rect{};
  recordingMark_ = kRecordingMarkOff;
  errorMark_ = false;  // the warning belonged to what the slot showed before
  title_ = text;
  old = std::move(image_);
  text_ = std::move(text);
  dirty_ = true;
  eraseWanted_ = true;
}

std::unique_ptr<Image> ViewSlot::CopyImage() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (!image_ || !image_->image || !image_->image->valid()) return nullptr;
  return image_->image->Copy();
}

std::vector<uint8_t> ViewSlot::CopyJpeg() const {
  std::vector<uint8_t> bytes;
  std::lock_guard<std::mutex> guard(lock_);
  if (!image_ || !image_->jpeg || image_->length == 0) return bytes;
  try {
    bytes.assign(image_->jpeg.get(), image_->jpeg.get() + image_->length);
  } catch (const std::bad_alloc&) {
    bytes.clear();
  }
  return bytes;
}

std::string ViewSlot::Text() const {
  std::lock_guard<std::mutex> guard(lock_);
  return text_;
}

bool ViewSlot::Selected() const {
  std::lock_guard<std::mutex> guard(lock_);
  return selected_;
}

void ViewSlot::SetSelected(bool selected) {
  std::lock_guard<std::mutex> guard(lock_);
  selected_ = selected;
  dirty_ = true;
}

int ViewSlot::PlaybackSlot() const {
  std::lock_guard<std::mutex> guard(lock_);
  return playbackSlot_;
}

void ViewSlot::SetPlaybackSlot(int slot) {
  std::lock_guard<std::mutex> guard(lock_);
  playbackSlot_ = (slot >= 0 && slot < kPlaybackSlotCount) ? slot : -1;
  dirty_ = true;
}

int ViewSlot::RecordingMark() const {
  std::lock_guard<std::mutex> guard(lock_);
  return recordingMark_;
}

bool ViewSlot::SetRecordingMark(int mark) {
  std::lock_guard<std::mutex> guard(lock_);
  if (recordingMark_ == mark) return false;
  recordingMark_ = mark;
  dirty_ = true;
  return true;
}

bool ViewSlot::ErrorMark() const {
  std::lock_guard<std::mutex> guard(lock_);
  return errorMark_;
}

void ViewSlot::SetErrorMark(bool error) {
  std::unique_lock<std::mutex> guard = LockForStore();
  if (errorMark_ == error) return;  // only a change asks for a repaint
  errorMark_ = error;
  dirty_ = true;
}

bool ViewSlot::Frozen() const {
  std::lock_guard<std::mutex> guard(lock_);
  return frozen_;
}

void ViewSlot::SetFrozen(bool frozen) {
  std::lock_guard<std::mutex> guard(lock_);
  frozen_ = frozen;
}

void ViewSlot::SetZoom(bool zoomed, const Rect& zoom) {
  std::lock_guard<std::mutex> guard(lock_);
  zoomed_ = zoomed;
  zoom_ = zoomed ? zoom : Rect{};
  dirty_ = true;
}

void ViewSlot::Invalidate(bool erase) {
  std::lock_guard<std::mutex> guard(lock_);
  dirty_ = true;
  if (erase) eraseWanted_ = true;
}

bool ViewSlot::TakeDirty(bool* erase) {
  std::lock_guard<std::mutex> guard(lock_);
  const bool dirty = dirty_;
  if (erase != nullptr) *erase = eraseWanted_;
  dirty_ = false;
  eraseWanted_ = false;
  return dirty;
}

ViewSlot* ViewSlots::at(int index) {
  if (index < 0 || index >= viewSlotCount) return nullptr;
  return &slots_[static_cast<std::size_t>(index)];
}

const ViewSlot* ViewSlots::at(int index) const {
  if (index < 0 || index >= viewSlotCount) return nullptr;
  return &slots_[static_cast<std::size_t>(index)];
}

bool ViewSlots::SetImage(int index, std::unique_ptr<ImageHolder> holder, std::string caption) {
  ViewSlot* slot = at(index);
  if (slot == nullptr) return false;
  return slot->SetImage(std::move(holder), std::move(caption));
}

bool ViewSlots::SetText(int index, std::string text) {
  ViewSlot* slot = at(index);
  return slot != nullptr && slot->SetText(std::move(text));
}

void ViewSlots::SetCaptionAndClear(int index, std::string text) {
  if (ViewSlot* slot = at(index)) slot->SetCaptionAndClear(std::move(text));
}

void ViewSlots::SetErrorMark(int index, bool error) {
  if (ViewSlot* slot = at(index)) slot->SetErrorMark(error);
}

bool ViewSlots::SetRecordingMark(int index, int mark) {
  ViewSlot* slot = at(index);
  return slot != nullptr && slot->SetRecordingMark(mark);
}

int ViewSlots::RecordingMark(int index) const {
  const ViewSlot* slot = at(index);
  return slot != nullptr ? slot->RecordingMark() : kRecordingMarkOff;
}

std::string ViewSlots::Text(int index) const {
  const ViewSlot* slot = at(index);
  return slot != nullptr ? slot->Text() : std::string();
}

bool ViewSlots::ErrorMark(int index) const {
  const ViewSlot* slot = at(index);
  return slot != nullptr && slot->ErrorMark();
}

int ViewSlots::PlaybackSlot(int index) const {
  const ViewSlot* slot = at(index);
  return slot != nullptr ? slot->PlaybackSlot() : -1;
}

void ViewSlots::SetPlaybackSlot(int index, int slot) {
  if (ViewSlot* s = at(index)) s->SetPlaybackSlot(slot);
}

int ViewSlots::LowestFreePlaybackSlot() const {
  std::array<bool, kPlaybackSlotCount> taken{};
  for (const ViewSlot& slot : slots_) {
    const int p = slot.PlaybackSlot();
    if (p >= 0 && p < kPlaybackSlotCount) taken[static_cast<std::size_t>(p)] = true;
  }
  for (int p = 0; p < kPlaybackSlotCount; ++p) {
    if (!taken[static_cast<std::size_t>(p)]) return p;
  }
  return -1;
}

void ViewSlots::ClearAllFrozen() {
  for (ViewSlot& slot : slots_) slot.SetFrozen(false);
}

void ViewSlots::ResetForNewView() {
  for (ViewSlot& slot : slots_) {
    slot.SetPlaybackSlot(-1);
    slot.SetSelected(false);
    slot.SetFrozen(false);
  }
}

void ViewSlots::ClearAllRecordingMarks() {
  for (ViewSlot& slot : slots_) slot.SetRecordingMark(kRecordingMarkOff);
}

std::vector<int> ViewSlots::TakeDirty(std::vector<int>* erased) {
  std::vector<int> dirty;
  for (int i = 0; i < viewSlotCount; ++i) {
    bool erase = false;
    if (!slots_[static_cast<std::size_t>(i)].TakeDirty(&erase)) continue;
    dirty.push_back(i);
    if (erase && erased != nullptr) erased->push_back(i);
  }
  return dirty;
}

}  // namespace velmora
