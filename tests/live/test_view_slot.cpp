// The view slots: frames and texts under the slot's lock, frozen slots, dirty flags for
// the repaint, playback slots, and indices outside the grid.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "live/view_slot.h"

namespace velmora {
namespace {

std::unique_ptr<ImageHolder> Holder(int width, uint8_t firstByte = 0xFF) {
  const uint8_t bytes[4] = {firstByte, 0xD8, 0xFF, 0xD9};
  std::unique_ptr<ImageHolder> holder = ImageHolder::FromJpeg(bytes, sizeof bytes);
  holder->image = Image::New(width, 8, 24);
  return holder;
}

TEST(ViewSlot, FrameAndCaptionReplaceTheOldOnesAndMarkDirty) {
  ViewSlot slot;
  const int before = Image::LiveCount();
  EXPECT_TRUE(slot.SetImage(Holder(16), "Door 5.0 fps"));
  EXPECT_TRUE(slot.SetImage(Holder(32), "Door 6.0 fps"));
  EXPECT_EQ(Image::LiveCount(), before + 1) << "the old frame was freed";
  EXPECT_EQ(slot.Text(), "Door 6.0 fps");
  bool erase = true;
  EXPECT_TRUE(slot.TakeDirty(&erase));
  EXPECT_FALSE(erase);
  EXPECT_FALSE(slot.TakeDirty()) << "taking the flag clears it";
  std::unique_ptr<Image> copy = slot.CopyImage();
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->width(), 32);
  EXPECT_EQ(slot.CopyJpeg(), (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xD9}));
}

TEST(ViewSlot, FrozenSlotRefusesFramesAndTextsAndFreesTheRefusedFrame) {
  ViewSlot slot;
  slot.SetImage(Holder(16), "kept");
  slot.TakeDirty();
  slot.SetFrozen(true);
  const int before = Image::LiveCount();
  EXPECT_FALSE(slot.SetImage(Holder(64), "dropped"));
  EXPECT_FALSE(slot.SetText("dropped too"));
  EXPECT_EQ(Image::LiveCount(), before);
  EXPECT_EQ(slot.Text(), "kept");
  EXPECT_FALSE(slot.TakeDirty());
  EXPECT_EQ(slot.CopyImage()->width(), 16) << "copies read the frozen frame";
  slot.SetFrozen(false);
  EXPECT_TRUE(slot.SetText("live again"));
}

TEST(ViewSlot, CaptionAndClearDropsFrameZoomAndMarksAndAsksForErase) {
  ViewSlot slot;
  slot.SetImage(Holder(16), "old");
  slot.SetZoom(true, Rect{1, 2, 3, 4});
  slot.SetRecordingMark(kRecordingMarkOn);
  slot.SetErrorMark(true);
  slot.TakeDirty();
  slot.SetCaptionAndClear("Connecting to Door");
  bool erase = false;
  EXPECT_TRUE(slot.TakeDirty(&erase));
  EXPECT_TRUE(erase);
  EXPECT_FALSE(slot.CopyImage());
  EXPECT_EQ(slot.RecordingMark(), kRecordingMarkOff);
  EXPECT_FALSE(slot.ErrorMark());
  slot.Read([](const ViewSlotState& s) {
    EXPECT_FALSE(s.zoomed);
    EXPECT_EQ(s.text, "Connecting to Door");
    EXPECT_EQ(s.title, "Connecting to Door");
    EXPECT_EQ(s.image, nullptr);
  });
}

TEST(ViewSlot, MarksAskForARepaintOnlyWhenTheyMatter) {
  ViewSlot slot;
  EXPECT_TRUE(slot.SetRecordingMark(kRecordingMarkIdle));
  EXPECT_TRUE(slot.TakeDirty());
  EXPECT_FALSE(slot.SetRecordingMark(kRecordingMarkIdle)) << "an unchanged mark is no change";
  EXPECT_FALSE(slot.TakeDirty());
  slot.SetErrorMark(false);
  EXPECT_FALSE(slot.TakeDirty());
  slot.SetErrorMark(true);
  EXPECT_TRUE(slot.ErrorMark());
  EXPECT_TRUE(slot.TakeDirty());
}

TEST(ViewSlots, IndicesOutsideTheGridDoNothingAndRefusedFramesAreFreed) {
  ViewSlots slots;
  const int before = Image::LiveCount();
  EXPECT_EQ(slots.at(-1), nullptr);
  EXPECT_EQ(slots.at(viewSlotCount), nullptr);
  EXPECT_FALSE(slots.SetImage(viewSlotCount, Holder(8), "x"));
  EXPECT_FALSE(slots.SetImage(-1, Holder(8), "x"));
  EXPECT_EQ(Image::LiveCount(), before);
  EXPECT_FALSE(slots.SetText(100, "x"));
  slots.SetCaptionAndClear(-5, "x");
  slots.SetErrorMark(1000, true);
  EXPECT_EQ(slots.Text(100), "");
  EXPECT_EQ(slots.PlaybackSlot(-1), -1);
}

