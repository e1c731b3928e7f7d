// The client connection against the built wysd: both logins, files in
// blocks with and without packing, seek and positional I/O, controls, the
// reader and the multi-file object; a fake server for an old version; and
// the repair of a cut connection through a relay that cuts on cue.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdarg>
#include <mutex>

#include "log_test_util.h"
#include "liblog.h"

#include "wysd_client.h"
#include "fake_wysd.h"
#include "wytest_proxy.h"
#include "wytest_relay.h"

using namespace wysdtest;
using wytest::pattern;
using wytest::read_file;
using wytest::write_file;

namespace {

using wytest::connect_loopback;
using wytest::listen_loopback;
using wytest::Relay;
using wytest::send_all;

std::string url_of(int port, const std::string& user = "", const std::string& pw = "", const std::string& q = "") {
  std::string u = "wyp://";
  if (!user.empty()) u += user + ":" + pw + "@";
  u += "127.0.0.1:" + std::to_string(port) + "/";
  if (!q.empty()) u += "?" + q;
  return u;
}

struct CtxCloser {
  void operator()(wysd_cli_ctx* c) const { wysd_cli_exit_imp(c); }
};
using CtxPtr = std::unique_ptr<wysd_cli_ctx, CtxCloser>;

const Users kUsers = {{"u", "pw-of-u"}};

// ---------------------------------------------------------------------------

TEST(WysdConn, BothLoginsAndAWrongPassword) {
  WYSD_REQUIRE_SERVER();
  wysd_cli_init();
  for (const char* login : {"sha", "challenge"}) {
    SCOPED_TRACE(login);
    Site s;
    ASSERT_NO_FATAL_FAILURE(s.start(std::string("login = ") + login + "\n", kUsers));
    cdir_err err;
    LogCapture log;
    CtxPtr c(wysd_cli_connect(url_of(s.port(), "u", "pw-of-u").c_str(), &err));
    ASSERT_TRUE(c) << err.msg << s.srv.log();
    EXPECT_EQ(c->srv_proto, std::string(login) == "sha" ? 1 : 2);
    // The version kept is the one the information text carries.
    char info[4096] = "";
    ASSERT_EQ(cli_info(c.get(), info, sizeof info), 0);
    EXPECT_EQ(wysd_cli_srv_ver(c.get()), info_value(info, "ver"));
    EXPECT_GE(version_value(wysd_cli_srv_ver(c.get())), version_value("1.7.8"));
    EXPECT_TRUE(c->pos_io);
    EXPECT_FALSE(c->win_srv);
    EXPECT_EQ(c->pack.id, SDCOMP_LZ4);
    EXPECT_TRUE(LogCapture::has("passwd=[***]")) << LogCapture::all();
    EXPECT_FALSE(LogCapture::has("pw-of-u")) << "the password reached the log";

    cdir_err bad;
    EXPECT_EQ(wysd_cli_connect(url_of(s.port(), "u", "wrong").c_str(), &bad), nullptr);
    EXPECT_EQ(bad.verr, kAuth) << bad.msg;
    EXPECT_STREQ(bad.func, "wysd_cli_set_last_error");
    EXPECT_FALSE(bad.msg.empty());
  }
}

TEST(WysdConn, AnyoneMayLogInWithoutUsers) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  cdir_err err;
  CtxPtr c(wysd_cli_connect(url_of(s.port(), "", "", "pack=none").c_str(), &err));
  ASSERT_TRUE(c) << err.msg;
  EXPECT_EQ(c->pack.id, SDCOMP_NONE);
  // The probe alone was enough: probe, pack, info.
  EXPECT_EQ(c->cmd_send_count, 3u);
}

