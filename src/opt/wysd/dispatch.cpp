// The request handlers: each reads its parsed request and builds exactly one
// response in the context's response buffer, beginning with "errno" and
// "errno_str" and, on success, carrying every attribute of its set.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "liblog.h"
#include "libpwd.h"
#include "srv.h"

WY_LOG_TAG("wysd");

namespace {

// Error codes of the answers.
constexpr int kEParam = -2;      // "Invalid parameter."
constexpr int kEHandle = -4;     // "Invalid handle."
constexpr int kESize = -5;       // "Invalid size."
constexpr int kENotSup = -37;    // "Not supported."
constexpr int kEAccess = -38;    // "Access denied."
constexpr int kEBusy = -53;      // "The object is busy."
constexpr int kEAuth = -89;      // "Authentication failure."
constexpr int kETooMany = -106;  // "Too many open files."
constexpr int kELoginNeeded = 1;  // the probe: this server wants credentials

constexpr int kMaxFiles = 1024;        // open files per context
constexpr int kOsType = 2;             // "os_type" of the login answer
constexpr int32_t kMaxIoctlOut = 4 * 1024 * 1024;  // listing and list-result blocks
constexpr int32_t kMaxReaderWaitMs = 30000;
constexpr uint32_t kMaxMfileSize = 64u * 1024 * 1024;

/// The response set of a code (the bye request has none).
const wysd_msg_policy* policy_of(int code) { return wysd_msg_policy_get(code); }

struct req {
  wysd_session* s;
  int code;
  const blob_attr* tb[8] = {};
  blob_buf& rsp() { return s->ctx->rsp; }
  wysd_ctx& ctx() { return *s->ctx; }
};

/// An error answer: the code's message, or `text` when given.
wysd_action fail(req& r, int verr, const char* text = nullptr) {
  wysd_srv_rsp_begin(&r.rsp(), verr, text != nullptr ? text : verr2str(verr));
  return WYSD_SEND;
}
/// The answer to a failed platform call.
wysd_action fail_os(req& r) { return fail(r, os_last_verr()); }
wysd_action ok(req& r) {
  if (wysd_srv_rsp_begin(&r.rsp(), 0, "") < 0) return WYSD_CLOSE;
  return WYSD_SEND;
}

std::string_view str_of(const blob_attr* a) { return blobmsg_get_string(a); }
std::string_view raw_of(const blob_attr* a) {
  return {static_cast<const char*>(blobmsg_data(a)), static_cast<size_t>(blobmsg_data_len(a))};
}
/// A text payload ("data" of the controls): up to its first NUL.
std::string text_of(const blob_attr* a) {
  std::string_view v = raw_of(a);
  size_t z = v.find('\0');
  return std::string(z == std::string_view::npos ? v : v.substr(0, z));
}
/// The client's path, refused when it holds a NUL (the string attribute
/// always ends with one; any earlier one would cut the name).
bool path_of(const blob_attr* a, std::string* out) {
  std::string_view v = raw_of(a);
  if (v.empty() || v.back() != '\0') return false;
  v.remove_suffix(1);
  if (v.find('\0') != std::string_view::npos) return false;
  *out = std::string(v);
  return true;
}
bool payload_path(const blob_attr* a, std::string* out) {
  std::string_view v = raw_of(a);
  while (!v.empty() && v.back() == '\0') v.remove_suffix(1);
  if (v.find('\0') != std::string_view::npos) return false;
  *out = std::string(v);
  return true;
}

bool parse_u64(std::string_view s, int base, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  std::string t(s);
  char* end = nullptr;
  unsigned long long v = strtoull(t.c_str(), &end, base);
  if (end == nullptr || *end != '\0' || t[0] == '-' || t[0] == '+' || t[0] == ' ') return false;
  *out = v;
  return true;
}

/// Splits at tabs.
std::vector<std::string_view> fields(std::string_view s) {
  std::vector<std::string_view> out;
  size_t p = 0;
  for (;;) {
    size_t t = s.find('\t', p);
    out.push_back(s.substr(p, t == std::string_view::npos ? std::string_view::npos : t - p));
    if (t == std::string_view::npos) break;
    p = t + 1;
  }
  return out;
}

bool ct_equal(std::string_view a, std::string_view b) {
  // Every byte of the longer text is looked at whatever differs first.
  size_t n = a.size() > b.size() ? a.size() : b.size();
  unsigned char d = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < n; i++) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    d |= static_cast<unsigned char>(x ^ y);
  }
  return d == 0;
}

