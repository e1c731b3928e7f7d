#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pal_cmder.h"

namespace {

using namespace std::chrono_literals;

// Owner of a cmder in these tests: records what its procedures saw.
struct owner {
  std::mutex mu;
  std::vector<std::pair<uint32_t, std::string>> msgs;  // id, payload text ("<null>" for none)
  std::vector<int> freed;                              // per data slot: msg_free_proc calls
  std::atomic<int> inits{0}, exits{0}, timers{0};
  std::atomic<bool> block{false};  // msg_proc waits while set
  std::atomic<int> in_msg{0};
  int init_exit = 0;               // init_proc sets ctx->exit to this
  uint32_t reinit_on = 0;          // msg_proc sets need_reinit for this id
};

void msg_proc(uint32_t id, void* payload, cmder_ctx* ctx) {
  auto* o = static_cast<owner*>(ctx->user);
  ++o->in_msg;
  for (int i = 0; i < 10000 && o->block.load(); ++i) std::this_thread::sleep_for(1ms);
  std::lock_guard<std::mutex> g(o->mu);
  o->msgs.emplace_back(id, payload ? static_cast<const char*>(payload) : "<null>");
  if (o->reinit_on != 0 && id == o->reinit_on) ctx->need_reinit = 1;
}

void msg_free(void* user, void* data) {
  auto* o = static_cast<owner*>(user);
  if (data == nullptr) return;
  std::lock_guard<std::mutex> g(o->mu);
  ++o->freed[*static_cast<int*>(data)];
}

void init_proc(cmder_ctx* ctx) {
  auto* o = static_cast<owner*>(ctx->user);
  if (o == nullptr) return;
  ++o->inits;
  ctx->exit = static_cast<uint32_t>(o->init_exit);
}
void exit_proc(cmder_ctx* ctx) {
  ++static_cast<owner*>(ctx->user)->exits;
}
void timer_proc(cmder_ctx* ctx) { ++static_cast<owner*>(ctx->user)->timers; }

cmder_param params(owner* o, uint32_t interval = 1000) {
  cmder_param p;
  p.user = o;
  p.name = "test_cmder";
  p.timer_interval_ms = interval;
  p.msg_proc = msg_proc;
  p.msg_free_proc = msg_free;
  p.exit_proc = exit_proc;
  p.timer_proc = timer_proc;
  return p;
}

void drain(cmder* c) {
  for (int i = 0; i < 30 && cmder_wait_idle(c) != 0; ++i) {
  }
}

TEST(Cmder, MessagesFromSeveralPostersRunInPostingOrderAndAreFreedOnce) {
  constexpr int kPosters = 3, kEach = 300;
  owner o;
  o.freed.assign(kPosters * kEach, 0);
  std::vector<int> slots(kPosters * kEach);
  cmder_param p = params(&o);
  cmder* c = cmder_init(&p);
  ASSERT_NE(c, nullptr);
  std::vector<std::thread> posters;
  for (int t = 0; t < kPosters; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        int k = t * kEach + i;
        slots[k] = k;
        std::string text = std::to_string(i);
        ASSERT_EQ(cmder_post_msg3(c, static_cast<uint32_t>(t + 1), text.c_str(), &slots[k], 1000), 0);
      }
    });
  for (auto& th : posters) th.join();
  drain(c);
  EXPECT_EQ(cmder_wait_idle(c), 0);
  EXPECT_EQ(cmder_exit(c), 0);
  ASSERT_EQ(o.msgs.size(), static_cast<size_t>(kPosters * kEach));
  std::vector<int> next(kPosters + 1, 0);
  for (auto& [id, text] : o.msgs) {
    EXPECT_EQ(text, std::to_string(next[id])) << "poster " << id;
    ++next[id];
  }
  for (int f : o.freed) EXPECT_EQ(f, 1);
  EXPECT_EQ(o.exits.load(), 1);
  EXPECT_GE(o.timers.load(), 1);  // once before ready
}

TEST(Cmder, PayloadsArriveAsCopies) {
  struct got {
    std::vector<std::vector<unsigned char>> payloads;
    std::vector<bool> null;
  };
  static got g;
  g = {};
  owner o;
  cmder_param p = params(&o);
  p.msg_free_proc = nullptr;
  p.msg_proc = [](uint32_t id, void* payload, cmder_ctx*) {
    g.null.push_back(payload == nullptr);
    if (payload != nullptr) {
      auto* b = static_cast<unsigned char*>(payload);
      g.payloads.emplace_back(b, b + (id == 2 ? 4 : 3));
    }
  };
  cmder* c = cmder_init(&p);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(cmder_post_msg3(c, 1, nullptr, 0, nullptr, 0), 0);
  char text[] = "abc";
  EXPECT_EQ(cmder_post_msg3(c, 2, text, nullptr, 0), 0);  // with its terminator
  unsigned char bin[3] = {0, 0xff, 7};
  EXPECT_EQ(cmder_post_msg3(c, 3, bin, sizeof bin, nullptr, 0), 0);
  text[0] = 'X';  // the posted copy must not change
  bin[0] = 9;
  EXPECT_EQ(cmder_post_msg3(c, 4, static_cast<const char*>(nullptr), nullptr, 0), 0);
  drain(c);
  cmder_exit(c);
  EXPECT_EQ(g.null, (std::vector<bool>{true, false, false, true}));
  ASSERT_EQ(g.payloads.size(), 2u);
  EXPECT_EQ(g.payloads[0], (std::vector<unsigned char>{'a', 'b', 'c', '\0'}));
  EXPECT_EQ(g.payloads[1], (std::vector<unsigned char>{0, 0xff, 7}));
}