TEST(WysdConn, ConnectFailures) {
  WYSD_REQUIRE_SERVER();
  cdir_err err;
  // Nobody listens on a port we just closed.
  int port = 0;
  int fd = listen_loopback(&port);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(wysd_cli_connect(url_of(port, "", "", "connect_timeout=2").c_str(), &err), nullptr);
  EXPECT_NE(err.verr, 0);
  // TLS to a plain port: the handshake fails after the TCP connect.
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  cdir_err tls;
  std::string u = "wyps://127.0.0.1:" + std::to_string(s.port()) + "/";
  EXPECT_EQ(wysd_cli_connect(u.c_str(), &tls), nullptr);
  EXPECT_EQ(tls.verr, -1);
  EXPECT_EQ(tls.msg.rfind("ssl_cli_connect failed: TLS handshake failed: ", 0), 0u) << tls.msg;
  // The chosen proxy is not there: the connect names the proxy's address.
  int gone = 0;
  {
    os_ipaddr a, bound;
    os_addrinfo_addr("127.0.0.1", &a);
    os_socket_t l = os_socket_listen(&a, 1);
    if (l != OS_SOCKET_NONE && os_socket_local_addr(l, &bound) == 0) gone = os_ipaddr_port(&bound);
    os_socket_exit(l);
  }
  cdir_err px;
  std::string proxy = "http://127.0.0.1:" + std::to_string(gone);
  std::string enc = base64_encode(proxy.data(), proxy.size());
  std::string q = "proxy_url=";
  for (char ch : enc) q += ch == '=' ? std::string("%3D") : std::string(1, ch);
  EXPECT_EQ(wysd_cli_connect(url_of(s.port(), "", "", q).c_str(), &px), nullptr);
  EXPECT_EQ(px.msg.rfind("connect 127.0.0.1:" + std::to_string(gone) + " ", 0), 0u) << px.msg;
  cdir_err named;
  unsetenv("WY_PROXY_FILE");
  EXPECT_EQ(wysd_cli_connect(url_of(s.port(), "", "", "proxy=corp").c_str(), &named), nullptr);
  EXPECT_EQ(named.msg, "%WY_ENV_PROXY_FILE% Is NULL");
}

class WysdFiles : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    WYSD_REQUIRE_SERVER();
    wysd_cli_init();
    ASSERT_NO_FATAL_FAILURE(s.start("login = challenge\n", kUsers));
    c.reset(wysd_cli_connect(
        url_of(s.port(), "u", "pw-of-u", std::string("mblock-size=256k&read_timeout=5&pack=") + GetParam()).c_str(),
        &err));
    ASSERT_TRUE(c) << err.msg;
    ASSERT_EQ(c->block_size, 256 * 1024);
  }
  Site s;
  cdir_err err;  // the connection's error record: outlives it
  CtxPtr c;
};

TEST_P(WysdFiles, BlocksBothWaysSeekAndPositions) {
  EXPECT_STREQ(c->pack.name, GetParam());
  // Several blocks and a tail; half of it compressible.
  std::string data = pattern(600 * 1024, 7) + std::string(700 * 1024 + 123, 'z');
  wysd_cli_file* w = wysd_cli_open(c.get(), "big.bin", kOpenWrite);
  ASSERT_NE(w, nullptr) << c->err->msg;
  ASSERT_EQ(wysd_cli_write(w, data.data(), static_cast<int64_t>(data.size()), -1), static_cast<int64_t>(data.size()))
      << c->err->msg;
  EXPECT_EQ(w->offset, data.size());
  // Positional writes patch the middle.
  ASSERT_EQ(wysd_cli_write(w, "PATCH", 5, 1000), 5);
  data.replace(1000, 5, "PATCH");
  ASSERT_EQ(wysd_cli_close(w), 0);
  EXPECT_TRUE(c->files.empty());
  EXPECT_TRUE(read_file(s.in_root("big.bin")) == data);

  wysd_cli_file* r = wysd_cli_open(c.get(), "big.bin", kOpenRead);
  ASSERT_NE(r, nullptr);
  std::string back(data.size() + 100, '\0');
  ASSERT_EQ(wysd_cli_read(r, back.data(), static_cast<int64_t>(back.size()), -1), static_cast<int64_t>(data.size()));
  back.resize(data.size());
  EXPECT_TRUE(back == data);
  EXPECT_EQ(c->max_reply, 256 * 1024);
  // Seek, then a read at the current position.
  EXPECT_EQ(wysd_cli_seek(r, 999), 999);
  char buf[7];
  ASSERT_EQ(wysd_cli_read(r, buf, 7, -1), 7);
  EXPECT_EQ(std::string(buf, 7), data.substr(999, 7));
  EXPECT_EQ(r->offset, 1006u);
  // Positional reads across a block boundary.
  std::string mid(300 * 1024, '\0');
  ASSERT_EQ(wysd_cli_read(r, mid.data(), static_cast<int64_t>(mid.size()), 200 * 1024), static_cast<int64_t>(mid.size()));
  EXPECT_TRUE(mid == data.substr(200 * 1024, mid.size()));
  // At the end: nothing.
  EXPECT_EQ(wysd_cli_read(r, buf, 7, static_cast<int64_t>(data.size())), 0);
  // Closed with the connection.
}

