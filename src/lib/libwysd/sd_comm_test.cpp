// Frames over memory streams (exact bytes, damaged heads and bodies) and
// over a real socket pair with both codecs; the codecs themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "liblog.h"
#include "libwysd.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes frame(uint8_t proto, uint8_t code, const bytes& msg) {
  bytes f(4 + msg.size());
  f[0] = 0x57;
  f[1] = 0x59;
  f[2] = proto;
  f[3] = code;
  if (!msg.empty()) memcpy(f.data() + 4, msg.data(), msg.size());
  return f;
}

// A message: root header with `len` in its length field, padded body of zeros.
bytes msg_of_len(uint32_t len) {
  bytes m((len + 3) & ~3u, 0);
  if (m.size() < 4) m.resize(4);
  m[0] = 0x02;
  m[1] = static_cast<uint8_t>(len >> 16);
  m[2] = static_cast<uint8_t>(len >> 8);
  m[3] = static_cast<uint8_t>(len);
  for (size_t i = 4; i < m.size(); i++) m[i] = static_cast<uint8_t>(i);
  return m;
}

bytes mem_left(const net_conn& nc) {
  uint64_t n = 0;
  const uint8_t* d = net_mem_peek(&nc, &n);
  return d ? bytes(d, d + n) : bytes();
}

TEST(FrameHead, DamagedHeadsGiveTheirStatus) {
  struct Case {
    bytes in;
    int st;
  } cases[] = {
      {{}, WYSD_ST_TIMEOUT_ERROR},                               // nothing came
      {{0x57, 0x59, 1, 4, 2}, WYSD_ST_DATA_LEN_ERROR},           // 5 of 8 bytes
      {{0x57, 0x00, 1, 4, 2, 0, 0, 4}, WYSD_ST_NET_DATA_ERROR},  // one magic byte wrong
      {{0x00, 0x59, 1, 4, 2, 0, 0, 4}, WYSD_ST_NET_DATA_ERROR},
      {{0x57, 0x59, 1, 4, 2, 0, 0, 0}, WYSD_ST_NET_DATA_ERROR},  // no room for the root header
  };
  for (const Case& c : cases) {
    net_conn nc;
    ASSERT_EQ(net_mem_init(&nc, c.in.data(), c.in.size()), 0);
    uint8_t proto = 0, code = 0, hdr[4];
    int32_t len = -1;
    EXPECT_EQ(wysd_recv_request_len(&nc, &proto, &code, hdr, &len), c.st) << c.in.size();
  }
  // The log names the two bytes received.
  net_conn one;
  bytes half = {0x57, 0x00, 1, 4, 2, 0, 0, 4};
  ASSERT_EQ(net_mem_init(&one, half.data(), half.size()), 0);
  uint8_t p0 = 0, c0 = 0, h0[4];
  int32_t l0;
  ASSERT_EQ(wysd_recv_request_len(&one, &p0, &c0, h0, &l0), WYSD_ST_NET_DATA_ERROR);
  char last[1024];
  log2_last_log(nullptr, last, sizeof last);
  EXPECT_NE(strstr(last, "magic error 57 00\n"), nullptr) << last;

  net_conn bad;
  bad.type = -1;  // unusable stream: a read error
  uint8_t proto = 0, code = 0, hdr[4];
  int32_t len;
  EXPECT_EQ(wysd_recv_request_len(&bad, &proto, &code, hdr, &len), WYSD_ST_NET_ERROR);
}

TEST(FrameHead, LengthIsTheRootLengthPaddedAndProtoIsKeptOnce) {
  bytes in = frame(2, 77, {0x02, 0x01, 0x02, 0x05});
  net_conn nc;
  ASSERT_EQ(net_mem_init(&nc, in.data(), in.size()), 0);
  uint8_t proto = 0, code = 0, hdr[4];
  int32_t len = 0;
  ASSERT_EQ(wysd_recv_request_len(&nc, &proto, &code, hdr, &len), 0);
  EXPECT_EQ(len, 0x010208);
  EXPECT_EQ(proto, 2);
  EXPECT_EQ(code, 77);
  EXPECT_EQ(bytes(hdr, hdr + 4), bytes({0x02, 0x01, 0x02, 0x05}));
  bytes again = frame(9, 1, {0x02, 0, 0, 4});
  ASSERT_EQ(net_mem_init(&nc, again.data(), again.size()), 0);
  ASSERT_EQ(wysd_recv_request_len(&nc, &proto, &code, hdr, &len), 0);
  EXPECT_EQ(proto, 2);  // only taken while still 0
}

