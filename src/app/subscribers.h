// A list of receivers that each get every delivered message, in the order they
// subscribed. Subscribing returns a token; unsubscribing with it removes that receiver
// and no other, so any number of receivers can listen side by side and none can replace
// another. The main queue's subscribers and the playback controller's report receivers
// are such lists.
//
// Not thread-safe: one thread (the main thread for the users above) subscribes,
// unsubscribes and delivers.
#pragma once

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace velmora {

// Message is what a receiver is handed by reference: `AppMessage` lets receivers take
// what the message owns, `const Report` lets them only read it.
template <class Message>
class Subscribers {
 public:
  using Receiver = std::function<void(Message&)>;

  // Returns a token for unsubscribe (never 0). An empty receiver is kept but never called.
  int subscribe(Receiver receiver) {
    const int token = nextToken_++;
    receivers_.emplace_back(token, std::move(receiver));
    return token;
  }

  // Unknown tokens (0, or one already removed) are ignored.
  void unsubscribe(int token) {
    std::erase_if(receivers_, [token](const auto& entry) { return entry.first == token; });
  }

  bool empty() const { return receivers_.empty(); }

  // Hands `message` to every receiver, in subscription order. A receiver may subscribe
  // or unsubscribe others meanwhile: one added during the walk is called from the next
  // message on, one removed is not called after it went.
  void deliver(Message& message) {
    // Walks by token, so that a receiver changing the list neither invalidates the walk
    // nor is called after it unsubscribed. Nothing is copied while nobody listens (the
    // headless program).
    if (receivers_.empty()) return;
    std::vector<int> tokens;
    tokens.reserve(receivers_.size());
    for (const auto& entry : receivers_) tokens.push_back(entry.first);
    for (int token : tokens) {
      const auto found = std::find_if(receivers_.begin(), receivers_.end(),
                                      [token](const auto& entry) { return entry.first == token; });
      if (found == receivers_.end() || !found->second) continue;
      const Receiver receiver = found->second;  // the entry may go while it runs
      receiver(message);
    }
  }

 private:
  std::vector<std::pair<int, Receiver>> receivers_;
  int nextToken_ = 1;
};

}  // namespace velmora
