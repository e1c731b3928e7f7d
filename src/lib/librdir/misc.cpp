// Text forms of stat records: the typed field parser, the line writers and
// readers, and the read-list data record header.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "liblog.h"
#include "librdir.h"
#include "rdir_imp.h"

WY_LOG_TAG("rdir");

namespace {

enum class ftype { str, x32, x64, u32, u64, size, int32, bad };

ftype type_of(std::string_view t) {
  if (t == "str") return ftype::str;
  if (t == "x32") return ftype::x32;
  if (t == "x64") return ftype::x64;
  if (t == "u32") return ftype::u32;
  if (t == "u64") return ftype::u64;
  if (t == "size") return ftype::size;
  if (t == "int") return ftype::int32;
  return ftype::bad;
}

// Unsigned number of `base` (10 or 16) no larger than `max`; digits only, so
// a damaged field is refused instead of read as 0.
bool parse_unsigned(std::string_view s, int base, uint64_t max, uint64_t* v) {
  if (s.empty()) return false;
  uint64_t r = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    if (r > (max - d) / base) return false;
    r = r * base + d;
  }
  *v = r;
  return true;
}

bool parse_int32(std::string_view s, int32_t* v) {
  bool neg = !s.empty() && s[0] == '-';
  if (neg || (!s.empty() && s[0] == '+')) s.remove_prefix(1);
  uint64_t u;
  if (!parse_unsigned(s, 10, neg ? 0x80000000ull : 0x7FFFFFFFull, &u)) return false;
  *v = neg ? static_cast<int32_t>(-static_cast<int64_t>(u)) : static_cast<int32_t>(u);
  return true;
}

bool convert(ftype t, std::string_view f, const str_scan_dst& d) {
  switch (t) {
    case ftype::str:
      *std::get<std::string_view*>(d) = f;
      return true;
    case ftype::x32:
    case ftype::u32: {
      uint64_t v;
      if (!parse_unsigned(f, t == ftype::x32 ? 16 : 10, UINT32_MAX, &v)) return false;
      *std::get<uint32_t*>(d) = static_cast<uint32_t>(v);
      return true;
    }
    case ftype::x64:
    case ftype::u64:
    case ftype::size:
      return parse_unsigned(f, t == ftype::x64 ? 16 : 10, UINT64_MAX, std::get<uint64_t*>(d));
    case ftype::int32:
      return parse_int32(f, std::get<int32_t*>(d));
    case ftype::bad:
      break;
  }
  return false;
}

bool kind_matches(ftype t, const str_scan_dst& d) {
  switch (t) {
    case ftype::str:
      return std::holds_alternative<std::string_view*>(d) && std::get<std::string_view*>(d);
    case ftype::x32:
    case ftype::u32:
      return std::holds_alternative<uint32_t*>(d) && std::get<uint32_t*>(d);
    case ftype::x64:
    case ftype::u64:
    case ftype::size:
      return std::holds_alternative<uint64_t*>(d) && std::get<uint64_t*>(d);
    case ftype::int32:
      return std::holds_alternative<int32_t*>(d) && std::get<int32_t*>(d);
    case ftype::bad:
      break;
  }
  return false;
}

// Cuts the next piece off `s` at `sep`; false when `s` is used up (an empty
// rest after a separator still yields one empty piece).
bool next_piece(std::string_view& s, bool& done, char sep, std::string_view* piece) {
  if (done) return false;
  size_t p = s.find(sep);
  if (p == std::string_view::npos) {
    *piece = s;
    done = true;
  } else {
    *piece = s.substr(0, p);
    s.remove_prefix(p + 1);
  }
  return true;
}

void append_fmt(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append_fmt(std::string& out, const char* fmt, ...) {
  char buf[256];  // numbers only: every caller's output is far below this
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, std::min<size_t>(n, sizeof buf - 1));
}

using ull = unsigned long long;

}  // namespace

int str_scanf_sep_val_imp(std::string_view line, char sep, std::string_view types,
                          std::initializer_list<str_scan_dst> dst) {
  // Check the whole type list against the destinations first, so a bad call
  // fails the same way whatever the line holds.
  ftype tv[32];
  size_t nt = 0;
  {
    std::string_view rest = types, t;
    bool done = types.empty();
    while (next_piece(rest, done, '|', &t)) {
      if (nt == std::size(tv)) return -1;
      tv[nt] = type_of(t);
      if (tv[nt] == ftype::bad || nt >= dst.size() || !kind_matches(tv[nt], dst.begin()[nt])) return -1;
      nt++;
    }
  }
  int n = 0;
  std::string_view rest = line, f;
  bool done = false;
  while (static_cast<size_t>(n) < nt && next_piece(rest, done, sep, &f)) {
    if (!convert(tv[n], f, dst.begin()[n])) break;
    n++;
  }
  return n;
}

