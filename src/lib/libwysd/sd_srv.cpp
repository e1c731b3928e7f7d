// The server's half of the wire: requests in, responses out, with the same
// frame and attribute code the client uses.
#include <cstring>
#include <new>

#include "liblog.h"
#include "libwysd.h"

WY_LOG_TAG("sdsrv");

int wysd_srv_recv_request(net_conn* nc, uint8_t* code, wysd_rbuf* rb, int32_t* len, int32_t max_len,
                          bool* too_long) {
  *too_long = false;
  uint8_t hdr[4];
  uint8_t proto = 0;
  int32_t n = 0;
  int st = wysd_recv_request_len(nc, &proto, code, hdr, &n);
  if (st != WYSD_ST_OK) return st;
  if (n > max_len) {
    // Refused on the announced length alone: a peer cannot make us
    // allocate more than the limit by claiming a large frame.
    *len = n;
    *too_long = true;
    return WYSD_ST_DATA_LEN_ERROR;
  }
  st = wysd_recv_body(nc, hdr, n, rb);
  if (st == WYSD_ST_OK) *len = n;
  return st;
}

int wysd_srv_parse_request(const wysd_msg_policy* pol, const wysd_rbuf* rb, int32_t len,
                           const blob_attr** tb) {
  if (len < 4 || len > rb->cap || !rb->buf) return -1;
  const uint8_t* msg = rb->buf.get();
  int32_t root = blob_raw_len(reinterpret_cast<const blob_attr*>(msg));
  // Checked for every request, even one that carries nothing: a root
  // shorter than its own header is not a message.
  if (blob_id(reinterpret_cast<const blob_attr*>(msg)) != BLOBMSG_TYPE_TABLE || root < 4) return -1;
  if (pol->req_n == 0) return 0;
  if (root > len) root = len;
  if (blobmsg_parse(pol->req, pol->req_n, tb, msg + 4, root - 4) < 0) return -1;
  for (int i = 0; i < pol->req_n; i++)
    if (tb[i] == nullptr) {
      LOGD("code=%d [%s] missing\n", pol->code, pol->req[i].name);
      return -1;
    }
  return 0;
}

int wysd_srv_rsp_begin(blob_buf* b, int32_t eno, const char* estr) {
  if (blob_buf_init(b) < 0) return -1;
  if (blobmsg_add_u32(b, "errno", static_cast<uint32_t>(eno)) < 0) return -1;
  return blobmsg_add_string(b, "errno_str", estr != nullptr ? estr : "");
}

int wysd_srv_send_response(net_conn* nc, uint8_t proto, int code, const blob_buf* b) {
  return wysd_send_frame(nc, proto, code, blob_buf_data(b), blob_buf_len(b));
}