// ---------------------------------------------------------------------------
// Login

wysd_action login_fail(req& r, const std::string& who) {
  int ms = r.s->srv->login_failed(r.s->peer_ip);
  // The name is the peer's: escaped, so it cannot forge a log line.
  LOGW("peer=%s user=[%s] login failed\n", r.s->peer.c_str(), rdir_escape_name(who).c_str());
  // The delay makes guessing slow; the session waits, nothing else does.
  for (int waited = 0; waited < ms && !r.s->nc.stop.load(); waited += 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return fail(r, kEAuth);
}

void logged_in(req& r, const std::string& user) {
  r.s->logged_in = true;
  r.s->user = user;
  r.ctx().user = user;
  LOGI("peer=%s user=[%s] logged in\n", r.s->peer.c_str(), user.c_str());
}

wysd_action do_login(req& r) {
  const auto& users = r.s->srv->conf().users;
  std::string user(str_of(r.tb[0]));
  std::string_view pw = str_of(r.tb[1]);
  if (r.s->logged_in) return fail(r, kEParam, "already logged in");
  if (user == ":" && pw.empty()) {
    if (!users.empty()) return fail(r, kELoginNeeded, "login required");
    logged_in(r, "");
  } else if (users.empty()) {
    logged_in(r, "");
  } else {
    if (!r.s->srv->conf().login_sha) return login_fail(r, user);
    auto it = users.find(user);
    // The expected answer is computed even for an unknown user, so the
    // time taken does not tell whether the name exists.
    const std::string& real = it != users.end() ? it->second : user;
    uint8_t dig[SHA1_DIGEST_SIZE];
    hash_sha1(real.data(), real.size(), dig);
    std::string want = real.empty() ? std::string() : "{SHA}" + base64_encode(dig, sizeof dig);
    if (!ct_equal(want, pw) || it == users.end()) return login_fail(r, user);
    logged_in(r, user);
  }
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  blobmsg_add_u32(&r.rsp(), "os_type", kOsType);
  return WYSD_SEND;
}

wysd_action do_login2(req& r) {
  if (r.s->logged_in) return fail(r, kEParam, "already logged in");
  if (r.s->srv->conf().login_sha && !r.s->srv->conf().users.empty()) return login_fail(r, "");
  r.s->login_user = std::string(str_of(r.tb[0]));
  uint8_t rnd[24];
  if (os_random_bytes(rnd, sizeof rnd) < 0) return fail_os(r);
  static const char hex[] = "0123456789abcdef";
  r.s->cert.clear();
  for (uint8_t b : rnd) {
    r.s->cert += hex[b >> 4];
    r.s->cert += hex[b & 15];
  }
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  blobmsg_add_u32(&r.rsp(), "ver", 1);
  blobmsg_add_string(&r.rsp(), "cert", r.s->cert.c_str());
  return WYSD_SEND;
}

wysd_action do_login3(req& r) {
  if (r.s->logged_in) return fail(r, kEParam, "already logged in");
  std::string cert = std::move(r.s->cert);
  r.s->cert.clear();  // one answer per challenge
  std::string user = r.s->login_user;
  if (cert.empty()) return login_fail(r, user);
  const auto& users = r.s->srv->conf().users;
  if (users.empty()) {
    logged_in(r, "");
    return ok(r);
  }
  auto it = users.find(user);
  const std::string& real = it != users.end() ? it->second : user;
  char key[LIBPWD_KEY_SIZE] = {};
  if (libpwd_build_key(user.c_str(), real.c_str(), cert.c_str(), key, sizeof key) < 0)
    return login_fail(r, user);
  if (!ct_equal(key, str_of(r.tb[0])) || it == users.end()) return login_fail(r, user);
  logged_in(r, user);
  return ok(r);
}

// ---------------------------------------------------------------------------
// Information

wysd_action do_info(req& r) {
  const pl_platform* p = pl_platform_get();
  char text[512];
  snprintf(text, sizeof text, "ver=[%s]\nplat=[%s]\narch=[%s]\nbit=[%d]\norder=[%s]\nis_root=[%s]\n",
           WYSD_SRV_VERSION, p->os, p->arch, static_cast<int>(sizeof(void*) * 8),
           __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? "little" : "big", os_is_root() ? "yes" : "no");
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  blobmsg_add_string(&r.rsp(), "info", text);
  return WYSD_SEND;
}

// ---------------------------------------------------------------------------
// Files

os_file2* file_of(req& r, const blob_attr* fd) {
  auto it = r.ctx().files.find(static_cast<int64_t>(blobmsg_get_u64(fd)));
  return it == r.ctx().files.end() ? nullptr : it->second.get();
}

// Flags a client may ask for; the rest (volume locks, shadow copies) are
// not for remote peers.
constexpr uint64_t kOpenAllowed = OS_FILE_READ | OS_FILE_WRITE | OS_FILE_RDWR | OS_FILE_CREATE |
                                  OS_FILE_APPEND | OS_FILE_TRUNC | OS_FILE_DIRECT | OS_FILE_SHARE_ALL |
                                  OS_FILE_SHARE_NOWR | OS_FILE_SHARE_WR1 | OS_FILE_SHARE_WR2 |
                                  OS_FILE_SEQ | OS_FILE_RANDOM;

wysd_action do_open(req& r) {
  std::string path;
  if (!path_of(r.tb[0], &path)) return fail(r, kEAccess);
  uint64_t flags = blobmsg_get_u64(r.tb[1]);
  if ((flags & ~kOpenAllowed) != 0) return fail(r, kENotSup, "open flags not supported");
  if (r.ctx().files.size() >= kMaxFiles) return fail(r, kETooMany);
  os_file2* f = os_at_file_open(r.s->srv->root(), path.c_str(), flags);
  if (f == nullptr) {
    int v = os_last_verr();
    LOGD("open [%s] flags=%" PRIx64 " verr=%d\n", rdir_escape_name(path).c_str(), flags, v);
    return fail(r, v);
  }
  int64_t fd = r.ctx().next_fd++;
  r.ctx().files[fd].reset(f);
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  blobmsg_add_u64(&r.rsp(), "fd", static_cast<uint64_t>(fd));
  return WYSD_SEND;
}

wysd_action do_close(req& r) {
  auto it = r.ctx().files.find(static_cast<int64_t>(blobmsg_get_u64(r.tb[0])));
  if (it == r.ctx().files.end()) return fail(r, kEHandle);
  int rc = os_file_close(it->second.release());
  r.ctx().files.erase(it);
  if (rc < 0) return fail_os(r);
  return ok(r);
}

/// The largest read or write a single message can carry packed.
int32_t max_io_len(const wysd_conf& c) {
  int32_t cap = c.max_frame < BLOB_LEN_MAX ? c.max_frame : BLOB_LEN_MAX;
  cap -= 256;  // the other attributes
  return cap - cap / 255 - 16;
}

wysd_action do_read(req& r, bool positional) {
  os_file2* f = file_of(r, r.tb[0]);
  if (f == nullptr) return fail(r, kEHandle);
  int32_t n = static_cast<int32_t>(blobmsg_get_u32(r.tb[1]));
  if (n < 0 || n > max_io_len(r.s->srv->conf())) return fail(r, kESize);
  int64_t off = positional ? static_cast<int64_t>(blobmsg_get_u64(r.tb[2])) : -1;
  if (positional && off < 0) return fail(r, -24);  // "Invalid offset."
  // Whole blocks: a reply shorter than asked means the end of the file.
  auto read_into = [&](uint8_t* p, int64_t* got) {
    while (*got < n) {
      int64_t k = positional ? os_file_pread(f, p + *got, static_cast<size_t>(n - *got), off + *got)
                             : os_file_read(f, p + *got, static_cast<size_t>(n - *got));
      if (k < 0) return false;
      if (k == 0) break;
      *got += k;
    }
    return true;
  };
  // The data is read straight into the answer, behind room for the head
  // that raw data travels behind (none for "none", a literal head for
  // "lz4"): data that goes raw needs no copy; data that shrinks is packed
  // into the scratch buffer and only its packed bytes come back.
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  void* len_at = nullptr;
  if (blobmsg_reserve(&r.rsp(), BLOBMSG_TYPE_INT32, "len", 4, &len_at) == nullptr) return fail(r, -8);
  // Where the count goes once known: the buffer may move as it grows.
  size_t len_off = static_cast<size_t>(static_cast<uint8_t*>(len_at) - r.rsp().buf.data());
  sdcomp_slot& pack = r.ctx().pack;
  int lead = sdcomp_raw_head(&pack, n, nullptr);
  int cap = std::max(sdcomp_bound(n), lead + n);
  void* out = nullptr;
  blob_attr* a = nullptr;
  if (blobmsg_add_u32(&r.rsp(), "flags", 0) < 0 ||
      (a = blobmsg_reserve(&r.rsp(), BLOBMSG_TYPE_RAW, "data", cap, &out)) == nullptr)
    return fail(r, -8);
  auto* at = static_cast<uint8_t*>(out);
  int64_t got = 0;
  if (!read_into(at + lead, &got)) return fail_os(r);
  int g = static_cast<int>(got);
  int packed = 0;
  if (sdcomp_goes_raw(&pack, at + lead, g)) {
    int head = sdcomp_raw_head(&pack, g, nullptr);
    if (head != lead) memmove(at + head, at + lead, static_cast<size_t>(g));  // a short last block
    sdcomp_raw_head(&pack, g, at);
    packed = head + g;
  } else {
    int bound = sdcomp_bound(g);
    uint8_t* buf = r.s->scratch.reserve(static_cast<size_t>(bound));
    if (buf == nullptr) return fail(r, -8);
    packed = sdcomp_pack(&pack, at + lead, g, buf, bound);
    if (packed < 0) return fail(r, -92);  // "Compression error."
    memcpy(at, buf, static_cast<size_t>(packed));
  }
  blobmsg_shrink(&r.rsp(), a, packed);
  // The count, known only now, big-endian as every number.
  blob_put_be32(r.rsp().buf.data() + len_off, static_cast<uint32_t>(got));
  return WYSD_SEND;
}

wysd_action do_write(req& r, bool positional) {
  os_file2* f = file_of(r, r.tb[0]);
  if (f == nullptr) return fail(r, kEHandle);
  int32_t n = static_cast<int32_t>(blobmsg_get_u32(r.tb[2]));
  if (n < 0 || n > max_io_len(r.s->srv->conf())) return fail(r, kESize);
  int64_t off = positional ? static_cast<int64_t>(blobmsg_get_u64(r.tb[3])) : -1;
  if (positional && off < 0) return fail(r, -24);
  const blob_attr* data = r.tb[positional ? 4 : 3];
  const uint8_t* src = nullptr;
  // Data that travels as it is (unpacked, or LZ4 literals alone) is
  // written straight from the request.
  int raw = sdcomp_raw_view(&r.ctx().pack, blobmsg_data(data), blobmsg_data_len(data), &src);
  if (raw >= 0) {
    if (raw != n) return fail(r, -93);  // "Decompression error."
  } else {
    uint8_t* buf = r.s->scratch.reserve(static_cast<size_t>(n));
    if (buf == nullptr) return fail(r, -8);
    int un = sdcomp_unpack(&r.ctx().pack, blobmsg_data(data), blobmsg_data_len(data), buf, n);
    if (un != n) return fail(r, -93);
    src = buf;
  }
  int64_t done = 0;
  while (done < n) {
    int64_t k = positional ? os_file_pwrite(f, src + done, static_cast<size_t>(n - done), off + done)
                           : os_file_write(f, src + done, static_cast<size_t>(n - done));
    if (k < 0) return fail_os(r);
    if (k == 0) break;
    done += k;
  }
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  blobmsg_add_u32(&r.rsp(), "len", static_cast<uint32_t>(done));
  return WYSD_SEND;
}

wysd_action do_seek(req& r) {
  os_file2* f = file_of(r, r.tb[0]);
  if (f == nullptr) return fail(r, kEHandle);
  int64_t off = static_cast<int64_t>(blobmsg_get_u64(r.tb[1]));
  int64_t mode = static_cast<int64_t>(blobmsg_get_u64(r.tb[2]));
  if (off < 0 || mode < 0 || mode > 2) return fail(r, -24);
  int64_t at = os_file_seek(f, off, static_cast<int>(mode));
  if (at < 0) return fail_os(r);
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  blobmsg_add_u64(&r.rsp(), "offset", static_cast<uint64_t>(at));
  return WYSD_SEND;
}

// "path\tatime\twtime\tctime\tans\twns\tcns": the path is everything before
// the last six fields, so a name may hold anything but a NUL.
wysd_action set_path_times(req& r, std::string_view text) {
  std::vector<std::string_view> f;
  std::string_view rest = text;
  for (int i = 0; i < 6; i++) {
    size_t t = rest.rfind('\t');
    if (t == std::string_view::npos) return fail(r, kEParam);
    f.insert(f.begin(), rest.substr(t + 1));
    rest = rest.substr(0, t);
  }
  uint64_t v[6];
  for (int i = 0; i < 6; i++)
    if (!parse_u64(f[static_cast<size_t>(i)], 10, &v[i])) return fail(r, kEParam);
  os_file_times t;
  t.atime = {static_cast<int64_t>(v[0]), static_cast<uint32_t>(v[3] % 1000000000)};
  t.mtime = {static_cast<int64_t>(v[1]), static_cast<uint32_t>(v[4] % 1000000000)};
  t.btime = {static_cast<int64_t>(v[2]), static_cast<uint32_t>(v[5] % 1000000000)};
  std::string path(rest);
  if (os_at_set_times(r.s->srv->root(), path.c_str(), &t) < 0) return fail_os(r);
  return ok(r);
}

wysd_action set_file_stat(req& r, os_file2* f, std::string_view text) {
  if (f == nullptr) return fail(r, kEHandle);
  std::vector<std::string_view> fl = fields(text);
  if (fl.size() != 8) return fail(r, kEParam);
  uint64_t v[8];
  static const int base[8] = {10, 16, 16, 16, 16, 16, 10, 10};
  for (int i = 0; i < 8; i++) {
    std::string_view s = fl[static_cast<size_t>(i)];
    if (i == 0 && !s.empty() && s[0] == '-') s.remove_prefix(1);  // flags are a signed word
    if (!parse_u64(s, base[i], &v[i])) return fail(r, kEParam);
  }
  mstat_item st;
  st.flags = static_cast<uint32_t>(v[0]);
  st.attrib = static_cast<uint32_t>(v[1]);
  st.mode = static_cast<uint32_t>(v[2]);
  st.ctime = static_cast<int64_t>(v[3]);
  st.wtime = static_cast<int64_t>(v[4]);
  st.atime = static_cast<int64_t>(v[5]);
  st.uid = static_cast<uint32_t>(v[6]);
  st.gid = static_cast<uint32_t>(v[7]);
  os_set_stat ss = rdir_set_stat_of(st);
  if (os_file_set_stat(f, &ss) < 0) return fail_os(r);
  return ok(r);
}

wysd_action do_ioctl(req& r) {
  int64_t fd = static_cast<int64_t>(blobmsg_get_u64(r.tb[0]));
  int cmd = static_cast<int>(blobmsg_get_u32(r.tb[1]));
  std::string text = text_of(r.tb[3]);
  switch (cmd) {
    case WYSD_IOCTL_PACK:
      if (text.size() > 15 || sdcomp_select(&r.ctx().pack, text.c_str()) < 0) {
        sdcomp_select(&r.ctx().pack, "none");
        return fail(r, kENotSup, "unknown packing");
      }
      return ok(r);
    case WYSD_IOCTL_MKDIRS: {
      std::string path;
      if (!payload_path(r.tb[3], &path)) return fail(r, kEAccess);
      if (os_at_mkdirs(r.s->srv->root(), path.c_str()) < 0) return fail_os(r);
      return ok(r);
    }
    case WYSD_IOCTL_SET_PATH_TIMES:
      if (raw_of(r.tb[3]).find('\0') < text.size()) return fail(r, kEAccess);
      return set_path_times(r, text);
    case WYSD_IOCTL_SET_FILE_STAT:
      return set_file_stat(r, fd == 0 ? nullptr : file_of(r, r.tb[0]), text);
    case WYSD_IOCTL_SET_READ_TIMEOUT:
    case WYSD_IOCTL_SET_WRITE_TIMEOUT:
      // Local files do not wait: accepted for the clients that send them.
      if (fd != 0 && file_of(r, r.tb[0]) == nullptr) return fail(r, kEHandle);
      return ok(r);
    default:
      return fail(r, kENotSup);
  }
}

// ---------------------------------------------------------------------------
// Connection controls

/// Answers a control with `out` as its result, cut to the client's capacity.
wysd_action ok_data(req& r, std::string_view out, int32_t olen) {
  if (ok(r) != WYSD_SEND) return WYSD_CLOSE;
  size_t n = out.size();
  if (olen >= 0 && n > static_cast<size_t>(olen)) n = static_cast<size_t>(olen);
  blobmsg_add_field(&r.rsp(), BLOBMSG_TYPE_RAW, "data", out.data(), static_cast<int32_t>(n));
  return WYSD_SEND;
}

/// The context a control names: "0" (or empty) is the connection's own.
bool ctx_id_of(const std::string& text, uint64_t* id) {
  if (text.empty() || text == "0") {
    *id = 0;
    return true;
  }
  return parse_u64(text, 10, id);
}

wysd_action do_ctx(req& r, int cmd, const std::string& text, int32_t olen) {
  wysd_server* srv = r.s->srv;
  uint64_t id = 0;
  if (cmd != WYSD_IOCTL2_NEW_CTX && cmd != WYSD_IOCTL2_GET_CTX && !ctx_id_of(text, &id))
    return fail(r, kEParam);
  switch (cmd) {
    case WYSD_IOCTL2_NEW_CTX:
      if (srv->ctx_register(r.s->ctx) == 0) return fail(r, -8);
      return ok_data(r, "", olen);
    case WYSD_IOCTL2_GET_CTX:
      if (r.ctx().id == 0) return fail(r, kEParam, "no context");
      return ok_data(r, std::to_string(r.ctx().id), olen);
    case WYSD_IOCTL2_GET_LAST_CMD_IDX: {
      if (id == 0 || id == r.ctx().id) return ok_data(r, std::to_string(r.ctx().exec_count), olen);
      std::shared_ptr<wysd_ctx> c = srv->ctx_find(id, r.s->user);
      if (!c) return fail(r, -102);
      // Read while parked or held: the count is only written by its holder
      // and only used here after the holder was asked to stop.
      return ok_data(r, std::to_string(__atomic_load_n(&c->exec_count, __ATOMIC_ACQUIRE)), olen);
    }
    case WYSD_IOCTL2_CTX_RUN_STATUS: {
      int st = id == 0 ? 1 : srv->ctx_running(id, r.s->user);
      if (st < 0) return fail(r, -102);
      return ok_data(r, st ? "1" : "0", olen);
    }
    case WYSD_IOCTL2_CTX_REQ_STOP: {
      if (id == 0 || id == r.ctx().id) return fail(r, kEParam);
      int v = srv->ctx_stop(id, r.s->user);
      if (v != 0) return fail(r, v);
      return ok_data(r, "", olen);
    }
    case WYSD_IOCTL2_ATTACH_CTX:
    case WYSD_IOCTL2_ATTACH_CTX_REPLY: {
      if (id == 0 || id == r.ctx().id) return fail(r, kEParam);
      int v = 0;
      std::shared_ptr<wysd_ctx> c = srv->ctx_take(id, r.s->user, &r.s->nc.stop, &v);
      if (!c) {
        LOGW("peer=%s user=[%s] attach %llu refused: %s\n", r.s->peer.c_str(), r.s->user.c_str(),
             static_cast<unsigned long long>(id), verr2str(v));
        if (cmd == WYSD_IOCTL2_ATTACH_CTX_REPLY) return WYSD_CLOSE;  // it has no answer to carry the error
        return fail(r, v);
      }
      std::shared_ptr<wysd_ctx> mine = std::move(r.s->ctx);
      r.s->ctx = c;
      srv->ctx_release(mine, false);
      LOGI("peer=%s user=[%s] attached ctx %llu at %llu\n", r.s->peer.c_str(), r.s->user.c_str(),
           static_cast<unsigned long long>(id), static_cast<unsigned long long>(c->exec_count));
      // The stored response goes out as it is, with the code it answered.
      if (cmd == WYSD_IOCTL2_ATTACH_CTX_REPLY) return blob_buf_len(&c->rsp) >= 4 ? WYSD_SEND : WYSD_CLOSE;
      c->rsp_code = WYSD_CMD_IOCTL2;
      return ok_data(r, "", olen);
    }
    default:
      return fail(r, kENotSup);
  }
}

/// "base\tlist": the base directory and the list text of a multi-file command.
bool split_base(std::string_view text, std::string_view* base, std::string_view* list) {
  size_t t = text.find('\t');
  if (t == std::string_view::npos) return false;
  *base = text.substr(0, t);
  *list = text.substr(t + 1);
  return true;
}

wysd_action do_rdir(req& r, int cmd, const std::string& text, int32_t olen) {
  wysd_ctx& c = r.ctx();
  switch (cmd) {
    case WYSD_IOCTL2_RDIR_OPEN: {
      std::vector<std::string_view> f = fields(text);
      uint64_t flags = 0, wait = 0;
      if (f.size() != 3 || !parse_u64(f[1], 16, &flags) || !parse_u64(f[2], 10, &wait))
        return fail(r, kEParam);
      librdir_close(c.rdir);
      c.rdir = nullptr;
      cdir_err err;
      librdir_param p;
      p.flags = static_cast<uint32_t>(flags);
      p.read_timeout_ms = static_cast<int32_t>(wait > kMaxReaderWaitMs ? kMaxReaderWaitMs : wait);
      p.err = &err;
      p.root = r.s->srv->root();
      std::string path(f[0]);
      c.rdir = librdir_open(path.c_str(), p);
      if (c.rdir == nullptr) return fail(r, err.verr != 0 ? err.verr : -1);
      return ok_data(r, "", olen);
    }
    case WYSD_IOCTL2_RDIR_CLOSE:
      librdir_close(c.rdir);
      c.rdir = nullptr;
      return ok_data(r, "", olen);
    case WYSD_IOCTL2_RDIR_ENUM:
      if (c.rdir == nullptr) return fail(r, kEHandle);
      if (librdir_enum_dir(c.rdir, text.c_str()) < 0) return fail(r, -1);
      return ok_data(r, "", olen);
    case WYSD_IOCTL2_RDIR_READ: {
      if (c.rdir == nullptr) return fail(r, kEHandle);
      if (olen <= 0) return fail(r, kESize);
      size_t cap = static_cast<size_t>(olen < kMaxIoctlOut ? olen : kMaxIoctlOut);
      char* buf = reinterpret_cast<char*>(r.s->scratch.reserve(cap));
      if (buf == nullptr) return fail(r, -8);
      int n = librdir_read_item_list(c.rdir, buf, cap);
      if (n < 0) return fail(r, kEParam);
      return ok_data(r, std::string_view(buf, static_cast<size_t>(n)), olen);
    }
    default:
      return fail(r, kENotSup);
  }
}

wysd_action do_mfile(req& r, int cmd, std::string_view text, int32_t olen) {
  wysd_ctx& c = r.ctx();
  switch (cmd) {
    case WYSD_IOCTL2_MFILE_OPEN: {
      std::vector<std::string_view> f = fields(text);
      uint64_t size = 0, wait = 0;
      if (f.size() != 2 || !parse_u64(f[0], 10, &size) || !parse_u64(f[1], 10, &wait)) return fail(r, kEParam);
      if (size > kMaxMfileSize) return fail(r, kESize);
      libmfile_close(c.mfile);
      c.mfile = nullptr;
      cdir_err err;
      libmfile_param p;
      p.max_mfile_size = static_cast<uint32_t>(size);
      p.read_timeout_ms = static_cast<int32_t>(wait > kMaxReaderWaitMs ? kMaxReaderWaitMs : wait);
      p.err = &err;
      p.root = r.s->srv->root();
      p.threads = os_pool_size(r.s->srv->conf().write_threads, r.s->srv->conf().write_threads > 0 ? 16 : 4);
      c.mfile = libmfile_open(p);
      if (c.mfile == nullptr) return fail(r, err.verr != 0 ? err.verr : -8);
      return ok_data(r, "", olen);
    }
    case WYSD_IOCTL2_MFILE_CLOSE:
      libmfile_close(c.mfile);
      c.mfile = nullptr;
      return ok_data(r, "", olen);
    case WYSD_IOCTL2_MFILE_LIST_RET: {
      if (c.mfile == nullptr) return fail(r, kEHandle);
      if (olen <= 1) return fail(r, kESize);
      size_t cap = static_cast<size_t>(olen < kMaxIoctlOut ? olen : kMaxIoctlOut);
      char* buf = reinterpret_cast<char*>(r.s->scratch.reserve(cap));
      if (buf == nullptr) return fail(r, -8);
      int n = libmfile_get_list_ret(c.mfile, buf, cap);
      if (n < 0) return fail(r, kEParam);
      return ok_data(r, std::string_view(buf, static_cast<size_t>(n)), olen);
    }
    default: {
      uint32_t mcmd = 0;
      switch (cmd) {
        case WYSD_IOCTL2_MFILE_READ_LIST: mcmd = MFILE_CMD_READ_LIST; break;
        case WYSD_IOCTL2_MFILE_MKDIR_LIST: mcmd = MFILE_CMD_MKDIR_LIST; break;
        case WYSD_IOCTL2_MFILE_WRITE_LIST: mcmd = MFILE_CMD_WRITE_LIST; break;
        case WYSD_IOCTL2_MFILE_DEL_LIST: mcmd = MFILE_CMD_DEL_LIST; break;
        case WYSD_IOCTL2_MFILE_DEL_FILES: mcmd = MFILE_CMD_DEL_FILES; break;
        default: return fail(r, kENotSup);
      }
      if (c.mfile == nullptr) return fail(r, kEHandle);
      std::string_view base, list;
      if (!split_base(text, &base, &list)) return fail(r, kEParam);
      // An empty base would keep the object's current one; a peer always
      // names the directory it means.
      if (base.empty()) return fail(r, kEAccess);
      if (libmfile_cmd_add_list(c.mfile, mcmd, base, list) < 0) return fail(r, -1);
      return ok_data(r, "", olen);
    }
  }
}

wysd_action do_ioctl2(req& r) {
  int cmd = static_cast<int>(blobmsg_get_u32(r.tb[1]));
  int32_t olen = static_cast<int32_t>(blobmsg_get_u32(r.tb[3]));
  std::string_view raw = raw_of(r.tb[2]);
  // Control payloads are texts: a NUL before their end would hide the rest.
  while (!raw.empty() && raw.back() == '\0') raw.remove_suffix(1);
  if (raw.find('\0') != std::string_view::npos) return fail(r, kEAccess);
  // A list goes on from the receive buffer; the other controls are short.
  if (cmd >= WYSD_IOCTL2_MFILE_OPEN && cmd <= WYSD_IOCTL2_MFILE_DEL_FILES) return do_mfile(r, cmd, raw, olen);
  std::string text(raw);
  if (cmd >= 100 && cmd <= 110) return do_ctx(r, cmd, text, olen);
  if (cmd >= WYSD_IOCTL2_RDIR_OPEN && cmd <= WYSD_IOCTL2_RDIR_READ) return do_rdir(r, cmd, text, olen);
  return fail(r, kENotSup);
}

}  // namespace