bool rdir_name_is_textsafe(std::string_view name) {
  return name.find_first_of(std::string_view("\t\n\r\0", 4)) == std::string_view::npos;
}

namespace {

/// A tab, then `v` in lower-case hexadecimal ("%llx").
void tab_hex(std::string& out, ull v) {
  char b[17];
  int n = 0;
  do {
    b[n++] = "0123456789abcdef"[v & 15];
    v >>= 4;
  } while (v);
  out.push_back('\t');
  while (n) out.push_back(b[--n]);
}

/// A tab, then `v` in decimal ("%llu"; "%lld" with a minus sign).
void tab_dec(std::string& out, ull v, bool neg = false) {
  char b[21];
  int n = 0;
  do {
    b[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  out.push_back('\t');
  if (neg) out.push_back('-');
  while (n) out.push_back(b[--n]);
}

}  // namespace

// Written by hand: a listing formats one record per entry, and printf's
// format parsing was a noticeable share of a reader's time.
void rdir_fmt_dir_record(std::string& out, const mstat_item& it) {
  out.append(it.name ? it.name : "");
  out.push_back('\t');
  out.append(it.link ? it.link : "");
  tab_hex(out, it.flags);
  tab_hex(out, it.attrib);
  tab_hex(out, it.mode);
  bool neg = it.size < 0;
  tab_dec(out, neg ? 0 - static_cast<ull>(it.size) : static_cast<ull>(it.size), neg);
  tab_hex(out, static_cast<ull>(it.ctime));
  tab_hex(out, static_cast<ull>(it.wtime));
  tab_hex(out, static_cast<ull>(it.atime));
  tab_dec(out, it.uid);
  tab_dec(out, it.gid);
  out.push_back('\n');
}

void rdir_fmt_mkdir_line(std::string& out, const mstat_item& it) {
  out.append(it.name ? it.name : "");
  append_fmt(out, "\t%x\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", it.flags, it.attrib, it.mode,
             static_cast<ull>(it.ctime), static_cast<ull>(it.wtime), static_cast<ull>(it.atime), it.uid,
             it.gid);
}

void rdir_fmt_write_line(std::string& out, const mstat_item& it, std::string_view b64) {
  out.append(it.name ? it.name : "");
  out.push_back('\t');
  out.append(it.link ? it.link : "");
  append_fmt(out, "\t%x\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u\t", it.flags, it.attrib, it.mode,
             static_cast<ull>(it.ctime), static_cast<ull>(it.wtime), static_cast<ull>(it.atime), it.uid,
             it.gid);
  out.append(b64);
}

void rdir_fmt_fstat_line(std::string& out, const mstat_item& it) {
  append_fmt(out, "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", static_cast<int>(it.flags), it.attrib, it.mode,
             static_cast<ull>(it.ctime), static_cast<ull>(it.wtime), static_cast<ull>(it.atime), it.uid,
             it.gid);
}

int str_2_stat(std::string_view text, mstat* h) {
  if (!WY_CHECK(h!=NULL)) return -1;
  std::string_view rest = text, line;
  bool done = text.empty();
  while (next_piece(rest, done, '\n', &line)) {
    if (line.empty()) continue;
    mstat_item st;
    std::string_view name, link;
    uint64_t size, ct, wt, at;
    int ret = str_scanf_sep_val_imp(line, '\t', "str|str|x32|x32|x32|u64|x64|x64|x64|u32|u32",
                                    {&name, &link, &st.flags, &st.attrib, &st.mode, &size, &ct, &wt,
                                     &at, &st.uid, &st.gid});
    if (ret != 11) {
      LOGE("ret=%d error: ret!=11", ret);
      return -1;
    }
    st.size = static_cast<int64_t>(size);
    st.ctime = static_cast<int64_t>(ct);
    st.wtime = static_cast<int64_t>(wt);
    st.atime = static_cast<int64_t>(at);
    mstat_cp_alloc(h, st, name, link);
  }
  return 0;
}

int libmfile_dir_scanf(std::string_view line, rdir_line* out) {
  if (!WY_CHECK(out != NULL)) return -1;
  uint64_t ct, wt, at;
  std::string_view extra;
  int ret = str_scanf_sep_val_imp(line, '\t', "str|x32|x32|x32|x64|x64|x64|u32|u32|str",
                                  {&out->name, &out->st.flags, &out->st.attrib, &out->st.mode, &ct, &wt,
                                   &at, &out->st.uid, &out->st.gid, &extra});
  if (ret != 9) {
    LOGE("ret=%d error: ret!=9", ret);
    return -1;
  }
  out->st.ctime = static_cast<int64_t>(ct);
  out->st.wtime = static_cast<int64_t>(wt);
  out->st.atime = static_cast<int64_t>(at);
  out->link = out->data = {};
  return 0;
}

int libmfile_write_scanf(std::string_view line, rdir_line* out) {
  if (!WY_CHECK(out != NULL)) return -1;
  uint64_t ct, wt, at;
  int ret = str_scanf_sep_val_imp(line, '\t', "str|str|x32|x32|x32|x64|x64|x64|u32|u32|str",
                                  {&out->name, &out->link, &out->st.flags, &out->st.attrib,
                                   &out->st.mode, &ct, &wt, &at, &out->st.uid, &out->st.gid,
                                   &out->data});
  if (ret != 11) {
    LOGE("ret=%d error: ret!=11", ret);
    return -1;
  }
  out->st.ctime = static_cast<int64_t>(ct);
  out->st.wtime = static_cast<int64_t>(wt);
  out->st.atime = static_cast<int64_t>(at);
  out->st.size = 0;
  return 0;
}

int libmfile_write_get_info(std::string_view line, int32_t* kind, int32_t* value) {
  if (!WY_CHECK(kind != NULL && value != NULL)) return -1;
  int ret = str_scanf_sep_val_imp(line, '\t', "int|int", {kind, value});
  if (ret != 2) {
    LOGE("ret=%d error: ret!=2", ret);
    return -1;
  }
  return 0;
}

void libmfile_read_set_data_len_err(uint8_t hdr[4], uint32_t len, uint32_t errbits) {
  uint32_t v = (errbits & (RDIR_DATA_OPEN_ERR | RDIR_DATA_READ_ERR)) | std::min(len, RDIR_MAX_MLEN);
  hdr[0] = static_cast<uint8_t>(v >> 24);
  hdr[1] = static_cast<uint8_t>(v >> 16);
  hdr[2] = static_cast<uint8_t>(v >> 8);
  hdr[3] = static_cast<uint8_t>(v);
}

int libmfile_read_get_data_len_err(const uint8_t* p, size_t avail, mfile_data* out) {
  if (!WY_CHECK(out != NULL)) return -1;
  if (p == nullptr || avail < 4) return -1;
  uint32_t v = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  out->open_err = (v & RDIR_DATA_OPEN_ERR) != 0;
  out->read_err = (v & RDIR_DATA_READ_ERR) != 0;
  out->verr = 0;
  out->data.clear();
  uint32_t len = v & RDIR_MAX_MLEN;
  if (out->open_err || out->read_err) {
    if (out->open_err && out->read_err) return -1;
    if (len != 4 || avail < 8) return -1;
    out->verr = static_cast<int32_t>((uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) |
                                     (uint32_t(p[6]) << 8) | p[7]);
    return 8;
  }
  if (avail - 4 < len) return -1;
  try {
    out->data.assign(p + 4, p + 4 + len);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return static_cast<int>(len) + 4;
}

std::string rdir_escape_name(std::string_view name) {
  std::string out;
  for (unsigned char c : name) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char b[8];
          snprintf(b, sizeof b, "\\x%02x", c);
          out += b;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out;
}

os_set_stat rdir_set_stat_of(const mstat_item& st) {
  os_set_stat s;
  s.attrib = (st.flags & RDIR_FLAG_ATTRIB) ? st.attrib : 0;
  s.mode = st.mode & 07777;
  s.uid = st.uid;
  s.gid = st.gid;
  s.set_owner = true;
  s.times.atime.sec = st.atime;
  s.times.mtime.sec = st.wtime;
  s.times.btime.sec = st.ctime;
  return s;
}

cmder* rdir_cmder_start(void* owner, const char* name, void (*proc)(uint32_t, void*, cmder_ctx*), cdir_err* err) {
  cmder_param cp;
  cp.user = owner;
  cp.timer_interval_ms = 1000;
  cp.name = name;
  cp.msg_proc = proc;
  cmder* c = cmder_init(&cp);
  if (!c) {
    LOGE("cmder_init failed\n");
    CDIR_ERR_SET(err, -8, "%s", "");
  }
  return c;
}
