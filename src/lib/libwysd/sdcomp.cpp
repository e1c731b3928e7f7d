// The packing codecs. Sizes handed in come from the peer (packed lengths)
// or from callers; every codec stays inside the output capacity it is given.
#include "sdcomp.h"

#include <lz4.h>

#include <algorithm>
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

bool sdcomp::goes_raw(sdcomp_state*, const void*, int) const { return false; }

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
  bool goes_raw(sdcomp_state*, const void*, int) const override { return true; }

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
  std::unique_ptr<char[]> probe;    // output of the probe, made on first use
  // The last probe's input and verdict, for the pack that follows it. A
  // verdict taken for changed bytes only costs speed: literals are valid
  // for any data.
  const void* probed = nullptr;
  int probed_len = -1;
  bool probed_raw = false;
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
  // A big block whose first part does not shrink is taken as
  // incompressible (random data, packed archives, media) and goes as
  // literals: still a block every decoder reads, at the cost of a copy
  // (or none, when the caller sends the bytes from where they are)
  // instead of a search for matches that find nothing.
  bool goes_raw(sdcomp_state* st, const void* in, int in_len) const override {
    auto* s = dynamic_cast<lz4_state*>(st);
    if (s == nullptr || in_len < 4 * kProbe) return false;
    int cap = LZ4_compressBound(kProbe);
    if (!s->probe) {
      s->probe.reset(new (std::nothrow) char[static_cast<size_t>(cap)]);
      if (!s->probe) return false;
    }
    int r = LZ4_compress_fast_extState(s->mem.get(), static_cast<const char*>(in), s->probe.get(), kProbe, cap, 1);
    s->probed = in;
    s->probed_len = in_len;
    s->probed_raw = r <= 0 || r > kProbe - kProbe / 32;
    return s->probed_raw;
  }
  int pack(sdcomp_state* st, const void* in, int in_len, void* out, int out_cap) const override {
    auto* s = dynamic_cast<lz4_state*>(st);
    if (s == nullptr || in_len < 0 || out_cap < 0) return -1;
    // A caller that asked goes_raw about these bytes has the verdict.
    bool raw = s->probed == in && s->probed_len == in_len ? s->probed_raw : goes_raw(st, in, in_len);
    s->probed = nullptr;
    if (raw) return sdcomp_lz4_literals(in, in_len, out, out_cap);
    int r = LZ4_compress_fast_extState(s->mem.get(), static_cast<const char*>(in), static_cast<char*>(out), in_len,
                                       out_cap, 1);
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

int sdcomp_lz4_literal_head(int n, void* out) {
  if (n < 0) return -1;
  int len = n < 15 ? 1 : 2 + (n - 15) / 255;
  if (out == nullptr) return len;
  // One sequence without a match: a token whose high nibble holds the
  // literal count (15 = more follows as bytes of 255 and a last one below
  // 255), then the literals.
  auto* p = static_cast<uint8_t*>(out);
  if (n < 15) {
    *p = static_cast<uint8_t>(n << 4);
    return len;
  }
  *p++ = 0xF0;
  int rest = n - 15;
  if (rest >= 255) {
    memset(p, 255, static_cast<size_t>(rest / 255));
    p += rest / 255;
  }
  *p = static_cast<uint8_t>(rest % 255);
  return len;
}

int sdcomp_lz4_literals(const void* in, int in_len, void* out, int out_cap) {
  if (in_len < 0 || out_cap < 0) return -1;
  int head = sdcomp_lz4_literal_head(in_len, nullptr);
  if (int64_t{head} + in_len > out_cap) return -1;
  sdcomp_lz4_literal_head(in_len, out);
  if (in_len > 0) memcpy(static_cast<uint8_t*>(out) + head, in, static_cast<size_t>(in_len));
  return head + in_len;
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

bool sdcomp_goes_raw(sdcomp_slot* slot, const void* in, int in_len) {
  if (slot->codec == nullptr || !slot->state || in_len < 0) return false;
  return slot->codec->goes_raw(slot->state.get(), in, in_len);
}

int sdcomp_raw_head(const sdcomp_slot* slot, int n, void* out) {
  if (slot->codec != nullptr && slot->codec->id() == SDCOMP_LZ4) return sdcomp_lz4_literal_head(n, out);
  return 0;
}

int sdcomp_raw_count(const sdcomp_slot* slot, int len) {
  if (slot->codec == nullptr || !slot->state || len < 0) return -1;
  if (slot->codec->id() == SDCOMP_NONE) return len;
  if (slot->codec->id() != SDCOMP_LZ4 || len < 1) return -1;
  // The head is about a 255th of the count: the count lies just below
  // len - len / 256, and count + head grows with the count.
  int64_t lo = std::max<int64_t>(0, int64_t{len} - 2 - len / 255 - 2);
  for (int64_t n = lo; n < len; n++) {
    int64_t total = n + sdcomp_lz4_literal_head(static_cast<int>(n), nullptr);
    if (total == len) return static_cast<int>(n);
    if (total > len) break;
  }
  return -1;
}

bool sdcomp_raw_head_is(const sdcomp_slot* slot, const uint8_t* p, int h, int n) {
  if (slot->codec == nullptr || n < 0) return false;
  if (slot->codec->id() == SDCOMP_NONE) return h == 0;
  if (slot->codec->id() != SDCOMP_LZ4 || h != sdcomp_lz4_literal_head(n, nullptr)) return false;
  if (n < 15) return p[0] == static_cast<uint8_t>(n << 4);
  if (p[0] != 0xF0 || p[h - 1] != (n - 15) % 255) return false;
  for (int i = 1; i < h - 1; i++)
    if (p[i] != 255) return false;
  return true;
}

int sdcomp_raw_view(const sdcomp_slot* slot, const void* in, int in_len, const uint8_t** at) {
  if (slot->codec == nullptr || !slot->state || in_len < 0) return -1;
  const auto* p = static_cast<const uint8_t*>(in);
  if (slot->codec->id() == SDCOMP_NONE) {
    *at = p;
    return in_len;
  }
  if (slot->codec->id() != SDCOMP_LZ4 || in_len < 1 || (p[0] & 0x0F) != 0) return -1;
  // The token's match nibble is 0 as this side writes it; anything else
  // (another encoder's last sequence) takes the decoder's path.
  int64_t n = p[0] >> 4;
  int i = 1;
  if (n == 15) {
    for (;;) {
      if (i >= in_len) return -1;
      uint8_t b = p[i++];
      n += b;
      if (b != 255) break;
    }
  }
  if (i + n != in_len) return -1;
  *at = p + i;
  return static_cast<int>(n);
}
