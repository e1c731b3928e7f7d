// The block pool (lbuf) and the queue buffer (qbuf) over it: an intrusive,
// unbounded queue of pool blocks, each one whole record.
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "liblog.h"
#include "pal_qbuf.h"
#include "pal_queue.h"
#include "queue_alloc.h"

WY_LOG_TAG("pal");

namespace {

// Header in front of every pool block; 32 bytes keep the block aligned for
// any type.
struct alignas(16) lbuf_hdr {
  lbuf_hdr* prev;
  lbuf_hdr* next;
  size_t size;
};
static_assert(sizeof(lbuf_hdr) % alignof(std::max_align_t) == 0);

// A qbuf block: the queue's link, the length, then the bytes.
struct qbuf_block {
  queue_link link;
  uint32_t len;
  qbuf_split split;  // how to take it in parts; null: only whole
  unsigned char* bytes() { return reinterpret_cast<unsigned char*>(this + 1); }
};

}  // namespace

struct lbuf {
  explicit lbuf(const lbuf_param& p) : param(p) { head.prev = head.next = &head; }
  lbuf_param param;
  lbuf_hdr head{};  // sentinel of the circular list of live blocks
  size_t count = 0;
  std::mutex mu;

  void unlink_free(lbuf_hdr* h) {
    if (param.on_release != nullptr) param.on_release(h + 1, param.user);
    h->~lbuf_hdr();
    std::unique_ptr<unsigned char[]> own(reinterpret_cast<unsigned char*>(h));
  }
};

lbuf* lbuf_create(const lbuf_param* p) {
  if (!WY_CHECK(p != nullptr)) return nullptr;
  return pal::try_make<lbuf>(*p).release();
}

void* lbuf_malloc(lbuf* pool, size_t size) {
  if (!WY_CHECK(pool != nullptr)) return nullptr;
  if (size > SIZE_MAX - sizeof(lbuf_hdr)) return nullptr;
  auto mem = pal::try_bytes(sizeof(lbuf_hdr) + size);
  if (mem == nullptr) return nullptr;
  auto* h = new (mem.release()) lbuf_hdr{nullptr, nullptr, size};
  {
    std::lock_guard<std::mutex> g(pool->mu);
    h->next = &pool->head;
    h->prev = pool->head.prev;
    pool->head.prev->next = h;
    pool->head.prev = h;
    ++pool->count;
  }
  if (pool->param.on_alloc != nullptr) pool->param.on_alloc(h + 1, pool->param.user);
  return h + 1;
}

void* lbuf_slab_malloc(lbuf* pool) {
  if (!WY_CHECK(pool != nullptr)) return nullptr;
  if (!WY_CHECK(pool->param.item_size != 0)) return nullptr;
  return lbuf_malloc(pool, pool->param.item_size);
}

int lbuf_free(lbuf* pool, void* block) {
  if (!WY_CHECK(pool != nullptr)) return -1;
  if (block == nullptr) return 0;
  lbuf_hdr* h = static_cast<lbuf_hdr*>(block) - 1;
  {
    std::unique_lock<std::mutex> g(pool->mu, std::defer_lock);
    if (!pool->param.single_thread) g.lock();
    h->prev->next = h->next;
    h->next->prev = h->prev;
    --pool->count;
  }
  pool->unlink_free(h);
  return 0;
}

size_t lbuf_count(lbuf* pool) {
  if (pool == nullptr) return 0;
  std::lock_guard<std::mutex> g(pool->mu);
  return pool->count;
}

int lbuf_clear(lbuf* pool) {
  if (!WY_CHECK(pool != nullptr)) return -1;
  lbuf_hdr* first;
  {
    std::lock_guard<std::mutex> g(pool->mu);
    if (pool->head.next == &pool->head) return 0;
    first = pool->head.next;
    pool->head.prev->next = nullptr;  // cut the ring into a list we own
    pool->head.prev = pool->head.next = &pool->head;
    pool->count = 0;
  }
  while (first != nullptr) {
    lbuf_hdr* next = first->next;
    pool->unlink_free(first);
    first = next;
  }
  return 0;
}

