#include "app/messages.h"

namespace velmora {

bool MessageQueue::post(AppMessage message) {
  std::shared_ptr<const std::function<void()>> wake;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_ || queue_.size() >= capacity_) return false;  // message freed on return
    const bool wasEmpty = queue_.empty();
    queue_.push_back(std::move(message));
    if (wasEmpty) wake = wake_;
  }
  if (wake) {
    std::lock_guard<std::mutex> calling(wakeCallLock_);
    // Re-checked under the call lock: setWake may have replaced it meanwhile.
    bool current;
    {
      std::lock_guard<std::mutex> guard(lock_);
      current = wake_ == wake;
    }
    if (current) (*wake)();
  }
  return true;
}

int MessageQueue::subscribe(Subscriber subscriber) { return subscribers_.subscribe(std::move(subscriber)); }

void MessageQueue::unsubscribe(int token) { subscribers_.unsubscribe(token); }

void MessageQueue::deliver(AppMessage& message) { subscribers_.deliver(message); }

void MessageQueue::setWake(std::function<void()> wake) {
  auto next = wake ? std::make_shared<const std::function<void()>>(std::move(wake)) : nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    wake_ = std::move(next);
  }
  // Waits for a call of the old function that is in progress.
  std::lock_guard<std::mutex> calling(wakeCallLock_);
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
