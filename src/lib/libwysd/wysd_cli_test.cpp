// The client connection without a real server: URL options, the
// information text, status to error record, requests answered from memory,
// and request sequences against a scripted peer on a socket pair.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "libpwd.h"
#include "libwysd.h"
#include "pal_hash.h"
#include "wysd_cli_imp.h"

namespace {

using bytes = std::vector<uint8_t>;

wysd_cli_opts opts_of(const std::string& url, int want = 0, cdir_err* err = nullptr) {
  wysd_cli_opts o;
  cdir_err e;
  EXPECT_EQ(wysd_cli_read_opts(url.c_str(), &o, err != nullptr ? err : &e), want) << url;
  return o;
}

TEST(CliOpts, DefaultsWithoutQuery) {
  wysd_cli_opts o = opts_of("wyp://bob:pw@10.0.0.5/data");
  EXPECT_FALSE(o.ssl);
  EXPECT_EQ(o.host, "10.0.0.5");
  EXPECT_EQ(o.port, 6688);
  EXPECT_EQ(o.user, "bob");
  EXPECT_EQ(o.passwd, "pw");
  EXPECT_EQ(o.connect_timeout, 4000);
  EXPECT_EQ(o.read_timeout, 10000);
  EXPECT_EQ(o.write_timeout, 8000);
  EXPECT_EQ(o.pack, "lz4");
  EXPECT_EQ(o.block_size, 10485760);
  EXPECT_EQ(o.rdir_size, 1048576);
  EXPECT_EQ(o.sock_bufsize, 262144u);
  EXPECT_TRUE(o.proxy_url.empty());
  EXPECT_TRUE(o.proxy.empty());
  EXPECT_EQ(opts_of("WYPS://h/").port, 6686);
  EXPECT_TRUE(opts_of("WyPs://h/").ssl);
  EXPECT_EQ(opts_of("wyps://h:7000/").port, 7000);
}

TEST(CliOpts, QueryValues) {
  wysd_cli_opts o = opts_of("wyp://h/p?read_timeout=5&write_timeout=9&connect_timeout=2");
  EXPECT_EQ(o.read_timeout, 5000);
  EXPECT_EQ(o.write_timeout, 4000);  // at most the read time-out minus a second
  EXPECT_EQ(o.connect_timeout, 2000);
  o = opts_of("wyp://h/p?read_timeout=0&write_timeout=-3&connect_timeout=x&pack=");
  EXPECT_EQ(o.read_timeout, 10000);
  EXPECT_EQ(o.write_timeout, 8000);
  EXPECT_EQ(o.connect_timeout, 4000);
  EXPECT_EQ(o.pack, "lz4");
  o = opts_of("wyp://h/p?pack=none&mblock-size=4M&rdir-size=2k&sock-bufsize=1M&proxy=corp&ssl-cipher=AES");
  EXPECT_EQ(o.pack, "none");
  EXPECT_EQ(o.block_size, 4 << 20);
  EXPECT_EQ(o.rdir_size, 2048);
  EXPECT_EQ(o.sock_bufsize, 1u << 20);
  EXPECT_EQ(o.proxy, "corp");
  EXPECT_EQ(o.cipher, "AES");
  // A block too large for one message is cut to what a message can carry.
  EXPECT_EQ(opts_of("wyp://h/?mblock-size=1G").block_size, WYSD_CLI_BLOCK_MAX);
  EXPECT_LT(sdcomp_bound(WYSD_CLI_BLOCK_MAX) + 256, BLOB_LEN_MAX);
  // Values are cut to their lengths.
  EXPECT_EQ(opts_of("wyp://h/?pack=abcdefghijklmnopqrstuvwxyz").pack, "abcdefghijklmno");
}

TEST(CliOpts, ProxyUrlIsBase64) {
  std::string enc = base64_encode("http://p:3128", 13);
  // "=" in the value is escaped in a query.
  std::string esc;
  for (char c : enc) esc += c == '=' ? std::string("%3D") : std::string(1, c);
  EXPECT_EQ(opts_of("wyp://h/?proxy_url=" + esc).proxy_url, "http://p:3128");
  cdir_err err;
  opts_of("wyp://h/?proxy_url=%25%25notbase64", -1, &err);
  EXPECT_EQ(err.verr, -2);
}

TEST(CliInfo, ValuesVersionsAndPlatform) {
  const char* text =
      "ver=[1.6.4]\n  plat =[windows]\narch=[x[86]_64]\nbit=[64]\norder=[little]\nis_root=[yes]\n";
  wysd_srv_info si;
  wysd_parse_info(text, &si);
  EXPECT_EQ(si.ver, "1.6.4");
  EXPECT_EQ(si.plat, "windows");
  EXPECT_EQ(si.arch, "x[86]_64");  // first "[" to last "]"
  EXPECT_EQ(si.bit, "64");
  EXPECT_EQ(si.is_root, "yes");
  wysd_cli_ctx ctx;
  wysd_cli_apply_info(&ctx, si);
  EXPECT_TRUE(ctx.pos_io);
  EXPECT_TRUE(ctx.win_srv);
  EXPECT_EQ(ctx.srv_ver, "1.6.4");

  si = wysd_srv_info();
  wysd_parse_info("ver=[1.6.3]\nplat=[linux]\n", &si);
  wysd_cli_apply_info(&ctx, si);
  EXPECT_FALSE(ctx.pos_io);
  EXPECT_FALSE(ctx.win_srv);
  si.ver = "1.10.0";  // numeric, not text order
  wysd_cli_apply_info(&ctx, si);
  EXPECT_TRUE(ctx.pos_io);
  si.ver = "0.9";
  wysd_cli_apply_info(&ctx, si);
  EXPECT_FALSE(ctx.pos_io);

  std::string v;
  // The walk stops at a line without "=".
  EXPECT_FALSE(wysd_info_value("a=[1]\nnot a pair\nver=[2]\n", "ver", 31, &v));
  EXPECT_TRUE(wysd_info_value("\n\nver=[2]\n", "ver", 31, &v));
  EXPECT_EQ(v, "2");
  // Too long for its field: left empty.
  EXPECT_FALSE(wysd_info_value("bit=[12345678]\n", "bit", 7, &v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(wysd_info_value("verx=[1]\n", "ver", 31, &v));
}

TEST(CliError, StatusToErrorRecord) {
  wysd_cli_ctx ctx;
  ctx.err = &ctx.own_err;
  struct Case {
    int st;
    int code;
    const char* msg;
  } cases[] = {
      {0, 0, ""},
      {2, -466, "read data content error"},
      {3, -40, "read data timeout"},
      {8, -40, "read data timeout"},
      {5, -8, "memory allocation failed"},
      {7, -1, "unkown error=7"},
      {-1, -1, "unkown error=-1"},
  };
  for (const Case& c : cases) {
    wysd_cli_set_last_error(&ctx, c.st);
    EXPECT_EQ(ctx.err->verr, c.code) << c.st;
    EXPECT_EQ(ctx.err->msg, c.msg) << c.st;
    EXPECT_STREQ(ctx.err->func, "wysd_cli_set_last_error");
  }
  ctx.srv_errno = -102;
  ctx.srv_errstr = "File not found.";
  wysd_cli_set_last_error(&ctx, 4);
  EXPECT_EQ(ctx.err->verr, -102);
  EXPECT_EQ(ctx.err->msg, "File not found.");
  os_socket_errno_set(0);
  wysd_cli_set_last_error(&ctx, 1);
  EXPECT_EQ(ctx.err->verr, -400);
  EXPECT_EQ(ctx.err->msg, "read data net error");
  os_socket_errno_set(ECONNRESET);
  wysd_cli_set_last_error(&ctx, 1);
  EXPECT_EQ(ctx.err->verr, os_verr_get(ECONNRESET));
  EXPECT_EQ(ctx.err->msg, os_errno_str(ECONNRESET, nullptr, 0));
  os_socket_errno_set(0);
}

// ---------------------------------------------------------------------------
// Requests answered from memory: one canned response, and what was sent.

bytes frame_of(uint8_t code, const blob_buf& b) {
  bytes f = {0x57, 0x59, 2, code};
  f.insert(f.end(), blob_buf_data(&b), blob_buf_data(&b) + blob_buf_len(&b));
  return f;
}

bytes ok_rsp(uint8_t code, const std::function<void(blob_buf*)>& more = {}) {
  blob_buf b;
  wysd_srv_rsp_begin(&b, 0, "");
  if (more) more(&b);
  return frame_of(code, b);
}

struct MemConn {
  wysd_cli_ctx ctx;
  explicit MemConn(const bytes& canned, const char* ver = "1.8.0") {
    ctx.err = &ctx.own_err;
    ctx.srv_ver = ver;
    ctx.pos_io = true;
    sdcomp_select(&ctx.pack, "none");
    net_mem_init(&ctx.nc, canned.data(), canned.size());
  }
  // What the client wrote after the canned bytes, taken apart by the
  // server half: code and message length (-1 when nothing came).
  int sent(wysd_rbuf* rb, int32_t* len) {
    uint8_t code = 0;
    bool too_long = false;
    net_conn copy;
    uint64_t n = 0;
    const uint8_t* d = net_mem_peek(&ctx.nc, &n);
    if (n == 0) return -1;
    net_mem_init(&copy, d, n);
    if (wysd_srv_recv_request(&copy, &code, rb, len, 1 << 24, &too_long) != 0) return -2;
    return code;
  }
};

TEST(CliMem, OpenSendsPathAndSignExtendedFlags) {
  MemConn m(ok_rsp(WYSD_CMD_OPEN, [](blob_buf* b) { blobmsg_add_u64(b, "fd", 42); }));
  wysd_cli_file* f = wysd_cli_open(&m.ctx, "dir/a.txt", 0x80000001u);
  ASSERT_NE(f, nullptr) << m.ctx.err->msg;
  EXPECT_EQ(f->fd, 42);
  EXPECT_EQ(m.ctx.files.size(), 1u);
  wysd_rbuf rb;
  int32_t len = 0;
  ASSERT_EQ(m.sent(&rb, &len), WYSD_CMD_OPEN);
  const wysd_msg_policy* p = wysd_msg_policy_get(WYSD_CMD_OPEN);
  const blob_attr* tb[2];
  ASSERT_EQ(wysd_srv_parse_request(p, &rb, len, tb), 0);
  EXPECT_STREQ(blobmsg_get_string(tb[0]), "dir/a.txt");
  EXPECT_EQ(blobmsg_get_u64(tb[1]), 0xFFFFFFFF80000001ull);
  EXPECT_EQ(m.ctx.cmd_send_count, 1u);
  wysd_cli_close_all(&m.ctx);
  EXPECT_TRUE(m.ctx.files.empty());
}

TEST(CliMem, ServerErrorsAndBadResponsesReachTheErrorRecord) {
  {
    blob_buf b;
    wysd_srv_rsp_begin(&b, -102, "File not found.");
    MemConn m(frame_of(WYSD_CMD_OPEN, b));
    EXPECT_EQ(wysd_cli_open(&m.ctx, "gone", 0x1081), nullptr);
    EXPECT_EQ(m.ctx.err->verr, -102);
    EXPECT_EQ(m.ctx.err->msg, "File not found.");
    EXPECT_TRUE(m.ctx.files.empty());
  }
  for (uint8_t n : {1, 3}) {
    // A message shorter than its header: the frame is whole, the parse
    // fails, and no repair starts although auto reconnect is on.
    MemConn m({0x57, 0x59, 2, WYSD_CMD_OPEN, 0x02, 0, 0, n});
    m.ctx.auto_reconnect = true;
    m.ctx.srv_ctx_id = 7;
    EXPECT_EQ(wysd_cli_open(&m.ctx, "x", 0x1081), nullptr);
    EXPECT_EQ(m.ctx.err->verr, -466);
    EXPECT_EQ(m.ctx.err->msg, "read data content error");
    EXPECT_FALSE(m.ctx.fix_failed);
  }
}

TEST(CliMem, ReadDataLongerThanTheBufferIsAnUnpackError) {
  MemConn m(ok_rsp(WYSD_CMD_PREAD, [](blob_buf* b) {
    blobmsg_add_u32(b, "len", 8);
    blobmsg_add_u32(b, "flags", 0);
    blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", "12345678", 8);
  }));
  wysd_cli_file* f = new wysd_cli_file;
  f->conn = &m.ctx;
  f->fd = 3;
  m.ctx.files.push_back(f);
  char buf[4];
  // A chunk of at most 204800 bytes is not retried.
  EXPECT_EQ(wysd_cli_read(f, buf, sizeof buf, 0), -1);
  EXPECT_EQ(m.ctx.err->msg, "unkown error=7");
  EXPECT_EQ(m.ctx.block_size, 10485760);
}

TEST(CliMem, PackingNamedByTheControlIsSelected) {
  MemConn m(ok_rsp(WYSD_CMD_IOCTL));
  ASSERT_EQ(wysd_cli_ioctl(&m.ctx, WYSD_IOCTL_PACK, "lz4", -1), 0);
  EXPECT_EQ(m.ctx.pack.id, SDCOMP_LZ4);
  wysd_rbuf rb;
  int32_t len = 0;
  ASSERT_EQ(m.sent(&rb, &len), WYSD_CMD_IOCTL);
  const blob_attr* tb[4];
  ASSERT_EQ(wysd_srv_parse_request(wysd_msg_policy_get(WYSD_CMD_IOCTL), &rb, len, tb), 0);
  EXPECT_EQ(blobmsg_get_u64(tb[0]), 0u);  // on the connection
  EXPECT_EQ(blobmsg_get_u32(tb[1]), static_cast<uint32_t>(WYSD_IOCTL_PACK));
  EXPECT_EQ(blobmsg_get_u32(tb[2]), 4u);
  EXPECT_EQ(std::string(static_cast<const char*>(blobmsg_data(tb[3])), 4), std::string("lz4", 4));

  // A name the server accepts but we do not know.
  MemConn u(ok_rsp(WYSD_CMD_IOCTL));
  EXPECT_EQ(wysd_cli_ioctl(&u.ctx, WYSD_IOCTL_PACK, "zstd", -1), -1);
  EXPECT_EQ(u.ctx.err->msg, "unkown error=-1");
  EXPECT_EQ(u.ctx.pack.codec, nullptr);
}

TEST(CliMem, ControlsTextFormsAndResultCut) {
  MemConn m(ok_rsp(WYSD_CMD_IOCTL2, [](blob_buf* b) { blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", "abcdef", 6); }));
  char out[4];
  int32_t olen = -1;
  ASSERT_EQ(wysd_cli_ioctl2(&m.ctx, WYSD_IOCTL2_MFILE_LIST_RET, nullptr, 0, out, sizeof out, &olen), 0);
  EXPECT_EQ(olen, 4);
  EXPECT_EQ(std::string(out, 4), "abcd");

  struct Case {
    const char* a;
    const char* b;
    std::string want;
  } cases[] = {{"base", "list", std::string("base\tlist\0", 10)},
               {nullptr, "list", std::string("\tlist\0", 6)},
               {"base", nullptr, std::string("base\0", 5)}};
  for (const Case& c : cases) {
    MemConn t(ok_rsp(WYSD_CMD_IOCTL2, [](blob_buf* b) { blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", "", 0); }));
    ASSERT_EQ(wysd_cli_text_ctl(&t.ctx, WYSD_IOCTL2_MFILE_READ_LIST, c.a, c.b), 0);
    wysd_rbuf rb;
    int32_t len = 0;
    ASSERT_EQ(t.sent(&rb, &len), WYSD_CMD_IOCTL2);
    const blob_attr* tb[4];
    ASSERT_EQ(wysd_srv_parse_request(wysd_msg_policy_get(WYSD_CMD_IOCTL2), &rb, len, tb), 0);
    EXPECT_EQ(std::string(static_cast<const char*>(blobmsg_data(tb[2])), static_cast<size_t>(blobmsg_data_len(tb[2]))),
              c.want);
  }
}

TEST(CliMem, OldServersHaveNoReaderAndNothingIsSent) {
  MemConn m({}, "1.7.7");
  EXPECT_EQ(wysd_cli_rdir_open(&m.ctx, "/d", 0, 0), -1);
  EXPECT_EQ(m.ctx.err->verr, -12);
  EXPECT_EQ(m.ctx.err->msg, "not supported, please upgrade wysd to the latest version");
  EXPECT_EQ(wysd_cli_mfile_open(&m.ctx, 1, 2), -1);
  EXPECT_EQ(m.ctx.err->verr, -12);
  uint64_t n = 1;
  net_mem_peek(&m.ctx.nc, &n);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(m.ctx.cmd_send_count, 0u);
}

TEST(CliMem, HandlesAreValidated) {
  MemConn m({});
  EXPECT_EQ(cli_get_ctx(nullptr, nullptr), nullptr);
  int64_t fd = -1;
  EXPECT_EQ(cli_get_ctx(&m.ctx, &fd), &m.ctx);
  wysd_cli_file f;
  f.conn = &m.ctx;
  f.fd = 9;
  EXPECT_EQ(cli_get_ctx(&f, &fd), &m.ctx);
  EXPECT_EQ(fd, 9);
  f.type = 5;
  EXPECT_EQ(cli_get_ctx(&f, &fd), nullptr);
  EXPECT_EQ(wysd_cli_ioctl(&f, WYSD_IOCTL_MKDIRS, "x", -1), -1);
  EXPECT_EQ(wysd_cli_read(&f, nullptr, 0, -1), -1);
  EXPECT_EQ(wysd_cli_set_fd_read_timeout(&f, 5), -1);
  EXPECT_EQ(m.ctx.cmd_send_count, 0u);
}

TEST(CliMem, AfterAFailedRepairNothingIsSent) {
  MemConn m({});
  m.ctx.fix_failed = true;
  EXPECT_EQ(wysd_cli_ioctl(&m.ctx, WYSD_IOCTL_MKDIRS, "x", -1), -1);
  EXPECT_EQ(m.ctx.err->verr, -40);
  uint64_t n = 1;
  net_mem_peek(&m.ctx.nc, &n);
  EXPECT_EQ(n, 0u);
}

// ---------------------------------------------------------------------------
// A scripted peer on a socket pair: it records every request and answers
// with what the script adds after "errno" and "errno_str".

struct Seen {
  int code;
  std::map<std::string, std::string> a;  // attribute payloads by name
  uint64_t u(const std::string& n) const {
    auto it = a.find(n);
    if (it == a.end()) return ~0ull;
    uint64_t v = 0;
    for (char c : it->second) v = v << 8 | static_cast<uint8_t>(c);
    return v;
  }
  std::string s(const std::string& n) const {
    auto it = a.find(n);
    return it == a.end() ? "<none>" : std::string(it->second.c_str());
  }
};

class Peer {
 public:
  // Answer: fills the response (errno set by *eno) for a request.
  using Script = std::function<void(const Seen&, int32_t* eno, blob_buf* extra)>;
  Peer(uint8_t proto, Script script) : proto_(proto), script_(std::move(script)) {
    EXPECT_EQ(os_socket_pair(sp_), 0);
    ctx.err = &ctx.own_err;
    ctx.nc.handle = sp_[0];
    ctx.nc.timeout = 3000;
    sdcomp_select(&ctx.pack, "none");
    th_ = std::thread([this] { run(); });
  }
  ~Peer() {
    net_close(&ctx.nc);  // the peer's read ends
    th_.join();
    os_socket_exit(sp_[1]);
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> g(mu_);
    return seen_;
  }
  wysd_cli_ctx ctx;

 private:
  void run() {
    net_conn nc;
    nc.handle = sp_[1];
    nc.timeout = 3000;
    wysd_rbuf rb;
    for (int i = 0; i < 100; i++) {
      uint8_t code = 0;
      int32_t len = 0;
      bool too_long = false;
      if (wysd_srv_recv_request(&nc, &code, &rb, &len, 1 << 24, &too_long) != 0) break;
      const wysd_msg_policy* p = wysd_msg_policy_get(code);
      Seen s{code, {}};
      if (p != nullptr && p->req_n > 0) {
        std::vector<const blob_attr*> tb(static_cast<size_t>(p->req_n));
        if (wysd_srv_parse_request(p, &rb, len, tb.data()) == 0)
          for (int k = 0; k < p->req_n; k++)
            s.a[p->req[k].name] =
                std::string(static_cast<const char*>(blobmsg_data(tb[k])), static_cast<size_t>(blobmsg_data_len(tb[k])));
      }
      {
        std::lock_guard<std::mutex> g(mu_);
        seen_.push_back(s);
      }
      if (code == WYSD_CMD_BYE) break;
      int32_t eno = 0;
      blob_buf extra;
      blob_buf_init(&extra);
      script_(s, &eno, &extra);
      blob_buf b;
      wysd_srv_rsp_begin(&b, eno, eno != 0 ? "refused" : "");
      // The script's attributes follow the two the response starts with.
      const uint8_t* d = blob_buf_data(&extra);
      int32_t n = blob_raw_len(reinterpret_cast<const blob_attr*>(d)) - 4;
      for (int32_t off = 0; off < n;) {
        auto* a = reinterpret_cast<const blob_attr*>(d + 4 + off);
        std::string name(reinterpret_cast<const char*>(a) + 6, static_cast<size_t>(blobmsg_namelen(a)));
        blobmsg_add_field(&b, blob_id(a), name.c_str(), blobmsg_data(a), blobmsg_data_len(a));
        off += blob_pad_len(a);
      }
      if (wysd_srv_send_response(&nc, proto_, code, &b) != 0) break;
    }
    nc.handle = 0;
  }
  os_socket_t sp_[2];
  uint8_t proto_;
  Script script_;
  std::thread th_;
  std::mutex mu_;
  std::vector<Seen> seen_;
};

void add_read_data(blob_buf* b, const std::string& d) {
  blobmsg_add_u32(b, "len", static_cast<uint32_t>(d.size()));
  blobmsg_add_u32(b, "flags", 0);
  blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", d.data(), static_cast<int32_t>(d.size()));
}

TEST(CliPeer, AProbeTheServerAcceptsSendsNoCredentials) {
  Peer p(1, [](const Seen&, int32_t*, blob_buf* x) { blobmsg_add_u32(x, "os_type", 2); });
  p.ctx.user = "bob";
  p.ctx.passwd = "pw";
  EXPECT_EQ(cli_login(&p.ctx), 0);
  auto s = p.seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].s("user"), ":");
  EXPECT_EQ(s[0].s("passwd"), "");
}

TEST(CliPeer, ProtocolOneLogsInWithTheShaOfThePassword) {
  Peer p(1, [](const Seen& s, int32_t* eno, blob_buf* x) {
    if (s.s("user") == ":") *eno = 1;
    blobmsg_add_u32(x, "os_type", 2);
  });
  p.ctx.user = "bob";
  p.ctx.passwd = "pw";
  EXPECT_EQ(cli_login(&p.ctx), 0);
  auto s = p.seen();
  ASSERT_EQ(s.size(), 2u);
  uint8_t dig[SHA1_DIGEST_SIZE];
  hash_sha1("pw", 2, dig);
  EXPECT_EQ(s[1].code, WYSD_CMD_LOGIN);
  EXPECT_EQ(s[1].s("user"), "bob");
  EXPECT_EQ(s[1].s("passwd"), "{SHA}" + base64_encode(dig, sizeof dig));
}

TEST(CliPeer, OtherProtocolsRunTheChallenge) {
  Peer p(2, [](const Seen& s, int32_t* eno, blob_buf* x) {
    if (s.code == WYSD_CMD_LOGIN) *eno = 1;
    if (s.code == WYSD_CMD_LOGIN2) {
      blobmsg_add_u32(x, "ver", 1);
      blobmsg_add_string(x, "cert", "c3rt");
    }
    if (s.code == WYSD_CMD_LOGIN) blobmsg_add_u32(x, "os_type", 2);
  });
  p.ctx.user = "amy";
  p.ctx.passwd = "s3";
  EXPECT_EQ(cli_login(&p.ctx), 0);
  auto s = p.seen();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[1].code, WYSD_CMD_LOGIN2);
  EXPECT_EQ(s[1].s("user"), "amy");
  EXPECT_EQ(s[1].u("ver"), 1u);
  char key[LIBPWD_KEY_SIZE];
  ASSERT_EQ(libpwd_build_key("amy", "s3", "c3rt", key, sizeof key), 0);
  EXPECT_EQ(s[2].code, WYSD_CMD_LOGIN3);
  EXPECT_EQ(s[2].s("lkey"), key);
}

TEST(CliPeer, AProbeRefusedWithAnotherCodeIsTheResult) {
  Peer p(1, [](const Seen&, int32_t* eno, blob_buf*) { *eno = -89; });
  EXPECT_EQ(cli_login(&p.ctx), WYSD_ST_SRV_ERROR);
  EXPECT_EQ(p.seen().size(), 1u);
  EXPECT_EQ(p.ctx.srv_errno, -89);
}

// Reads answered with `n` bytes of 'x' per request (fewer at `eof`).
Peer::Script reader(uint64_t eof) {
  return [eof](const Seen& s, int32_t*, blob_buf* x) {
    if (s.code == WYSD_CMD_SEEK) blobmsg_add_u64(x, "offset", s.u("offset"));
    if (s.code == WYSD_CMD_READ || s.code == WYSD_CMD_PREAD) {
      uint64_t at = s.code == WYSD_CMD_PREAD ? s.u("offset") : 0;
      uint64_t n = std::min<uint64_t>(s.u("len"), at < eof ? eof - at : 0);
      add_read_data(x, std::string(n, 'x'));
    }
    if (s.code == WYSD_CMD_WRITE || s.code == WYSD_CMD_PWRITE) blobmsg_add_u32(x, "len", static_cast<uint32_t>(s.u("len")));
  };
}

wysd_cli_file* file_on(wysd_cli_ctx* ctx) {
  auto* f = new wysd_cli_file;
  f->conn = ctx;
  f->fd = 5;
  ctx->files.push_back(f);
  return f;
}

TEST(CliPeer, OldServersSeekThenReadNewOnesReadAtTheOffset) {
  for (bool pos : {false, true}) {
    SCOPED_TRACE(pos);
    Peer p(1, reader(1 << 20));
    p.ctx.pos_io = pos;
    wysd_cli_file* f = file_on(&p.ctx);
    char buf[10];
    EXPECT_EQ(wysd_cli_read(f, buf, sizeof buf, 100), 10);
    EXPECT_EQ(f->offset, 110u);
    auto s = p.seen();
    if (!pos) {
      ASSERT_EQ(s.size(), 2u);
      EXPECT_EQ(s[0].code, WYSD_CMD_SEEK);
      EXPECT_EQ(s[0].u("offset"), 100u);
      EXPECT_EQ(s[1].code, WYSD_CMD_READ);
      EXPECT_EQ(s[1].a.count("offset"), 0u);
    } else {
      ASSERT_EQ(s.size(), 1u);
      EXPECT_EQ(s[0].code, WYSD_CMD_PREAD);
      EXPECT_EQ(s[0].u("offset"), 100u);
    }
  }
}

TEST(CliPeer, ReadsGoInBlocksAndStopAtAShortReply) {
  Peer p(1, reader(2300));
  p.ctx.pos_io = true;
  p.ctx.block_size = 1000;
  wysd_cli_file* f = file_on(&p.ctx);
  std::string buf(5000, '\0');
  EXPECT_EQ(wysd_cli_read(f, buf.data(), 5000, 0), 2300);
  auto s = p.seen();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].u("len"), 1000u);
  EXPECT_EQ(s[1].u("offset"), 1000u);
  EXPECT_EQ(s[2].u("offset"), 2000u);
  EXPECT_EQ(p.ctx.max_reply, 1000);
  EXPECT_EQ(buf.substr(0, 2300), std::string(2300, 'x'));
  // Exactly the block size left: the last request asks for what is left.
  EXPECT_EQ(wysd_cli_read(f, buf.data(), 2500, 0), 2300);
  s = p.seen();
  ASSERT_EQ(s.size(), 6u);
  EXPECT_EQ(s[5].u("len"), 500u);
}

TEST(CliPeer, WindowsServersGetTheReadTimeoutOnce) {
  Peer p(1, reader(100));
  p.ctx.pos_io = true;
  p.ctx.win_srv = true;
  wysd_cli_file* f = file_on(&p.ctx);
  f->rd_timeout_pending = true;
  char buf[10];
  EXPECT_EQ(wysd_cli_read(f, buf, 10, 0), 10);
  EXPECT_EQ(wysd_cli_read(f, buf, 10, 10), 10);
  auto s = p.seen();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].code, WYSD_CMD_IOCTL);
  EXPECT_EQ(s[0].u("cmd"), static_cast<uint64_t>(WYSD_IOCTL_SET_READ_TIMEOUT));
  EXPECT_EQ(s[0].a["data"], std::string("9000\0", 5));
  EXPECT_EQ(s[1].code, WYSD_CMD_PREAD);
  EXPECT_EQ(s[2].code, WYSD_CMD_PREAD);
}

TEST(CliPeer, WritesInBlocksAndAnEmptyWriteIsOneRequest) {
  Peer p(1, reader(0));
  p.ctx.block_size = 4;
  wysd_cli_file* f = file_on(&p.ctx);
  EXPECT_EQ(wysd_cli_write(f, "", 0, -1), 0);
  EXPECT_EQ(wysd_cli_write(f, "abcdefghij", 10, -1), 10);
  EXPECT_EQ(f->offset, 10u);
  auto s = p.seen();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].code, WYSD_CMD_WRITE);
  EXPECT_EQ(s[0].u("len"), 0u);
  EXPECT_EQ(s[1].a["data"], "abcd");
  EXPECT_EQ(s[3].a["data"], "ij");
  EXPECT_EQ(s[3].u("flags"), 0u);
}

TEST(CliPeer, AMissingFileEndsTheReadWithoutARestart) {
  Peer p(1, [](const Seen&, int32_t* eno, blob_buf*) { *eno = -102; });
  p.ctx.pos_io = true;
  wysd_cli_file* f = file_on(&p.ctx);
  std::string buf(300000, '\0');
  EXPECT_EQ(wysd_cli_read(f, buf.data(), 300000, 0), -1);
  EXPECT_EQ(p.ctx.err->verr, -102);
  EXPECT_EQ(p.seen().size(), 1u);
  EXPECT_EQ(p.ctx.block_size, 10485760);
}

}  // namespace
