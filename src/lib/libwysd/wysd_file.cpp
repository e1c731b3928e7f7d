// Remote files and controls on a wysd connection: open, read and write in
// blocks, seek, close, file and connection controls, and the server's
// directory reader and multi-file object.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "liblog.h"
#include "libwysd.h"
#include "pal_url.h"
#include "wysd_cli_imp.h"

WY_LOG_TAG("sdcli");

namespace {

constexpr int32_t kSmallBlock = 204800;
constexpr int32_t kBigReply = 2097152;
const uint8_t kNothing[1] = {0};

bool stream_open(const wysd_cli_ctx* ctx) { return ctx->nc.handle != 0 || ctx->nc.type != NET_SOCK_TYPE; }

// Sends ctx->req as `code`, receives and parses with the response set of
// `code` into tb. Returns a status.
int exchange(wysd_cli_ctx* ctx, int code, const blob_attr** tb) {
  const wysd_msg_policy* pol = wysd_msg_policy_get(code);
  if (ctx->req_ext != nullptr)
    client_send_reqest_ext(ctx, code);
  else
    client_send_reqest(ctx, code, blob_buf_data(&ctx->req), blob_buf_len(&ctx->req));
  int32_t len = 0;
  int st = client_recv_response(ctx, &len);
  if (st != WYSD_ST_OK) {
    LOGD("client_recv_response ret=%d\n", st);
    return st;
  }
  st = client_parse_response(ctx, len, pol->rsp, pol->rsp_n, tb);
  if (st == WYSD_ST_NET_DATA_ERROR) LOGD("parse data error\n");
  return st;
}

int32_t payload_len(const void* data, int32_t len) {
  if (len >= 0) return len;
  return data != nullptr ? static_cast<int32_t>(strlen(static_cast<const char*>(data)) + 1) : 0;
}

// One read request of `n` bytes (at `off` when it is not negative).
int cli_read_imp(wysd_cli_ctx* ctx, int64_t fd, uint8_t* buf, int32_t n, int64_t off, int32_t* got) {
  blob_buf* b = &ctx->req;
  if (blob_buf_init(b) < 0 || blobmsg_add_u64(b, "fd", static_cast<uint64_t>(fd)) < 0 ||
      blobmsg_add_u32(b, "len", static_cast<uint32_t>(n)) < 0 ||
      (off >= 0 && blobmsg_add_u64(b, "offset", static_cast<uint64_t>(off)) < 0))
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[5];
  // Data that travels raw (unpacked, or LZ4 literals alone) may go
  // straight from the socket into the caller's buffer.
  ctx->rsp_sink = buf;
  ctx->rsp_sink_cap = n;
  int st = exchange(ctx, off >= 0 ? WYSD_CMD_PREAD : WYSD_CMD_READ, tb);
  ctx->rsp_sink = nullptr;
  int32_t direct = ctx->rsp_sink_got;
  ctx->rsp_sink_got = -1;
  if (st != WYSD_ST_OK) return st;
  if (direct >= 0) {
    *got = direct;
    return WYSD_ST_OK;
  }
  int32_t plen = blobmsg_data_len(tb[4]);
  int r = sdcomp_unpack(&ctx->pack, blobmsg_data(tb[4]), plen, buf, n);
  if (r < 0) {
    LOGD("sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", plen, n, r);
    return WYSD_ST_UNPACK_ERROR;
  }
  *got = r;
  return WYSD_ST_OK;
}

// One write request of `n` bytes, packed (at `off` when not negative).
int cli_write_imp(wysd_cli_ctx* ctx, int64_t fd, const uint8_t* data, int32_t n, int64_t off, int32_t* wrote) {
  blob_buf* b = &ctx->req;
  if (blob_buf_init(b) < 0 || blobmsg_add_u64(b, "fd", static_cast<uint64_t>(fd)) < 0 ||
      blobmsg_add_u32(b, "flags", 0) < 0 || blobmsg_add_u32(b, "len", static_cast<uint32_t>(n)) < 0 ||
      (off >= 0 && blobmsg_add_u64(b, "offset", static_cast<uint64_t>(off)) < 0))
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[3];
  int st;
  if (sdcomp_goes_raw(&ctx->pack, data, n)) {
    // Data that travels as it is (unpacked, or as LZ4 literals behind
    // their head) goes from the caller's buffer behind the message head:
    // the same bytes as a copy into the message would send.
    int32_t head = 0, lead = sdcomp_raw_head(&ctx->pack, n, nullptr);
    void* lead_at = nullptr;
    if (lead < 0 || blobmsg_add_ext(b, BLOBMSG_TYPE_RAW, "data", lead + n, &head, lead, &lead_at) == nullptr)
      return WYSD_ST_MEMORY_ERROR;
    sdcomp_raw_head(&ctx->pack, n, lead_at);
    ctx->req_ext = data;
    ctx->req_ext_len = n;
    ctx->req_head = head;
    st = exchange(ctx, off >= 0 ? WYSD_CMD_PWRITE : WYSD_CMD_WRITE, tb);
    ctx->req_ext = nullptr;
    ctx->req_ext_len = ctx->req_head = 0;
    // The message no longer has its payload: nothing may send it again.
    blob_buf_init(b);
  } else {
    int bound = sdcomp_bound(n);
    void* out = nullptr;
    blob_attr* a = blobmsg_reserve(b, BLOBMSG_TYPE_RAW, "data", bound, &out);
    if (a == nullptr) return WYSD_ST_MEMORY_ERROR;
    int packed = sdcomp_pack(&ctx->pack, data, n, out, bound);
    if (packed < 0 || blobmsg_shrink(b, a, packed) != 0) return WYSD_ST_UNPACK_ERROR;
    st = exchange(ctx, off >= 0 ? WYSD_CMD_PWRITE : WYSD_CMD_WRITE, tb);
  }
  if (st != WYSD_ST_OK) return st;
  *wrote = static_cast<int32_t>(blobmsg_get_u32(tb[2]));
  return WYSD_ST_OK;
}

int close_imp(wysd_cli_file* f) {
  wysd_cli_ctx* ctx = f->conn;
  int st = WYSD_ST_OK;
  if (stream_open(ctx)) {
    if (blob_buf_init(&ctx->req) < 0 || blobmsg_add_u64(&ctx->req, "fd", static_cast<uint64_t>(f->fd)) < 0) {
      st = WYSD_ST_MEMORY_ERROR;
    } else {
      const blob_attr* tb[2];
      st = exchange(ctx, WYSD_CMD_CLOSE, tb);
    }
    wysd_cli_set_last_error(ctx, st);
  }
  delete f;
  return st == WYSD_ST_OK ? 0 : -1;
}

// A file handle whose connection is valid, or null.
wysd_cli_ctx* file_ctx(wysd_cli_file* f) {
  if (f == nullptr) return nullptr;
  if (f->type != 1) {
    LOGE("invalid handle\n");
    return nullptr;
  }
  return f->conn;
}

void warn_timeout(wysd_cli_ctx* ctx, const char* what) {
  const char* why = "invalid handle";
  if (ctx != nullptr) why = ctx->err->msg.empty() ? verr2str(ctx->err->verr) : ctx->err->msg.c_str();
  LOGW("warn: %s %s\n", what, why);
}

}  // namespace