TEST(ViewSlots, LowestFreePlaybackSlotAndRepaintList) {
  ViewSlots slots;
  EXPECT_EQ(slots.LowestFreePlaybackSlot(), 0);
  slots.SetPlaybackSlot(3, 0);
  slots.SetPlaybackSlot(9, 1);
  slots.SetPlaybackSlot(10, 3);
  EXPECT_EQ(slots.LowestFreePlaybackSlot(), 2);
  for (int i = 20; i < 36; ++i) slots.SetPlaybackSlot(i, i - 20);
  EXPECT_EQ(slots.LowestFreePlaybackSlot(), -1);
  slots.SetPlaybackSlot(50, 16);
  EXPECT_EQ(slots.PlaybackSlot(50), -1) << "only 16 playback slots exist";
  slots.TakeDirty();
  slots.SetText(4, "a");
  slots.SetText(99, "b");
  EXPECT_EQ(slots.TakeDirty(), (std::vector<int>{4, 99}));
  EXPECT_TRUE(slots.TakeDirty().empty());
  slots.ResetForNewView();
  EXPECT_EQ(slots.LowestFreePlaybackSlot(), 0);
  EXPECT_EQ(PlaybackSlotColour(2), (Colour{255, 0, 0}));
  EXPECT_EQ(PlaybackSlotColour(15), (Colour{170, 102, 17}));
}

TEST(ViewSlots, WorkersStoringWhileThePainterReadsNeverSeeAFreedFrame) {
  ViewSlot slot;
  const int before = Image::LiveCount();
  std::atomic<int> running{3};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&slot, &running, t] {
      for (int i = 0; i < 2000; ++i) slot.SetImage(Holder(8 + t), "w");
      --running;
    });
  }
  int reads = 0;
  for (int i = 0; i < 1000000 && running > 0; ++i) {
    slot.Read([&reads](const ViewSlotState& s) {
      if (s.image != nullptr && s.image->image && s.image->image->width() >= 8) ++reads;
    });
    slot.TakeDirty();
  }
  for (std::thread& w : writers) w.join();
  EXPECT_EQ(running, 0);
  EXPECT_EQ(Image::LiveCount(), before + 1) << "only the last frame is held";
  slot.Read([](const ViewSlotState& s) { EXPECT_NE(s.image, nullptr); });
}

TEST(ViewSlotSnapshot, PainterKeepsItsFrameWhileWorkersStoreNewOnesWithoutWaiting) {
  ViewSlot slot;
  const int before = Image::LiveCount();
  slot.SetImage(Holder(16), "first");
  slot.SetErrorMark(true);
  slot.SetPlaybackSlot(5);
  slot.SetZoom(true, Rect{2, 3, 8, 4});
  slot.TakeDirty();

  ResetViewSlotLockWaits();
  std::atomic<bool> stored{false};
  slot.Read([&](const ViewSlotState& s) {
    // A slow paint: a worker stores two frames meanwhile and must not wait for it.
    std::thread worker([&] {
      slot.SetImage(Holder(32), "second");
      slot.SetImage(Holder(48), "third");
      stored = true;
    });
    for (int i = 0; i < 200 && !stored; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(stored) << "the store waited for the painter";
    worker.join();
    ASSERT_TRUE(s.image);
    EXPECT_EQ(s.image->image->width(), 16) << "the painter's frame is untouched";
    EXPECT_EQ(s.text, "first");
    EXPECT_TRUE(s.errorMark);
    EXPECT_EQ(s.playbackSlot, 5);
    EXPECT_TRUE(s.zoomed);
    EXPECT_EQ(s.zoom.width, 8);
    EXPECT_EQ(Image::LiveCount(), before + 2) << "the painter's frame and the newest are alive";
  });
  EXPECT_EQ(Image::LiveCount(), before + 1) << "the painter's frame went with its snapshot";
  EXPECT_EQ(ViewSlotLockWaits().contended, 0u);
  const ViewSlotState now = slot.Snapshot();
  EXPECT_EQ(now.image->image->width(), 48);
  EXPECT_EQ(now.text, "third");
}

TEST(ViewSlotSnapshot, RepaintListKeepsEraseRequestsAndErrorMarksRepaintBothWays) {
  ViewSlots slots;
  slots.TakeDirty();
  slots.SetText(3, "text only");
  slots.SetCaptionAndClear(7, "Connecting to Yard");
  slots.at(9)->Invalidate(true);
  std::vector<int> erased;
  EXPECT_EQ(slots.TakeDirty(&erased), (std::vector<int>{3, 7, 9}));
  EXPECT_EQ(erased, (std::vector<int>{7, 9}));
  erased.clear();
  EXPECT_TRUE(slots.TakeDirty(&erased).empty());
  EXPECT_TRUE(erased.empty()) << "taken erase requests are gone";

  slots.SetErrorMark(4, true);
  slots.SetErrorMark(4, false);
  EXPECT_EQ(slots.TakeDirty(), (std::vector<int>{4}));
  slots.SetErrorMark(4, false);
  EXPECT_TRUE(slots.TakeDirty().empty()) << "an unchanged clear mark is no change";
  slots.SetErrorMark(4, true);
  slots.TakeDirty();
  slots.SetErrorMark(4, false);
  EXPECT_EQ(slots.TakeDirty(), (std::vector<int>{4})) << "the warning symbol must go away";
}

}  // namespace
}  // namespace velmora