TEST(FrameHead, RootsOfOneToThreeBytesPadToTheHeaderAlone) {
  for (uint8_t n : {1, 2, 3}) {
    SCOPED_TRACE(n);
    // The frame is its head; the next one follows at once.
    bytes in = frame(1, 4, {0x02, 0, 0, n});
    bytes next = frame(1, 4, msg_of_len(8));
    in.insert(in.end(), next.begin(), next.end());
    wysd_cli_ctx ctx;
    ctx.auto_reconnect = true;  // a parse failure is no network failure: no repair
    ASSERT_EQ(net_mem_init(&ctx.nc, in.data(), in.size()), 0);
    int32_t len = 0;
    ASSERT_EQ(client_recv_response(&ctx, &len), WYSD_ST_OK);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(mem_left(ctx.nc), next);
    const wysd_msg_policy* p = wysd_msg_policy_get(WYSD_CMD_INFO);
    const blob_attr* tb[3];
    EXPECT_EQ(client_parse_response(&ctx, len, p->rsp, p->rsp_n, tb), WYSD_ST_NET_DATA_ERROR);
    EXPECT_FALSE(ctx.fixing || ctx.fix_failed);

    // The server half reads it the same way and refuses the message, also
    // for a request that carries no attributes.
    net_conn srv;
    ASSERT_EQ(net_mem_init(&srv, in.data(), in.size()), 0);
    wysd_rbuf rb;
    uint8_t code = 0;
    bool too_long = true;
    ASSERT_EQ(wysd_srv_recv_request(&srv, &code, &rb, &len, 1 << 20, &too_long), WYSD_ST_OK);
    EXPECT_FALSE(too_long);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(wysd_srv_parse_request(wysd_msg_policy_get(WYSD_CMD_INFO), &rb, len, tb), -1);
    EXPECT_EQ(wysd_srv_parse_request(wysd_msg_policy_get(WYSD_CMD_BYE), &rb, len, tb), -1);
  }
}

TEST(SendFrame, HeadLayoutAndShortMessages) {
  net_conn nc;
  nc.type = NET_MEM_TYPE;
  blob_buf b;
  ASSERT_EQ(blob_buf_init(&b), 0);
  ASSERT_EQ(blobmsg_add_string(&b, "param", ""), 0);
  ASSERT_EQ(wysd_send_request(&nc, WYSD_CMD_INFO, blob_buf_data(&b), blob_buf_len(&b)), 0);
  bytes want =
      frame(0x01, WYSD_CMD_INFO, bytes(blob_buf_data(&b), blob_buf_data(&b) + blob_buf_len(&b)));
  EXPECT_EQ(mem_left(nc), want);

  // A server answers with its own protocol byte; an empty root goes out alone.
  net_conn srv;
  srv.type = NET_MEM_TYPE;
  blob_buf_init(&b);
  ASSERT_EQ(wysd_send_frame(&srv, 0x02, WYSD_CMD_BYE, blob_buf_data(&b), blob_buf_len(&b)), 0);
  EXPECT_EQ(mem_left(srv), frame(0x02, WYSD_CMD_BYE, {0x02, 0, 0, 4}));

  net_conn none;
  none.type = NET_MEM_TYPE;
  EXPECT_EQ(wysd_send_request(&none, 1, "ab", 3), WYSD_ST_DATA_LEN_ERROR);
  EXPECT_TRUE(mem_left(none).empty());
  net_conn dead;
  dead.type = -1;
  EXPECT_EQ(wysd_send_request(&dead, 1, blob_buf_data(&b), 4), WYSD_ST_NET_ERROR);
}

TEST(RecvResponse, BodiesShortOrEmptyAndTheBufferOnlyGrows) {
  wysd_cli_ctx ctx;
  // A message of only its root header: no body read, the next frame intact.
  bytes in = frame(1, 4, msg_of_len(4));
  bytes next = frame(1, 4, msg_of_len(100));
  in.insert(in.end(), next.begin(), next.end());
  ASSERT_EQ(net_mem_init(&ctx.nc, in.data(), in.size()), 0);
  int32_t len = 0;
  ASSERT_EQ(client_recv_response_imp(&ctx, &len), 0);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(ctx.rbuf.cap, 8);
  EXPECT_EQ(mem_left(ctx.nc), next);

  ASSERT_EQ(client_recv_response_imp(&ctx, &len), 0);
  EXPECT_EQ(len, 100);
  EXPECT_EQ(ctx.rbuf.cap, 104);
  EXPECT_EQ(bytes(ctx.rbuf.buf.get(), ctx.rbuf.buf.get() + 100), msg_of_len(100));
  const uint8_t* kept = ctx.rbuf.buf.get();

  bytes small = frame(1, 4, msg_of_len(21));
  ASSERT_EQ(net_mem_init(&ctx.nc, small.data(), small.size()), 0);
  ASSERT_EQ(client_recv_response_imp(&ctx, &len), 0);
  EXPECT_EQ(len, 24);
  EXPECT_EQ(ctx.rbuf.buf.get(), kept);  // reused
  EXPECT_EQ(ctx.rbuf.cap, 104);

  // Short body: the head promises 100 bytes, 40 arrive.
  bytes cut = frame(1, 4, msg_of_len(100));
  cut.resize(8 + 40);
  ASSERT_EQ(net_mem_init(&ctx.nc, cut.data(), cut.size()), 0);
  EXPECT_EQ(client_recv_response(&ctx, &len), WYSD_ST_DATA_LEN_ERROR);

  // The largest message the length field allows fits the buffer exactly.
  bytes huge = frame(1, 4, msg_of_len(0xFFFFFF));
  ASSERT_EQ(net_mem_init(&ctx.nc, huge.data(), huge.size()), 0);
  ASSERT_EQ(client_recv_response(&ctx, &len), 0);
  EXPECT_EQ(len, 0x1000000);
  EXPECT_EQ(ctx.rbuf.cap, 0x1000000 + 4);
}

