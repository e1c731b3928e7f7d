#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "pal_queue.h"

namespace {

struct item {
  queue_link link;  // intrusive mode: the queue's own link comes first
  int producer;
  int seq;
};

queue* make_queue(uint32_t capacity, bool intrusive, void (*rel)(void*, void*) = nullptr,
                  void* user = nullptr) {
  queue_param p;
  p.capacity = capacity;
  p.intrusive = intrusive ? 1 : 0;
  p.release_proc = rel;
  p.user = user;
  return queue_create(&p);
}

class QueueModes : public testing::TestWithParam<bool> {};

TEST_P(QueueModes, ManyProducersKeepTheirOrderAcrossHandOvers) {
  constexpr int kProducers = 4, kEach = 3000;
  queue* q = make_queue(0, GetParam());
  ASSERT_NE(q, nullptr);
  std::vector<item> items(kProducers * kEach);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int s = 0; s < kEach; ++s) {
        item& it = items[p * kEach + s];
        it.producer = p;
        it.seq = s;
        ASSERT_EQ(queue_push_wait(q, &it, -1), 0);
        if (s % 97 == 0) std::this_thread::yield();  // let the consumer take partial batches
      }
    });
  }
  std::vector<int> next(kProducers, 0);
  for (int got = 0; got < kProducers * kEach; ++got) {
    auto* it = static_cast<item*>(queue_pop_wait(q, 10000));
    ASSERT_NE(it, nullptr) << "after " << got;
    ASSERT_EQ(it->seq, next[it->producer]) << "producer " << it->producer;
    ++next[it->producer];
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(queue_pop_wait(q, 0), nullptr);
  EXPECT_EQ(queue_count(q), 0);
  EXPECT_EQ(queue_close(q), 0);
}

TEST_P(QueueModes, FifoWhenPushesAndPopsInterleave) {
  queue* q = make_queue(0, GetParam());
  std::vector<item> items(8);
  int pushed = 0, popped = 0;
  auto push = [&](int n) {
    for (int i = 0; i < n; ++i) {
      items[pushed].seq = pushed;
      ASSERT_EQ(queue_push_wait(q, &items[pushed], 0), 0);
      ++pushed;
    }
  };
  auto pop = [&](int n) {
    for (int i = 0; i < n; ++i) {
      auto* it = static_cast<item*>(queue_pop_wait(q, 0));
      ASSERT_NE(it, nullptr);
      EXPECT_EQ(it->seq, popped++);
    }
  };
  push(3);
  pop(1);  // takes the producer list over; two stay on the consumer side
  push(3); // a new producer list behind them
  pop(4);
  push(2);
  pop(3);
  EXPECT_EQ(queue_pop_wait(q, 0), nullptr);
  queue_close(q);
}

INSTANTIATE_TEST_SUITE_P(Wrapped, QueueModes, testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Intrusive, QueueModes, testing::Values(true));

TEST(Queue, PopWaitsForTheTimeOutOrAnElement) {
  queue* q = make_queue(0, false);
  EXPECT_EQ(queue_pop_wait(q, 0), nullptr);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(queue_pop_wait(q, 30), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));

  // A pop of an element that was already there must not leave a stale
  // wake-up behind that ends the next endless wait with nothing.
  int a = 1, b = 2;
  queue_push_wait(q, &a, 0);
  EXPECT_EQ(queue_pop_wait(q, 0), &a);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue_push_wait(q, &b, 0);
  });
  EXPECT_EQ(queue_pop_wait(q, -1), &b);
  late.join();
  queue_close(q);
}

