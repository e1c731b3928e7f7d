// The packing codecs. Sizes handed in come from the peer (packed lengths)
// or from callers; every codec stays inside the output capacity it is given.
#include "sdcomp.h"

#include <lz4.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "liblog.h"

WY_LOG_TAG("sdcli");

std::unique_ptr<sdcomp_state> sdcomp::create(int) const {
  WY_CHECK(!"sdcomp create slot");
  return nullptr;
}

int sdcomp::pack(sdcomp_state*, const void*, int, void*, int) const {
  WY_CHECK(!"sdcomp pack slot");
  return -1;
}

int sdcomp::unpack(sdcomp_state*, const void*, int, void*, int) const {
  WY_CHECK(!"sdcomp unpack slot");
  return -1;
}

namespace {

class none_codec final : public sdcomp {
 public:
  const char* name() const override { return "none"; }
  int id() const override { return SDCOMP_NONE; }
  // A dummy state: callers treat a null state as "no memory".
  std::unique_ptr<sdcomp_state> create(int) const override {
    try {
      return std::make_unique<sdcomp_state>();
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  int pack(sdcomp_state*, const void* in, int in_len, void* out, int out_cap) const override {
    return copy(in, in_len, out, out_cap);
  }
  // Data longer than the caller's buffer is refused rather than cut or
  // written past the end.
  int unpack(sdcomp_state*, const void* in, int in_len, void* out, int out_cap) const override {
    return copy(in, in_len, out, out_cap);
  }

 private:
  static int copy(const void* in, int in_len, void* out, int out_cap) {
    if (in_len < 0 || in_len > out_cap) return -1;
    if (in_len > 0) memmove(out, in, static_cast<size_t>(in_len));
    return in_len;
  }
};

// The part of a big block packed to judge whether the rest is worth it.
constexpr int kProbe = 65536;

struct lz4_state final : sdcomp_state {
  std::unique_ptr<uint64_t[]> mem;  // 8-byte aligned as LZ4 wants
};

class lz4_codec final : public sdcomp {
 public:
  const char* name() const override { return "lz4"; }
  int id() const override { return SDCOMP_LZ4; }
  std::unique_ptr<sdcomp_state> create(int) const override {
    try {
      auto st = std::make_unique<lz4_state>();
      size_t words = (static_cast<size_t>(LZ4_sizeofState()) + 7) / 8;
      st->mem = std::make_unique<uint64_t[]>(words);  // zeroed
      return st;
    } catch (const std::bad_alloc&) {
      LOGE("size=%u malloc failed\n", static_cast<unsigned>(LZ4_sizeofState()));
      return nullptr;
    }
  }
  int pack(sdcomp_state* st, const void* in, int in_len, void* out, int out_cap) const override {
    auto* s = dynamic_cast<lz4_state*>(st);
    if (s == nullptr || in_len < 0 || out_cap < 0) return -1;
    const auto* src = static_cast<const char*>(in);
    auto* dst = static_cast<char*>(out);
    // A big block whose first part does not shrink is taken as
    // incompressible (random data, packed archives, media) and goes as
    // literals: still a block every decoder reads, at the cost of a copy
    // instead of a search for matches that find nothing.
    if (in_len >= 4 * kProbe) {
      int r = LZ4_compress_fast_extState(s->mem.get(), src, dst, kProbe, out_cap, 1);
      if (r <= 0 || r > kProbe - kProbe / 32) return sdcomp_lz4_literals(in, in_len, out, out_cap);
    }
    int r = LZ4_compress_fast_extState(s->mem.get(), src, dst, in_len, out_cap, 1);
    return r > 0 ? r : -1;
  }
  int unpack(sdcomp_state*, const void* in, int in_len, void* out, int out_cap) const override {
    if (in_len < 0 || out_cap < 0) return -1;
    int r =
        LZ4_decompress_safe(static_cast<const char*>(in), static_cast<char*>(out), in_len, out_cap);
    return r < 0 ? -1 : r;
  }
};

const none_codec g_none;
const lz4_codec g_lz4;
const sdcomp* const g_codecs[] = {&g_none, &g_lz4};

}  // namespace

const sdcomp* sdcomp_find(const char* name) {
  if (name == nullptr) return nullptr;
  for (const sdcomp* c : g_codecs)
    if (strcmp(c->name(), name) == 0) return c;
  return nullptr;
}

const sdcomp* sdcomp_find_id(int id) {
  for (const sdcomp* c : g_codecs)
    if (c->id() == id) return c;
  return nullptr;
}

int sdcomp_lz4_literals(const void* in, int in_len, void* out, int out_cap) {
  if (in_len < 0 || out_cap < 0) return -1;
  // One sequence without a match: a token whose high nibble holds the
  // literal count (15 = more follows as bytes of 255 and a last one below
  // 255), then the literals.
  int64_t need = 1 + int64_t{in_len} + (in_len >= 15 ? (in_len - 15) / 255 + 1 : 0);
  if (need > out_cap) return -1;
  auto* p = static_cast<uint8_t*>(out);
  if (in_len < 15) {
    *p++ = static_cast<uint8_t>(in_len << 4);
  } else {
    *p++ = 0xF0;
    int rest = in_len - 15;
    for (; rest >= 255; rest -= 255) *p++ = 255;
    *p++ = static_cast<uint8_t>(rest);
  }
  if (in_len > 0) memcpy(p, in, static_cast<size_t>(in_len));
  return static_cast<int>(need);
}

int sdcomp_bound(int n) {
  if (n < 0 || n > 0x7E000000) return 0;
  return n + n / 255 + 16;
}

int sdcomp_select(sdcomp_slot* slot, const char* name) {
  if (name == nullptr) name = "";
  if (strcmp(slot->name, name) != 0) snprintf(slot->name, sizeof slot->name, "%.15s", name);
  slot->state.reset();
  slot->codec = slot->name[0] != '\0' ? sdcomp_find(slot->name) : sdcomp_find_id(slot->id);
  if (slot->codec == nullptr) {
    LOGE("pack [%s] id=%d not found\n", slot->name, slot->id);
    return -1;
  }
  slot->state = slot->codec->create(0);
  if (!slot->state) {
    slot->codec = nullptr;
    return -1;
  }
  slot->id = slot->codec->id();
  return 0;
}

int sdcomp_pack(sdcomp_slot* slot, const void* in, int in_len, void* out, int out_cap) {
  if (slot->codec == nullptr || !slot->state) return -1;
  return slot->codec->pack(slot->state.get(), in, in_len, out, out_cap);
}

int sdcomp_unpack(sdcomp_slot* slot, const void* in, int in_len, void* out, int out_cap) {
  if (slot->codec == nullptr || !slot->state) return -1;
  return slot->codec->unpack(slot->state.get(), in, in_len, out, out_cap);
}
