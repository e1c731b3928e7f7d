// libwysd: the file server protocol shared by tarn and wysd: frames,
// attribute messages (blobmsg.h), data packing (sdcomp.h) and the client's
// connection record.
//
// Frame on the wire: 'W' 'Y', protocol byte, code byte, then one attribute
// message whose padded length (24-bit length of the root header rounded up
// to 4) is the only length field.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <vector>

#include "blobmsg.h"
#include "libnet.h"
#include "sdcomp.h"
#include "wysd_cli.h"

/// Request codes.
enum : int {
  WYSD_CMD_LOGIN = 1,
  WYSD_CMD_BYE = 2,
  WYSD_CMD_INFO = 4,
  WYSD_CMD_IOCTL2 = 8,
  WYSD_CMD_OPEN = 10,
  WYSD_CMD_CLOSE = 11,
  WYSD_CMD_READ = 12,
  WYSD_CMD_WRITE = 13,
  WYSD_CMD_SEEK = 15,
  WYSD_CMD_IOCTL = 20,
  WYSD_CMD_PREAD = 29,
  WYSD_CMD_PWRITE = 30,
  WYSD_CMD_LOGIN2 = 90,
  WYSD_CMD_LOGIN3 = 91,
};

/// Control codes: file controls (request WYSD_CMD_IOCTL) and connection
/// controls (WYSD_CMD_IOCTL2).
enum : int {
  WYSD_IOCTL_PACK = 10001,
  WYSD_IOCTL_MKDIRS = 10013,
  WYSD_IOCTL_SET_PATH_TIMES = 10030,
  WYSD_IOCTL_SET_FILE_STAT = 10039,
  WYSD_IOCTL_SET_READ_TIMEOUT = 10100,
  WYSD_IOCTL_SET_WRITE_TIMEOUT = 10105,
  WYSD_IOCTL2_NEW_CTX = 101,
  WYSD_IOCTL2_GET_CTX = 102,
  WYSD_IOCTL2_GET_LAST_CMD_IDX = 103,
  WYSD_IOCTL2_ATTACH_CTX = 104,
  WYSD_IOCTL2_ATTACH_CTX_REPLY = 105,
  WYSD_IOCTL2_CTX_RUN_STATUS = 106,
  WYSD_IOCTL2_CTX_REQ_STOP = 107,
  WYSD_IOCTL2_RDIR_OPEN = 10120,
  WYSD_IOCTL2_RDIR_CLOSE = 10121,
  WYSD_IOCTL2_RDIR_ENUM = 10122,
  WYSD_IOCTL2_RDIR_READ = 10123,
  WYSD_IOCTL2_MFILE_OPEN = 10130,
  WYSD_IOCTL2_MFILE_CLOSE = 10131,
  WYSD_IOCTL2_MFILE_LIST_RET = 10132,
  WYSD_IOCTL2_MFILE_READ_LIST = 10133,
  WYSD_IOCTL2_MFILE_MKDIR_LIST = 10134,
  WYSD_IOCTL2_MFILE_WRITE_LIST = 10135,
  WYSD_IOCTL2_MFILE_DEL_LIST = 10136,
  WYSD_IOCTL2_MFILE_DEL_FILES = 10138,
};

/// Client status: the result of every send and receive step and request.
enum : int {
  WYSD_ST_OK = 0,
  WYSD_ST_NET_ERROR = 1,
  WYSD_ST_NET_DATA_ERROR = 2,
  WYSD_ST_TIMEOUT_ERROR = 3,
  WYSD_ST_SRV_ERROR = 4,
  WYSD_ST_MEMORY_ERROR = 5,
  WYSD_ST_USER_STOP = 6,
  WYSD_ST_UNPACK_ERROR = 7,
  WYSD_ST_DATA_LEN_ERROR = 8,
};

/// Name of a client status for log lines ("ok", "net error", ...,
/// "unkown error" for any value outside the table).
const char* client_status_str(int status);

/// Frame magic and the protocol byte a request always carries.
inline constexpr uint8_t WYSD_MAGIC0 = 0x57;
inline constexpr uint8_t WYSD_MAGIC1 = 0x59;
inline constexpr uint8_t WYSD_PROTO_REQUEST = 0x01;
inline constexpr int32_t WYSD_FRAME_HEAD_LEN = 8;

/// Attribute sets of one request code: what the request carries and what
/// its response carries ("errno", "errno_str" first). The bye request has
/// no response (rsp_n 0).
struct wysd_msg_policy {
  int code;
  const blobmsg_policy* req;
  int req_n;
  const blobmsg_policy* rsp;
  int rsp_n;
};
/// The attribute sets of `code`, or nullptr for an unknown code.
const wysd_msg_policy* wysd_msg_policy_get(int code);

