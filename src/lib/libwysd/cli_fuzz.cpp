// Responses from a hostile server into the client's request functions: the
// input is the byte stream the server sends, read through the connection's
// stream hooks while the requests themselves go nowhere. Each call parses
// its response as it would on a live connection (information text, file
// opens, reads into a small buffer, writes, seeks, controls with results),
// so a response that claims more than it holds or more than the caller's
// buffer must be refused, never copied.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "liblog.h"
#include "libwysd.h"
#include "pal_file.h"
#include "wysd_cli_imp.h"

namespace {

struct feed {
  const uint8_t* p;
  size_t left;
};

int feed_read(net_conn* nc, void* buf, int len) {
  auto* f = static_cast<feed*>(nc->ssl);
  size_t n = f->left < static_cast<size_t>(len) ? f->left : static_cast<size_t>(len);
  memcpy(buf, f->p, n);
  f->p += n;
  f->left -= n;
  return static_cast<int>(n);  // 0 at the end: the peer has gone
}
int feed_write(net_conn*, const void*, int len) { return len; }
void feed_close(net_conn* nc) { nc->ssl = nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (log2_set_console(nullptr, 0), true);
  (void)quiet;
  if (size < 2 || size > (1u << 20)) return 0;
  feed f{data + 2, size - 2};
  auto* ctx = new wysd_cli_ctx;
  ctx->nc.ssl = &f;  // the hooks run only for a stream with a channel
  ctx->nc.read_proc = feed_read;
  ctx->nc.write_proc = feed_write;
  ctx->nc.close_proc = feed_close;
  ctx->nc.timeout = 0;
  ctx->block_size = 4096;  // several chunks per read call
  // The first bytes pick the codec and the server's kind, so both unpack
  // paths and both offset conventions are reached.
  if (sdcomp_select(&ctx->pack, data[0] & 1 ? "lz4" : "none") != 0) {
    delete ctx;
    return 0;
  }
  ctx->pos_io = (data[0] & 2) != 0;
  ctx->win_srv = (data[0] & 4) != 0;
  const int order = data[1] % 4;

  char info[512];
  if (cli_info(ctx, info, sizeof info) == WYSD_ST_OK) {
    if (strnlen(info, sizeof info) == sizeof info) __builtin_trap();  // always terminated
    wysd_srv_info si;
    wysd_parse_info(info, &si);
    wysd_cli_apply_info(ctx, si);
  }
  if (order == 1 && wysd_cli_set_auto_reconnect(ctx) == 0) {
    // A repair would reconnect to a real server: not here.
    wysd_cli_clear_auto_reconnect(ctx);
  }
  char out[64];
  int32_t olen = -1;
  if (wysd_cli_ioctl2(ctx, 10123, "dir", -1, out, sizeof out, &olen) == 0 &&
      (olen < 0 || olen > static_cast<int32_t>(sizeof out)))
    __builtin_trap();
  wysd_cli_text_ctl(ctx, 10135, "a", "b");
  wysd_cli_file* file = wysd_cli_open(ctx, "/f", OS_FILE_RDWR);
  if (file != nullptr) {
    std::vector<uint8_t> buf(3 * 4096 + 5);
    int64_t got = wysd_cli_read(file, buf.data(), static_cast<int64_t>(buf.size()), order == 2 ? 100 : -1);
    if (got > static_cast<int64_t>(buf.size())) __builtin_trap();
    wysd_cli_write(file, buf.data(), 5000, -1);
    wysd_cli_seek(file, 7);
    wysd_cli_ioctl(file, 10039, "", -1);
    wysd_cli_ioctl2(file, 10030, "x", -1, out, sizeof out, &olen);
    wysd_cli_close(file);
  }
  wysd_cli_exit_imp(ctx);
  return 0;
}
