// Frames: writing and reading one frame on a stream, the client's send and
// receive steps, and the client status names.
#include <algorithm>
#include <cstring>
#include <new>

#include "liblog.h"
#include "libwysd.h"

WY_LOG_TAG("sdcli");

const char* client_status_str(int status) {
  static const char* const names[] = {
      "ok",           "net error",       "net data error",    "timeout error",  "wysd srv error",
      "memory error", "user stop error", "unpack data error", "data len error",
  };
  if (status < 0 || status >= static_cast<int>(sizeof names / sizeof names[0]))
    return "unkown error";
  return names[status];
}

int wysd_send_frame(net_conn* nc, uint8_t proto, int code, const void* msg, int32_t len) {
  if (len < 4 || msg == nullptr) {
    LOGD("reqest need len >= 4 [len=%d]\n", len);
    return WYSD_ST_DATA_LEN_ERROR;
  }
  const auto* m = static_cast<const uint8_t*>(msg);
  // Head and message header in one write: no small packet of its own.
  uint8_t head[WYSD_FRAME_HEAD_LEN] = {WYSD_MAGIC0, WYSD_MAGIC1, proto, static_cast<uint8_t>(code),
                                       m[0],        m[1],        m[2],  m[3]};
  // A small frame goes out whole in one write. As two, a peer or a proxy
  // on the way that still delays small segments holds the body until the
  // head is acknowledged: a delayed ACK, about 40 ms, on every request.
  constexpr int32_t kOneWrite = 16384;
  if (len - 4 + WYSD_FRAME_HEAD_LEN <= kOneWrite) {
    uint8_t frame[kOneWrite];
    memcpy(frame, head, WYSD_FRAME_HEAD_LEN);
    memcpy(frame + WYSD_FRAME_HEAD_LEN, m + 4, static_cast<size_t>(len - 4));
    int n = WYSD_FRAME_HEAD_LEN + len - 4;
    if (net_write(nc, frame, n) < 0) {
      LOGD("net_write frame len=%d error\n", n);
      return WYSD_ST_NET_ERROR;
    }
    return WYSD_ST_OK;
  }
  if (net_write(nc, head, WYSD_FRAME_HEAD_LEN) < 0) {
    LOGD("net_write head len=%d error\n", WYSD_FRAME_HEAD_LEN);
    return WYSD_ST_NET_ERROR;
  }
  if (net_write(nc, m + 4, len - 4) < 0) {
    LOGD("net_write data len=%d error\n", len - 4);
    return WYSD_ST_NET_ERROR;
  }
  return WYSD_ST_OK;
}

int wysd_send_frame_ext(net_conn* nc, uint8_t proto, int code, const void* msg, int32_t head_len,
                        const void* ext, int32_t ext_len, int32_t len) {
  // `len` is the head and the payload padded to 4, and the root (which
  // counts the padding of its last attribute) says the same.
  const auto* m = static_cast<const uint8_t*>(msg);
  int64_t raw = int64_t{head_len} + ext_len;
  int32_t pad = len - head_len - ext_len;
  if (head_len < 4 || m == nullptr || ext_len < 0 || (ext == nullptr && ext_len > 0) ||
      len != ((raw + 3) & ~int64_t{3}) || ((int32_t{m[1]} << 16) | (int32_t{m[2]} << 8) | m[3]) != len) {
    LOGD("reqest parts head=%d ext=%d len=%d error\n", head_len, ext_len, len);
    return WYSD_ST_DATA_LEN_ERROR;
  }
  uint8_t head[WYSD_FRAME_HEAD_LEN] = {WYSD_MAGIC0, WYSD_MAGIC1, proto, static_cast<uint8_t>(code),
                                       m[0],        m[1],        m[2],  m[3]};
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  // Head, the message up to the payload, the payload, its padding: one
  // write, so no piece travels as a small packet of its own either.
  net_iov v[4] = {{head, WYSD_FRAME_HEAD_LEN}, {m + 4, head_len - 4}, {ext, ext_len}, {zeros, pad}};
  int total = WYSD_FRAME_HEAD_LEN + len - 4;
  if (net_writev(nc, v, 4) != total) {
    LOGD("net_writev frame len=%d error\n", total);
    return WYSD_ST_NET_ERROR;
  }
  return WYSD_ST_OK;
}

int wysd_send_request(net_conn* nc, int code, const void* msg, int32_t len) {
  return wysd_send_frame(nc, WYSD_PROTO_REQUEST, code, msg, len);
}

