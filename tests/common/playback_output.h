// A playback engine's output for tests that drive an engine and a controller by hand:
// what the engine posts is kept for the test to hand on, frames go into the given view
// slots; there is no delete pass to wait for, no recorder's files and no playback limit.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/messages.h"
#include "live/view_slot.h"
#include "playback/playback_engine.h"

namespace velmora::test {

class KeptPlaybackOutput final : public SilentPlaybackOutput {
 public:
  // Both must outlive the output.
  KeptPlaybackOutput(std::vector<AppMessage>& posted, ViewSlots& tiles) : posted_(posted), tiles_(tiles) {}

  bool post(AppMessage message) override {
    posted_.push_back(std::move(message));
    return true;
  }
  void show(int tile, std::unique_ptr<ImageHolder> frame, std::string caption) override {
    tiles_.SetImage(tile, std::move(frame), std::move(caption));
  }

 private:
  std::vector<AppMessage>& posted_;
  ViewSlots& tiles_;
};

}  // namespace velmora::test