/// Receive buffer: holds the whole message of the last frame received
/// (bytes 0-3 the root header). It only grows.
struct wysd_rbuf {
  std::unique_ptr<uint8_t[]> buf;
  int32_t cap = 0;
};

/// Writes one frame with protocol byte `proto` (a request uses
/// WYSD_PROTO_REQUEST; a server answers with its own): the 8-byte head
/// (magic, proto, code, the first 4 message bytes) in one write, then the
/// rest. `len` is the padded message length. Returns 0, 8 when len < 4
/// ("reqest need len >= 4 [len=%d]\n"), 1 when a write fails.
int wysd_send_frame(net_conn* nc, uint8_t proto, int code, const void* msg, int32_t len);
/// wysd_send_frame for a message whose last attribute's payload is not in
/// `msg` (blobmsg_add_ext): `msg` holds its first `head_len` bytes, `ext`
/// the `ext_len` payload bytes, and `len` is the whole padded length. The
/// frame on the wire is byte for byte the one of the whole message; it goes
/// out in one gather write (piece by piece over TLS). Returns as
/// wysd_send_frame, 8 also when the pieces do not add up to `len`.
int wysd_send_frame_ext(net_conn* nc, uint8_t proto, int code, const void* msg, int32_t head_len,
                        const void* ext, int32_t ext_len, int32_t len);
/// wysd_send_frame with protocol byte 0x01: one request frame.
int wysd_send_request(net_conn* nc, int code, const void* msg, int32_t len);
/// Reads and checks one frame head. Stores the peer's protocol byte in
/// *proto while *proto is still 0, the code byte in *code, the 4 header
/// bytes in hdr and the padded message length in *len. Returns 0; 1 on a
/// read error; 3 when nothing came before the time-out; 8 for a short head;
/// 2 for a bad magic or a root length of 0. A root length of 1 to 3 pads to
/// 4: the frame is only the head, and the message parse refuses it.
int wysd_recv_request_len(net_conn* nc, uint8_t* proto, uint8_t* code, uint8_t hdr[4],
                          int32_t* len);
/// Receives one whole frame into `rb` (growing it to padded length + 4 when
/// too small): head as wysd_recv_request_len, then the body. *len is the
/// message length. Returns 0, a head status, 5 when the buffer cannot grow
/// (capacity 0 afterwards), 1 on a read error or 8 for a short body.
int wysd_recv_frame(net_conn* nc, uint8_t* proto, uint8_t* code, wysd_rbuf* rb, int32_t* len);
/// The body after a frame head: grows `rb` to padded length `n` + 4 when
/// too small, reads n - 4 bytes and puts the 4 header bytes in front.
/// Returns 0, 5 (no memory, capacity 0 afterwards), 1 or 8 (short body).
int wysd_recv_body(net_conn* nc, const uint8_t hdr[4], int32_t n, wysd_rbuf* rb);

/// The client's connection record (handle kind 0): the stream, what the
/// connect learnt and kept for reconnecting, and the per-connection
/// protocol state.
struct wysd_cli_ctx {
  int32_t type = 0;
  net_conn nc;            // the stream; nc.timeout is the transport time-out
  uint8_t srv_proto = 0;  // server protocol byte, from the first response
  blob_buf req;           // request builder, intact until the next request
  wysd_rbuf rbuf;         // receive buffer
  sdcomp_slot pack;       // data packing codec
  int32_t srv_errno = 0;  // server error of the last response reporting one
  std::string srv_errstr;
  // Repair state.
  uint64_t cmd_send_count = 0;
  int32_t last_cmd = 0;
  bool fixing = false;      // a repair is running
  bool fix_failed = false;  // a repair failed: the record is unusable
  bool auto_reconnect = false;
  uint64_t srv_ctx_id = 0;  // the server context to attach again after a repair

  // Kept from the URL for reconnecting.
  std::string host;
  uint16_t port = 0;
  uint32_t sock_bufsize = 262144;
  int32_t connect_timeout = 4000, read_timeout = 10000, write_timeout = 8000;  // ms
  bool ssl = false;
  std::string cipher;
  std::string ssl_fp;  // pinned certificate SHA-256 ("" accepts any certificate)
  std::string user, passwd;
  cdir_err* err = nullptr;  // the caller's error record (own_err when none given)
  cdir_err own_err;

  int32_t block_size = 10485760;  // largest chunk of one read or write request
  int32_t rdir_size = 1048576;    // logged only
  int32_t max_reply = 0;          // largest read reply received so far

  // Learnt from the server's information text.
  std::string srv_ver;
  bool pos_io = false;  // reads and writes carry their offset (1.6.4 and newer)
  bool win_srv = false;

  std::vector<wysd_cli_file*> files;  // open remote files, owned

