#include "app/messages.h"

namespace velmora {

bool MessageQueue::post(AppMessage message) {
  bool wasEmpty = false;
  if (!queue_.post(std::move(message), &wasEmpty)) return false;  // message freed on return
  if (!wasEmpty) return true;
  std::shared_ptr<const std::function<void()>> wake;
  {
    std::lock_guard<std::mutex> guard(wakeLock_);
    wake = wake_;
  }
  if (wake) {
    std::lock_guard<std::mutex> calling(wakeCallLock_);
    // Re-checked under the call lock: setWake may have replaced it meanwhile.
    bool current;
    {
      std::lock_guard<std::mutex> guard(wakeLock_);
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
    std::lock_guard<std::mutex> guard(wakeLock_);
    wake_ = std::move(next);
  }
  // Waits for a call of the old function that is in progress.
  std::lock_guard<std::mutex> calling(wakeCallLock_);
}

std::optional<AppMessage> MessageQueue::take() { return queue_.take(); }

// Payloads are destroyed outside the queue's lock: their destructors may post or log.
void MessageQueue::close() { queue_.close(); }

void MessageQueue::reopen() { queue_.reopen(); }

std::size_t MessageQueue::size() const { return queue_.size(); }

MessageQueue& mainQueue() {
  static auto* queue = new MessageQueue;
  return *queue;
}

bool PostStatus(std::string text, bool log) { return mainQueue().post(MsgStatusText{std::move(text), log}); }

}  // namespace velmora