int lbuf_close(lbuf* pool) {
  if (pool == nullptr) return 0;
  lbuf_clear(pool);
  std::unique_ptr<lbuf> own(pool);
  return 0;
}

struct qbuf {
  queue* q = nullptr;
  lbuf* pool = nullptr;
  qbuf_block* pending = nullptr;  // taken from the queue, did not fit the last read
  uint32_t pending_off = 0;       // of it, the bytes reads took already

  ~qbuf() {
    if (q != nullptr) queue_close(q);  // intrusive: leaves the blocks to the pool
    lbuf_close(pool);                  // frees queued blocks and the pending one
  }
};

qbuf* qbuf_init() {
  auto h = pal::try_make<qbuf>();
  if (h == nullptr) return nullptr;
  queue_param qp;
  qp.intrusive = 1;
  lbuf_param lp;
  h->q = queue_create(&qp);
  h->pool = lbuf_create(&lp);
  if (h->q == nullptr || h->pool == nullptr) return nullptr;
  return h.release();
}

int qbuf_write_timeout(qbuf* h, const void* data, uint32_t len, int timeout_ms, qbuf_split split) {
  if (!WY_CHECK(h != nullptr)) return -1;
  if (!WY_CHECK(data != nullptr || len == 0)) return -1;
  auto* b = static_cast<qbuf_block*>(lbuf_malloc(h->pool, sizeof(qbuf_block) + len));
  if (b == nullptr) return -1;
  b->len = len;
  b->split = split;
  if (len != 0) memcpy(b->bytes(), data, len);
  int r = queue_push_wait(h->q, b, timeout_ms);
  if (r != 0) {
    lbuf_free(h->pool, b);
    return r == -2 ? -2 : -1;
  }
  return 0;
}

int qbuf_read_imp(qbuf* h, char* buf, uint32_t len, int timeout_ms, qbuf_end_test end_test,
                  int* end) {
  if (!WY_CHECK(h!=NULL)) return -1;
  if (end != nullptr) *end = 0;
  if (buf == nullptr) len = 0;
  if (len > INT_MAX) len = INT_MAX;  // the count is returned as int
  uint32_t copied = 0;
  for (bool first = true;; first = false) {
    qbuf_block* b = h->pending;
    uint32_t off = h->pending_off;
    h->pending = nullptr;
    h->pending_off = 0;
    if (b == nullptr) b = static_cast<qbuf_block*>(queue_pop_wait(h->q, first ? timeout_ms : 0));
    if (b == nullptr) return static_cast<int>(copied);
    uint32_t left = b->len - off;
    if (left > len - copied) {
      h->pending = b;
      h->pending_off = off;
      uint32_t part = b->split != nullptr ? b->split(b->bytes() + off, left, len - copied) : 0;
      if (part > 0 && part < left && part <= len - copied) {
        memcpy(buf + copied, b->bytes() + off, part);
        h->pending_off = off + part;
        return static_cast<int>(copied + part);
      }
      if (copied == 0) {
        LOGE("len=%u blen=%u len must >= blen", len - copied, left);
        // Nothing can come before this block, and it never fits this read:
        // the read waits its time-out as on an empty queue, so a caller's
        // retry loop sleeps instead of spinning. A wait without end would
        // never end here, so that one returns at once.
        if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
      }
      return static_cast<int>(copied);
    }
    if (left != 0) memcpy(buf + copied, b->bytes() + off, left);
    bool last = off == 0 && end_test != nullptr && end_test(buf + copied, left) != 0;
    copied += left;
    lbuf_free(h->pool, b);
    if (last) {
      if (end != nullptr) *end = 1;
      return static_cast<int>(copied);
    }
  }
}

uint32_t qbuf_pending_len(qbuf* h) {
  return h != nullptr && h->pending != nullptr ? h->pending->len - h->pending_off : 0;
}

int qbuf_close(qbuf* h) {
  std::unique_ptr<qbuf> own(h);
  return 0;
}