  // A write request whose data goes from the caller's memory (data that
  // travels raw, sdcomp_goes_raw): the last attribute of `req` is
  // blobmsg_add_ext's, its payload's raw bytes at req_ext, behind req_head
  // bytes of req (which end with the codec's head, if any). Set only while that request is
  // exchanged; a repair that sends it again sends it whole.
  const uint8_t* req_ext = nullptr;
  int32_t req_ext_len = 0, req_head = 0;
  // Where the next response may put the raw bytes of its last attribute
  // "data" (a read whose data travels raw: sdcomp_raw_count), at most
  // rsp_sink_cap bytes; taken by the next receive alone. rsp_sink_got: the
  // bytes the last receive put there, -1 when it put none (the payload is
  // then in rbuf as always).
  uint8_t* rsp_sink = nullptr;
  int32_t rsp_sink_cap = 0;
  int32_t rsp_sink_got = -1;

  wysd_cli_ctx() = default;
  /// Frees the file handles still listed, without any request (the close
  /// requests belong to wysd_cli_exit_imp).
  ~wysd_cli_ctx() {
    for (wysd_cli_file* f : files) delete f;
  }
  wysd_cli_ctx(const wysd_cli_ctx&) = delete;
  wysd_cli_ctx& operator=(const wysd_cli_ctx&) = delete;
};

/// Sends one request (`len` = padded message length). Returns 3 at once
/// when a repair has failed; otherwise counts the request (outside a repair),
/// remembers its code, writes the frame and returns 0: a failed write shows
/// up in the following receive.
int client_send_reqest(wysd_cli_ctx* ctx, int code, const void* msg, int32_t len);
/// client_send_reqest for the message in ctx->req with its payload at
/// ctx->req_ext (a gather write; the same bytes on the wire).
int client_send_reqest_ext(wysd_cli_ctx* ctx, int code);
/// Receives one whole response into ctx->rbuf, keeping the server protocol
/// byte of the first one. *len is the message length. Returns a status.
/// With ctx->rsp_sink set (and cleared here), a response whose last
/// attribute is a raw "data" holding raw bytes with the connection's codec
/// (all of it unpacked, a literal-only block with lz4) that fit the sink
/// gets those bytes read straight into the sink: rbuf then holds the
/// message with that attribute empty, *len its length, and rsp_sink_got
/// the count of raw bytes.
int client_recv_response_imp(wysd_cli_ctx* ctx, int32_t* len);
/// client_recv_response_imp behind the repair policy: 3 at once after a
/// failed repair; 0 and 5 pass through; with auto reconnect off, or inside
/// a repair, other failures are logged and returned. Otherwise the repair
/// (client_fix_last_error) runs: 0 when it brought the lost response into
/// ctx->rbuf, else 3 with the record marked as failed for good.
int client_recv_response(wysd_cli_ctx* ctx, int32_t* len);
/// The repair after a lost response: reconnects, attaches the server
/// context again and, by comparing the server's count of executed requests
/// with ours, either has the stored response sent again (the request ran)
/// or sends the request again (it did not). Leaves the response in
/// ctx->rbuf with its length in *len and realigns the send counter.
/// Returns a status.
int client_fix_last_error(wysd_cli_ctx* ctx, int32_t* len);
/// Parses the response in ctx->rbuf (message length `len`) with
/// cli_blobmsg_parse. Returns 0 (results in tb), 2 when the parse fails,
/// or 4 when "errno" is not 0 (stored with "errno_str", cut at 4095
/// characters, in srv_errno/srv_errstr).
int client_parse_response(wysd_cli_ctx* ctx, int32_t len, const blobmsg_policy* policy, int n,
                          const blob_attr** tb);

// ---------------------------------------------------------------------------
// The server's half: reading requests, writing responses.

/// Reads one request frame into `rb`. A frame whose padded message length is
/// above `max_len` is not read: *len gets the announced length and the result
/// is WYSD_ST_DATA_LEN_ERROR with *too_long set, before anything is
/// allocated for it. Otherwise as wysd_recv_frame (the request's protocol
/// byte is not kept). *code is the request code.
int wysd_srv_recv_request(net_conn* nc, uint8_t* code, wysd_rbuf* rb, int32_t* len, int32_t max_len,
                          bool* too_long);
/// Parses the request in `rb` (message length `len`) by the request set of
/// `pol` into tb[pol->req_n]. Every attribute of the set must be present and
/// well formed. Returns 0, or -1 for a malformed or incomplete request.
int wysd_srv_parse_request(const wysd_msg_policy* pol, const wysd_rbuf* rb, int32_t len,
                           const blob_attr** tb);
/// Starts a response in `b`: an empty root, then "errno" and "errno_str".
/// Returns 0 or -1 (no memory).
int wysd_srv_rsp_begin(blob_buf* b, int32_t eno, const char* estr);
/// Sends the message in `b` as one response frame with the server's
/// protocol byte and the request's code. Returns a status (0, 1, 8).
int wysd_srv_send_response(net_conn* nc, uint8_t proto, int code, const blob_buf* b);