TEST(ClientSend, CountsRequestsAndStopsAfterAFailedRepair) {
  wysd_cli_ctx ctx;
  ctx.nc.type = NET_MEM_TYPE;
  ASSERT_EQ(blob_buf_init(&ctx.req), 0);
  ASSERT_EQ(client_send_reqest(&ctx, WYSD_CMD_INFO, blob_buf_data(&ctx.req), 4), 0);
  ASSERT_EQ(client_send_reqest(&ctx, WYSD_CMD_OPEN, blob_buf_data(&ctx.req), 4), 0);
  EXPECT_EQ(ctx.cmd_send_count, 2u);
  EXPECT_EQ(ctx.last_cmd, WYSD_CMD_OPEN);
  // Requests of the repair itself are not counted.
  ctx.fixing = true;
  ASSERT_EQ(client_send_reqest(&ctx, WYSD_CMD_IOCTL2, blob_buf_data(&ctx.req), 4), 0);
  EXPECT_EQ(ctx.cmd_send_count, 2u);
  EXPECT_EQ(ctx.last_cmd, WYSD_CMD_OPEN);
  EXPECT_EQ(mem_left(ctx.nc).size(), 3u * 8);
  // A failed write is not the send step's result.
  ctx.fixing = false;
  ctx.nc.type = -1;
  EXPECT_EQ(client_send_reqest(&ctx, WYSD_CMD_INFO, blob_buf_data(&ctx.req), 4), 0);

  // After a failed repair nothing is written or read any more.
  wysd_cli_ctx dead;
  dead.nc.type = NET_MEM_TYPE;
  dead.fix_failed = true;
  blob_buf_init(&dead.req);
  EXPECT_EQ(client_send_reqest(&dead, WYSD_CMD_INFO, blob_buf_data(&dead.req), 4),
            WYSD_ST_TIMEOUT_ERROR);
  EXPECT_TRUE(mem_left(dead.nc).empty());
  EXPECT_EQ(dead.cmd_send_count, 0u);
  int32_t len;
  EXPECT_EQ(client_recv_response(&dead, &len), WYSD_ST_TIMEOUT_ERROR);
}

TEST(ClientStatus, Names) {
  EXPECT_STREQ(client_status_str(0), "ok");
  EXPECT_STREQ(client_status_str(3), "timeout error");
  EXPECT_STREQ(client_status_str(4), "wysd srv error");
  EXPECT_STREQ(client_status_str(8), "data len error");
  EXPECT_STREQ(client_status_str(9), "unkown error");
  EXPECT_STREQ(client_status_str(-1), "unkown error");
}

TEST(ClientParse, ServerErrorIsStoredWithItsText) {
  wysd_cli_ctx ctx;
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_u32(&b, "errno", static_cast<uint32_t>(-102));
  blobmsg_add_string(&b, "errno_str", "The system cannot find the file specified.");
  bytes in =
      frame(1, WYSD_CMD_OPEN, bytes(blob_buf_data(&b), blob_buf_data(&b) + blob_buf_len(&b)));
  ASSERT_EQ(net_mem_init(&ctx.nc, in.data(), in.size()), 0);
  int32_t len = 0;
  ASSERT_EQ(client_recv_response(&ctx, &len), 0);
  const wysd_msg_policy* p = wysd_msg_policy_get(WYSD_CMD_OPEN);
  const blob_attr* tb[3];
  EXPECT_EQ(client_parse_response(&ctx, len, p->rsp, p->rsp_n, tb), WYSD_ST_SRV_ERROR);
  EXPECT_EQ(ctx.srv_errno, -102);
  EXPECT_EQ(ctx.srv_errstr, "The system cannot find the file specified.");

  // The same response claiming success lacks "fd": a data error.
  blob_buf_init(&b);
  blobmsg_add_u32(&b, "errno", 0);
  blobmsg_add_string(&b, "errno_str", "");
  in = frame(1, WYSD_CMD_OPEN, bytes(blob_buf_data(&b), blob_buf_data(&b) + blob_buf_len(&b)));
  ASSERT_EQ(net_mem_init(&ctx.nc, in.data(), in.size()), 0);
  ASSERT_EQ(client_recv_response(&ctx, &len), 0);
  EXPECT_EQ(client_parse_response(&ctx, len, p->rsp, p->rsp_n, tb), WYSD_ST_NET_DATA_ERROR);
}

bytes compressible(size_t n) {
  bytes v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>("0123456789abcdef\n"[i % 17]);
  return v;
}

bytes incompressible(size_t n) {
  std::mt19937 rng(12345);
  bytes v(n);
  for (auto& c : v) c = static_cast<uint8_t>(rng());
  return v;
}