int cli_ioctl2_imp(wysd_cli_ctx* ctx, int64_t fd, int code, const void* data, int32_t len, void* out,
                   int32_t cap, int32_t* out_len) {
  if (out_len != nullptr) *out_len = 0;
  if (data == nullptr) data = kNothing, len = 0;
  blob_buf* b = &ctx->req;
  if (blob_buf_init(b) < 0 || blobmsg_add_u64(b, "fd", static_cast<uint64_t>(fd)) < 0 ||
      blobmsg_add_u32(b, "cmd", static_cast<uint32_t>(code)) < 0 ||
      blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", data, len) < 0 ||
      blobmsg_add_u32(b, "olen", static_cast<uint32_t>(cap)) < 0)
    return WYSD_ST_MEMORY_ERROR;
  int st = client_send_reqest(ctx, WYSD_CMD_IOCTL2, blob_buf_data(b), blob_buf_len(b));
  if (code == WYSD_IOCTL2_ATTACH_CTX_REPLY) return st;  // answered by the stored response
  // A context control failing must not start a repair that sends them.
  bool was = ctx->auto_reconnect;
  if (code >= 100 && code <= 110) ctx->auto_reconnect = false;
  int32_t rlen = 0;
  st = client_recv_response(ctx, &rlen);
  ctx->auto_reconnect = was;
  if (st != WYSD_ST_OK) return st;
  const wysd_msg_policy* pol = wysd_msg_policy_get(WYSD_CMD_IOCTL2);
  const blob_attr* tb[3];
  st = client_parse_response(ctx, rlen, pol->rsp, pol->rsp_n, tb);
  if (st != WYSD_ST_OK) return st;
  int32_t n = std::min(blobmsg_data_len(tb[2]), cap);
  if (out != nullptr && n > 0) {
    memcpy(out, blobmsg_data(tb[2]), static_cast<size_t>(n));
    if (out_len != nullptr) *out_len = n;
  }
  return WYSD_ST_OK;
}

