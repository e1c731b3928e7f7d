// Reply parsers of the proxy handshakes, apart from the socket: the bytes a
// proxy sends are hostile input, so every decision about them is made here,
// where the unit tests and the fuzz targets can feed them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// Bytes of an HTTP reply read before the header tail: "HTTP/1.1 200".
inline constexpr size_t kProxyHttpHead = 12;
/// Bounds of an HTTP CONNECT reply header: one line (the status line
/// included), the number of lines, and the whole header. A proxy that goes
/// beyond them is refused rather than read for ever.
inline constexpr uint32_t kProxyHttpLineMax = 4096;
inline constexpr uint32_t kProxyHttpLinesMax = 100;
inline constexpr uint32_t kProxyHttpHeaderMax = 65536;

/// The first digit of the status code of a reply that begins with `head`
/// ("HTTP/x.y ddd", exactly kProxyHttpHead bytes), or -1 when the bytes are
/// not the start of an HTTP status line.
int proxy_http_status_digit(const uint8_t* head);

/// Finds the end of an HTTP reply header one byte at a time, so nothing
/// beyond it (the first bytes of the tunnel) is ever consumed. A CR arms the
/// end of a line; CR LF ends a line, and a second line end right after it
/// (CR LF CR LF, also CR LF LF) ends the header.
struct proxy_http_hdr {
  bool seen_cr = false;
  bool seen_le = false;
  uint32_t line_len = kProxyHttpHead;  // the status line's first bytes are read already
  uint32_t lines = 0;
  uint32_t total = kProxyHttpHead;
};

enum : int {
  PROXY_HDR_MORE = 0,        // feed the next byte
  PROXY_HDR_END = 1,         // the header is complete
  PROXY_HDR_LINE_LONG = -1,  // a line went beyond kProxyHttpLineMax
  PROXY_HDR_LINES = -2,      // more than kProxyHttpLinesMax lines
  PROXY_HDR_BIG = -3,        // more than kProxyHttpHeaderMax bytes
};

/// Feeds one byte; returns a PROXY_HDR_* value. After END or an error the
/// state must not be fed again.
int proxy_http_hdr_feed(proxy_http_hdr* h, uint8_t c);
/// The message for a negative PROXY_HDR_* value.
const char* proxy_http_hdr_errstr(int r);

/// True when a SOCKS4 reply (8 bytes) grants the request.
bool proxy_sock4_reply_ok(const uint8_t* reply);

/// Length of a SOCKS5 connect reply of which the first `have` bytes are at
/// `buf`: 4 until the head is there; 5 for a name address until its length
/// byte is there; then head, bound address and port. A head that is not a
/// success (version 5, code 0) or has an unknown address type is 4 bytes long.
size_t proxy_sock5_reply_len(const uint8_t* buf, size_t have);
/// The longest reply proxy_sock5_reply_len can ask for.
inline constexpr size_t kProxySock5ReplyMax = 4 + 1 + 255 + 2;
/// The message for a SOCKS5 reply code.
std::string proxy_sock5_errstr(int code);