// One write request and its answer through a socket pair, file data packed
// with `codec` on both ends; the server side parses with the request set
// and answers like a read.
void round_trip(const char* codec, const bytes& data) {
  os_socket_t sp[2];
  ASSERT_EQ(os_socket_pair(sp), 0);
  wysd_cli_ctx cli;
  cli.nc.handle = sp[0];
  cli.nc.timeout = 5000;
  ASSERT_EQ(sdcomp_select(&cli.pack, codec), 0);

  std::string srv_err;
  std::thread srv([&] {
    net_conn nc;
    nc.handle = sp[1];
    nc.timeout = 5000;
    sdcomp_slot pack;
    wysd_rbuf rb;
    uint8_t proto = 0, code = 0;
    int32_t len = 0;
    if (sdcomp_select(&pack, codec) != 0) return void(srv_err = "select");
    if (wysd_recv_frame(&nc, &proto, &code, &rb, &len) != 0) return void(srv_err = "recv");
    if (proto != WYSD_PROTO_REQUEST || code != WYSD_CMD_WRITE) return void(srv_err = "head");
    const wysd_msg_policy* p = wysd_msg_policy_get(code);
    const blob_attr* tb[4];
    if (blobmsg_parse(p->req, p->req_n, tb, rb.buf.get() + 4,
                      blob_raw_len(reinterpret_cast<const blob_attr*>(rb.buf.get())) - 4) != 0 ||
        !tb[3])
      return void(srv_err = "parse");
    int32_t n = static_cast<int32_t>(blobmsg_get_u32(tb[2]));
    bytes plain(static_cast<size_t>(n));
    if (sdcomp_unpack(&pack, blobmsg_data(tb[3]), blobmsg_data_len(tb[3]), plain.data(), n) != n)
      return void(srv_err = "unpack");
    blob_buf b;
    blob_buf_init(&b);
    blobmsg_add_u32(&b, "errno", 0);
    blobmsg_add_string(&b, "errno_str", "");
    blobmsg_add_u32(&b, "len", static_cast<uint32_t>(n));
    blobmsg_add_u32(&b, "flags", 0);
    void* out = nullptr;
    blob_attr* a = blobmsg_reserve(&b, BLOBMSG_TYPE_RAW, "data", sdcomp_bound(n), &out);
    int packed = sdcomp_pack(&pack, plain.data(), n, out, sdcomp_bound(n));
    if (a == nullptr || packed < 0 || blobmsg_shrink(&b, a, packed) != 0)
      return void(srv_err = "pack");
    if (wysd_send_frame(&nc, 0x02, code, blob_buf_data(&b), blob_buf_len(&b)) != 0)
      srv_err = "send";
    nc.handle = 0;  // closed by the test
  });

  int n = static_cast<int>(data.size());
  ASSERT_EQ(blob_buf_init(&cli.req), 0);
  blobmsg_add_u64(&cli.req, "fd", 1);
  blobmsg_add_u32(&cli.req, "flags", 0);
  blobmsg_add_u32(&cli.req, "len", static_cast<uint32_t>(n));
  void* out = nullptr;
  blob_attr* a = blobmsg_reserve(&cli.req, BLOBMSG_TYPE_RAW, "data", sdcomp_bound(n), &out);
  ASSERT_NE(a, nullptr);
  int packed = sdcomp_pack(&cli.pack, data.data(), n, out, sdcomp_bound(n));
  ASSERT_GE(packed, 0);
  ASSERT_EQ(blobmsg_shrink(&cli.req, a, packed), 0);
  EXPECT_EQ(
      client_send_reqest(&cli, WYSD_CMD_WRITE, blob_buf_data(&cli.req), blob_buf_len(&cli.req)), 0);
  int32_t len = 0;
  int st = client_recv_response(&cli, &len);
  srv.join();
  ASSERT_EQ(srv_err, "");
  ASSERT_EQ(st, 0);
  EXPECT_EQ(cli.srv_proto, 0x02);
  const wysd_msg_policy* p = wysd_msg_policy_get(WYSD_CMD_READ);
  const blob_attr* tb[5];
  ASSERT_EQ(client_parse_response(&cli, len, p->rsp, p->rsp_n, tb), 0);
  ASSERT_EQ(static_cast<int>(blobmsg_get_u32(tb[2])), n);
  bytes got(data.size());
  EXPECT_EQ(sdcomp_unpack(&cli.pack, blobmsg_data(tb[4]), blobmsg_data_len(tb[4]), got.data(), n),
            n);
  EXPECT_TRUE(got == data);
  net_close(&cli.nc);
  os_socket_exit(sp[1]);
}

TEST(FrameRoundTrip, NoneAndLz4OverASocketPair) {
  for (const char* codec : {"none", "lz4"}) {
    SCOPED_TRACE(codec);
    round_trip(codec, compressible(300000));
    round_trip(codec, incompressible(300000));
    round_trip(codec, {});
  }
}

