// wysd's command line and life cycle: version, usage errors, a missing
// root, an unprotected configuration with passwords, the listening line and
// the orderly end on a signal.
#include <algorithm>
#include <cctype>

#include "wysd_client.h"

using namespace wysdtest;

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

wytest::RunResult wysd(const std::vector<std::string>& args) {
  // A run that would wait for clients is ended after 10 s, so a wrongly
  // started server cannot hang the test.
  return wytest::run_with(WY_WYSD_BIN, args, [](pid_t pid) {
    for (int i = 0; i < 1000; i++) {
      siginfo_t si{};
      if (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == pid) return;
      usleep(10000);
    }
    kill(pid, SIGKILL);
  });
}

TEST(WysdCli, VersionPrintsItsNameAndExits) {
  WYSD_REQUIRE_SERVER();
  auto r = wysd({"-v"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.rfind("wysd ", 0), 0u) << r.out;
  std::string ver = r.out.substr(5);
  ASSERT_FALSE(ver.empty());
  EXPECT_EQ(ver.back(), '\n');
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(ver[0]))) << r.out;
}

TEST(WysdCli, BadWordsPrintUsageAndFail) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"foo"}, {"bogus=1", "root=" + t.path()}, {"root=" + t.path(), "port"}, {"-x"}}) {
    auto r = wysd(args);
    EXPECT_EQ(r.status, 1) << args[0] << "\n" << r.err;
    EXPECT_NE(lower(r.err).find("usage"), std::string::npos) << args[0] << ": " << r.err;
    EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
  }
}

TEST(WysdCli, NoRootAnywhereIsAnError) {
  WYSD_REQUIRE_SERVER();
  WysdServer s;
  std::string conf = s.write_conf("");  // no root in the file
  auto r = wysd({"conf=" + conf});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(r.err.empty());
  EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
  r = wysd({"port=0", "listen=127.0.0.1"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
}

TEST(WysdCli, PasswordsReadableByOthersAreRefused) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  for (mode_t mode : {0644, 0640, 0604}) {
    WysdServer s;
    std::string conf = s.write_conf("", {{"alice", "secret"}}, mode);
    auto r = wysd({"conf=" + conf, "root=" + t.path()});
    EXPECT_EQ(r.status, 1) << std::oct << mode << "\n" << r.out << r.err;
    EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
    // The refusal never shows the password.
    EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
  }
  // Without users the same modes are fine.
  WysdServer open_srv;
  std::string conf = open_srv.write_conf("", {}, 0644);
  EXPECT_TRUE(open_srv.start_args({"conf=" + conf, "root=" + t.path()})) << open_srv.log();
  EXPECT_EQ(open_srv.stop(), 0) << open_srv.log();
}

TEST(WysdCli, ListensOnLoopbackWithAChosenPortAndSaysWhere) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  WysdServer s;
  ASSERT_TRUE(s.start(t.path())) << s.log();
  // Exactly one listener line (TLS is off), flushed before any client came.
  std::string out = s.out();
  std::string want = "wysd listening tcp 127.0.0.1:" + std::to_string(s.port()) + "\n";
  EXPECT_NE(out.find(want), std::string::npos) << out;
  EXPECT_EQ(out.find("listening tls"), std::string::npos) << out;
  EXPECT_NE(s.port(), 6688);
  Conn c;
  ASSERT_TRUE(c.connect(s.port())) << c.last_error();
  EXPECT_TRUE(c.login()) << s.log();
  EXPECT_TRUE(c.info().ok());
}

TEST(WysdCli, CommandLineWordsOverrideTheFile) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  fs::create_directories(t / "a");
  fs::create_directories(t / "b");
  wytest::write_file(t / "b/only_in_b", "b");
  WysdServer s;
  std::string conf = s.write_conf("root = " + t / "a" + "\nport = off\n");
  ASSERT_TRUE(s.start_args({"conf=" + conf, "root=" + t / "b", "port=0"})) << s.log();
  Conn c;
  ASSERT_TRUE(c.open_session(s.port())) << s.log();
  Reply r = c.open("only_in_b", kOpenRead);
  EXPECT_TRUE(r.ok()) << r.what();
}

TEST(WysdCli, TheDocumentedDefaultsWrittenOutAreAccepted) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  WysdServer s;
  ASSERT_TRUE(s.start(t.path(),
                      "login = challenge\nmax_conn = 64\nctx_keep_s = 60\nlogin_s = 10\nidle_s = 300\n"
                      "max_frame = 33554432\n"))
      << s.log();
  Conn c;
  EXPECT_TRUE(c.open_session(s.port())) << s.log();
}

TEST(WysdCli, TlsListenerBesideThePlainOneOrNotAtAll) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  WysdServer s;
  ASSERT_TRUE(s.start(t.path(), "tls_port = 0\n")) << s.log();
  EXPECT_GT(s.tls_port(), 0) << s.out();
  EXPECT_NE(s.tls_port(), s.port());
  Conn c;
  ASSERT_TRUE(c.open_session(s.port())) << s.log();
  EXPECT_EQ(s.stop(), 0) << s.log();
  // Half a pair (the key gone) is refused: the server does not start, and
  // its plain listener does not serve on as if all were well.
  ASSERT_EQ(unlink((s.dir() / "wysd_key.pem").c_str()), 0);
  EXPECT_FALSE(s.start(t.path(), "tls_port = 0\n")) << s.log();
  EXPECT_EQ(s.wait_exit(10000), 1) << s.log();
  EXPECT_NE(s.err().find("is missing while cert"), std::string::npos) << s.log();
  EXPECT_EQ(s.out().find("listening"), std::string::npos) << s.out();
}

TEST(WysdCli, SigtermAndSigintEndItWithStatusZero) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  for (int sig : {SIGTERM, SIGINT}) {
    WysdServer s;
    ASSERT_TRUE(s.start(t.path())) << s.log();
    // A logged-in session and an idle unauthenticated one are ended too.
    Conn a, b;
    ASSERT_TRUE(a.open_session(s.port())) << s.log();
    ASSERT_TRUE(b.connect(s.port()));
    uint64_t fd = a.open_fd("open_at_exit", kOpenWrite);
    EXPECT_NE(fd, 0u);
    EXPECT_TRUE(a.write(fd, "data").ok());
    kill(s.pid(), sig);
    EXPECT_EQ(s.wait_exit(10000), 0) << "signal " << sig << "\n" << s.log();
    EXPECT_TRUE(a.wait_closed(2000));
    EXPECT_TRUE(b.wait_closed(2000));
    EXPECT_FALSE(s.killed());
    EXPECT_EQ(wytest::read_file(t / "open_at_exit"), "data");
  }
}

}  // namespace
