// Data packing of the file data carried by read and write requests: a small
// table of codecs ("none", "lz4"), looked up by name or id.
#pragma once

#include <cstdint>
#include <memory>

/// Per-connection working state of a codec.
struct sdcomp_state {
  virtual ~sdcomp_state() = default;
};

/// One codec. The default methods are the empty slots of the table: they log
/// the failed check and fail.
class sdcomp {
 public:
  virtual ~sdcomp() = default;
  virtual const char* name() const = 0;
  virtual int id() const = 0;
  /// New working state, or nullptr when it cannot be allocated.
  virtual std::unique_ptr<sdcomp_state> create(int param) const;
  /// Packs `in_len` bytes into at most `out_cap` bytes. Returns the packed
  /// length, or a negative value (nothing beyond out_cap is ever written).
  virtual int pack(sdcomp_state* st, const void* in, int in_len, void* out, int out_cap) const;
  /// Unpacks into at most `out_cap` bytes. Returns the unpacked length, or
  /// a negative value for damaged input or input that would not fit.
  virtual int unpack(sdcomp_state* st, const void* in, int in_len, void* out, int out_cap) const;
  /// True when pack would send `in` as its bytes unchanged behind a small
  /// head (sdcomp_raw_head): a codec without such a form says false.
  virtual bool goes_raw(sdcomp_state* st, const void* in, int in_len) const;
};

/// Codec ids.
enum : int { SDCOMP_NONE = 0, SDCOMP_LZ4 = 1 };

/// The codec called `name` ("none", "lz4"), or nullptr.
const sdcomp* sdcomp_find(const char* name);
/// The codec with `id`, or nullptr.
const sdcomp* sdcomp_find_id(int id);
/// `in_len` bytes as one LZ4 block of literals only (what LZ4 makes of
/// data without repeats, without looking for any). The block's length, or
/// -1 when it does not fit out_cap (sdcomp_bound always fits).
int sdcomp_lz4_literals(const void* in, int in_len, void* out, int out_cap);
/// The head of a literal-only LZ4 block of n literals (the token and the
/// length bytes): its length, and the bytes when `out` is not null (it
/// must hold that many).
int sdcomp_lz4_literal_head(int n, void* out);
/// Output to reserve for packing n bytes: n + n / 255 + 16 for 0 <= n <=
/// 0x7E000000, else 0.
int sdcomp_bound(int n);

/// The codec a connection packs with: its stored name (at most 15
/// characters), id, descriptor and state.
struct sdcomp_slot {
  char name[16] = "";
  int32_t id = SDCOMP_NONE;
  const sdcomp* codec = nullptr;
  std::unique_ptr<sdcomp_state> state;
};

/// Selects the codec `name` for `slot`: stores a differing name, drops the
/// old state, looks the codec up by the stored name (by the stored id when
/// the name is empty) and creates its state. Returns 0, or -1 leaving the
/// slot without a codec (unknown name or id, no memory).
int sdcomp_select(sdcomp_slot* slot, const char* name);
/// Packs with the slot's codec into at most out_cap bytes. Returns the packed
/// length, or negative when the slot has no codec or the output is too small.
int sdcomp_pack(sdcomp_slot* slot, const void* in, int in_len, void* out, int out_cap);
/// Unpacks with the slot's codec into at most out_cap bytes. Returns the
/// length, or negative when the slot has no codec or the input is damaged or
/// does not fit (the read path turns that into status 7).
int sdcomp_unpack(sdcomp_slot* slot, const void* in, int in_len, void* out, int out_cap);
/// Whether the slot's codec packs these `in_len` bytes into themselves
/// behind a head, as pack would: always with "none", with "lz4" for a big
/// block whose first part does not shrink. The head is then
/// sdcomp_raw_head's, which lets a caller send the bytes from where they
/// are.
bool sdcomp_goes_raw(sdcomp_slot* slot, const void* in, int in_len);
/// Length of the head that goes before n raw bytes with the slot's codec
/// (0 for "none"), written to `out` when it is not null.
int sdcomp_raw_head(const sdcomp_slot* slot, int n, void* out);
/// The count of raw bytes that make `len` bytes of packed data together
/// with their head, or -1 when no count does (or the codec has no raw form).
int sdcomp_raw_count(const sdcomp_slot* slot, int len);
/// Whether the `h` bytes at p are exactly the head sdcomp_raw_head writes
/// for n raw bytes. Reads no byte beyond the h.
bool sdcomp_raw_head_is(const sdcomp_slot* slot, const uint8_t* p, int h, int n);
/// Where packed data holds its bytes unchanged: for "none" all of it, for
/// "lz4" a block of one sequence of literals that fills it exactly. The
/// count of such bytes, *at pointing to them; -1 when the data has to be
/// unpacked (it may still be valid). Lets a reader skip a copy: what it
/// finds is what sdcomp_unpack would give.
int sdcomp_raw_view(const sdcomp_slot* slot, const void* in, int in_len, const uint8_t** at);
