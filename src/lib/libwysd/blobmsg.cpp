// Attribute messages: builder, accessors and the policy parser. Every byte
// of a parsed message may come from a hostile peer, so every read is checked
// against the attribute's own length and the bytes left in the message.
#include "blobmsg.h"

#include <cstring>
#include <new>

#include "liblog.h"

WY_LOG_TAG("sdcli");

namespace {

constexpr uint32_t kExtended = 0x80000000u;

int32_t pad4(int32_t n) { return (n + 3) & ~3; }

// Bytes from the header word to the payload of a named attribute.
int32_t named_hdr_len(int32_t namelen) { return 4 + ((namelen + 6) & ~3); }

const uint8_t* bytes(const blob_attr* a) { return a->id_len; }

void set_id_len(uint8_t* p, bool extended, int type, int32_t len) {
  blob_put_be32(p, (extended ? kExtended : 0u) | (static_cast<uint32_t>(type & 0x7f) << 24) |
                  (static_cast<uint32_t>(len) & 0xFFFFFFu));
}

// Root length field of the builder's message (the buffer holds at least 4).
int32_t root_len(const blob_buf* b) {
  return static_cast<int32_t>(blob_get_be32(b->buf.data()) & 0xFFFFFFu);
}

void set_root_len(blob_buf* b, int32_t len) {
  set_id_len(b->buf.data(), false, BLOBMSG_TYPE_TABLE, len);
}

// Grows the buffer so that it holds at least `need` bytes, in whole 256-byte
// steps over the missing amount; the added bytes are zero.
bool blob_buf_grow(blob_buf* b, int32_t need) {
  int32_t have = static_cast<int32_t>(b->buf.size());
  if (need <= have) return true;
  int32_t missing = need - have;
  int32_t add = ((missing / BLOB_BUF_STEP) + 1) * BLOB_BUF_STEP;
  try {
    b->buf.resize(static_cast<size_t>(have) + static_cast<size_t>(add), 0);
  } catch (const std::bad_alloc&) {
    LOGE("size=%u malloc failed\n", static_cast<unsigned>(have + add));
    return false;
  }
  return true;
}

// Payload check of the type table.
bool payload_ok(int type, const uint8_t* payload, int32_t plen) {
  switch (type) {
    case BLOBMSG_TYPE_STRING:
      return plen >= 1 && payload[plen - 1] == 0;
    case BLOBMSG_TYPE_INT64:
      return plen == 8;
    case BLOBMSG_TYPE_INT32:
      return plen == 4;
    case BLOBMSG_TYPE_INT16:
      return plen == 2;
    case BLOBMSG_TYPE_INT8:
      return plen == 1;
    default:
      return type >= 0 && type <= BLOBMSG_TYPE_LAST;
  }
}

// Validates one named attribute whose length field `len` (>= 6) already
// lies inside the message.
bool blobmsg_check_attr(const uint8_t* p, int32_t len) {
  int32_t namelen = (int32_t{p[4]} << 8) | p[5];
  // The name and its 0 must lie inside the attribute itself: a correctly
  // built attribute always has them there, and the byte after a name that
  // fills the attribute could be past the end of the message.
  if (namelen == 0 || namelen + 7 > len) return false;
  if (p[6 + namelen] != 0) return false;
  int32_t hdr = named_hdr_len(namelen);
  if (hdr > len) return false;
  int type = static_cast<int>((blob_get_be32(p) >> 24) & 0x7f);
  if (type > BLOBMSG_TYPE_LAST) return false;
  return payload_ok(type, p + hdr, len - hdr);
}

}  // namespace

int blob_id(const blob_attr* a) { return static_cast<int>((blob_get_be32(bytes(a)) >> 24) & 0x7f); }

bool blob_is_extended(const blob_attr* a) { return (blob_get_be32(bytes(a)) & kExtended) != 0; }

int32_t blob_raw_len(const blob_attr* a) {
  return static_cast<int32_t>(blob_get_be32(bytes(a)) & 0xFFFFFFu);
}

int32_t blob_pad_len(const blob_attr* a) { return pad4(blob_raw_len(a)); }

int blob_buf_init(blob_buf* b) {
  if (!blob_buf_grow(b, 4)) return -1;
  set_root_len(b, 4);
  return 0;
}

const uint8_t* blob_buf_data(const blob_buf* b) { return b->buf.empty() ? nullptr : b->buf.data(); }

int32_t blob_buf_len(const blob_buf* b) { return b->buf.size() < 4 ? 0 : pad4(root_len(b)); }

