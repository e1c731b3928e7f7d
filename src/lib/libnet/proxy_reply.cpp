// Reply parsers of the proxy handshakes (see proxy_reply.h).
#include "proxy_reply.h"

#include <cstring>

#include "libpal.h"

int proxy_http_status_digit(const uint8_t* head) {
  if (memcmp(head, "HTTP/", 5) != 0 || head[8] != ' ') return -1;
  for (size_t i = 9; i < kProxyHttpHead; i++)
    if (head[i] < '0' || head[i] > '9') return -1;
  return head[9] - '0';
}

int proxy_http_hdr_feed(proxy_http_hdr* h, uint8_t c) {
  if (++h->total > kProxyHttpHeaderMax) return PROXY_HDR_BIG;
  if (c == '\n') {
    if (h->seen_cr) {
      if (h->seen_le) return PROXY_HDR_END;
      h->seen_le = true;
    } else {
      h->seen_le = false;
    }
    h->line_len = 0;
    if (++h->lines > kProxyHttpLinesMax) return PROXY_HDR_LINES;
    return PROXY_HDR_MORE;
  }
  if (++h->line_len > kProxyHttpLineMax) return PROXY_HDR_LINE_LONG;
  if (c == '\r') {
    h->seen_cr = true;
  } else {
    h->seen_cr = false;
    h->seen_le = false;
  }
  return PROXY_HDR_MORE;
}

const char* proxy_http_hdr_errstr(int r) {
  switch (r) {
    case PROXY_HDR_LINE_LONG: return "proxy reply line too long";
    case PROXY_HDR_LINES: return "proxy reply has too many header lines";
    case PROXY_HDR_BIG: return "proxy reply header too long";
    default: return "proxy read return error";
  }
}

bool proxy_sock4_reply_ok(const uint8_t* reply) { return reply[0] == 0x00 && reply[1] == 0x5A; }

size_t proxy_sock5_reply_len(const uint8_t* buf, size_t have) {
  if (have < 4) return 4;
  if (buf[0] != 0x05 || buf[1] != 0x00) return 4;
  switch (buf[3]) {
    case 0x01: return 4 + 4 + 2;
    case 0x04: return 4 + 16 + 2;
    case 0x03:
      if (have < 5) return 5;
      return 5 + static_cast<size_t>(buf[4]) + 2;
    default: return 4;
  }
}

std::string proxy_sock5_errstr(int code) {
  switch (code) {
    case 1: return "General SOCKS server failure!";
    case 2: return "Connection not allowed by ruleset!";
    case 3: return "Network unreachable!";
    case 4: return "Host unreachable!";
    case 5: return "Connection refused!";
    case 6: return "TTL (packet time to live) expired!";
    case 7: return "SOCKS Command not supported!";
    case 8: return "Address type not supported!";
    default: return str_format("proxy unkown error: %d", code);
  }
}
