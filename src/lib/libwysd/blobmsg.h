// Attribute messages: a root table attribute holding a flat list of named,
// typed attributes. Every multi-byte value is big-endian and every attribute
// starts on a 4-byte boundary. The same code builds and parses requests and
// responses on both ends of the connection.
//
// Attribute header word: bit 31 extended (the attribute has a name), bits
// 24-30 type id, bits 0-23 length in bytes including the header and the name
// part, without trailing padding. A named attribute continues with a 2-byte
// name length N, the name, a 0 and zero bytes up to 4 + ((N + 6) & ~3).
#pragma once

#include <cstdint>
#include <vector>

/// Type ids and the payload each one must have.
enum : int {
  BLOBMSG_TYPE_UNSPEC = 0,  // any payload
  BLOBMSG_TYPE_ARRAY = 1,   // any payload
  BLOBMSG_TYPE_TABLE = 2,   // any payload
  BLOBMSG_TYPE_RAW = 3,     // any payload, also empty
  BLOBMSG_TYPE_STRING = 4,  // at least 1 byte, the last one 0
  BLOBMSG_TYPE_INT64 = 5,   // exactly 8 bytes
  BLOBMSG_TYPE_INT32 = 6,   // exactly 4 bytes
  BLOBMSG_TYPE_INT16 = 7,   // exactly 2 bytes
  BLOBMSG_TYPE_INT8 = 8,    // exactly 1 byte
  BLOBMSG_TYPE_LAST = 8,
};

/// Largest attribute or message length the 24-bit length field can carry.
inline constexpr int32_t BLOB_LEN_MAX = 0xFFFFFF;
/// Steps the builder's buffer grows in.
inline constexpr int32_t BLOB_BUF_STEP = 256;

/// A big-endian 32-bit word, as every header word and number is sent.
inline uint32_t blob_get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void blob_put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

/// An attribute inside a message buffer; only ever used through pointers
/// into such a buffer.
struct blob_attr {
  uint8_t id_len[4];
};

/// Growable request/response builder: the root attribute sits at the start
/// of `buf`, whose size is the buffer length. Reused between messages.
struct blob_buf {
  std::vector<uint8_t> buf;
};

/// One policy entry: the attribute name and the type it must have
/// (BLOBMSG_TYPE_UNSPEC accepts any type). A null or empty name matches nothing.
struct blobmsg_policy {
  const char* name;
  int type;
};

/// Type id (bits 24-30) of an attribute.
int blob_id(const blob_attr* a);
/// True when the attribute carries a name.
bool blob_is_extended(const blob_attr* a);
/// Length field of an attribute (header, name part and payload, no padding).
int32_t blob_raw_len(const blob_attr* a);
/// Length rounded up to a multiple of 4: where the next attribute starts.
int32_t blob_pad_len(const blob_attr* a);

/// Resets the builder to an empty root table at the start of its buffer,
/// growing it (to one 256-byte step) only when it has no room for the root.
/// Returns 0, or -1 when the buffer cannot be allocated.
int blob_buf_init(blob_buf* b);
/// The message built so far (the root attribute); nullptr before init.
const uint8_t* blob_buf_data(const blob_buf* b);
/// Padded length of the message built so far, the number of bytes that go
/// on the wire (0 before init).
int32_t blob_buf_len(const blob_buf* b);

/// Appends a named attribute with room for `len` payload bytes that the
/// caller fills through *data (when data is not null) before the next call.
/// Grows the buffer in 256-byte steps. Returns the attribute, or nullptr
/// without writing anything when the buffer cannot grow, the message would
/// pass BLOB_LEN_MAX, `len` is negative or the name is longer than 65535.
blob_attr* blobmsg_reserve(blob_buf* b, int type, const char* name, int32_t len, void** data);
/// Appends the header and name part of a named attribute whose `len`
/// payload bytes stay outside the buffer but for the first `kept` of them
/// (0 <= kept <= len), which the caller writes at *kept_at: the
/// attribute's and the root's lengths count them all and their padding,
/// and whoever sends the message sends the other len - kept, then the zero
/// padding, after the first *head_len bytes of blob_buf_data (the bytes up
/// to the payload and its kept part). Nothing may be appended or shrunk
/// after it. Returns the attribute, or nullptr as blobmsg_reserve.
blob_attr* blobmsg_add_ext(blob_buf* b, int type, const char* name, int32_t len, int32_t* head_len,
                           int32_t kept = 0, void** kept_at = nullptr);
/// Cuts the last reserved attribute `a` down to `len` payload bytes (at most
/// its current payload) and the root with it. Returns 0, or -1 (nothing
/// changed) when `a` is not the last attribute or `len` does not fit.
int blobmsg_shrink(blob_buf* b, blob_attr* a, int32_t len);
/// Appends a named attribute and copies `len` payload bytes. Returns 0 or -1
/// (as blobmsg_reserve; nothing written).
int blobmsg_add_field(blob_buf* b, int type, const char* name, const void* data, int32_t len);
/// Appends a string attribute with its terminating 0. Returns 0 or -1.
int blobmsg_add_string(blob_buf* b, const char* name, const char* str);
/// Appends a 32-bit integer (type 6), big-endian. Returns 0 or -1.
int blobmsg_add_u32(blob_buf* b, const char* name, uint32_t v);
/// Appends a 64-bit integer (type 5), big-endian. Returns 0 or -1.
int blobmsg_add_u64(blob_buf* b, const char* name, uint64_t v);

/// Name length of an attribute (0 when it has none or is too short to say).
int blobmsg_namelen(const blob_attr* a);
/// Payload of an attribute, after the name part when it has one.
const void* blobmsg_data(const blob_attr* a);
/// Payload length (never negative for an attribute that passed the parse).
int32_t blobmsg_data_len(const blob_attr* a);
/// Payload read as a big-endian 32-bit integer; only for attributes the
/// parse accepted as type 6.
uint32_t blobmsg_get_u32(const blob_attr* a);
/// Payload read as a big-endian 64-bit integer; only for attributes the
/// parse accepted as type 5.
uint64_t blobmsg_get_u64(const blob_attr* a);
/// Payload of a string attribute the parse accepted (0-terminated).
const char* blobmsg_get_string(const blob_attr* a);

/// Matches the attributes in `data` (`len` bytes, the first attribute at
/// the start) against the `n` policy entries and fills `tb[n]` with the
/// first valid attribute of each entry's name and type (nullptr when absent).
/// Attributes that match no entry are skipped unchecked. Returns 0, or -1
/// when an attribute's length is below 4 or runs past `len`, or an
/// attribute that matches an entry by type and name length is malformed
/// (see the type table); results found before the failure stay filled.
int blobmsg_parse(const blobmsg_policy* policy, int n, const blob_attr** tb, const void* data,
                  int32_t len);
/// blobmsg_parse plus the response convention: entries 0 and 1 ("errno",
/// "errno_str") must be present; when "errno" is 0 every further entry must
/// be present too. Returns 0 (check errno next), or -1 on a failed parse or
/// a missing attribute (logs "ba[%d]=NULL error\n").
int cli_blobmsg_parse(const blobmsg_policy* policy, int n, const blob_attr** tb, const void* data,
                      int32_t len);