TEST_P(WysdFiles, ControlsReaderAndMultiFile) {
  ASSERT_EQ(wysd_cli_ioctl(c.get(), WYSD_IOCTL_MKDIRS, "tree/sub/deep", -1), 0) << c->err->msg;
  EXPECT_TRUE(fs::is_directory(s.in_root("tree/sub/deep")));
  write_file(s.in_root("tree/a.txt"), "aaa");
  write_file(s.in_root("tree/b.txt"), "bbbb");
  std::string times = "tree/a.txt\t1600000000\t1600000100\t1600000000\t0\t0\t0";
  EXPECT_EQ(wysd_cli_ioctl(c.get(), WYSD_IOCTL_SET_PATH_TIMES, times.c_str(), -1), 0) << c->err->msg;
  EXPECT_EQ(wytest::lstat_of(s.in_root("tree/a.txt")).st_mtime, 1600000100);
  wysd_cli_file* f = wysd_cli_open(c.get(), "tree/a.txt", kOpenRead);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(wysd_cli_set_fd_read_timeout(f, 4000), 0);
  EXPECT_EQ(wysd_cli_set_fd_write_timeout(f, 3000), 0);
  // A server error keeps the server's code.
  EXPECT_EQ(wysd_cli_open(c.get(), "tree/none.txt", kOpenRead), nullptr);
  EXPECT_EQ(c->err->verr, kNoFile);
  EXPECT_EQ(wysd_cli_ioctl2(c.get(), 99999, "", -1, nullptr, 0, nullptr), -1);
  EXPECT_EQ(c->err->verr, kNotSup);

  ASSERT_EQ(wysd_cli_rdir_open(c.get(), "tree", 0, 3000), 0) << c->err->msg;
  std::string files, dirs;
  bool fend = false, dend = false;
  std::vector<char> out(1 << 20);
  for (int64_t end = now_ms() + 10000; !(fend && dend) && now_ms() < end;) {
    int32_t n = 0;
    ASSERT_EQ(wysd_cli_ioctl2(c.get(), WYSD_IOCTL2_RDIR_READ, nullptr, 0, out.data(), static_cast<int32_t>(out.size()), &n), 0)
        << c->err->msg;
    std::string b(out.data(), static_cast<size_t>(n));
    if (b.empty()) continue;
    bool isf = b[0] == 'F';
    (isf ? files : dirs) += b.substr(1);
    if (b.find('\r') != std::string::npos) (isf ? fend : dend) = true;
  }
  EXPECT_TRUE(fend && dend);
  EXPECT_NE(files.find("a.txt"), std::string::npos) << files;
  EXPECT_NE(files.find("b.txt"), std::string::npos) << files;
  EXPECT_NE(dirs.find("sub"), std::string::npos) << dirs;
  EXPECT_EQ(wysd_cli_text_ctl(c.get(), WYSD_IOCTL2_RDIR_CLOSE, nullptr, nullptr), 0);

  ASSERT_EQ(wysd_cli_mfile_open(c.get(), 65540, 3000), 0) << c->err->msg;
  EXPECT_EQ(wysd_cli_text_ctl(c.get(), WYSD_IOCTL2_MFILE_CLOSE, nullptr, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(Packing, WysdFiles, ::testing::Values("none", "lz4"));

// ---------------------------------------------------------------------------
// A server of an older version.

TEST(WysdConn, AnOldServerHasNoReaderAndIsNotAsked) {
  wysdtest::ScriptedServer fake;
  fake.set_version("1.7.7");
  cdir_err err;
  CtxPtr c(wysd_cli_connect(url_of(fake.port()).c_str(), &err));
  ASSERT_TRUE(c) << err.msg;
  EXPECT_STREQ(wysd_cli_srv_ver(c.get()), "1.7.7");
  EXPECT_TRUE(c->pos_io);
  size_t before = fake.seen().size();
  EXPECT_EQ(wysd_cli_rdir_open(c.get(), "d", 0, 0), -1);
  EXPECT_EQ(c->err->verr, -12);
  EXPECT_EQ(wysd_cli_mfile_open(c.get(), 1, 1), -1);
  EXPECT_EQ(c->err->verr, -12);
  // A request that does go out is answered: the refusal sent nothing.
  EXPECT_EQ(wysd_cli_ioctl2(c.get(), WYSD_IOCTL2_RDIR_CLOSE, nullptr, 0, nullptr, 0, nullptr), 0);
  auto seen = fake.seen();
  ASSERT_EQ(seen.size(), before + 1);
  EXPECT_EQ(seen.back(), std::make_pair(static_cast<int>(WYSD_CMD_IOCTL2), static_cast<int>(WYSD_IOCTL2_RDIR_CLOSE)));
  c.reset();
  EXPECT_TRUE(fake.wait_bye(5000));
  EXPECT_EQ(fake.seen().back().first, WYSD_CMD_BYE);
}

// tarn refuses a server older than the reader and multi-file object it
// needs, with the reason, before it writes anything.
TEST(WysdConn, TarnRefusesAnOldServerBeforeWriting) {
  wytest::TempDir t;
  wytest::write_file(t / "src/a", "a");
  wysdtest::ScriptedServer fake;
  fake.set_version("1.7.7");
  auto r = wytest::tarn({"mode=cp", "if=" + t / "src", "of=" + url_of(fake.port()) + "dst"});
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("not supported, please upgrade wysd to the latest version"), std::string::npos) << r.err;
  EXPECT_TRUE(fake.wait_bye(5000));
  auto seen = fake.seen();
  for (auto& [code, cmd] : seen) {
    EXPECT_NE(code, WYSD_CMD_OPEN);
    EXPECT_NE(cmd, WYSD_IOCTL2_RDIR_OPEN);
    EXPECT_NE(cmd, WYSD_IOCTL2_MFILE_OPEN);
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().first, WYSD_CMD_BYE) << "the connection is closed in order";
}

// ---------------------------------------------------------------------------
// Repair through the relay.

class WysdRepair : public ::testing::Test {
 protected:
  void SetUp() override {
    WYSD_REQUIRE_SERVER();
    wysd_cli_init();
    ASSERT_NO_FATAL_FAILURE(s.start("login = challenge\nctx_keep_s = 20\n", kUsers));
    relay = std::make_unique<Relay>(s.port());
  }
  CtxPtr connect(const std::string& q = "read_timeout=5&pack=lz4") {
    CtxPtr c(wysd_cli_connect(url_of(relay->port(), "u", "pw-of-u", q).c_str(), &err));
    EXPECT_TRUE(c) << err.msg;
    return c;
  }
  Site s;
  std::unique_ptr<Relay> relay;
  cdir_err err;  // the connections' error record: outlives them
};

TEST_F(WysdRepair, ALostRequestIsSentAgainAndALostResponseIsSentAgain) {
  CtxPtr c = connect();
  ASSERT_TRUE(c);
  ASSERT_EQ(wysd_cli_set_auto_reconnect(c.get()), 0) << c->err->msg;
  EXPECT_NE(c->srv_ctx_id, 0u);
  wysd_cli_file* f = wysd_cli_open(c.get(), "r.bin", kFlRdwr | kFlCreate | kFlTrunc);
  ASSERT_NE(f, nullptr);
  std::string data = pattern(50000, 3);

  // (a) The write never reaches the server: attach and send it again.
  LogCapture log;
  relay->arm(Relay::kDropRequest);
  ASSERT_EQ(wysd_cli_write(f, data.data(), static_cast<int64_t>(data.size()), 0), static_cast<int64_t>(data.size()))
      << c->err->msg << "\n" << LogCapture::all();
  EXPECT_EQ(relay->cuts(), 1);
  EXPECT_EQ(relay->connections(), 2);
  EXPECT_TRUE(LogCapture::has("start fix..")) << LogCapture::all();
  EXPECT_TRUE(LogCapture::has("WYSD_IOCTL2_ATTACH_CTX\n"));
  EXPECT_FALSE(LogCapture::has("WYSD_IOCTL2_ATTACH_CTX_REPLY"));
  EXPECT_TRUE(LogCapture::has("fix ok"));
  EXPECT_FALSE(c->fix_failed);
  // Written exactly once, on the old context's file.
  EXPECT_TRUE(read_file(s.in_root("r.bin")) == data);

  // (b) The read runs but its response is lost: the stored one comes again.
  // The counter was realigned by the first repair, or this one would fail.
  relay->arm(Relay::kCutAfterRequest);
  std::string back(data.size(), '\0');
  ASSERT_EQ(wysd_cli_read(f, back.data(), static_cast<int64_t>(back.size()), 0), static_cast<int64_t>(data.size()))
      << c->err->msg << "\n" << LogCapture::all();
  EXPECT_TRUE(back == data);
  EXPECT_EQ(relay->cuts(), 2);
  EXPECT_TRUE(LogCapture::has("WYSD_IOCTL2_ATTACH_CTX_REPLY\n")) << LogCapture::all();

  // (c) A response cut short: its bytes are no use, the stored one comes again.
  relay->arm(Relay::kCutInResponse, 1, 20);
  EXPECT_EQ(wysd_cli_seek(f, 123), 123) << c->err->msg;
  EXPECT_EQ(relay->cuts(), 3);
  // And the connection goes on normally, the server's count and ours agreeing.
  char out[64] = "";
  int32_t n = 0;
  ASSERT_EQ(wysd_cli_ioctl2(c.get(), WYSD_IOCTL2_GET_LAST_CMD_IDX, "0", -1, out, sizeof out - 1, &n), 0);
  EXPECT_EQ(std::strtoull(std::string(out, static_cast<size_t>(n)).c_str(), nullptr, 10) + 1, c->cmd_send_count);
  ASSERT_EQ(wysd_cli_close(f), 0);
}

TEST_F(WysdRepair, WithoutAutoReconnectTheFailureIsReturned) {
  CtxPtr c = connect();
  ASSERT_TRUE(c);
  wysd_cli_file* f = wysd_cli_open(c.get(), "n.bin", kOpenWrite);
  ASSERT_NE(f, nullptr);
  LogCapture log;
  relay->arm(Relay::kDropRequest);
  EXPECT_EQ(wysd_cli_write(f, "abc", 3, -1), -1);
  EXPECT_EQ(c->err->verr, -40) << c->err->msg;
  EXPECT_TRUE(LogCapture::has("!net_error_reconnect return")) << LogCapture::all();
  EXPECT_FALSE(LogCapture::has("start fix.."));
  EXPECT_EQ(relay->connections(), 1);
  EXPECT_EQ(read_file(s.in_root("n.bin")), "");
}

TEST_F(WysdRepair, AFailedBigReadRestartsWithSmallBlocks) {
  std::string data = pattern(3 * 1024 * 1024 + 17, 11);
  write_file(s.in_root("big.bin"), data);
  CtxPtr c = connect("read_timeout=5&pack=none&mblock-size=1M");
  ASSERT_TRUE(c);
  wysd_cli_file* f = wysd_cli_open(c.get(), "big.bin", kOpenRead);
  ASSERT_NE(f, nullptr);
  LogCapture log;
  // The second reply breaks off after its first bytes.
  relay->arm(Relay::kCutInResponse, 2, 1000);
  std::string back(data.size(), '\0');
  ASSERT_EQ(wysd_cli_read(f, back.data(), static_cast<int64_t>(back.size()), 0), static_cast<int64_t>(data.size()))
      << c->err->msg << "\n" << LogCapture::all();
  EXPECT_TRUE(back == data);
  EXPECT_EQ(c->block_size, 204800);
  EXPECT_TRUE(LogCapture::has("ctx->block_size=204800!!")) << LogCapture::all();
  EXPECT_EQ(relay->connections(), 2);
}

TEST_F(WysdRepair, TheRepairGivesUpWhenTheServerIsGone) {
  CtxPtr c = connect();
  ASSERT_TRUE(c);
  ASSERT_EQ(wysd_cli_set_auto_reconnect(c.get()), 0);
  s.srv.stop();
  LogCapture log;
  char info[256];
  EXPECT_EQ(cli_info(c.get(), info, sizeof info), WYSD_ST_TIMEOUT_ERROR);
  EXPECT_TRUE(c->fix_failed);
  EXPECT_TRUE(LogCapture::has("fix failed need reopen")) << LogCapture::all();
  // From now on nothing is sent.
  uint64_t sent = c->cmd_send_count;
  EXPECT_EQ(cli_info(c.get(), info, sizeof info), WYSD_ST_TIMEOUT_ERROR);
  EXPECT_EQ(c->cmd_send_count, sent);
}

// A repair connects straight to the server, not through the proxy the
// connection was made through: it succeeds with the proxy gone.
TEST_F(WysdRepair, TheRepairReconnectsDirectlyNotThroughTheProxy) {
  if (!wytest::have("/usr/bin/microsocks")) GTEST_SKIP() << "microsocks is not installed (scripts/setup.sh installs it)";
  wytest::Proxy p;
  ASSERT_TRUE(wytest::start_microsocks(&p, "", "")) << p.logs();
  std::string enc = base64_encode(p.url().data(), p.url().size());
  std::string q = "read_timeout=5&proxy_url=";
  for (char ch : enc) q += ch == '=' ? std::string("%3D") : std::string(1, ch);
  CtxPtr c(wysd_cli_connect(url_of(s.port(), "u", "pw-of-u", q).c_str(), &err));
  ASSERT_TRUE(c) << err.msg;
  ASSERT_EQ(wysd_cli_set_auto_reconnect(c.get()), 0) << c->err->msg;
  p.procs.clear();  // microsocks ends, and its tunnels with it
  LogCapture log;
  char info[256];
  EXPECT_EQ(cli_info(c.get(), info, sizeof info), WYSD_ST_OK) << c->err->msg << "\n" << LogCapture::all();
  EXPECT_FALSE(c->fix_failed);
  EXPECT_TRUE(LogCapture::has("fix ok")) << LogCapture::all();
  EXPECT_EQ(relay->connections(), 0);  // nor through anything else
}

}  // namespace
