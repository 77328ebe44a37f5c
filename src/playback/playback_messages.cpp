#include "playback/playback_messages.h"

namespace velmora {

uint32_t MessageId(const PlaybackMessage& message) {
  return std::visit([](const auto& m) -> uint32_t { return std::decay_t<decltype(m)>::id; }, message);
}

bool PlaybackQueue::post(PlaybackMessage message) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_ || queue_.size() >= capacity_) return false;  // freed on return
    queue_.push_back(std::move(message));
  }
  arrived_.notify_all();
  return true;
}

std::optional<PlaybackMessage> PlaybackQueue::take() {
  std::lock_guard<std::mutex> guard(lock_);
  if (queue_.empty()) return std::nullopt;
  PlaybackMessage message = std::move(queue_.front());
  queue_.pop_front();
  return message;
}

bool PlaybackQueue::empty() const {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.empty();
}

std::size_t PlaybackQueue::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

bool PlaybackQueue::holds(uint32_t id) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& message : queue_)
    if (MessageId(message) == id) return true;
  return false;
}

bool PlaybackQueue::holdsNewWork() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return true;
  for (const auto& message : queue_) {
    const uint32_t id = MessageId(message);
    if (id != PlayMsgSpeed::id && id != PlayMsgExportStart::id && id != PlayMsgExportNext::id) return true;
  }
  return false;
}

bool PlaybackQueue::waitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  arrived_.wait_for(guard, timeout, [this] { return !queue_.empty() || closed_; });
  return !queue_.empty();
}

void PlaybackQueue::close() {
  std::deque<PlaybackMessage> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    dropped.swap(queue_);
  }
  arrived_.notify_all();
}

void PlaybackQueue::reopen() {
  std::lock_guard<std::mutex> guard(lock_);
  closed_ = false;
}

bool PlaybackQueue::closed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}

}  // namespace velmora
