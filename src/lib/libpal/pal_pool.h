// A small pool of threads that work through the items of one batch
// together with the thread that hands the batch out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "pal_thread.h"

/// The number of processors the process may run on (at least 1).
int os_cpu_count();

/// `want` threads, or when `want` is 0 as many as there are processors,
/// never more than `cap` and never fewer than 1.
int os_pool_size(int want, int cap);

class os_pool {
 public:
  /// What runs one item: `worker` is 0 for the calling thread and 1.. for
  /// the pool's own threads, so callers can keep per-thread state in a
  /// vector of size(); `i` is the item. False stops the batch: items not
  /// yet taken are left, the ones being run finish.
  using item_proc = std::function<bool(int worker, uint64_t i)>;

  /// Starts `n - 1` threads named `name` (none for n <= 1). A thread that
  /// cannot be started is logged and left out: the pool is smaller.
  os_pool(const char* name, int n, const os_thread_opt* opt);
  /// Ends the threads; no batch may be running.
  ~os_pool();
  os_pool(const os_pool&) = delete;
  os_pool& operator=(const os_pool&) = delete;

  /// Threads that work on a batch, the caller included.
  int size() const { return static_cast<int>(threads_.size()) + 1; }

  /// Runs proc for items 0 .. count - 1, each exactly once, taken in order
  /// by whichever thread is free; the caller works too. Returns once every
  /// item taken has been run: false when a proc stopped the batch. One
  /// batch at a time: run is called by one thread only.
  bool run(uint64_t count, const item_proc& proc);

 private:
  void drain(int worker);
  int thread_main(int worker);

  std::mutex mu_;
  std::condition_variable start_cv_, done_cv_;
  uint64_t batch_ = 0;  // bumped for each batch handed out
  bool quit_ = false;
  int busy_ = 0;        // pool threads still in the current batch
  const item_proc* proc_ = nullptr;
  uint64_t count_ = 0;
  std::atomic<uint64_t> next_{0};
  std::atomic<bool> stopped_{false};
  std::vector<os_thread*> threads_;
};