int cli_file_ioctl(wysd_cli_ctx* ctx, int64_t fd, int code, const void* data, int32_t len) {
  if (data == nullptr) data = kNothing, len = 0;
  blob_buf* b = &ctx->req;
  if (blob_buf_init(b) < 0 || blobmsg_add_u64(b, "fd", static_cast<uint64_t>(fd)) < 0 ||
      blobmsg_add_u32(b, "cmd", static_cast<uint32_t>(code)) < 0 ||
      blobmsg_add_u32(b, "len", static_cast<uint32_t>(len)) < 0 ||
      blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", data, len) < 0)
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[2];
  int st = exchange(ctx, WYSD_CMD_IOCTL, tb);
  if (st != WYSD_ST_OK) return st;
  if (code == WYSD_IOCTL_PACK) {
    std::string name(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), static_cast<size_t>(len)));
    if (sdcomp_select(&ctx->pack, name.c_str()) != 0) {
      LOGD("cli_ioctl_imp ret=%d\n", -1);
      return -1;
    }
  }
  return WYSD_ST_OK;
}

int cli_open(wysd_cli_ctx* ctx, const char* path, uint32_t flags, int64_t* fd) {
  LOGV("%s mode=%d\n", path, static_cast<int>(flags));
  blob_buf* b = &ctx->req;
  // The flags go out sign-extended, as the server reads them.
  if (blob_buf_init(b) < 0 || blobmsg_add_string(b, "path", path) < 0 ||
      blobmsg_add_u64(b, "mode", static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(flags)))) < 0)
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[3];
  int st = exchange(ctx, WYSD_CMD_OPEN, tb);
  if (st == WYSD_ST_OK) *fd = static_cast<int64_t>(blobmsg_get_u64(tb[2]));
  return st;
}

int cli_seek(wysd_cli_ctx* ctx, int64_t fd, uint64_t offset, uint64_t* out) {
  LOGV("offset=%llu mode=%d\n", static_cast<unsigned long long>(offset), 0);
  blob_buf* b = &ctx->req;
  if (blob_buf_init(b) < 0 || blobmsg_add_u64(b, "fd", static_cast<uint64_t>(fd)) < 0 ||
      blobmsg_add_u64(b, "offset", offset) < 0 || blobmsg_add_u64(b, "mode", 0) < 0)
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[3];
  int st = exchange(ctx, WYSD_CMD_SEEK, tb);
  if (st == WYSD_ST_OK) *out = blobmsg_get_u64(tb[2]);
  return st;
}

void wysd_cli_close_all(wysd_cli_ctx* ctx) {
  std::vector<wysd_cli_file*> files;
  files.swap(ctx->files);
  for (wysd_cli_file* f : files) close_imp(f);
}

wysd_cli_file* wysd_cli_open(wysd_cli_ctx* ctx, const char* path, uint32_t flags) {
  if (cli_get_ctx(ctx, nullptr) != ctx || ctx == nullptr || path == nullptr) return nullptr;
  auto* f = new (std::nothrow) wysd_cli_file;
  if (f == nullptr) {
    wysd_cli_set_last_error(ctx, WYSD_ST_MEMORY_ERROR);
    return nullptr;
  }
  f->conn = ctx;
  f->path = path;
  f->flags = flags;
  f->rd_timeout_pending = f->wr_timeout_pending = ctx->win_srv;
  int st = cli_open(ctx, path, flags, &f->fd);
  wysd_cli_set_last_error(ctx, st);
  if (st != WYSD_ST_OK) {
    delete f;
    return nullptr;
  }
  ctx->files.push_back(f);
  return f;
}

