// The stat container: a reference-counted array of stat records whose names
// and link texts live in a string pool of large blocks, so one directory of
// many entries costs a handful of allocations.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "liblog.h"
#include "librdir.h"

WY_LOG_TAG("rdir");

namespace {

constexpr size_t kPoolBlock = 65536;
constexpr size_t kItemInit = 16;

// Append-only text pool: copies never move, so items may point into it.
class str_pool {
 public:
  explicit str_pool(size_t block) : block_(block) {}
  // Copy of `s` with a terminator, or nullptr when memory runs out.
  const char* dup(std::string_view s) {
    size_t need = s.size() + 1;
    if (blocks_.empty() || left_ < need) {
      size_t sz = std::max(block_, need);
      try {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(sz));
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      next_ = blocks_.back().get();
      left_ = sz;
    }
    char* p = next_;
    if (!s.empty()) memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    next_ += need;
    left_ -= need;
    return p;
  }

 private:
  size_t block_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
};

}  // namespace

struct mstat {
  explicit mstat(const mstat_param& p)
      : pool(p.pool_block ? p.pool_block : kPoolBlock), item_init(p.item_init ? p.item_init : kItemInit) {}
  std::atomic<int32_t> refs{0};
  str_pool pool;
  size_t item_init;
  std::vector<mstat_item> items;
  uint64_t fail_count = 0;
};

mstat* mstat_new(const mstat_param* p) {
  mstat_param def;
  try {
    auto h = std::make_unique<mstat>(p ? *p : def);
    h->items.reserve(h->item_init);
    return h.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int mstat_ref(mstat* h) {
  if (!WY_CHECK(h!=NULL)) return -1;
  h->refs.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int mstat_exit(mstat* h) {
  if (!WY_CHECK(h!=NULL)) return -1;
  // The count is "holders minus one": only the holder that finds it at 0
  // frees, so a release racing another release never frees twice.
  if (h->refs.fetch_sub(1, std::memory_order_acq_rel) > 0) return 0;
  std::unique_ptr<mstat> own(h);
  return 0;
}

mstat_item* mstat_cp_alloc(mstat* h, const mstat_item& rec, std::string_view name,
                           std::string_view link) {
  if (!WY_CHECK(h!=NULL)) return nullptr;
  mstat_item it = rec;
  it.name = h->pool.dup(name);
  if (it.name == nullptr) {
    h->fail_count++;
    return nullptr;
  }
  it.link = nullptr;
  if (!link.empty()) {
    it.link = h->pool.dup(link);
    if (it.link == nullptr) {
      h->fail_count++;
      return nullptr;
    }
  }
  try {
    if (h->items.size() == h->items.capacity()) h->items.reserve(h->items.capacity() * 2 + 1);
    h->items.push_back(it);
  } catch (const std::bad_alloc&) {
    h->fail_count++;
    return nullptr;
  }
  return &h->items.back();
}

mstat_item* mstat_cp_alloc(mstat* h, const mstat_item& rec) {
  return mstat_cp_alloc(h, rec, rec.name ? std::string_view(rec.name) : std::string_view(),
                        rec.link ? std::string_view(rec.link) : std::string_view());
}

mstat_item* mstat_get_item(mstat* h, uint64_t* count) {
  if (!WY_CHECK(h!=NULL)) {
    if (count) *count = 0;
    return nullptr;
  }
  if (count) *count = h->items.size();
  return h->items.empty() ? nullptr : h->items.data();
}

uint64_t mstat_fail_count(const mstat* h) { return h ? h->fail_count : 0; }
