#include "app/bounded_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace velmora {
namespace {

using namespace std::chrono_literals;

// An item that runs a function when it is destroyed (what a payload's destructor may do:
// post or log, reaching the queue again).
struct OnDestroy {
  std::function<void()> call;
  OnDestroy() = default;
  explicit OnDestroy(std::function<void()> f) : call(std::move(f)) {}
  OnDestroy(OnDestroy&& other) noexcept : call(std::exchange(other.call, nullptr)) {}
  OnDestroy& operator=(OnDestroy&&) = delete;
  ~OnDestroy() {
    if (call) call();
  }
};

TEST(BoundedQueue, KeepsOrderRefusesWhenFullOrClosedAndFreesWhatItRefuses) {
  BoundedQueue<std::shared_ptr<int>> queue(2);
  bool wasEmpty = false;
  EXPECT_TRUE(queue.post(std::make_shared<int>(1), &wasEmpty));
  EXPECT_TRUE(wasEmpty);
  EXPECT_TRUE(queue.post(std::make_shared<int>(2), &wasEmpty));
  EXPECT_FALSE(wasEmpty);

  auto refused = std::make_shared<int>(3);
  std::weak_ptr<int> watch = refused;
  EXPECT_FALSE(queue.post(std::move(refused)));  // full
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(queue.size(), 2u);

  EXPECT_EQ(**queue.take(), 1);
  EXPECT_TRUE(queue.any([](const std::shared_ptr<int>& p) { return *p == 2; }));
  EXPECT_FALSE(queue.any([](const std::shared_ptr<int>& p) { return *p == 1; }));
  EXPECT_EQ(**queue.take(), 2);
  EXPECT_FALSE(queue.take().has_value());

  queue.close();
  EXPECT_TRUE(queue.closed());
  EXPECT_FALSE(queue.post(std::make_shared<int>(4)));
  queue.reopen();
  EXPECT_TRUE(queue.post(std::make_shared<int>(5), &wasEmpty));
  EXPECT_TRUE(wasEmpty);
}

TEST(BoundedQueue, ClosingDestroysWhatWaitedOutsideTheLock) {
  BoundedQueue<OnDestroy> queue(8);
  int destroyed = 0;
  // Each destructor reaches the queue again; under the queue's lock that would deadlock.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(queue.post(OnDestroy([&queue, &destroyed] {
      ++destroyed;
      EXPECT_FALSE(queue.post(OnDestroy()));  // closed by now
      EXPECT_EQ(queue.size(), 0u);
    })));
  }
  queue.close();
  EXPECT_EQ(destroyed, 3);
}

TEST(BoundedQueue, WaitEndsOnAPostFromAnotherThreadOrOnClose) {
  BoundedQueue<int> queue(4);
  EXPECT_FALSE(queue.waitFor(1ms));  // nothing comes

  std::thread poster([&queue] {
    std::this_thread::sleep_for(20ms);
    queue.post(7);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(queue.waitFor(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  poster.join();
  EXPECT_EQ(*queue.take(), 7);

  std::thread closer([&queue] {
    std::this_thread::sleep_for(20ms);
    queue.close();
  });
  const auto closeStart = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.waitFor(10s));  // woken with nothing waiting
  EXPECT_LT(std::chrono::steady_clock::now() - closeStart, 5s);
  closer.join();
}

}  // namespace
}  // namespace velmora
