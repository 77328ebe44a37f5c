#include "app/events.h"

namespace velmora {

// Created on first use and never destroyed: workers may still wait on them while
// the process ends.
platform::Event& shutdownEvent() {
  static auto* event = new platform::Event(platform::Event::Reset::kManual);
  return *event;
}
platform::Event& mediaScanEvent() {
  static auto* event = new platform::Event(platform::Event::Reset::kAuto);
  return *event;
}
platform::Event& networkScanEvent() {
  static auto* event = new platform::Event(platform::Event::Reset::kAuto);
  return *event;
}
platform::Event& deletePassEvent() {
  static auto* event = new platform::Event(platform::Event::Reset::kManual, true);
  return *event;
}

}  // namespace velmora
