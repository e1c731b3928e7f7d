// The slot ring: fixed slots, each a length and a record; when the ring is
// full the oldest record makes room and is counted as dropped.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "liblog.h"
#include "pal_qbuf.h"
#include "queue_alloc.h"

WY_LOG_TAG("pal");

struct rbuf {
  uint32_t slots = 0;
  uint32_t slot_size = 0;
  uint32_t len_size = 2;  // 2, or 4 for large records
  std::vector<unsigned char> mem;
  uint32_t head = 0;  // oldest record
  uint32_t used = 0;
  rbuf_stat stat;
  std::mutex mu;
  std::condition_variable ready;

  unsigned char* slot(uint32_t i) { return mem.data() + static_cast<size_t>(i) * slot_size; }
  uint32_t len_at(uint32_t i) {
    unsigned char* s = slot(i);
    if (len_size == 2) {
      uint16_t v;
      memcpy(&v, s, 2);
      return v;
    }
    uint32_t v;
    memcpy(&v, s, 4);
    return v;
  }
  void drop_oldest() {
    ++stat.dropped;
    stat.dropped_bytes += len_at(head);
    head = (head + 1) % slots;
    --used;
  }
};

namespace {

// Claims the next slot under the ring's lock (held on return when the
// result is not null).
unsigned char* rbuf_alloc_lock(rbuf* r, uint32_t len, std::unique_lock<std::mutex>& g) {
  uint32_t room = r->slot_size - r->len_size;
  if (!WY_CHECK(len > 0 && len <= room)) return nullptr;
  g.lock();
  if (r->used == r->slots) r->drop_oldest();
  uint32_t i = (r->head + r->used) % r->slots;
  ++r->used;
  return r->slot(i);
}

}  // namespace

rbuf* rbuf_create(uint32_t slots, uint32_t slot_size, bool large) {
  uint32_t len_size = large ? 4 : 2;
  if (!WY_CHECK(slots > 0 && slot_size > len_size)) return nullptr;
  // A 16-bit length cannot describe more than 65535 bytes.
  if (!large && slot_size - len_size > 65535) slot_size = 65535 + len_size;
  auto r = pal::try_make<rbuf>();
  if (r == nullptr) return nullptr;
  r->slots = slots;
  r->slot_size = slot_size;
  r->len_size = len_size;
  try {
    r->mem.resize(static_cast<size_t>(slots) * slot_size);
  } catch (const std::bad_alloc&) {
    LOGE("size=%u malloc failed\n", static_cast<unsigned>(slots * slot_size));
    return nullptr;
  }
  return r.release();
}

int rbuf_write(rbuf* r, const void* data, uint32_t len) {
  if (!WY_CHECK(r != nullptr)) return -1;
  std::unique_lock<std::mutex> g(r->mu, std::defer_lock);
  unsigned char* s = rbuf_alloc_lock(r, len, g);
  if (s == nullptr) return -1;
  if (r->len_size == 2) {
    uint16_t v = static_cast<uint16_t>(len);
    memcpy(s, &v, 2);
  } else {
    memcpy(s, &len, 4);
  }
  memcpy(s + r->len_size, data, len);
  ++r->stat.written;
  r->stat.written_bytes += len;
  g.unlock();
  r->ready.notify_one();
  return 0;
}

int rbuf_read(rbuf* r, void* buf, uint32_t len, int timeout_ms) {
  if (!WY_CHECK(r != nullptr)) return -1;
  std::unique_lock<std::mutex> g(r->mu);
  auto has = [r] { return r->used > 0; };
  if (timeout_ms < 0)
    r->ready.wait(g, has);
  else if (!r->ready.wait_for(g, std::chrono::milliseconds(timeout_ms), has))
    return 0;
  uint32_t n = r->len_at(r->head);
  if (buf == nullptr || n > len) return -1;
  memcpy(buf, r->slot(r->head) + r->len_size, n);
  r->head = (r->head + 1) % r->slots;
  --r->used;
  return static_cast<int>(n);
}

rbuf_stat rbuf_get_stat(rbuf* r) {
  if (r == nullptr) return {};
  std::lock_guard<std::mutex> g(r->mu);
  return r->stat;
}

void rbuf_close(rbuf* r) { std::unique_ptr<rbuf> own(r); }