int wysd_cli_close(wysd_cli_file* f) {
  wysd_cli_ctx* ctx = file_ctx(f);
  if (ctx == nullptr) return -1;
  auto it = std::find(ctx->files.begin(), ctx->files.end(), f);
  if (it != ctx->files.end()) ctx->files.erase(it);
  return close_imp(f);
}

int64_t wysd_cli_seek(wysd_cli_file* f, uint64_t offset) {
  wysd_cli_ctx* ctx = file_ctx(f);
  if (ctx == nullptr) return -1;
  uint64_t at = 0;
  int st = cli_seek(ctx, f->fd, offset, &at);
  wysd_cli_set_last_error(ctx, st);
  if (st != WYSD_ST_OK) return -1;
  f->offset = at;
  return static_cast<int64_t>(at);
}

int64_t wysd_cli_read(wysd_cli_file* f, void* buf, int64_t count, int64_t offset) {
  wysd_cli_ctx* ctx = file_ctx(f);
  if (ctx == nullptr || count < 0 || (buf == nullptr && count > 0)) return -1;
  if (f->rd_timeout_pending) {
    if (wysd_cli_set_fd_read_timeout(f, ctx->read_timeout - 1000) != 0) return -1;
    f->rd_timeout_pending = false;
  }
  if (offset >= 0) {
    if (!ctx->pos_io && wysd_cli_seek(f, static_cast<uint64_t>(offset)) < 0) return -1;
    f->offset = static_cast<uint64_t>(offset);
  }
  auto* p = static_cast<uint8_t*>(buf);
  uint8_t none[1];
  if (p == nullptr) p = none;
  int64_t total = 0, left = count;
  int retry = 0;
  for (;;) {
    auto chunk = static_cast<int32_t>(std::min<int64_t>(ctx->block_size, left));
    int32_t got = 0;
    int64_t at = ctx->pos_io && offset >= 0 ? static_cast<int64_t>(f->offset) : -1;
    int st = cli_read_imp(ctx, f->fd, p + total, chunk, at, &got);
    wysd_cli_set_last_error(ctx, st);
    if (st == WYSD_ST_OK) {
      retry = 0;
      total += got;
      f->offset += static_cast<uint64_t>(got);
      ctx->max_reply = std::max(ctx->max_reply, got);
      left -= chunk;
      if (left == 0 || got < chunk) return total;
      continue;
    }
    int code = ctx->err->verr;
    if (code == -258 || code == -102 || chunk <= kSmallBlock || ctx->max_reply >= kBigReply) return -1;
    // A large reply may be what broke the connection: smaller ones from now on.
    ctx->block_size = kSmallBlock;
    LOGD("ctx->block_size=%d!!\n", kSmallBlock);
    if (retry >= 1) {
      LOGE("error: count++>=1\n");
      return -1;
    }
    retry++;
    if (wysd_cli_restart_work(ctx, f) != 0) return -1;
  }
}

int64_t wysd_cli_write(wysd_cli_file* f, const void* data, int64_t count, int64_t offset) {
  wysd_cli_ctx* ctx = file_ctx(f);
  if (ctx == nullptr || count < 0 || (data == nullptr && count > 0)) return -1;
  if (f->wr_timeout_pending) {
    wysd_cli_set_fd_write_timeout(f, ctx->write_timeout);
    f->wr_timeout_pending = false;
  }
  if (offset >= 0) {
    if (!ctx->pos_io && wysd_cli_seek(f, static_cast<uint64_t>(offset)) < 0) return -1;
    f->offset = static_cast<uint64_t>(offset);
  }
  const auto* p = data != nullptr ? static_cast<const uint8_t*>(data) : kNothing;
  int64_t total = 0, left = count;
  for (;;) {
    auto chunk = static_cast<int32_t>(std::min<int64_t>(ctx->block_size, left));
    int32_t wrote = 0;
    int64_t at = ctx->pos_io && offset >= 0 ? static_cast<int64_t>(f->offset) : -1;
    int st = cli_write_imp(ctx, f->fd, p + total, chunk, at, &wrote);
    wysd_cli_set_last_error(ctx, st);
    if (st != WYSD_ST_OK) return -1;
    f->offset += static_cast<uint64_t>(wrote);
    total += wrote;
    left -= chunk;
    if (left == 0 || wrote < chunk) return total;
  }
}

