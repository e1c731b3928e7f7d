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
