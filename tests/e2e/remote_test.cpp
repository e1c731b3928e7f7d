// tarn against wysd servers: logins, packing, profile URLs and the
// failures a user meets before anything is copied.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "wytest_tree.h"
#include "wytest_wysd.h"

using namespace wytest;

namespace {

std::string url_of(const WysdServer& s, const std::string& rel, const std::string& cred = "") {
  return "wyp://" + cred + "127.0.0.1:" + std::to_string(s.port()) + "/" + rel;
}

class Remote : public ::testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Login, Remote, ::testing::Values("sha", "challenge"));

// With users, a copy logs in by the server's method; a wrong password or
// user stops the run before anything is written, with a clear message.
TEST_P(Remote, LogsInByTheServersMethodAndRefusesWrongCredentials) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  fs::create_directories(t / "root");
  WysdServer srv;
  ASSERT_TRUE(srv.start(t / "root", std::string("login = ") + GetParam() + "\n", {{"ann", "s3cretpw"}})) << srv.log();
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + url_of(srv, "dst", "ann:s3cretpw@")});
  ASSERT_EQ(r.status, 0) << r.err << srv.log();
  expect_same(t / "src", t / "root/dst", true);
  EXPECT_EQ(r.err.find("s3cret"), std::string::npos) << "a password in the log";

  for (const char* cred : {"ann:wrong@", "bob:s3cretpw@", ""}) {
    std::string dst = std::string("denied_") + (cred[0] ? cred[0] == 'a' ? "pw" : "user" : "none");
    r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + url_of(srv, dst, cred)});
    EXPECT_EQ(r.status, 1) << cred << r.err;
    EXPECT_NE(r.err.find("Authentication failure."), std::string::npos) << cred << r.err;
    EXPECT_FALSE(fs::exists(t / ("root/" + dst))) << "written before the login";
  }
}

// Both packings carry the same bytes; what travels is the codec's business.
TEST(RemoteOptions, PackNoneAndLz4GiveTheSameTree) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  write_file(t / "src/text.txt", std::string(3 << 20, 'x'));  // packs well, several blocks
  // Blocks that do not shrink travel as literals, sent and written from
  // where they are; a short last block of them too.
  write_file(t / "src/noise.bin", pattern(1 << 20, 5) + std::string(1 << 20, 'y') + pattern((1 << 19) + 12345, 6));
  fs::create_directories(t / "root");
  WysdServer srv;
  ASSERT_TRUE(srv.start(t / "root")) << srv.log();
  for (const char* pack : {"none", "lz4"}) {
    std::string rel = std::string("p_") + pack;
    auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src",
                                  "of=" + url_of(srv, rel) + "?pack=" + pack + "&mblock-size=1M", "bs=1M"});
    ASSERT_EQ(r.status, 0) << pack << r.err;
    expect_same(t / "src", t / ("root/" + rel), true);
    r = tarn_on(t / "root", {"mode=cp", "if=" + url_of(srv, rel) + "?pack=" + pack, "of=" + t / ("back_" + rel)});
    ASSERT_EQ(r.status, 0) << pack << r.err;
    expect_same(t / "src", t / ("back_" + rel), true);
  }
  // A codec the server does not know fails the connection, not the data.
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + url_of(srv, "p_bad") + "?pack=zip"});
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(t / "root/p_bad/a.txt"));
}

// "///name/path" takes the server, port and credentials from the profile.
TEST(RemoteOptions, ProfileUrlsNameTheServer) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  fs::create_directories(t / "root");
  WysdServer srv;
  ASSERT_TRUE(srv.start(t / "root", "", {{"ann", "pw"}})) << srv.log();
  write_file(t / "conf/wy_client.ini", "[session/box]\nprot = wyp\nip = 127.0.0.1\nport = " +
                                           std::to_string(srv.port()) + "\nuser = ann\npwd = pw\n"
                                           "[session/here]\nprot = loc\n");
  std::vector<std::string> env = {"WY_ENV_CONF_DIR=" + t / "conf"};
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=///box/profiled"}, env);
  ASSERT_EQ(r.status, 0) << r.err << srv.log();
  expect_same(t / "src", t / "root/profiled", true);
  // A local profile leaves the path alone.
  r = tarn_on(t / "src", {"mode=cp", "if=///here" + t / "src", "of=" + t / "local"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  expect_same(t / "src", t / "local", true);
  // A profile that does not exist is a clear error.
  r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=///nobox/x"}, env);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("'nobox' does not exist"), std::string::npos) << r.err;
}

// Nothing listens: the connect fails within its time-out with the cause.
TEST(RemoteOptions, AServerThatIsNotThereFailsClearlyAndSoon) {
  TempDir t;
  write_file(t / "src/a", "a");
  int port = 0;
  {
    WysdServer srv;  // a port that was just free
    if (have_server() && srv.start(t.path())) port = srv.port();
  }
  if (port == 0) port = 1;
  auto start = std::chrono::steady_clock::now();
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src",
                                "of=wyp://127.0.0.1:" + std::to_string(port) + "/x?connect_timeout=2"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("vrdir_open [wyp://127.0.0.1:" + std::to_string(port)), std::string::npos) << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