// A write request's message, the data copied in (`ext` false) or left in
// the caller's memory behind the head (`ext` true, *head its length) but
// for its first `kept` bytes, which go into the message.
void write_msg(blob_buf* b, const bytes& data, bool ext, int32_t* head, int32_t kept = 0) {
  ASSERT_EQ(blob_buf_init(b), 0);
  blobmsg_add_u64(b, "fd", 7);
  blobmsg_add_u32(b, "flags", 0);
  blobmsg_add_u32(b, "len", static_cast<uint32_t>(data.size()));
  blobmsg_add_u64(b, "offset", 1234567);
  auto n = static_cast<int32_t>(data.size());
  if (ext) {
    void* at = nullptr;
    ASSERT_NE(blobmsg_add_ext(b, BLOBMSG_TYPE_RAW, "data", n, head, kept, kept > 0 ? &at : nullptr), nullptr);
    if (kept > 0) memcpy(at, data.data(), static_cast<size_t>(kept));
  } else
    ASSERT_EQ(blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", data.data(), n), 0);
}

// Data sent from the caller's memory must make exactly the frame a copy
// into the message makes: through a memory stream (pieces written in turn,
// as over TLS) and through a socket pair (gather writes that the socket
// takes in parts, since 3 MiB never fits its buffer at once).
TEST(SendFrame, DataFromTheCallersMemoryMakesTheSameFrame) {
  for (size_t size : {0, 1, 3, 4, 5, 17000, 300001, 3 * 1048576 + 2}) {
    SCOPED_TRACE(size);
    bytes data = incompressible(size);
    blob_buf whole, head;
    int32_t head_len = 0;
    ASSERT_NO_FATAL_FAILURE(write_msg(&whole, data, false, nullptr));
    ASSERT_NO_FATAL_FAILURE(write_msg(&head, data, true, &head_len));
    ASSERT_EQ(blob_buf_len(&head), blob_buf_len(&whole));
    EXPECT_EQ(head_len % 4, 0);
    net_conn a, b;
    a.type = b.type = NET_MEM_TYPE;
    ASSERT_EQ(wysd_send_frame(&a, 1, WYSD_CMD_PWRITE, blob_buf_data(&whole), blob_buf_len(&whole)), 0);
    ASSERT_EQ(wysd_send_frame_ext(&b, 1, WYSD_CMD_PWRITE, blob_buf_data(&head), head_len, data.data(),
                                  static_cast<int32_t>(size), blob_buf_len(&head)),
              0);
    bytes want = mem_left(a);
    EXPECT_TRUE(mem_left(b) == want);
    // A head of the data kept in the message (a codec's head before raw
    // bytes): the same frame again.
    for (int32_t kept : {1, 3, 6}) {
      if (static_cast<size_t>(kept) > size) break;
      blob_buf part;
      int32_t part_len = 0;
      ASSERT_NO_FATAL_FAILURE(write_msg(&part, data, true, &part_len, kept));
      net_conn c;
      c.type = NET_MEM_TYPE;
      ASSERT_EQ(wysd_send_frame_ext(&c, 1, WYSD_CMD_PWRITE, blob_buf_data(&part), part_len, data.data() + kept,
                                    static_cast<int32_t>(size) - kept, blob_buf_len(&part)),
                0);
      EXPECT_TRUE(mem_left(c) == want) << kept;
    }

    os_socket_t sp[2];
    ASSERT_EQ(os_socket_pair(sp), 0);
    net_conn tx, rx;
    tx.handle = sp[0];
    rx.handle = sp[1];
    tx.timeout = rx.timeout = 5000;
    int st = -1;
    std::thread sender([&] {
      st = wysd_send_frame_ext(&tx, 1, WYSD_CMD_PWRITE, blob_buf_data(&head), head_len, data.data(),
                               static_cast<int32_t>(size), blob_buf_len(&head));
    });
    bytes got(want.size());
    int r = net_read(&rx, got.data(), static_cast<int>(got.size()));
    sender.join();
    EXPECT_EQ(st, 0);
    EXPECT_EQ(r, static_cast<int>(want.size()));
    EXPECT_TRUE(got == want);
    net_close(&tx);
    net_close(&rx);
  }
  // Pieces that do not add up to the length are refused before anything goes.
  blob_buf head;
  int32_t head_len = 0;
  bytes data(10, 1);
  ASSERT_NO_FATAL_FAILURE(write_msg(&head, data, true, &head_len));
  net_conn c;
  c.type = NET_MEM_TYPE;
  for (int32_t ext_len : {5, 14}) {
    EXPECT_EQ(wysd_send_frame_ext(&c, 1, WYSD_CMD_PWRITE, blob_buf_data(&head), head_len, data.data(), ext_len,
                                  blob_buf_len(&head)),
              WYSD_ST_DATA_LEN_ERROR);
  }
  EXPECT_EQ(wysd_send_frame_ext(&c, 1, WYSD_CMD_PWRITE, blob_buf_data(&head), head_len, data.data(), 10,
                                blob_buf_len(&head) + 4),
            WYSD_ST_DATA_LEN_ERROR);
  EXPECT_TRUE(mem_left(c).empty());
}

// A read answer: errno, errno_str, len (the size of `data`), flags, data
// (`payload`, or `data` itself when it is null), and `after` as one more
// attribute behind the data when not empty.
bytes read_answer(const bytes& data, int32_t eno = 0, const char* after = nullptr,
                  const bytes* payload = nullptr) {
  if (payload == nullptr) payload = &data;
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_u32(&b, "errno", static_cast<uint32_t>(eno));
  blobmsg_add_string(&b, "errno_str", eno != 0 ? "Invalid handle." : "");
  if (eno == 0) {
    blobmsg_add_u32(&b, "len", static_cast<uint32_t>(data.size()));
    blobmsg_add_u32(&b, "flags", 0);
    blobmsg_add_field(&b, BLOBMSG_TYPE_RAW, "data", payload->data(), static_cast<int32_t>(payload->size()));
    if (after != nullptr) blobmsg_add_string(&b, after, "x");
  }
  return frame(2, WYSD_CMD_PREAD, bytes(blob_buf_data(&b), blob_buf_data(&b) + blob_buf_len(&b)));
}

bytes lz4_literals(const bytes& data) {
  bytes out(static_cast<size_t>(sdcomp_bound(static_cast<int>(data.size()))));
  int k = sdcomp_lz4_literals(data.data(), static_cast<int>(data.size()), out.data(), static_cast<int>(out.size()));
  out.resize(static_cast<size_t>(k));
  return out;
}

// Read data that travels raw (unpacked, or LZ4 literals behind their head)
// goes straight into the caller's buffer when it ends the answer and fits;
// the rest of the answer still parses, with the data attribute empty, and
// the stream stays in step. The sizes cross the receive's first read and,
// with lz4, the literal head's one-byte and several-byte forms.
TEST(RecvResponse, RawReadDataLandsInTheCallersBufferWhenItEndsTheAnswer) {
  const wysd_msg_policy* p = wysd_msg_policy_get(WYSD_CMD_PREAD);
  for (const char* codec : {"none", "lz4"}) {
    for (size_t size : {0, 1, 3, 14, 15, 100, 150, 151, 160, 161, 269, 270, 300001}) {
      SCOPED_TRACE(std::string(codec) + " " + std::to_string(size));
      bytes data = incompressible(size), next = frame(2, 4, msg_of_len(12));
      bytes payload = strcmp(codec, "lz4") == 0 ? lz4_literals(data) : data;
      bytes in = read_answer(data, 0, nullptr, &payload);
      in.insert(in.end(), next.begin(), next.end());
      wysd_cli_ctx ctx;
      ASSERT_EQ(sdcomp_select(&ctx.pack, codec), 0);
      ASSERT_EQ(net_mem_init(&ctx.nc, in.data(), in.size()), 0);
      bytes sink(size + 1, 0xEE);
      ctx.rsp_sink = sink.data();
      ctx.rsp_sink_cap = static_cast<int32_t>(size);
      int32_t len = 0;
      ASSERT_EQ(client_recv_response_imp(&ctx, &len), 0);
      EXPECT_EQ(ctx.rsp_sink, nullptr);  // taken by this receive alone
      ASSERT_EQ(ctx.rsp_sink_got, static_cast<int32_t>(size));
      EXPECT_TRUE(bytes(sink.begin(), sink.begin() + static_cast<long>(size)) == data);
      EXPECT_EQ(sink[size], 0xEE);  // nothing past the capacity
      const blob_attr* tb[5];
      ASSERT_EQ(client_parse_response(&ctx, len, p->rsp, p->rsp_n, tb), 0);
      EXPECT_EQ(blobmsg_get_u32(tb[2]), size);
      EXPECT_EQ(blobmsg_data_len(tb[4]), 0);
      EXPECT_EQ(mem_left(ctx.nc), next);
    }
  }
}

// Anything else lands in the receive buffer whole, as without a sink: data
// larger than the caller's buffer, an error answer, data that is not the
// last attribute, and with lz4 a block that is not literals alone (packed
// data, a token with a match length, a head that counts other literals)
// or whose literals would not fit.
TEST(RecvResponse, AnswersThatDoNotFitTheCallersBufferStayWhole) {
  const wysd_msg_policy* p = wysd_msg_policy_get(WYSD_CMD_PREAD);
  bytes data = incompressible(5000), lit = lz4_literals(data);
  bytes text = compressible(5000), packed(static_cast<size_t>(sdcomp_bound(5000)));
  {
    sdcomp_slot s;
    ASSERT_EQ(sdcomp_select(&s, "lz4"), 0);
    packed.resize(static_cast<size_t>(sdcomp_pack(&s, text.data(), 5000, packed.data(), 5000)));
  }
  bytes nibble = lit, miscount = lit;
  nibble[0] |= 0x04;
  miscount[3] ^= 1;  // a length byte: another count for the same size
  struct Case {
    const char* what;
    const char* codec;
    bytes in;
    int32_t cap;
    int parse;
  } cases[] = {
      {"too long", "none", read_answer(data), 4999, 0},
      {"error", "none", read_answer(data, -4), 5000, WYSD_ST_SRV_ERROR},
      {"not last", "none", read_answer(data, 0, "more"), 5000, 0},
      {"small, not last", "none", read_answer(bytes(3, 7), 0, "more"), 5000, 0},
      {"lz4 packed", "lz4", read_answer(text, 0, nullptr, &packed), 5000, 0},
      {"lz4 match nibble", "lz4", read_answer(data, 0, nullptr, &nibble), 5000, 0},
      {"lz4 other count", "lz4", read_answer(data, 0, nullptr, &miscount), 5000, 0},
      {"lz4 too long", "lz4", read_answer(data, 0, nullptr, &lit), 4999, 0},
      {"no codec", "", read_answer(data), 5000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bytes next = frame(2, 4, msg_of_len(12)), in = c.in;
    in.insert(in.end(), next.begin(), next.end());
    wysd_cli_ctx ctx;
    if (c.codec[0] != '\0') {
      ASSERT_EQ(sdcomp_select(&ctx.pack, c.codec), 0);
    }
    ASSERT_EQ(net_mem_init(&ctx.nc, in.data(), in.size()), 0);
    bytes sink(5000, 0xEE);
    ctx.rsp_sink = sink.data();
    ctx.rsp_sink_cap = c.cap;
    int32_t len = 0;
    ASSERT_EQ(client_recv_response_imp(&ctx, &len), 0);
    EXPECT_EQ(ctx.rsp_sink_got, -1);
    EXPECT_EQ(len, static_cast<int32_t>(c.in.size() - 4));
    EXPECT_TRUE(bytes(ctx.rbuf.buf.get(), ctx.rbuf.buf.get() + len) == bytes(c.in.begin() + 4, c.in.end()));
    EXPECT_EQ(sink, bytes(5000, 0xEE));
    const blob_attr* tb[5];
    EXPECT_EQ(client_parse_response(&ctx, len, p->rsp, p->rsp_n, tb), c.parse);
    EXPECT_EQ(mem_left(ctx.nc), next);
  }
  // Cut inside the data, or inside a literal head: a short body, as
  // without a sink.
  for (const char* codec : {"none", "lz4"}) {
    SCOPED_TRACE(codec);
    bytes big = incompressible(100000), big_lit = lz4_literals(big);
    bytes cut = strcmp(codec, "none") == 0 ? read_answer(data) : read_answer(big, 0, nullptr, &big_lit);
    cut.resize(strcmp(codec, "none") == 0 ? cut.size() - 100 : 4 + 100 + 200);
    wysd_cli_ctx ctx;
    ASSERT_EQ(sdcomp_select(&ctx.pack, codec), 0);
    ASSERT_EQ(net_mem_init(&ctx.nc, cut.data(), cut.size()), 0);
    bytes sink(100000);
    ctx.rsp_sink = sink.data();
    ctx.rsp_sink_cap = 100000;
    int32_t len = 0;
    EXPECT_EQ(client_recv_response_imp(&ctx, &len), WYSD_ST_DATA_LEN_ERROR);
    EXPECT_EQ(ctx.rsp_sink_got, -1);
  }
}

TEST(Sdcomp, LookupAndBound) {
  ASSERT_NE(sdcomp_find("none"), nullptr);
  ASSERT_NE(sdcomp_find("lz4"), nullptr);
  EXPECT_EQ(sdcomp_find("lz4")->id(), SDCOMP_LZ4);
  EXPECT_EQ(sdcomp_find_id(SDCOMP_NONE), sdcomp_find("none"));
  EXPECT_EQ(sdcomp_find_id(1), sdcomp_find("lz4"));
  EXPECT_EQ(sdcomp_find("zstd"), nullptr);
  EXPECT_EQ(sdcomp_find_id(2), nullptr);
  EXPECT_EQ(sdcomp_bound(0), 16);
  EXPECT_EQ(sdcomp_bound(1000), 1000 + 3 + 16);
  EXPECT_EQ(sdcomp_bound(0x7E000000), 0x7E000000 + 0x7E000000 / 255 + 16);
  EXPECT_EQ(sdcomp_bound(0x7E000001), 0);
  EXPECT_EQ(sdcomp_bound(-1), 0);
}

TEST(Sdcomp, Lz4PacksCompressibleSmallAndStaysInsideCapacities) {
  sdcomp_slot s;
  ASSERT_EQ(sdcomp_select(&s, "lz4"), 0);
  bytes text = compressible(100000);
  bytes out(static_cast<size_t>(sdcomp_bound(100000)));
  int n = sdcomp_pack(&s, text.data(), 100000, out.data(), static_cast<int>(out.size()));
  ASSERT_GT(n, 0);
  EXPECT_LT(n, 10000);
  bytes back(100000);
  EXPECT_EQ(sdcomp_unpack(&s, out.data(), n, back.data(), 100000), 100000);
  EXPECT_TRUE(back == text);
  // Output capacity one short: refused, not overrun (exactly sized heap
  // buffer so ASan would catch a write past it).
  bytes small(99999);
  EXPECT_LT(sdcomp_unpack(&s, out.data(), n, small.data(), 99999), 0);

  bytes noise = incompressible(50000);
  bytes out2(static_cast<size_t>(sdcomp_bound(50000)));
  int m = sdcomp_pack(&s, noise.data(), 50000, out2.data(), static_cast<int>(out2.size()));
  ASSERT_GT(m, 50000);  // grows, but within the bound
  EXPECT_LE(m, sdcomp_bound(50000));
  bytes tight(1000);
  EXPECT_LT(sdcomp_pack(&s, noise.data(), 50000, tight.data(), 1000), 0);

  // Damaged packed data fails cleanly.
  bytes junk = incompressible(4096);
  junk[0] = 0xff;
  bytes sink(8192);
  EXPECT_LT(sdcomp_unpack(&s, junk.data(), 4096, sink.data(), 8192), 0);
}

// Literal-only blocks are what any LZ4 decoder reads back, at every edge of
// the length encoding; a big block that starts without repeats goes as one,
// a compressible one is still packed.
TEST(Sdcomp, Lz4LiteralBlocksDecodeAndIncompressibleBlocksSkipTheSearch) {
  sdcomp_slot s;
  ASSERT_EQ(sdcomp_select(&s, "lz4"), 0);
  for (int n : {0, 1, 14, 15, 16, 269, 270, 271, 524, 525, 100000}) {
    SCOPED_TRACE(n);
    bytes data = incompressible(static_cast<size_t>(n));
    bytes out(static_cast<size_t>(sdcomp_bound(n)));
    int k = sdcomp_lz4_literals(data.data(), n, out.data(), static_cast<int>(out.size()));
    ASSERT_GT(k, n);
    EXPECT_EQ(sdcomp_lz4_literals(data.data(), n, out.data(), k - 1), -1);  // one short: refused
    bytes back(static_cast<size_t>(n) + 1);
    EXPECT_EQ(sdcomp_unpack(&s, out.data(), k, back.data(), n), n);
    back.resize(static_cast<size_t>(n));
    EXPECT_TRUE(back == data);
  }
  const int big = 2 * 1048576;
  bytes noise = incompressible(big), text = compressible(big);
  bytes out(static_cast<size_t>(sdcomp_bound(big))), lit(out.size());
  int k = sdcomp_pack(&s, noise.data(), big, out.data(), static_cast<int>(out.size()));
  EXPECT_EQ(k, sdcomp_lz4_literals(noise.data(), big, lit.data(), static_cast<int>(lit.size())));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + k, lit.begin()));
  bytes back(big);
  EXPECT_EQ(sdcomp_unpack(&s, out.data(), k, back.data(), big), big);
  EXPECT_TRUE(back == noise);
  k = sdcomp_pack(&s, text.data(), big, out.data(), static_cast<int>(out.size()));
  EXPECT_GT(k, 0);
  EXPECT_LT(k, big / 10);
  EXPECT_EQ(sdcomp_unpack(&s, out.data(), k, back.data(), big), big);
  EXPECT_TRUE(back == text);
}

