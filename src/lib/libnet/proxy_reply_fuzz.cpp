// libFuzzer target: proxy replies are whatever the proxy (or whoever answers
// on its port) sends. The first byte picks the parser; the rest is the reply.
// Besides crashes, the properties the handshakes rely on are checked: the
// HTTP header ends only right after an empty line and within its bounds, and
// a SOCKS5 reply never asks for more than its buffer or for less than it has.
#include <cstddef>
#include <cstdint>
#include <string>

#include "proxy_reply.h"

namespace {

void http(const uint8_t* d, size_t n) {
  if (n < kProxyHttpHead) return;
  int digit = proxy_http_status_digit(d);
  if (digit < -1 || digit > 9) __builtin_trap();
  proxy_http_hdr h;
  for (size_t i = kProxyHttpHead; i < n; i++) {
    int r = proxy_http_hdr_feed(&h, d[i]);
    if (r == PROXY_HDR_MORE) continue;
    if (i - kProxyHttpHead + 1 + kProxyHttpHead > kProxyHttpHeaderMax) __builtin_trap();
    if (r == PROXY_HDR_END) {
      // A line end (CR LF), then only CRs, then LF: CR LF CR LF, CR LF LF.
      size_t j = i - 1;
      while (j > kProxyHttpHead && d[j] == '\r') j--;
      if (d[i] != '\n' || j <= kProxyHttpHead || d[j] != '\n' || d[j - 1] != '\r') __builtin_trap();
    } else if (r != PROXY_HDR_LINE_LONG && r != PROXY_HDR_LINES && r != PROXY_HDR_BIG) {
      __builtin_trap();
    }
    std::string msg = proxy_http_hdr_errstr(r);
    return;
  }
}

void socks(const uint8_t* d, size_t n) {
  if (n >= 8) (void)proxy_sock4_reply_ok(d);
  // Read the SOCKS5 connect reply as the handshake does: ask for what is
  // missing until the length stops growing.
  size_t have = 0;
  for (int step = 0; step < 8; step++) {
    size_t need = proxy_sock5_reply_len(d, have);
    if (need > kProxySock5ReplyMax) __builtin_trap();
    if (need <= have) break;
    if (need > n) break;  // the proxy closed early
    have = need;
  }
  if (n >= 2) (void)proxy_sock5_errstr(d[1]).size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    http(data + 1, size - 1);
  } else {
    socks(data + 1, size - 1);
  }
  return 0;
}