TEST(Cmder, WaitIdleWithNothingPostedIsImmediate) {
  owner o;
  cmder_param p = params(&o);
  cmder* c = cmder_init(&p);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cmder_wait_idle(c), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  cmder_exit(c);
}

TEST(Cmder, ExitReleasesQueuedMessagesWithoutRunningThem) {
  constexpr int kQueued = 40;
  owner o;
  o.freed.assign(kQueued + 1, 0);
  std::vector<int> slots(kQueued + 1);
  cmder_param p = params(&o);
  cmder* c = cmder_init(&p);
  o.block = true;
  slots[0] = 0;
  ASSERT_EQ(cmder_post_msg3(c, 1, "first", &slots[0], 0), 0);
  for (int i = 0; i < 2000 && o.in_msg.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(o.in_msg.load(), 1);
  for (int k = 1; k <= kQueued; ++k) {
    slots[k] = k;
    ASSERT_EQ(cmder_post_msg3(c, 2, "queued", &slots[k], 0), 0);
  }
  EXPECT_EQ(cmder_wait_idle(c), -1);  // the first message still runs
  std::thread unblock([&] {
    std::this_thread::sleep_for(100ms);
    o.block = false;
  });
  EXPECT_EQ(cmder_exit(c), 0);
  unblock.join();
  ASSERT_EQ(o.msgs.size(), 1u);
  EXPECT_EQ(o.msgs[0].second, "first");
  for (int k = 0; k <= kQueued; ++k) EXPECT_EQ(o.freed[k], 1) << k;
  EXPECT_EQ(o.exits.load(), 1);
}

// A thread that does not stop within the exit's wait is left running; the
// cmder's insides stay alive until it ends, and the owner's msg_free_proc is
// not called for what was queued once cmder_exit has returned.
TEST(Cmder, ExitGivesUpOnAStuckThreadWithoutFreeingUnderIt) {
  auto o = std::make_unique<owner>();
  o->freed.assign(3, 0);
  std::vector<int> slots{0, 1, 2};
  cmder_param p = params(o.get());
  cmder* c = cmder_init(&p);
  o->block = true;
  ASSERT_EQ(cmder_post_msg3(c, 1, "stuck", &slots[0], 0), 0);
  for (int i = 0; i < 2000 && o->in_msg.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(cmder_post_msg3(c, 2, "queued", &slots[1], 0), 0);
  ASSERT_EQ(cmder_post_msg3(c, 3, "queued", &slots[2], 0), 0);
  EXPECT_EQ(cmder_exit(c), -2);
  {
    std::lock_guard<std::mutex> g(o->mu);
    EXPECT_EQ(o->freed[1] + o->freed[2], 0);
  }
  o->block = false;
  // The stuck message finishes and is freed by the thread itself; its
  // exit_proc runs; nothing else of ours is touched.
  for (int i = 0; i < 5000 && o->exits.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);
  std::lock_guard<std::mutex> g(o->mu);
  EXPECT_EQ(o->freed, (std::vector<int>{1, 0, 0}));
  EXPECT_EQ(o->msgs.size(), 1u);
}

TEST(Cmder, InitProcThatExitsStopsTheThreadAndPostsFail) {
  owner o;
  o.init_exit = 1;
  cmder_param p = params(&o);
  p.init_proc = init_proc;
  cmder* c = cmder_init(&p);
  ASSERT_NE(c, nullptr);
  for (int i = 0; i < 2000 && cmder_status(c) != CMDER_STOPPED_STATUS; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(cmder_status(c), CMDER_STOPPED_STATUS);
  EXPECT_EQ(cmder_post_msg3(c, 1, "late", nullptr, 0), -3);
  EXPECT_EQ(cmder_wait_idle(c), 0);
  EXPECT_EQ(cmder_exit(c), 0);
  EXPECT_EQ(o.inits.load(), 1);
  EXPECT_EQ(o.exits.load(), 0);
  EXPECT_EQ(o.timers.load(), 0);
  EXPECT_TRUE(o.msgs.empty());
}

TEST(Cmder, NeedReinitRunsInitAgainOrEndsTheLoopWithoutOne) {
  owner o;
  o.reinit_on = 2;
  cmder_param p = params(&o);
  p.init_proc = init_proc;
  cmder* c = cmder_init(&p);
  for (uint32_t id = 1; id <= 3; ++id) ASSERT_EQ(cmder_post_msg3(c, id, "m", nullptr, 1000), 0);
  drain(c);
  EXPECT_EQ(o.inits.load(), 2);
  EXPECT_EQ(o.msgs.size(), 3u);
  EXPECT_EQ(cmder_status(c), CMDER_READY_STATUS);
  cmder_exit(c);

  owner o2;
  o2.reinit_on = 1;
  o2.freed.assign(1, 0);
  int slot = 0;
  cmder_param p2 = params(&o2);
  cmder* c2 = cmder_init(&p2);
  o2.block = true;
  ASSERT_EQ(cmder_post_msg3(c2, 1, "reinit", nullptr, 0), 0);
  ASSERT_EQ(cmder_post_msg3(c2, 2, "after", &slot, 0), 0);
  o2.block = false;
  for (int i = 0; i < 2000 && cmder_status(c2) != CMDER_STOPPED_STATUS; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(cmder_status(c2), CMDER_STOPPED_STATUS);
  EXPECT_EQ(o2.exits.load(), 1);  // exit_proc still runs
  EXPECT_EQ(cmder_wait_idle(c2), 0);
  cmder_exit(c2);
  EXPECT_EQ(o2.msgs.size(), 1u);
  EXPECT_EQ(o2.freed[0], 1);  // the message left behind is released at exit
}

TEST(Cmder, TimerRunsWhenIdle) {
  owner o;
  cmder_param p = params(&o, 10);
  cmder* c = cmder_init(&p);
  for (int i = 0; i < 3000 && o.timers.load() < 4; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_GE(o.timers.load(), 4);
  cmder_exit(c);
}

TEST(Cmder, FuncAndWaitCommandsRunInOrderWithMessages) {
  static std::vector<std::string> order;
  order.clear();
  owner o;
  cmder_param p = params(&o);
  p.msg_free_proc = nullptr;
  p.msg_proc = [](uint32_t, void* payload, cmder_ctx*) { order.push_back(static_cast<char*>(payload)); };
  p.cmd_proc = [](const char* cmd, void* arg, cmder_ctx* ctx) {
    order.push_back(cmd);
    return *static_cast<int*>(arg) + *static_cast<int*>(ctx->data);
  };
  cmder* c = cmder_init(&p);
  ASSERT_EQ(cmder_post_msg3(c, 1, "m1", nullptr, 0), 0);
  ASSERT_EQ(cmder_post_func(c, "f", [](void* a) { order.push_back(static_cast<char*>(a)); },
                            const_cast<char*>("f1"), 0),
            0);
  int a = 40, d = 2, result = 0;
  ASSERT_EQ(cmder_post_wait(c, "w1", &a, &d, 5000, &result), 0);
  EXPECT_EQ(result, 42);
  EXPECT_EQ(order, (std::vector<std::string>{"m1", "f1", "w1"}));
  cmder_exit(c);

  // Without a cmd_proc the command answers -4.
  owner o2;
  cmder_param p2 = params(&o2);
  cmder* c2 = cmder_init(&p2);
  EXPECT_EQ(cmder_post_wait(c2, "none", nullptr, nullptr, 5000, &result), 0);
  EXPECT_EQ(result, -4);
  cmder_exit(c2);
}

TEST(Cmder, AbandonedWaitCommandSeesItsFlagOrIsSkipped) {
  static std::atomic<int> saw_abandoned{0}, runs{0};
  saw_abandoned = 0;
  runs = 0;
  owner o;
  cmder_param p = params(&o);
  p.cmd_proc = [](const char*, void*, cmder_ctx* ctx) {
    ++runs;
    for (int i = 0; i < 5000 && ctx->abandoned->load() == 0; ++i) std::this_thread::sleep_for(1ms);
    saw_abandoned = static_cast<int>(ctx->abandoned->load());
    return 5;
  };
  cmder* c = cmder_init(&p);
  // Running when the poster gives up: the command sees its flag.
  int result = 77;
  EXPECT_EQ(cmder_post_wait(c, "long", nullptr, nullptr, 500, &result), -2);
  EXPECT_EQ(result, 77);
  drain(c);
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(saw_abandoned.load(), 1);

  // Given up before it started: it is skipped.
  o.block = true;
  ASSERT_EQ(cmder_post_msg3(c, 1, "busy", nullptr, 0), 0);
  EXPECT_EQ(cmder_post_wait(c, "never", nullptr, nullptr, 30, &result), -2);
  o.block = false;
  drain(c);
  EXPECT_EQ(runs.load(), 1);
  cmder_exit(c);
}

TEST(Cmder, FullBoundedQueueRefusesAndTheCallerKeepsTheData) {
  owner o;
  o.freed.assign(3, 0);
  std::vector<int> slots{0, 1, 2};
  cmder_param p = params(&o);
  p.capacity = 1;
  cmder* c = cmder_init(&p);
  o.block = true;
  ASSERT_EQ(cmder_post_msg3(c, 1, "running", &slots[0], 0), 0);
  for (int i = 0; i < 2000 && o.in_msg.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(cmder_post_msg3(c, 2, "queued", &slots[1], 0), 0);
  EXPECT_EQ(cmder_post_msg3(c, 3, "refused", &slots[2], 0), -2);
  o.block = false;
  drain(c);
  cmder_exit(c);
  EXPECT_EQ(o.freed, (std::vector<int>{1, 1, 0}));
}

}  // namespace
