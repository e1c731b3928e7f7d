// Frames from a hostile peer into the request dispatcher: a stream of bytes
// is cut into frames by the server's own reader and each request runs
// against a scratch root. Nothing may crash, hang or read out of bounds.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "liblog.h"
#include "srv.h"

namespace {

wysd_server* server() {
  static wysd_server* srv = [] {
    char tmpl[] = "/tmp/wysd_fuzz_XXXXXX";
    wysd_conf c;
    c.root = mkdtemp(tmpl);
    c.users["u"] = "p";  // a login is needed, as on a real server
    c.max_frame = 1024 * 1024;
    auto* s = new wysd_server(c);
    if (s->open_root() < 0) abort();
    return s;
  }();
  return srv;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, "crit");
    return true;
  }();
  (void)quiet;
  wysd_session s;
  s.srv = server();
  s.nc.stop.store(1);  // a failed login answers at once instead of after its delay
  // The first byte decides whether the peer starts logged in, so the
  // handlers behind the login are reached too.
  if (size > 0 && (data[0] & 1)) {
    s.logged_in = true;
    s.user = "u";
  }
  s.ctx = std::make_shared<wysd_ctx>();
  s.ctx->user = s.user;
  net_conn in;
  if (net_mem_init(&in, data, size) < 0) return 0;
  in.timeout = 0;
  for (int i = 0; i < 64; i++) {
    uint8_t code = 0;
    int32_t len = 0;
    bool too_long = false;
    int32_t max = s.logged_in ? 1024 * 1024 : WYSD_PRELOGIN_FRAME;
    if (wysd_srv_recv_request(&in, &code, &s.rb, &len, max, &too_long) != WYSD_ST_OK) break;
    wysd_action a = wysd_dispatch(&s, code, len);
    if (a == WYSD_SEND && blob_buf_len(&s.ctx->rsp) < 4) abort();  // every answer is a message
    if (a == WYSD_CLOSE) break;
  }
  s.srv->ctx_release(s.ctx, false);  // registered or not, it goes now
  net_close(&in);
  return 0;
}
