// The main queue's seam to an event loop: several subscribers, and the wake-up a post
// gives to a loop that would otherwise wait for its next timer tick.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/messages.h"

namespace velmora {
namespace {

TEST(MessageSeam, SubscribersSeeEveryMessageInOrderAndCanLeaveMidDelivery) {
  MessageQueue queue;
  std::vector<std::string> seen;
  int second = 0;
  int first = queue.subscribe([&](AppMessage& m) {
    seen.push_back("a" + std::to_string(m.index()));
  });
  second = queue.subscribe([&](AppMessage& m) {
    seen.push_back("b" + std::to_string(m.index()));
    // The third subscriber leaves while this message is delivered: it must not get it.
    if (std::holds_alternative<MsgPaused>(m)) queue.unsubscribe(3);
  });
  EXPECT_EQ(queue.subscribe([&](AppMessage&) { seen.push_back("c"); }), 3);
  EXPECT_NE(first, second);

  AppMessage playing = MsgPlaying{};
  queue.deliver(playing);
  AppMessage paused = MsgPaused{};
  queue.deliver(paused);
  queue.unsubscribe(first);
  queue.unsubscribe(12345);  // unknown tokens are ignored
  AppMessage status = MsgStatusText{};
  queue.deliver(status);
  EXPECT_EQ(seen, (std::vector<std::string>{"a10", "b10", "c", "a11", "b11", "b3"}));
}

TEST(MessageSeam, WakeRunsOncePerEmptyToNonEmptyPostFromAnyThreadAndStopsWhenCleared) {
  MessageQueue queue(3);
  std::atomic<int> wakes{0};
  queue.setWake([&] { wakes.fetch_add(1); });

  // Posts from another thread: only the first one finds the queue empty.
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) queue.post(MsgSpeedUp{});
  });
  poster.join();
  EXPECT_EQ(wakes.load(), 1);
  // A refused post (full) does not wake.
  EXPECT_FALSE(queue.post(MsgSpeedUp{}));
  EXPECT_EQ(wakes.load(), 1);

  // Drained empty: the next post wakes again.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(queue.take().has_value());
  EXPECT_TRUE(queue.post(MsgSpeedDown{}));
  EXPECT_EQ(wakes.load(), 2);

  // Closed: nothing is queued, nothing wakes.
  queue.close();
  EXPECT_FALSE(queue.post(MsgSpeedDown{}));
  queue.reopen();
  queue.setWake(nullptr);
  EXPECT_TRUE(queue.post(MsgSpeedDown{}));
  EXPECT_EQ(wakes.load(), 2);
}

// Many threads post while the wake function is replaced; no call may reach the old
// function after setWake has returned.
TEST(MessageSeam, ReplacedWakeIsNotCalledAfterSetWakeReturns) {
  MessageQueue queue(100000);
  std::atomic<bool> oldGone{false};
  std::atomic<int> lateCalls{0};
  queue.setWake([&] {
    if (oldGone.load()) lateCalls.fetch_add(1);
  });
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 20000 && !stop.load(); ++i) {
        queue.post(MsgPlaying{});
        queue.take();
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  queue.setWake([] {});
  oldGone.store(true);
  stop.store(true);
  for (auto& t : posters) t.join();
  EXPECT_EQ(lateCalls.load(), 0);
}

}  // namespace
}  // namespace velmora