// What the readers take without unpacking is exactly what the decoder
// gives: literal blocks at the edges of the length encoding, and damaged
// or foreign blocks (heads changed, cut, grown) either refused by both,
// taken by both alike, or left to the decoder.
TEST(Sdcomp, RawViewsAgreeWithTheDecoder) {
  sdcomp_slot lz4, none;
  ASSERT_EQ(sdcomp_select(&lz4, "lz4"), 0);
  ASSERT_EQ(sdcomp_select(&none, "none"), 0);
  for (int n : {0, 1, 14, 15, 16, 269, 270, 271, 524, 525, 100000}) {
    SCOPED_TRACE(n);
    bytes data = incompressible(static_cast<size_t>(n)), lit = lz4_literals(data);
    int k = static_cast<int>(lit.size()), h = k - n;
    EXPECT_EQ(sdcomp_raw_head(&lz4, n, nullptr), h);
    EXPECT_EQ(sdcomp_raw_count(&lz4, k), n);
    EXPECT_TRUE(sdcomp_raw_head_is(&lz4, lit.data(), h, n));
    const uint8_t* at = nullptr;
    EXPECT_EQ(sdcomp_raw_view(&lz4, lit.data(), k, &at), n);
    EXPECT_EQ(at, lit.data() + h);
    EXPECT_EQ(sdcomp_raw_view(&none, data.data(), n, &at), n);
    EXPECT_EQ(sdcomp_raw_count(&none, n), n);
    EXPECT_EQ(sdcomp_raw_head(&none, n, nullptr), 0);
  }
  // Whether data goes raw: always unpacked; with lz4 only big blocks that
  // do not shrink at their start.
  bytes noise = incompressible(2 * 1048576), text = compressible(2 * 1048576);
  EXPECT_TRUE(sdcomp_goes_raw(&none, text.data(), 10));
  EXPECT_TRUE(sdcomp_goes_raw(&lz4, noise.data(), static_cast<int>(noise.size())));
  EXPECT_FALSE(sdcomp_goes_raw(&lz4, text.data(), static_cast<int>(text.size())));
  EXPECT_FALSE(sdcomp_goes_raw(&lz4, noise.data(), 100000));

  std::mt19937 rng(7);
  int taken = 0, left = 0, refused = 0;
  for (int i = 0; i < 3000; i++) {
    int n = static_cast<int>(rng() % 700);
    bytes block = lz4_literals(incompressible(static_cast<size_t>(n)));
    switch (rng() % 4) {
      case 0: block[rng() % std::min<size_t>(block.size(), 4)] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 1: block.resize(block.size() - 1 - rng() % std::min<size_t>(block.size(), 3)); break;
      case 2: block.push_back(static_cast<uint8_t>(rng())); break;
      default: block[0] = static_cast<uint8_t>(rng()); break;
    }
    int k = static_cast<int>(block.size());
    bytes out(1000, 0);
    int un = sdcomp_unpack(&lz4, block.data(), k, out.data(), 1000);
    const uint8_t* at = nullptr;
    int v = sdcomp_raw_view(&lz4, block.data(), k, &at);
    if (v >= 0) {
      taken++;
      ASSERT_EQ(un, v) << i;
      EXPECT_TRUE(std::equal(at, at + v, out.begin())) << i;
    } else if (un >= 0) {
      left++;
    } else {
      refused++;
    }
  }
  EXPECT_GT(taken, 100);
  EXPECT_GT(left, 10);
  EXPECT_GT(refused, 100);
}

