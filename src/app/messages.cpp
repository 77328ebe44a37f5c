#include "app/messages.h"

#include <algorithm>

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

int MessageQueue::subscribe(Subscriber subscriber) {
  int token = nextToken_++;
  subscribers_.emplace_back(token, std::move(subscriber));
  return token;
}

void MessageQueue::unsubscribe(int token) {
  std::erase_if(subscribers_, [token](const auto& entry) { return entry.first == token; });
}

void MessageQueue::deliver(AppMessage& message) {
  // Walks by token, so that a subscriber changing the list neither invalidates the walk
  // nor is called after it unsubscribed. Nothing is copied while nobody subscribes (the
  // headless program).
  if (subscribers_.empty()) return;
  std::vector<int> tokens;
  tokens.reserve(subscribers_.size());
  for (const auto& entry : subscribers_) tokens.push_back(entry.first);
  for (int token : tokens) {
    const auto found = std::find_if(subscribers_.begin(), subscribers_.end(),
                                    [token](const auto& entry) { return entry.first == token; });
    if (found == subscribers_.end() || !found->second) continue;
    const Subscriber subscriber = found->second;  // the entry may go while it runs
    subscriber(message);
  }
}

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