int wysd_recv_request_len(net_conn* nc, uint8_t* proto, uint8_t* code, uint8_t hdr[4],
                          int32_t* len) {
  uint8_t head[WYSD_FRAME_HEAD_LEN];
  int r = net_read(nc, head, WYSD_FRAME_HEAD_LEN);
  if (r < 0) return WYSD_ST_NET_ERROR;
  if (r == 0) return WYSD_ST_TIMEOUT_ERROR;
  if (r != WYSD_FRAME_HEAD_LEN) {
    LOGD("net_read head len=%d need=%d\n", r, WYSD_FRAME_HEAD_LEN);
    return WYSD_ST_DATA_LEN_ERROR;
  }
  if (head[0] != WYSD_MAGIC0 || head[1] != WYSD_MAGIC1) {
    LOGD("magic error %02x %02x\n", head[0], head[1]);
    return WYSD_ST_NET_DATA_ERROR;
  }
  int32_t raw = (int32_t{head[5]} << 16) | (int32_t{head[6]} << 8) | head[7];
  // A length of 1 to 3 still pads to the 4 header bytes the head carried:
  // the frame ends here and the stream stays in step; the parse refuses
  // the message later. Only 0 leaves no room for the header.
  if (raw == 0) {
    LOGD("msg len=%d error\n", raw);
    return WYSD_ST_NET_DATA_ERROR;
  }
  if (*proto == 0) *proto = head[2];
  *code = head[3];
  memcpy(hdr, head + 4, 4);
  *len = (raw + 3) & ~3;
  return WYSD_ST_OK;
}

int wysd_recv_body(net_conn* nc, const uint8_t hdr[4], int32_t n, wysd_rbuf* rb) {
  if (rb->cap < n + 4) {
    try {
      rb->buf = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(n) + 4);
      rb->cap = n + 4;
    } catch (const std::bad_alloc&) {
      LOGE("malloc [%d] erorr\n", n);
      rb->buf.reset();
      rb->cap = 0;
      return WYSD_ST_MEMORY_ERROR;
    }
  }
  if (n - 4 > 0) {
    int r = net_read(nc, rb->buf.get() + 4, n - 4);
    if (r < 0) return WYSD_ST_NET_ERROR;
    if (r != n - 4) {
      LOGD("net_read len=%d need=%d\n", r, n - 4);
      return WYSD_ST_DATA_LEN_ERROR;
    }
  }
  memcpy(rb->buf.get(), hdr, 4);
  return WYSD_ST_OK;
}

int wysd_recv_frame(net_conn* nc, uint8_t* proto, uint8_t* code, wysd_rbuf* rb, int32_t* len) {
  uint8_t hdr[4];
  int32_t n = 0;
  int st = wysd_recv_request_len(nc, proto, code, hdr, &n);
  if (st != WYSD_ST_OK) return st;
  st = wysd_recv_body(nc, hdr, n, rb);
  if (st == WYSD_ST_OK) *len = n;
  return st;
}

int client_send_reqest(wysd_cli_ctx* ctx, int code, const void* msg, int32_t len) {
  if (ctx->fix_failed) return WYSD_ST_TIMEOUT_ERROR;
  // Requests sent by the repair itself are neither counted nor remembered:
  // the counter must keep matching the server's index of the lost request.
  if (!ctx->fixing) {
    ctx->cmd_send_count++;
    ctx->last_cmd = code;
  }
  // A failed write is not reported here: the receive that follows fails,
  // and that is where a broken connection is dealt with.
  wysd_send_request(&ctx->nc, code, msg, len);
  return WYSD_ST_OK;
}

int client_send_reqest_ext(wysd_cli_ctx* ctx, int code) {
  if (ctx->fix_failed) return WYSD_ST_TIMEOUT_ERROR;
  if (!ctx->fixing) {
    ctx->cmd_send_count++;
    ctx->last_cmd = code;
  }
  // As client_send_reqest: a failed write shows in the receive.
  wysd_send_frame_ext(&ctx->nc, WYSD_PROTO_REQUEST, code, blob_buf_data(&ctx->req), ctx->req_head, ctx->req_ext,
                      ctx->req_ext_len, blob_buf_len(&ctx->req));
  return WYSD_ST_OK;
}

