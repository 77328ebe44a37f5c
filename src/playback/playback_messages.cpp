#include "playback/playback_messages.h"

namespace velmora {

uint32_t MessageId(const PlaybackMessage& message) {
  return std::visit([](const auto& m) -> uint32_t { return std::decay_t<decltype(m)>::id; }, message);
}

bool PlaybackQueue::holds(uint32_t id) const {
  return queue_.any([id](const PlaybackMessage& message) { return MessageId(message) == id; });
}

bool PlaybackQueue::holdsNewWork() const {
  if (queue_.closed()) return true;
  return queue_.any([](const PlaybackMessage& message) {
    const uint32_t id = MessageId(message);
    return id != PlayMsgSpeed::id && id != PlayMsgExportStart::id && id != PlayMsgExportNext::id;
  });
}

}  // namespace velmora
