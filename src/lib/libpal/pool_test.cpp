#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "pal_pool.h"

namespace {

TEST(Pool, SizeFollowsTheWishTheProcessorsAndTheCap) {
  EXPECT_EQ(os_pool_size(1, 4), 1);
  EXPECT_EQ(os_pool_size(3, 4), 3);
  EXPECT_EQ(os_pool_size(9, 4), 4);
  EXPECT_EQ(os_pool_size(-2, 1), 1);
  int cpus = os_cpu_count();
  EXPECT_GE(cpus, 1);
  EXPECT_EQ(os_pool_size(0, 64), std::min(cpus, 64));
  os_pool one("cdir_copy", 1, nullptr);
  EXPECT_EQ(one.size(), 1);
  os_pool three("cdir_copy", 3, nullptr);
  EXPECT_EQ(three.size(), 3);
}

TEST(Pool, EveryItemOfEveryBatchRunsOnceAndIsDoneWhenRunReturns) {
  os_pool pool("cdir_copy", 4, nullptr);
  for (uint64_t count : {0u, 1u, 2u, 7u, 1000u}) {
    std::vector<std::atomic<int>> hits(count);
    std::vector<int> by(count, -1);
    std::atomic<int> done{0};
    bool ok = pool.run(count, [&](int w, uint64_t i) {
      hits[i]++;
      by[i] = w;  // each item is written by one thread only
      done++;
      return true;
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(done.load(), static_cast<int>(count));
    for (uint64_t i = 0; i < count; i++) {
      EXPECT_EQ(hits[i].load(), 1) << i;
      EXPECT_GE(by[i], 0);
      EXPECT_LT(by[i], pool.size());
    }
  }
}

TEST(Pool, TheCallerAndAPoolThreadWorkAtTheSameTime) {
  os_pool pool("cdir_copy", 2, nullptr);
  // Item 0 waits until another thread has taken item 1: with one thread
  // only, the wait would run out and the flag stay unset.
  std::atomic<bool> second{false};
  std::atomic<bool> met{false};
  std::set<int> workers;
  std::mutex mu;
  pool.run(2, [&](int w, uint64_t i) {
    {
      std::lock_guard<std::mutex> lk(mu);
      workers.insert(w);
    }
    if (i == 1) {
      second = true;
      return true;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!second && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    met = second.load();
    return true;
  });
  EXPECT_TRUE(met);
  EXPECT_EQ(workers, (std::set<int>{0, 1}));
}

TEST(Pool, AStopLeavesTheItemsNotYetTaken) {
  os_pool pool("cdir_copy", 3, nullptr);
  std::atomic<int> ran{0};
  bool ok = pool.run(100000, [&](int, uint64_t i) {
    ran++;
    return i < 10;
  });
  EXPECT_FALSE(ok);
  // Any item from 10 on stops it: each of the three threads takes at most
  // one of them before it sees the stop.
  EXPECT_GE(ran.load(), 11);
  EXPECT_LE(ran.load(), 13);
  // The next batch starts afresh.
  ran = 0;
  EXPECT_TRUE(pool.run(50, [&](int, uint64_t) {
    ran++;
    return true;
  }));
  EXPECT_EQ(ran.load(), 50);
}

}  // namespace