blob_attr* blobmsg_reserve(blob_buf* b, int type, const char* name, int32_t len, void** data) {
  if (data != nullptr) *data = nullptr;
  if (b->buf.size() < 4 || len < 0 || len > BLOB_LEN_MAX) return nullptr;
  size_t nl = name != nullptr ? strlen(name) : 0;
  if (nl > 0xFFFF) return nullptr;
  int32_t namelen = static_cast<int32_t>(nl);
  int32_t hdr = named_hdr_len(namelen);
  int32_t off = pad4(root_len(b));
  // 64-bit sums: a caller's length near the limit must not wrap.
  int64_t attr_len = int64_t{hdr} + len;
  int64_t end = int64_t{off} + ((attr_len + 3) & ~int64_t{3});
  if (attr_len > BLOB_LEN_MAX || end > BLOB_LEN_MAX) return nullptr;
  if (!blob_buf_grow(b, static_cast<int32_t>(end))) return nullptr;
  uint8_t* p = b->buf.data() + off;
  int32_t alen = static_cast<int32_t>(attr_len);
  set_id_len(p, true, type, alen);
  memset(p + alen, 0, static_cast<size_t>(end - off - alen));  // trailing padding
  set_root_len(b, static_cast<int32_t>(end));
  p[4] = static_cast<uint8_t>(namelen >> 8);
  p[5] = static_cast<uint8_t>(namelen);
  if (namelen > 0) memcpy(p + 6, name, nl);
  memset(p + 6 + namelen, 0, static_cast<size_t>(hdr - 6 - namelen));
  if (data != nullptr) *data = p + hdr;
  return reinterpret_cast<blob_attr*>(p);
}

blob_attr* blobmsg_add_ext(blob_buf* b, int type, const char* name, int32_t len, int32_t* head_len,
                           int32_t kept, void** kept_at) {
  if (len < 0 || kept < 0 || kept > len) return nullptr;
  size_t nl = name != nullptr ? strlen(name) : 0;
  if (nl > 0xFFFF) return nullptr;
  int32_t off = b->buf.size() < 4 ? 0 : pad4(root_len(b));
  int32_t hdr = named_hdr_len(static_cast<int32_t>(nl));
  // Reserved with the kept part alone, then given the whole payload's
  // length: the bytes behind the kept part are never part of the buffer.
  blob_attr* a = blobmsg_reserve(b, type, name, kept, kept_at);
  if (a == nullptr) return nullptr;
  int64_t attr_len = int64_t{hdr} + len;
  int64_t end = int64_t{off} + ((attr_len + 3) & ~int64_t{3});
  if (attr_len > BLOB_LEN_MAX || end > BLOB_LEN_MAX) {
    set_root_len(b, off);
    if (kept_at != nullptr) *kept_at = nullptr;
    return nullptr;
  }
  set_id_len(a->id_len, true, type, static_cast<int32_t>(attr_len));
  set_root_len(b, static_cast<int32_t>(end));
  if (head_len != nullptr) *head_len = off + hdr + kept;
  return a;
}

int blobmsg_shrink(blob_buf* b, blob_attr* a, int32_t len) {
  uint8_t* p = a->id_len;
  uint8_t* base = b->buf.data();
  if (b->buf.size() < 4 || p < base + 4 || p >= base + b->buf.size()) return -1;
  int32_t off = static_cast<int32_t>(p - base);
  int32_t old_pad = blob_pad_len(a);
  if (!WY_CHECK(off + old_pad == root_len(b))) return -1;  // only the last one shrinks
  int32_t hdr = static_cast<int32_t>(static_cast<const uint8_t*>(blobmsg_data(a)) - p);
  if (len < 0 || hdr + len > blob_raw_len(a)) return -1;
  int32_t new_len = hdr + len;
  set_id_len(p, blob_is_extended(a), blob_id(a), new_len);
  // The dropped payload must not linger in the new padding.
  memset(p + new_len, 0, static_cast<size_t>(pad4(new_len) - new_len));
  set_root_len(b, root_len(b) - (old_pad - pad4(new_len)));
  return 0;
}

int blobmsg_add_field(blob_buf* b, int type, const char* name, const void* data, int32_t len) {
  void* dst = nullptr;
  if (blobmsg_reserve(b, type, name, len, &dst) == nullptr) return -1;
  if (len > 0) memcpy(dst, data, static_cast<size_t>(len));
  return 0;
}

int blobmsg_add_string(blob_buf* b, const char* name, const char* str) {
  if (str == nullptr) str = "";
  size_t n = strlen(str) + 1;
  if (n > static_cast<size_t>(BLOB_LEN_MAX)) return -1;
  return blobmsg_add_field(b, BLOBMSG_TYPE_STRING, name, str, static_cast<int32_t>(n));
}

