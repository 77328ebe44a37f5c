#include "app/messages.h"

namespace velmora {

bool MessageQueue::post(AppMessage message) {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_ || queue_.size() >= capacity_) return false;  // message freed on return
  queue_.push_back(std::move(message));
  return true;
}

std::optional<AppMessage> MessageQueue::take() {
  std::lock_guard<std::mutex> guard(lock_);
  if (queue_.empty()) return std::nullopt;
  AppMessage message = std::move(queue_.front());
  queue_.pop_front();
  return message;
}

void MessageQueue::close() {
  std::deque<AppMessage> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    dropped.swap(queue_);
  }
  // Payloads are destroyed outside the lock: their destructors may post or log.
}

void MessageQueue::reopen() {
  std::lock_guard<std::mutex> guard(lock_);
  closed_ = false;
}

std::size_t MessageQueue::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

MessageQueue& mainQueue() {
  static auto* queue = new MessageQueue;
  return *queue;
}

bool PostStatus(std::string text, bool log) { return mainQueue().post(MsgStatusText{std::move(text), log}); }

}  // namespace velmora