int wysd_cli_ioctl(void* handle, int code, const void* data, int32_t len) {
  int64_t fd = 0;
  wysd_cli_ctx* ctx = cli_get_ctx(handle, &fd);
  if (ctx == nullptr) return -1;
  int st = cli_file_ioctl(ctx, fd, code, data, payload_len(data, len));
  wysd_cli_set_last_error(ctx, st);
  return st == WYSD_ST_OK ? 0 : -1;
}

int wysd_cli_ioctl2(void* handle, int code, const void* data, int32_t len, void* out, int32_t cap,
                    int32_t* out_len) {
  wysd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
  if (ctx == nullptr) return -1;
  int st = cli_ioctl2_imp(ctx, 0, code, data, payload_len(data, len), out, cap, out_len);
  wysd_cli_set_last_error(ctx, st);
  return st == WYSD_ST_OK ? 0 : -1;
}

int wysd_cli_text_ctl(wysd_cli_ctx* ctx, int code, const char* a, const char* b) {
  std::string_view first = a != nullptr ? a : "", second = b != nullptr ? b : "";
  std::string text;
  text.reserve(first.size() + 1 + second.size());
  text += first;
  if (b != nullptr) {
    text += '\t';
    text += second;
  }
  return wysd_cli_ioctl2(ctx, code, text.c_str(), static_cast<int32_t>(text.size() + 1), nullptr, 0, nullptr);
}

// The reader and the multi-file object run on the server from 1.7.8 on.
static bool srv_has_objects(wysd_cli_ctx* ctx) {
  if (str_version_to_u64(ctx->srv_ver.c_str()) >= str_version_to_u64("1.7.8")) return true;
  CDIR_ERR_SET(ctx->err, -12, "not supported, please upgrade wysd to the latest version");
  return false;
}

int wysd_cli_rdir_open(wysd_cli_ctx* ctx, const char* path, uint32_t flags, int32_t param) {
  if (cli_get_ctx(ctx, nullptr) == nullptr || path == nullptr || !srv_has_objects(ctx)) return -1;
  char text[128];
  snprintf(text, sizeof text, "%s\t%x\t%d", path, flags, param);
  return wysd_cli_ioctl2(ctx, WYSD_IOCTL2_RDIR_OPEN, text, -1, nullptr, 0, nullptr);
}

int wysd_cli_mfile_open(wysd_cli_ctx* ctx, int32_t p1, int32_t p2) {
  if (cli_get_ctx(ctx, nullptr) == nullptr || !srv_has_objects(ctx)) return -1;
  char text[64];
  snprintf(text, sizeof text, "%d\t%d", p1, p2);
  return wysd_cli_ioctl2(ctx, WYSD_IOCTL2_MFILE_OPEN, text, -1, nullptr, 0, nullptr);
}

int wysd_cli_set_fd_read_timeout(wysd_cli_file* f, int32_t ms) {
  char text[16];
  snprintf(text, sizeof text, "%d", ms);
  if (wysd_cli_ioctl(f, WYSD_IOCTL_SET_READ_TIMEOUT, text, -1) == 0) return 0;
  warn_timeout(cli_get_ctx(f, nullptr), "set_read_timeout");
  return -1;
}

int wysd_cli_set_fd_write_timeout(wysd_cli_file* f, int32_t ms) {
  char text[16];
  snprintf(text, sizeof text, "%d", ms);
  if (wysd_cli_ioctl(f, WYSD_IOCTL_SET_WRITE_TIMEOUT, text, -1) == 0) return 0;
  warn_timeout(cli_get_ctx(f, nullptr), "set_write_timeout");
  return -1;
}
