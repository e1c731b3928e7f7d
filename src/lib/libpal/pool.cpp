// The batch pool: the caller hands out a batch, every thread takes the next
// free item until none is left, and the caller returns only when the last
// one taken is done.
#include "pal_pool.h"

#include <algorithm>

#include "liblog.h"

WY_LOG_TAG("pal");

int os_pool_size(int want, int cap) {
  int n = want > 0 ? want : os_cpu_count();
  return std::max(1, std::min(n, cap));
}

os_pool::os_pool(const char* name, int n, const os_thread_opt* opt) {
  for (int w = 1; w < n; w++) {
    os_thread* t = os_thread_start(name, [this, w] { return thread_main(w); }, 0, opt);
    if (t == nullptr) {
      LOGES("os_thread_start [%s] error: ", name);
      break;
    }
    threads_.push_back(t);
  }
}

os_pool::~os_pool() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    quit_ = true;
  }
  start_cv_.notify_all();
  // Between batches every thread waits for the next one, so each ends at
  // once; the bound only keeps a broken thread from hanging the caller.
  for (os_thread* t : threads_) os_thread_wait_kill_exit(t, 5000, nullptr);
}

void os_pool::drain(int worker) {
  while (!stopped_.load(std::memory_order_relaxed)) {
    uint64_t i = next_.fetch_add(1, std::memory_order_relaxed);
    if (i >= count_) return;
    if (!(*proc_)(worker, i)) stopped_.store(true, std::memory_order_relaxed);
  }
}

int os_pool::thread_main(int worker) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    start_cv_.wait(lk, [&] { return quit_ || batch_ != seen; });
    if (quit_) return 0;
    seen = batch_;
    lk.unlock();
    drain(worker);
    lk.lock();
    if (--busy_ == 0) done_cv_.notify_one();
  }
}

bool os_pool::run(uint64_t count, const item_proc& proc) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    proc_ = &proc;
    count_ = count;
    next_.store(0, std::memory_order_relaxed);
    stopped_.store(false, std::memory_order_relaxed);
    // A batch of one item is not worth waking anyone for.
    wake = count > 1 && !threads_.empty();
    busy_ = wake ? static_cast<int>(threads_.size()) : 0;
    if (wake) batch_++;
  }
  if (wake) start_cv_.notify_all();
  drain(0);
  std::unique_lock<std::mutex> lk(mu_);
  done_cv_.wait(lk, [&] { return busy_ == 0; });
  proc_ = nullptr;
  return !stopped_.load(std::memory_order_relaxed);
}