TEST(Queue, BoundedQueueBlocksPushersUntilThereIsRoom) {
  queue* q = make_queue(2, false);
  int e[4] = {};
  EXPECT_EQ(queue_push_wait(q, &e[0], 0), 0);
  EXPECT_EQ(queue_push_wait(q, &e[1], 0), 0);
  EXPECT_EQ(queue_push_wait(q, &e[2], 0), -2);
  EXPECT_EQ(queue_push_wait(q, &e[2], 20), -2);
  EXPECT_EQ(queue_count(q), 2);

  std::atomic<int> result{99};
  std::thread pusher([&] { result = queue_push_wait(q, &e[2], -1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(result.load(), 99);  // still blocked
  EXPECT_EQ(queue_pop_wait(q, 0), &e[0]);
  pusher.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(queue_pop_wait(q, 0), &e[1]);
  EXPECT_EQ(queue_pop_wait(q, 0), &e[2]);
  queue_close(q);
}

TEST(Queue, BoundNeverExceededByRacingProducers) {
  constexpr uint32_t kCap = 3;
  queue* q = make_queue(kCap, false);
  std::vector<int> vals(4000);
  std::vector<std::thread> ps;
  for (int p = 0; p < 4; ++p)
    ps.emplace_back([&, p] {
      for (int i = 0; i < 1000; ++i) ASSERT_EQ(queue_push_wait(q, &vals[p * 1000 + i], -1), 0);
    });
  int max_seen = 0;
  for (int got = 0; got < 4000; ++got) {
    max_seen = std::max(max_seen, static_cast<int>(queue_count(q)));
    ASSERT_NE(queue_pop_wait(q, 10000), nullptr);
  }
  for (auto& t : ps) t.join();
  EXPECT_LE(max_seen, static_cast<int>(kCap));
  queue_close(q);
}

std::vector<int> g_released;
void record_release(void* user, void* elem) {
  EXPECT_EQ(user, &g_released);
  g_released.push_back(*static_cast<int*>(elem));
}

TEST(Queue, ClearReleasesProducerSideFirstThenConsumerSide) {
  g_released.clear();
  queue* q = make_queue(0, false, record_release, &g_released);
  int v[5] = {1, 2, 3, 4, 5};
  for (int i = 0; i < 3; ++i) queue_push_wait(q, &v[i], 0);
  EXPECT_EQ(*static_cast<int*>(queue_pop_wait(q, 0)), 1);  // 2, 3 now on the consumer side
  queue_push_wait(q, &v[3], 0);
  queue_push_wait(q, &v[4], 0);
  EXPECT_EQ(queue_clear(q), 0);
  EXPECT_EQ(g_released, (std::vector<int>{4, 5, 2, 3}));
  EXPECT_EQ(queue_count(q), 0);
  EXPECT_EQ(queue_pop_wait(q, 0), nullptr);
  // Still usable after a clear.
  queue_push_wait(q, &v[0], 0);
  EXPECT_EQ(queue_pop_wait(q, 0), &v[0]);
  g_released.clear();
  queue_close(q);
  EXPECT_TRUE(g_released.empty());
}

TEST(Queue, CloseWakesWaitingPusherAndPopper) {
  queue* full = make_queue(1, false);
  queue* empty = make_queue(0, true);
  int x = 0;
  queue_push_wait(full, &x, 0);
  std::atomic<int> push_result{99};
  std::atomic<int> popped{0};
  std::thread pusher([&] { push_result = queue_push_wait(full, &x, -1); });
  std::thread popper([&] { popped = queue_pop_wait(empty, -1) == nullptr ? 1 : 2; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(queue_close(full), 0);
  EXPECT_EQ(queue_close(empty), 0);
  pusher.join();
  popper.join();
  EXPECT_EQ(push_result.load(), -1);
  EXPECT_EQ(popped.load(), 1);
}

TEST(Queue, NullQueueAndElementAreRefused) {
  int x = 0;
  EXPECT_EQ(queue_push_wait(nullptr, &x, 0), -1);
  EXPECT_EQ(queue_pop_wait(nullptr, 0), nullptr);
  EXPECT_EQ(queue_clear(nullptr), -1);
  EXPECT_EQ(queue_close(nullptr), -1);
  queue* q = make_queue(0, false);
  EXPECT_EQ(queue_push_wait(q, nullptr, 0), -1);
  EXPECT_EQ(queue_count(q), 0);
  queue_close(q);
}

}  // namespace