TEST(Sdcomp, NoneRefusesDataLongerThanTheBuffer) {
  sdcomp_slot s;
  ASSERT_EQ(sdcomp_select(&s, "none"), 0);
  bytes in = {1, 2, 3, 4, 5};
  bytes out(4);
  EXPECT_LT(sdcomp_unpack(&s, in.data(), 5, out.data(), 4), 0);
  EXPECT_LT(sdcomp_pack(&s, in.data(), 5, out.data(), 4), 0);
  out.resize(5);
  EXPECT_EQ(sdcomp_unpack(&s, in.data(), 5, out.data(), 5), 5);
  EXPECT_EQ(out, in);
}

TEST(Sdcomp, SelectByNameThenByStoredId) {
  sdcomp_slot s;
  EXPECT_EQ(sdcomp_pack(&s, "a", 1, nullptr, 0), -1);  // no codec yet
  ASSERT_EQ(sdcomp_select(&s, "lz4"), 0);
  EXPECT_STREQ(s.name, "lz4");
  EXPECT_EQ(s.id, SDCOMP_LZ4);
  EXPECT_EQ(sdcomp_select(&s, "brotli-extra-long-name"), -1);
  EXPECT_EQ(s.codec, nullptr);
  EXPECT_STREQ(s.name, "brotli-extra-lo");  // kept at 15 characters
  bytes out(32);
  EXPECT_EQ(sdcomp_pack(&s, "abc", 3, out.data(), 32), -1);
  // An empty name falls back to the stored id.
  s.id = SDCOMP_NONE;
  ASSERT_EQ(sdcomp_select(&s, ""), 0);
  EXPECT_STREQ(s.codec->name(), "none");
  EXPECT_EQ(sdcomp_pack(&s, "abc", 3, out.data(), 32), 3);
}

}  // namespace