namespace {

// Grows rb to `need` bytes, keeping its first `keep` bytes.
int rbuf_grow(wysd_rbuf* rb, int32_t need, int32_t keep) {
  if (rb->cap >= need) return WYSD_ST_OK;
  try {
    auto b = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(need));
    if (keep > 0) memcpy(b.get(), rb->buf.get(), static_cast<size_t>(keep));
    rb->buf = std::move(b);
    rb->cap = need;
  } catch (const std::bad_alloc&) {
    LOGE("malloc [%d] erorr\n", need);
    rb->buf.reset();
    rb->cap = 0;
    return WYSD_ST_MEMORY_ERROR;
  }
  return WYSD_ST_OK;
}

int read_exact(net_conn* nc, void* p, int32_t n) {
  if (n <= 0) return WYSD_ST_OK;
  int r = net_read(nc, p, n);
  if (r < 0) return WYSD_ST_NET_ERROR;
  if (r != n) {
    LOGD("net_read len=%d need=%d\n", r, n);
    return WYSD_ST_DATA_LEN_ERROR;
  }
  return WYSD_ST_OK;
}

// The response body after its head, with the raw bytes of a last "data"
// attribute (all of it unpacked, the literals of a literal-only LZ4 block)
// read into `sink` when they fit there (see client_recv_response_imp).
// Everything else lands in rbuf as usual.
int recv_body_sink(wysd_cli_ctx* ctx, const uint8_t hdr[4], int32_t n, uint8_t* sink, int32_t cap, int32_t* len) {
  // Enough to hold the attributes before the data and the data's head.
  constexpr int32_t kPrefix = 160;
  wysd_rbuf* rb = &ctx->rbuf;
  int32_t pre = std::min(n, kPrefix + 4);  // bytes of the message in rbuf
  int st = rbuf_grow(rb, std::max(pre, 256), 0);
  if (st != WYSD_ST_OK) return st;
  memcpy(rb->buf.get(), hdr, 4);
  st = read_exact(&ctx->nc, rb->buf.get() + 4, pre - 4);
  if (st != WYSD_ST_OK) return st;
  const uint8_t* m = rb->buf.get();
  int32_t root = static_cast<int32_t>(blob_get_be32(m) & 0xFFFFFFu);
  // Walk the attributes inside the prefix to the one that ends the message
  // (the root may or may not count the last one's padding).
  int32_t at = 4;
  while (root <= n && at + 6 <= pre) {
    uint32_t w = blob_get_be32(m + at);
    int32_t alen = static_cast<int32_t>(w & 0xFFFFFFu);
    if (alen < 4) break;
    int32_t next = at + ((alen + 3) & ~3);
    if (next < n) {
      at = next;
      continue;
    }
    // The last one: a named raw "data" whose head lies in the prefix.
    int32_t namelen = (int32_t{m[at + 4]} << 8) | m[at + 5];
    int32_t head = 4 + ((namelen + 6) & ~3);
    bool fits = next == n && at + alen <= root && (w & 0x80000000u) != 0 &&
                ((w >> 24) & 0x7f) == BLOBMSG_TYPE_RAW && namelen == 4 && at + head <= pre && head <= alen &&
                memcmp(m + at + 6, "data", 5) == 0;
    if (!fits) break;
    int32_t payload = alen - head;
    int32_t raw = sdcomp_raw_count(&ctx->pack, payload);
    if (raw < 0 || raw > cap) break;
    // The codec's head before the raw bytes (none unpacked) comes into
    // rbuf, and has to be exactly the one for that many bytes.
    int32_t raw_at = at + head + (payload - raw);
    if (raw_at > pre) {
      st = rbuf_grow(rb, raw_at, pre);
      if (st != WYSD_ST_OK) return st;
      st = read_exact(&ctx->nc, rb->buf.get() + pre, raw_at - pre);
      if (st != WYSD_ST_OK) return st;
      pre = raw_at;
      m = rb->buf.get();
    }
    if (!sdcomp_raw_head_is(&ctx->pack, m + at + head, payload - raw, raw)) break;
    int32_t have = pre - raw_at;  // raw (and padding) bytes already in rbuf
    int32_t in_prefix = std::min(have, raw);
    if (in_prefix > 0) memcpy(sink, m + raw_at, static_cast<size_t>(in_prefix));
    st = read_exact(&ctx->nc, sink + in_prefix, raw - in_prefix);
    if (st != WYSD_ST_OK) return st;
    uint8_t pad[4];
    int32_t pad_left = (n - (at + alen)) - std::max(0, have - raw);
    st = read_exact(&ctx->nc, pad, pad_left);
    if (st != WYSD_ST_OK) return st;
    // rbuf keeps the message with the attribute emptied.
    uint8_t* w8 = rb->buf.get();
    blob_put_be32(w8 + at, (w & 0xFF000000u) | static_cast<uint32_t>(head));
    blob_put_be32(w8, (blob_get_be32(w8) & 0xFF000000u) | static_cast<uint32_t>(at + head));
    *len = at + head;
    ctx->rsp_sink_got = raw;
    return WYSD_ST_OK;
  }
  // Not such a response: the rest into rbuf behind what came so far.
  st = rbuf_grow(rb, n + 4, pre);
  if (st != WYSD_ST_OK) return st;
  st = read_exact(&ctx->nc, rb->buf.get() + pre, n - pre);
  if (st != WYSD_ST_OK) return st;
  *len = n;
  return WYSD_ST_OK;
}

}  // namespace