int blobmsg_add_u32(blob_buf* b, const char* name, uint32_t v) {
  uint8_t be[4];
  blob_put_be32(be, v);
  return blobmsg_add_field(b, BLOBMSG_TYPE_INT32, name, be, 4);
}

int blobmsg_add_u64(blob_buf* b, const char* name, uint64_t v) {
  uint8_t be[8];
  blob_put_be32(be, static_cast<uint32_t>(v >> 32));
  blob_put_be32(be + 4, static_cast<uint32_t>(v));
  return blobmsg_add_field(b, BLOBMSG_TYPE_INT64, name, be, 8);
}

int blobmsg_namelen(const blob_attr* a) {
  if (!blob_is_extended(a) || blob_raw_len(a) < 6) return 0;
  return (int{bytes(a)[4]} << 8) | bytes(a)[5];
}

const void* blobmsg_data(const blob_attr* a) {
  if (!blob_is_extended(a)) return bytes(a) + 4;
  return bytes(a) + named_hdr_len(blobmsg_namelen(a));
}

int32_t blobmsg_data_len(const blob_attr* a) {
  int32_t n = blob_raw_len(a) -
              static_cast<int32_t>(static_cast<const uint8_t*>(blobmsg_data(a)) - bytes(a));
  return n < 0 ? 0 : n;
}

uint32_t blobmsg_get_u32(const blob_attr* a) {
  return blob_get_be32(static_cast<const uint8_t*>(blobmsg_data(a)));
}

uint64_t blobmsg_get_u64(const blob_attr* a) {
  const auto* p = static_cast<const uint8_t*>(blobmsg_data(a));
  return (uint64_t{blob_get_be32(p)} << 32) | blob_get_be32(p + 4);
}

const char* blobmsg_get_string(const blob_attr* a) {
  return static_cast<const char*>(blobmsg_data(a));
}

int blobmsg_parse(const blobmsg_policy* policy, int n, const blob_attr** tb, const void* data,
                  int32_t len) {
  if (n <= 0) return 0;
  for (int i = 0; i < n; i++) tb[i] = nullptr;
  // Name lengths once per parse, not once per attribute.
  int32_t small[16];
  std::vector<int32_t> big;
  int32_t* plen = small;
  if (n > 16) {
    try {
      big.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
      return -1;
    }
    plen = big.data();
  }
  for (int i = 0; i < n; i++)
    plen[i] = policy[i].name != nullptr ? static_cast<int32_t>(strlen(policy[i].name)) : 0;

  const auto* p = static_cast<const uint8_t*>(data);
  int32_t left = len;
  while (left > 0) {
    // A header that does not fit, a length below the header itself or one
    // past the message: the message is damaged, never read beyond it.
    if (left < 4) return -1;
    const auto* a = reinterpret_cast<const blob_attr*>(p);
    int32_t alen = blob_raw_len(a);
    if (alen < 4 || alen > left) return -1;
    int type = blob_id(a);
    int32_t namelen = blobmsg_namelen(a);
    for (int i = 0; i < n; i++) {
      if (plen[i] == 0 || plen[i] != namelen) continue;
      if (policy[i].type != BLOBMSG_TYPE_UNSPEC && policy[i].type != type) continue;
      if (!blobmsg_check_attr(p, alen)) return -1;
      if (tb[i] == nullptr && memcmp(p + 6, policy[i].name, static_cast<size_t>(namelen)) == 0)
        tb[i] = a;
    }
    int32_t step = pad4(alen);
    if (step >= left) break;  // the last attribute may lack its padding
    p += step;
    left -= step;
  }
  return 0;
}

int cli_blobmsg_parse(const blobmsg_policy* policy, int n, const blob_attr** tb, const void* data,
                      int32_t len) {
  if (!WY_CHECK(n >= 2)) return -1;
  // Unlike a plain walk, a damaged message is refused even when everything
  // asked for came before the damage: nothing of a corrupted response is used.
  if (blobmsg_parse(policy, n, tb, data, len) < 0) {
    LOGE("blobmsg_parse len=%d error\n", len);
    return -1;
  }
  for (int i = 0; i < 2; i++) {
    if (tb[i] == nullptr) {
      LOGD("ba[%d]=NULL error\n", i);
      return -1;
    }
  }
  // "errno" is read as 4 bytes whatever type the policy let through.
  if (blobmsg_data_len(tb[0]) != 4) {
    LOGE("errno len=%d error\n", blobmsg_data_len(tb[0]));
    return -1;
  }
  if (blobmsg_get_u32(tb[0]) != 0) return 0;
  for (int i = 2; i < n; i++) {
    if (tb[i] == nullptr) {
      LOGE("ba[%d]=NULL error\n", i);
      return -1;
    }
  }
  return 0;
}
