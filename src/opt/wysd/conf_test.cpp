// The command line and wysd.ini: what overrides what, and what is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "srv.h"
#include "wytest.h"

namespace {

struct argv_of {
  std::vector<std::string> words;
  std::vector<char*> ptrs;
  explicit argv_of(std::vector<std::string> w) : words(std::move(w)) {
    words.insert(words.begin(), "wysd");
    for (auto& s : words) ptrs.push_back(s.data());
  }
  int argc() const { return static_cast<int>(ptrs.size()); }
  char** argv() { return ptrs.data(); }
};

int load(std::vector<std::string> words, wysd_conf* c) {
  argv_of a(std::move(words));
  return wysd_conf_load(a.argc(), a.argv(), c);
}

TEST(WysdConf, FileThenWordsOverride) {
  wytest::TempDir t;
  std::string ini = wytest::write_file(t / "w.ini",
                                       "[server]\nroot = /srv/a\nport = 7000\nlogin = sha\nmax_conn = 3\n"
                                       "ctx_keep_s = 5\nlogin_s = 2\nidle_s = 9\nmax_frame = 2097152\n"
                                       "trash = /srv/t\nlisten = 127.0.0.1\n[users]\nann = secret\n");
  chmod(ini.c_str(), 0600);
  wysd_conf c;
  ASSERT_EQ(0, load({"conf=" + ini, "port=0", "root=/srv/b"}, &c));
  EXPECT_EQ("/srv/b", c.root);
  EXPECT_EQ(0, c.port);
  EXPECT_TRUE(c.login_sha);
  EXPECT_EQ(3, c.max_conn);
  EXPECT_EQ(5, c.ctx_keep_s);
  EXPECT_EQ(2, c.login_s);
  EXPECT_EQ(9, c.idle_s);
  EXPECT_EQ(2097152, c.max_frame);
  EXPECT_EQ("/srv/t", c.trash);
  EXPECT_EQ("127.0.0.1", c.listen);
  ASSERT_EQ(1u, c.users.size());
  EXPECT_EQ("secret", c.users["ann"]);
}

TEST(WysdConf, RefusesBadWordsValuesAndUnprotectedUsers) {
  wysd_conf c;
  EXPECT_EQ(1, load({"root=/x", "bogus=1"}, &c));
  EXPECT_EQ(1, load({"root=/x", "noequals"}, &c));
  EXPECT_EQ(1, load({"root=/x", "max_conn=5"}, &c)) << "file-only keys are not command-line words";
  wysd_conf d;
  EXPECT_EQ(2, load({"root=/x", "port=70000"}, &d));
  EXPECT_EQ(2, load({"root=/x", "port=-1"}, &d));
  EXPECT_EQ(2, load({"root=/x", "level=loud"}, &d));
  EXPECT_EQ(2, load({"root=/x", "write_threads=17"}, &d));
  EXPECT_EQ(2, load({"root=/x", "write_threads=-1"}, &d));
  wysd_conf w;
  EXPECT_EQ(0, load({"root=/x", "write_threads=3"}, &w));
  EXPECT_EQ(3, w.write_threads);
  wysd_conf e;
  EXPECT_EQ(2, load({"port=1"}, &e)) << "no root";
  wysd_conf off;
  EXPECT_EQ(2, load({"root=/x", "port=off", "tls_port=off"}, &off)) << "nothing to listen on";

  wytest::TempDir t;
  std::string ini = wytest::write_file(t / "w.ini", "[server]\nroot = /srv/a\n[users]\nann = pw\n");
  chmod(ini.c_str(), 0644);
  wysd_conf f;
  EXPECT_EQ(2, load({"conf=" + ini}, &f)) << "passwords readable by others";
  chmod(ini.c_str(), 0600);
  wysd_conf g;
  EXPECT_EQ(0, load({"conf=" + ini}, &g));
  std::string noauth = wytest::write_file(t / "n.ini", "[server]\nroot = /srv/a\n");
  chmod(noauth.c_str(), 0644);
  wysd_conf h;
  EXPECT_EQ(0, load({"conf=" + noauth}, &h)) << "no secrets, no need to hide it";
  std::string badkey = wytest::write_file(t / "k.ini", "[server]\nroot = /srv/a\nprot = 1\n");
  wysd_conf k;
  EXPECT_EQ(2, load({"conf=" + badkey}, &k));
  wysd_conf m;
  EXPECT_EQ(2, load({"conf=" + (t / "missing.ini")}, &m));
}

TEST(WysdConf, TlsFilesDefaultBesideTheFileAndNeverInsideTheRoot) {
  wytest::TempDir t;
  std::string ini = wytest::write_file(t / "etc/w.ini", "[server]\nroot = " + (t / "srv") + "\n");
  wysd_conf c;
  ASSERT_EQ(0, load({"conf=" + ini}, &c));
  EXPECT_EQ(6686, c.tls_port);
  EXPECT_EQ(t / "etc/wysd_cert.pem", c.cert);
  EXPECT_EQ(t / "etc/wysd_key.pem", c.key);
  wysd_conf off;
  ASSERT_EQ(0, load({"conf=" + ini, "tls_port=off"}, &off));
  EXPECT_EQ(-1, off.tls_port);
  // A key the server would serve to its clients is refused, whether
  // configured or defaulted (no file: the working directory is the root).
  std::string inside = wytest::write_file(t / "i.ini", "[server]\nroot = " + t.path() + "\nkey = " +
                                                           (t / "sub/k.pem") + "\n");
  wysd_conf d;
  EXPECT_EQ(2, load({"conf=" + inside}, &d));
  wysd_conf e;
  EXPECT_EQ(0, load({"conf=" + inside, "tls_port=off"}, &e)) << "no TLS, no key to protect";
  wysd_conf f;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(2, load({"root=" + std::string(cwd)}, &f));
}

}  // namespace

namespace {

// Every setting wysd takes is in its manual page, and where the page says it
// may be given is where the parse takes it.
TEST(WysdConf, ManualPageNamesEverySetting) {
  std::string page = wytest::man_page_text(std::string(WY_SOURCE_DIR) + "/man/wysd.8");
  ASSERT_FALSE(page.empty());
  for (const wysd_key* k = wysd_keys; k->key; k++) {
    EXPECT_NE(page.find(std::string(" ") + k->key + "="), std::string::npos) << k->key << "= is not in wysd.8";
    wysd_conf c;
    int r = load({"root=/srv/x", std::string(k->key) + "=0"}, &c);
    if (!k->on_command_line) EXPECT_EQ(r, 1) << k->key << " is for the file only";
    else EXPECT_NE(r, 1) << k->key << " is refused on the command line";
  }
  for (const char* w : {" -v ", "[server]", "[users]", "EXIT STATUS"})
    EXPECT_NE(page.find(w), std::string::npos) << w;
}

}  // namespace