int client_recv_response_imp(wysd_cli_ctx* ctx, int32_t* len) {
  uint8_t code = 0;
  uint8_t* sink = ctx->rsp_sink;
  int32_t cap = ctx->rsp_sink_cap;
  ctx->rsp_sink = nullptr;
  ctx->rsp_sink_cap = 0;
  ctx->rsp_sink_got = -1;
  if (sink == nullptr) return wysd_recv_frame(&ctx->nc, &ctx->srv_proto, &code, &ctx->rbuf, len);
  uint8_t hdr[4];
  int32_t n = 0;
  int st = wysd_recv_request_len(&ctx->nc, &ctx->srv_proto, &code, hdr, &n);
  if (st != WYSD_ST_OK) return st;
  return recv_body_sink(ctx, hdr, n, sink, cap, len);
}

int client_recv_response(wysd_cli_ctx* ctx, int32_t* len) {
  if (ctx->fix_failed) {
    LOGD("have_fix_error_fail return\n");
    return WYSD_ST_TIMEOUT_ERROR;
  }
  int st = client_recv_response_imp(ctx, len);
  if (st == WYSD_ST_OK || st == WYSD_ST_MEMORY_ERROR) return st;
  LOGD("ret=%d error:[%s]\n", st, client_status_str(st));
  if (!ctx->auto_reconnect) {
    LOGD("!net_error_reconnect return\n");
    return st;
  }
  if (ctx->fixing) {
    LOGD("now_fix_last_error return\n");
    return st;
  }
  // A receive that a stop request ended lost nothing to the network: a
  // repair would only reconnect to a server the run is leaving. Its
  // response may still come, so the stream is out of step for good: the
  // close requests must not wait on it for a read time-out.
  if (ctx->nc.stop.load() != 0) {
    LOGD("stop requested: no fix\n");
    ctx->fix_failed = true;
    return st;
  }
  LOGD("start fix..\n");
  int fix = client_fix_last_error(ctx, len);
  if (fix == WYSD_ST_OK) return WYSD_ST_OK;
  LOGD("ret=%d fix failed need reopen...\n", fix);
  ctx->fix_failed = true;
  return WYSD_ST_TIMEOUT_ERROR;
}

int client_parse_response(wysd_cli_ctx* ctx, int32_t len, const blobmsg_policy* policy, int n,
                          const blob_attr** tb) {
  if (len < 4 || len > ctx->rbuf.cap || !ctx->rbuf.buf) return WYSD_ST_NET_DATA_ERROR;
  const uint8_t* msg = ctx->rbuf.buf.get();
  int32_t root = static_cast<int32_t>(blob_raw_len(reinterpret_cast<const blob_attr*>(msg)));
  // The root length decides what is parsed, but never beyond what arrived.
  if (root > len) root = len;
  if (cli_blobmsg_parse(policy, n, tb, msg + 4, root - 4) < 0) return WYSD_ST_NET_DATA_ERROR;
  int32_t eno = static_cast<int32_t>(blobmsg_get_u32(tb[0]));
  if (eno == 0) return WYSD_ST_OK;
  ctx->srv_errno = eno;
  const blob_attr* es = tb[1];
  // "errno_str" may be of any type when the policy says so: take at most
  // its payload, stopping at a 0.
  const char* s = static_cast<const char*>(blobmsg_data(es));
  size_t max = static_cast<size_t>(blobmsg_data_len(es));
  if (max > 4095) max = 4095;
  ctx->srv_errstr.assign(s, strnlen(s, max));
  return WYSD_ST_SRV_ERROR;
}