wysd_action wysd_dispatch(wysd_session* s, int code, int32_t len) {
  req r{s, code};
  wysd_ctx& c = *s->ctx;
  c.rsp_code = code;
  if (code == WYSD_CMD_BYE) {
    s->bye = true;
    return WYSD_CLOSE;
  }
  const wysd_msg_policy* pol = policy_of(code);
  wysd_action a;
  bool counted = true;
  if (pol == nullptr) {
    LOGD("peer=%s unknown request code=%d\n", s->peer.c_str(), code);
    a = fail(r, kENotSup);
  } else if (pol->req_n > static_cast<int>(sizeof r.tb / sizeof r.tb[0]) ||
             wysd_srv_parse_request(pol, &s->rb, len, r.tb) < 0) {
    LOGD("peer=%s code=%d malformed request\n", s->peer.c_str(), code);
    a = fail(r, kEParam, "malformed request");
  } else if (!s->logged_in && code != WYSD_CMD_LOGIN && code != WYSD_CMD_LOGIN2 && code != WYSD_CMD_LOGIN3) {
    a = fail(r, kEAuth);
  } else {
    switch (code) {
      case WYSD_CMD_LOGIN: a = do_login(r); break;
      case WYSD_CMD_LOGIN2: a = do_login2(r); break;
      case WYSD_CMD_LOGIN3: a = do_login3(r); break;
      case WYSD_CMD_INFO: a = do_info(r); break;
      case WYSD_CMD_OPEN: a = do_open(r); break;
      case WYSD_CMD_CLOSE: a = do_close(r); break;
      case WYSD_CMD_READ: a = do_read(r, false); break;
      case WYSD_CMD_PREAD: a = do_read(r, true); break;
      case WYSD_CMD_WRITE: a = do_write(r, false); break;
      case WYSD_CMD_PWRITE: a = do_write(r, true); break;
      case WYSD_CMD_SEEK: a = do_seek(r); break;
      case WYSD_CMD_IOCTL: a = do_ioctl(r); break;
      case WYSD_CMD_IOCTL2: {
        int cmd = static_cast<int>(blobmsg_get_u32(r.tb[1]));
        // An attach replaces the context; the count of the one attached
        // goes on with the client's next request.
        counted = cmd != WYSD_IOCTL2_ATTACH_CTX && cmd != WYSD_IOCTL2_ATTACH_CTX_REPLY;
        a = do_ioctl2(r);
        break;
      }
      default: a = fail(r, kENotSup); break;
    }
  }
  if (counted) __atomic_add_fetch(&s->ctx->exec_count, 1, __ATOMIC_RELEASE);
  return a;
}
