#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <thread>
#include <vector>

#include "platform/MessageQueue.h"

namespace drovn::platform {
namespace {

using namespace std::chrono_literals;

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST(MessageQueue, IdenticalPostsAreCoalesced) {
  MessageQueue q;
  EXPECT_FALSE(readable(q.readyFd()));
  q.post(kLogTextReady, 0, 0);
  q.post(kLogTextReady, 0, 0);
  q.post(kLogTextReady, 999, 999);  // other parameters: a message of its own
  q.post(kServiceStateChanged, 0, 0);
  q.post(kLogTextReady, 0, 0);
  EXPECT_TRUE(readable(q.readyFd()));

  MessageQueue::Taken t;
  ASSERT_TRUE(q.take(t, 0));
  EXPECT_EQ(t.message.id, kLogTextReady);
  EXPECT_EQ(t.message.wParam, 0);
  EXPECT_EQ(t.reply, nullptr);
  ASSERT_TRUE(q.take(t, 0));
  EXPECT_EQ(t.message.wParam, 999);
  ASSERT_TRUE(q.take(t, 0));
  EXPECT_EQ(t.message.id, kServiceStateChanged);
  EXPECT_FALSE(readable(q.readyFd()));
  EXPECT_FALSE(q.take(t, 20));

  // Once taken, the same post is queued again.
  q.post(kLogTextReady, 0, 0);
  ASSERT_TRUE(q.take(t, 0));
  EXPECT_EQ(t.message.id, kLogTextReady);
}

TEST(MessageQueue, TakeWaitsForAPostFromAnotherThread) {
  MessageQueue q;
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    q.post(kTimer, 7, 0);
  });
  MessageQueue::Taken t;
  ASSERT_TRUE(q.take(t, 5000));
  EXPECT_EQ(t.message.id, kTimer);
  EXPECT_EQ(t.message.wParam, 7);
  poster.join();
}

// Posters racing the taking thread: a wake-up is given only for the message that ends an empty
// queue, so a lost one would leave a message waiting while take() sleeps. Every post arrives,
// in each poster's order, and once all are taken the descriptor is quiet again.
TEST(MessageQueue, RacingPostersAreAllTaken) {
  constexpr int kPosters = 4;
  constexpr int kEach = 3000;
  MessageQueue q;
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&q, p] {
      for (int i = 0; i < kEach; ++i) {
        q.post(kTimer, p, i);
        if (i % 64 == 0) std::this_thread::yield();
      }
    });
  }
  std::vector<intptr_t> next(kPosters, 0);
  int taken = 0;
  MessageQueue::Taken t;
  while (taken < kPosters * kEach && q.take(t, 5000)) {
    ASSERT_EQ(t.message.id, kTimer);
    auto& expected = next[static_cast<std::size_t>(t.message.wParam)];
    ASSERT_EQ(t.message.lParam, expected);
    ++expected;
    ++taken;
  }
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(taken, kPosters * kEach);
  EXPECT_FALSE(q.take(t, 0));
  EXPECT_FALSE(readable(q.readyFd()));
}

TEST(MessageQueue, SendIsAnsweredByTheTakingThread) {
  MessageQueue q;
  auto sender = std::async(std::launch::async, [&] {
    return q.send(
        kNetworkCheck, 1, 0, [] { return true; }, -1);
  });
  MessageQueue::Taken t;
  ASSERT_TRUE(q.take(t, 5000));
  EXPECT_EQ(t.message.id, kNetworkCheck);
  EXPECT_EQ(t.message.wParam, 1);
  ASSERT_NE(t.reply, nullptr);
  MessageQueue::answer(t, 1);
  ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(sender.get(), 1);
}

TEST(MessageQueue, SendsAreNotCoalesced) {
  MessageQueue q;
  auto first = std::async(std::launch::async, [&] { return q.send(kNetworkCheck, 1, 1, {}, -1); });
  auto second = std::async(std::launch::async, [&] { return q.send(kNetworkCheck, 1, 1, {}, -1); });
  for (intptr_t answer = 10; answer < 12; ++answer) {
    MessageQueue::Taken t;
    ASSERT_TRUE(q.take(t, 5000));
    MessageQueue::answer(t, answer);
  }
  ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(first.get() + second.get(), 21);
}

TEST(MessageQueue, SendGivesUpWhenKeepWaitingTurnsFalse) {
  MessageQueue q;
  std::atomic<bool> keep{true};
  std::atomic<int> asked{0};
  auto sender = std::async(std::launch::async, [&] {
    return q.send(
        kNetworkCheck, 1, 0,
        [&] {
          ++asked;
          return keep.load();
        },
        42);
  });
  std::this_thread::sleep_for(250ms);  // nobody answers; the sender keeps asking
  EXPECT_FALSE(sender.wait_for(0s) == std::future_status::ready);
  keep = false;
  ASSERT_EQ(sender.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(sender.get(), 42);
  EXPECT_GE(asked.load(), 2);

  // The message is still queued; a late answer goes nowhere.
  MessageQueue::Taken t;
  ASSERT_TRUE(q.take(t, 0));
  EXPECT_EQ(t.message.id, kNetworkCheck);
  MessageQueue::answer(t, 1);
  EXPECT_EQ(t.reply, nullptr);
}

TEST(MessageQueue, CloseSignalGivesTheCloseCommand) {
  MessageQueue q;
  installCloseSignals(q);
  q.post(kTimer, 1, 0);
  ASSERT_EQ(std::raise(SIGTERM), 0);
  ASSERT_EQ(std::raise(SIGPIPE), 0);  // ignored: the process goes on
  MessageQueue::Taken t;
  ASSERT_TRUE(q.take(t, 1000));
  EXPECT_EQ(t.message.id, kCommand);
  EXPECT_EQ(t.message.wParam, kCloseCommandId);
  ASSERT_TRUE(q.take(t, 1000));
  EXPECT_EQ(t.message.id, kTimer);
  EXPECT_FALSE(q.take(t, 20));
  EXPECT_FALSE(readable(q.readyFd()));

  // A signal also wakes a take that is already waiting.
  std::thread signaller([] {
    std::this_thread::sleep_for(50ms);
    (void)std::raise(SIGINT);
  });
  ASSERT_TRUE(q.take(t, 5000));
  EXPECT_EQ(t.message.wParam, kCloseCommandId);
  signaller.join();
}

}  // namespace
}  // namespace drovn::platform
