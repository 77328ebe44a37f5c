// A first-in first-out queue of owned items with a fixed capacity, for handing work from
// any thread to one consumer: the main thread's message queue, the playback thread's queue
// and an export's channel are such queues with their own wake-ups around it.
//
// A post to a closed or full queue is refused and the item is freed by the caller's return;
// closing drops what is queued, and those items are destroyed outside the lock, since their
// destructors may post or log. Nothing else is called under the lock.
//
// Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace velmora {

template <class T>
class BoundedQueue {
 public:
  explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}

  // False when the queue is closed or full (the item is freed on return). wasEmpty, when
  // given, tells whether this post made the empty queue non-empty (the post that has to
  // wake a consumer).
  bool post(T item, bool* wasEmpty = nullptr) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (closed_ || queue_.size() >= capacity_) return false;
      if (wasEmpty) *wasEmpty = queue_.empty();
      queue_.push_back(std::move(item));
    }
    arrived_.notify_all();
    return true;
  }

  // The oldest item, if any. Never blocks.
  std::optional<T> take() {
    std::lock_guard<std::mutex> guard(lock_);
    if (queue_.empty()) return std::nullopt;
    std::optional<T> item(std::move(queue_.front()));
    queue_.pop_front();
    return item;
  }

  // Waits until an item is waiting, the queue is closed or the time-out passes; true when
  // an item is waiting.
  bool waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    arrived_.wait_for(guard, timeout, [this] { return !queue_.empty() || closed_; });
    return !queue_.empty();
  }

  // True when a waiting item satisfies pred (called under the lock: it must only look).
  template <class Pred>
  bool any(Pred pred) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const T& item : queue_)
      if (pred(item)) return true;
    return false;
  }

  bool empty() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.empty();
  }

  std::size_t size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
  }

  // Refuses further posts, drops what is queued and wakes a waiting consumer.
  void close() {
    std::deque<T> dropped;
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = true;
      dropped.swap(queue_);
    }
    arrived_.notify_all();
  }

  // Takes posts again (a new start in the same process).
  void reopen() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = false;
  }

  bool closed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<T> queue_;  // guarded by lock_
  const std::size_t capacity_;
  bool closed_ = false;  // guarded by lock_
};

}  // namespace velmora
