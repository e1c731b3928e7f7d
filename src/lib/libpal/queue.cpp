// The blocking queue. Producers append to the producer list under the lock;
// the one consumer takes the whole producer list over in one step and then
// pops from its own list without the lock, so the lock is taken once per
// batch on the consuming side.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include "liblog.h"
#include "pal_queue.h"
#include "queue_alloc.h"

WY_LOG_TAG("pal");

namespace {

// Link node of wrapped mode: the queue's own link plus the element.
struct wrap_link {
  queue_link link;
  void* elem;
};

using wait_clock = std::chrono::steady_clock;

}  // namespace

struct queue {
  explicit queue(const queue_param& p)
      : release_proc(p.release_proc), user(p.user), capacity(p.capacity), intrusive(p.intrusive != 0) {}

  void (*release_proc)(void*, void*);
  void* user;
  queue_link* prod_first = nullptr;
  queue_link* prod_last = nullptr;
  queue_link* cons_first = nullptr;  // consumer's own list, used without the lock
  const uint32_t capacity;
  std::atomic<int32_t> count{0};   // elements linked and not yet popped
  std::atomic<uint32_t> slots{0};  // bounded mode: places taken, including pushes in flight
  std::mutex lock;                 // guards the producer list only
  const bool intrusive;

  // Waiting. Counters change outside wait_mu; every change that can end a
  // wait notifies under wait_mu, so a waiter that checked its condition
  // under wait_mu cannot miss it.
  std::mutex wait_mu;
  std::condition_variable not_empty;
  std::condition_variable not_full;
  std::condition_variable left;  // close waits here for waiters to leave
  int waiters = 0;
  bool closed = false;

  void wake(std::condition_variable& cv, bool all) {
    std::lock_guard<std::mutex> g(wait_mu);
    if (all)
      cv.notify_all();
    else
      cv.notify_one();
  }

  // Waits on cv until ready() or the time-out. Returns 0 when ready, -2 on
  // time-out, -1 when the queue is being closed.
  template <class Pred>
  int wait_for(std::condition_variable& cv, int timeout_ms, Pred ready) {
    std::unique_lock<std::mutex> g(wait_mu);
    if (closed) return -1;
    ++waiters;
    auto done = [&] { return closed || ready(); };
    // The condition may stop holding as soon as the lock is released (other
    // producers take room without it): what counts is that it held on waking.
    bool woken = true;
    if (timeout_ms < 0)
      cv.wait(g, done);
    else
      woken = cv.wait_until(g, wait_clock::now() + std::chrono::milliseconds(timeout_ms), done);
    --waiters;
    if (closed) {
      left.notify_all();
      return -1;
    }
    return woken ? 0 : -2;
  }

  // Bounded mode: takes one place, waiting while the queue is full.
  int take_slot(int timeout_ms) {
    for (;;) {
      uint32_t s = slots.load();
      while (s < capacity) {
        if (slots.compare_exchange_weak(s, s + 1)) return 0;
      }
      if (timeout_ms == 0) return -2;
      // Another producer may take the place we were woken for; wait again
      // for what is left of the time-out rather than failing early.
      auto start = wait_clock::now();
      int r = wait_for(not_full, timeout_ms, [&] { return slots.load() < capacity; });
      if (r != 0) return r;
      if (timeout_ms > 0) {
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(wait_clock::now() - start);
        timeout_ms = spent.count() >= timeout_ms ? 0 : timeout_ms - static_cast<int>(spent.count());
      }
    }
  }

  void give_slot() {
    if (capacity == 0) return;
    slots.fetch_sub(1);
    wake(not_full, false);
  }

  void* element_of(queue_link* l) {
    if (intrusive) return l;
    std::unique_ptr<wrap_link> w(reinterpret_cast<wrap_link*>(l));
    return w->elem;
  }
};

queue* queue_create(const queue_param* p) {
  if (!WY_CHECK(p != nullptr)) return nullptr;
  return pal::try_make<queue>(*p).release();
}

int queue_push_wait(queue* hq, void* node, int timeout_ms) {
  if (!WY_CHECK(hq!=NULL)) return -1;
  if (!WY_CHECK(node!=NULL)) return -1;
  if (hq->capacity != 0) {
    int r = hq->take_slot(timeout_ms);
    if (r != 0) return r;
  }
  queue_link* l;
  if (hq->intrusive) {
    l = static_cast<queue_link*>(node);
  } else {
    auto w = pal::try_make<wrap_link>(wrap_link{{nullptr}, node});
    if (w == nullptr) {
      hq->give_slot();
      return -1;
    }
    l = &w.release()->link;
  }
  l->next = nullptr;
  {
    std::lock_guard<std::mutex> g(hq->lock);
    if (hq->prod_last == nullptr)
      hq->prod_first = l;
    else
      hq->prod_last->next = l;
    hq->prod_last = l;
  }
  hq->count.fetch_add(1);
  hq->wake(hq->not_empty, false);
  return 0;
}

void* queue_pop_wait(queue* hq, int timeout_ms) {
  if (!WY_CHECK(hq!=NULL)) return nullptr;
  if (hq->count.load() == 0) {
    // A stale wake-up must not end a wait early: the condition is the count.
    if (timeout_ms == 0) return nullptr;
    if (hq->wait_for(hq->not_empty, timeout_ms, [hq] { return hq->count.load() > 0; }) != 0)
      return nullptr;
  }
  if (hq->cons_first == nullptr) {
    std::lock_guard<std::mutex> g(hq->lock);
    hq->cons_first = hq->prod_first;
    hq->prod_first = hq->prod_last = nullptr;
  }
  queue_link* l = hq->cons_first;
  if (l == nullptr) return nullptr;
  hq->cons_first = l->next;
  l->next = nullptr;
  void* elem = hq->element_of(l);
  hq->count.fetch_sub(1);
  hq->give_slot();
  return elem;
}

int32_t queue_count(queue* hq) {
  if (!WY_CHECK(hq!=NULL)) return -1;
  return hq->count.load();
}

int queue_clear(queue* hq) {
  if (!WY_CHECK(hq!=NULL)) return -1;
  {
    std::lock_guard<std::mutex> g(hq->lock);
    for (queue_link* lists : {hq->prod_first, hq->cons_first}) {
      for (queue_link* l = lists; l != nullptr;) {
        queue_link* next = l->next;
        if (hq->intrusive) {
          l->next = nullptr;
        } else {
          void* elem = hq->element_of(l);
          if (hq->release_proc != nullptr) hq->release_proc(hq->user, elem);
        }
        l = next;
      }
    }
    hq->prod_first = hq->prod_last = hq->cons_first = nullptr;
    hq->count.store(0);
    hq->slots.store(0);
  }
  hq->wake(hq->not_full, true);
  return 0;
}

int queue_close(queue* hq) {
  if (!WY_CHECK(hq!=NULL)) return -1;
  {
    // Closed first: a pusher woken by the clear below must not take the
    // room it frees.
    std::unique_lock<std::mutex> g(hq->wait_mu);
    hq->closed = true;
    hq->not_empty.notify_all();
    hq->not_full.notify_all();
    hq->left.wait(g, [hq] { return hq->waiters == 0; });
  }
  queue_clear(hq);
  std::unique_ptr<queue> own(hq);
  return 0;
}
