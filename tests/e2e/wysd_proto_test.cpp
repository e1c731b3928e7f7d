// The request/response contract of wysd: one response per request with the
// request's code byte, the server's protocol byte and the whole response
// set; the logins (probe, "{SHA}", challenge); the login deadline; the
// information text; unknown and malformed requests.
#include <set>

#include "wysd_client.h"

using namespace wysdtest;

namespace {

const Users kUsers = {{"alice", "wonder land"}, {"bob", "builder"}};

// Checks the frame bytes and the response set of one reply.
void expect_answer(const Reply& r, int code, uint8_t proto, bool want_ok, const char* what) {
  EXPECT_EQ(r.st, WYSD_ST_OK) << what << ": " << r.what();
  EXPECT_EQ(r.code, code) << what;
  EXPECT_EQ(r.proto, proto) << what;
  if (want_ok) {
    EXPECT_EQ(r.eno, 0) << what << ": " << r.what();
  } else {
    EXPECT_NE(r.eno, 0) << what;
    EXPECT_FALSE(r.estr.empty()) << what;
  }
}

TEST(WysdProto, EveryRequestGetsExactlyOneCompleteResponse) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("login = sha\n"));
  Conn c;
  ASSERT_TRUE(c.connect(s.port()));
  const uint8_t P = 1;  // login=sha
  Reply r = c.login_probe();
  expect_answer(r, WYSD_CMD_LOGIN, P, true, "probe");
  EXPECT_TRUE(r.has("os_type"));
  r = c.info();
  expect_answer(r, WYSD_CMD_INFO, P, true, "info");
  EXPECT_FALSE(r.text("info").empty());
  r = c.ioctl(0, kIoPack, "none");
  expect_answer(r, WYSD_CMD_IOCTL, P, true, "ioctl pack");
  r = c.ioctl2(kCtxNew, "0", 4096);
  expect_answer(r, WYSD_CMD_IOCTL2, P, true, "ioctl2 new ctx");
  EXPECT_TRUE(r.has("data"));
  r = c.open("f", kOpenWrite);
  expect_answer(r, WYSD_CMD_OPEN, P, true, "open");
  uint64_t fd = r.u64("fd");
  EXPECT_GT(static_cast<int64_t>(fd), 0);
  r = c.write(fd, "0123456789");
  expect_answer(r, WYSD_CMD_WRITE, P, true, "write");
  EXPECT_EQ(r.i32("len"), 10);
  r = c.pwrite(fd, "abc", 20);
  expect_answer(r, WYSD_CMD_PWRITE, P, true, "pwrite");
  EXPECT_EQ(r.i32("len"), 3);
  r = c.seek(fd, 2);
  expect_answer(r, WYSD_CMD_SEEK, P, true, "seek");
  EXPECT_EQ(r.u64("offset"), 2u);
  r = c.close_fd(fd);
  expect_answer(r, WYSD_CMD_CLOSE, P, true, "close");
  fd = c.open_fd("f", kOpenRead);
  ASSERT_NE(fd, 0u);
  r = c.read(fd, 4);
  expect_answer(r, WYSD_CMD_READ, P, true, "read");
  EXPECT_TRUE(r.has("len") && r.has("flags") && r.has("data"));
  EXPECT_EQ(r.data, "0123");
  r = c.pread(fd, 3, 20);
  expect_answer(r, WYSD_CMD_PREAD, P, true, "pread");
  EXPECT_EQ(r.data, "abc");
  // Failures carry the same head and the request's code byte.
  r = c.open("missing", kOpenRead);
  expect_answer(r, WYSD_CMD_OPEN, P, false, "open missing");
  EXPECT_EQ(r.eno, kNoFile) << r.what();
  r = c.read(987654, 4);
  expect_answer(r, WYSD_CMD_READ, P, false, "read unknown fd");
  r = c.close_fd(987654);
  expect_answer(r, WYSD_CMD_CLOSE, P, false, "close unknown fd");
  r = c.ioctl(0, 4242, "x");
  expect_answer(r, WYSD_CMD_IOCTL, P, false, "unknown ioctl");
  EXPECT_EQ(r.eno, kNotSup);
  r = c.ioctl2(4242, "x");
  expect_answer(r, WYSD_CMD_IOCTL2, P, false, "unknown ioctl2");
  EXPECT_EQ(r.eno, kNotSup);
  // No response is left over: nothing more is waiting.
  EXPECT_FALSE(c.readable_within(300));
  // The bye has no response; the server then ends the connection.
  c.send(WYSD_CMD_BYE, nullptr);
  std::string seen;
  EXPECT_TRUE(c.wait_closed(3000, &seen));
  EXPECT_EQ(seen.size(), 0u) << "bye answered with " << seen.size() << " bytes";
}

TEST(WysdProto, ProtocolByteFollowsTheLoginMethod) {
  WYSD_REQUIRE_SERVER();
  for (auto [login, want] : std::vector<std::pair<std::string, uint8_t>>{{"sha", 1}, {"challenge", 2}, {"", 2}}) {
    Site s;
    ASSERT_NO_FATAL_FAILURE(s.start(login.empty() ? "" : "login = " + login + "\n", kUsers));
    Conn c;
    ASSERT_TRUE(c.connect(s.port()));
    Reply r = c.login_probe();
    EXPECT_EQ(r.proto, want) << login;
    EXPECT_TRUE(c.login("alice", "wonder land")) << login << "\n" << s.srv.log();
    r = c.info();
    EXPECT_EQ(r.proto, want) << login;
    EXPECT_TRUE(r.ok());
  }
}

TEST(WysdProto, ProbeIsEnoughOnlyWithoutUsers) {
  WYSD_REQUIRE_SERVER();
  Site open_site;
  ASSERT_NO_FATAL_FAILURE(open_site.start());
  Conn c;
  ASSERT_TRUE(c.connect(open_site.port()));
  Reply r = c.login_probe();
  EXPECT_TRUE(r.ok()) << r.what();
  EXPECT_TRUE(r.has("os_type"));
  EXPECT_TRUE(c.info().ok());

  Site closed;
  ASSERT_NO_FATAL_FAILURE(closed.start("", kUsers));
  Conn e;
  ASSERT_TRUE(e.connect(closed.port()));
  r = e.login_probe();
  EXPECT_EQ(r.st, WYSD_ST_OK);
  EXPECT_EQ(r.eno, 1) << r.what();
  EXPECT_FALSE(r.estr.empty());
}

TEST(WysdProto, EveryOtherRequestBeforeLoginIsRefused) {
  WYSD_REQUIRE_SERVER();
  Site s;
  wytest::write_file(s.in_root("exists"), "content");
  ASSERT_NO_FATAL_FAILURE(s.start("", kUsers));
  Conn c;
  ASSERT_TRUE(c.connect(s.port()));
  ASSERT_EQ(c.login_probe().eno, 1);
  struct Case {
    const char* what;
    std::function<Reply()> run;
  };
  std::vector<Case> cases = {
      {"info", [&] { return c.info(); }},
      {"open read", [&] { return c.open("exists", kOpenRead); }},
      {"open create", [&] { return c.open("created_before_login", kOpenWrite); }},
      {"close", [&] { return c.close_fd(1); }},
      {"read", [&] { return c.read(1, 10); }},
      {"pread", [&] { return c.pread(1, 10, 0); }},
      {"write", [&] { return c.write(1, "x"); }},
      {"pwrite", [&] { return c.pwrite(1, "x", 0); }},
      {"seek", [&] { return c.seek(1, 0); }},
      {"ioctl mkdirs", [&] { return c.ioctl(0, kIoMkdirs, "made_before_login"); }},
      {"ioctl pack", [&] { return c.ioctl(0, kIoPack, "lz4"); }},
      {"ioctl2 new ctx", [&] { return c.ioctl2(kCtxNew, "0"); }},
      {"ioctl2 rdir open", [&] { return c.ioctl2(kRdirOpen, "/\t0\t1000"); }},
  };
  for (auto& k : cases) {
    Reply r = k.run();
    EXPECT_EQ(r.st, WYSD_ST_OK) << k.what;
    EXPECT_EQ(r.eno, kAuth) << k.what << ": " << r.what();
    EXPECT_EQ(r.estr, "Authentication failure.") << k.what;
  }
  EXPECT_FALSE(fs::exists(s.in_root("created_before_login")));
  EXPECT_FALSE(fs::exists(s.in_root("made_before_login")));
  // The connection is still good for logging in.
  EXPECT_TRUE(c.login_challenge("alice", "wonder land").ok());
  EXPECT_TRUE(c.info().ok());
}

TEST(WysdProto, ShaLogin) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("login = sha\n", kUsers));
  {
    Conn c;
    ASSERT_TRUE(c.connect(s.port()));
    Reply r = c.login_sha("bob", "builder");
    EXPECT_TRUE(r.ok()) << r.what();
    EXPECT_TRUE(r.has("os_type"));
    EXPECT_TRUE(c.info().ok());
  }
  struct Bad {
    const char* what;
    std::function<Reply(Conn&)> run;
  };
  std::vector<Bad> bad = {
      {"wrong password", [](Conn& c) { return c.login_sha("bob", "builder!"); }},
      {"other user's password", [](Conn& c) { return c.login_sha("bob", "wonder land"); }},
      {"unknown user", [](Conn& c) { return c.login_sha("carol", "builder"); }},
      {"clear password", [](Conn& c) { return c.login_plain("bob", "builder"); }},
      {"empty password", [](Conn& c) { return c.login_plain("bob", ""); }},
      {"challenge under sha", [](Conn& c) { return c.login_challenge("bob", "builder"); }},
  };
  for (auto& b : bad) {
    Conn c;
    ASSERT_TRUE(c.connect(s.port()));
    int64_t t0 = now_ms();
    Reply r = b.run(c);
    int64_t took = now_ms() - t0;
    EXPECT_EQ(r.st, WYSD_ST_OK) << b.what;
    EXPECT_EQ(r.eno, kAuth) << b.what << ": " << r.what();
    // A refused login is answered only after a pause.
    if (r.eno == kAuth) {
      EXPECT_GE(took, 500) << b.what;
    }
    // And it does not count as logged in.
    r = c.info();
    if (r.st == WYSD_ST_OK) {
      EXPECT_EQ(r.eno, kAuth) << b.what;
    }
  }
  // No password reaches the log.
  std::string log = s.srv.log();
  EXPECT_EQ(log.find("builder"), std::string::npos) << log;
  EXPECT_EQ(log.find("wonder land"), std::string::npos) << log;
}

TEST(WysdProto, ChallengeLoginWithAFreshCertPerConnection) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("login = challenge\n", kUsers));
  std::set<std::string> certs;
  for (int i = 0; i < 4; i++) {
    Conn c;
    ASSERT_TRUE(c.connect(s.port()));
    Reply r = c.login2("alice");
    ASSERT_TRUE(r.ok()) << r.what();
    EXPECT_EQ(r.i32("ver"), 1);
    std::string cert = r.text("cert");
    EXPECT_FALSE(cert.empty());
    EXPECT_LE(cert.size(), 256u);
    certs.insert(cert);
    r = c.login3(Conn::key_of("alice", "wonder land", cert));
    EXPECT_TRUE(r.ok()) << r.what();
    EXPECT_TRUE(c.info().ok());
  }
  EXPECT_EQ(certs.size(), 4u) << "a cert was handed out twice";

  // A key made for another connection's cert is no good here.
  Conn first, second;
  ASSERT_TRUE(first.connect(s.port()) && second.connect(s.port()));
  ASSERT_TRUE(first.login2("alice").ok());
  ASSERT_TRUE(second.login2("alice").ok());
  Reply r = second.login3(Conn::key_of("alice", "wonder land", first.cert()));
  EXPECT_EQ(r.eno, kAuth) << r.what();

  struct Bad {
    const char* what;
    std::function<Reply(Conn&)> run;
  };
  std::vector<Bad> bad = {
      {"wrong password", [](Conn& c) { return c.login_challenge("alice", "wonderland"); }},
      {"other user's password", [](Conn& c) { return c.login_challenge("alice", "builder"); }},
      {"unknown user", [](Conn& c) { return c.login_challenge("mallory", "x"); }},
      {"sha under challenge", [](Conn& c) { return c.login_sha("alice", "wonder land"); }},
      {"step two alone", [](Conn& c) { return c.login3(Conn::key_of("alice", "wonder land", "")); }},
  };
  for (auto& b : bad) {
    Conn c;
    ASSERT_TRUE(c.connect(s.port()));
    int64_t t0 = now_ms();
    Reply r2 = b.run(c);
    int64_t took = now_ms() - t0;
    EXPECT_EQ(r2.eno, kAuth) << b.what << ": " << r2.what();
    if (r2.eno == kAuth && std::string(b.what) == "wrong password") {
      EXPECT_GE(took, 500) << b.what;
    }
    r2 = c.info();
    if (r2.st == WYSD_ST_OK) {
      EXPECT_EQ(r2.eno, kAuth) << b.what;
    }
  }
}

TEST(WysdProto, LoginDeadlineClosesOnlyUnauthenticatedConnections) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("login_s = 1\n", kUsers));
  Conn idle, probed, in;
  ASSERT_TRUE(idle.connect(s.port()));
  ASSERT_TRUE(probed.connect(s.port()));
  ASSERT_EQ(probed.login_probe().eno, 1);
  ASSERT_TRUE(in.open_session(s.port(), "bob", "builder"));
  EXPECT_TRUE(idle.wait_closed(4000)) << "idle connection still open after login_s";
  EXPECT_TRUE(probed.wait_closed(2000)) << "probed connection still open after login_s";
  sleep_ms(500);
  Reply r = in.info();
  EXPECT_TRUE(r.ok()) << "logged-in connection: " << r.what();
}

TEST(WysdProto, InfoNamesVersionAndPlatform) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  Reply r = c.info();
  ASSERT_TRUE(r.ok()) << r.what();
  std::string info = r.text("info");
  std::string ver = info_value(info, "ver");
  EXPECT_GE(version_value(ver), version_value("1.7.8")) << info;
  EXPECT_EQ(info_value(info, "plat"), "linux") << info;
  EXPECT_FALSE(info_value(info, "arch").empty()) << info;
  std::string bit = info_value(info, "bit");
  EXPECT_TRUE(bit == "64" || bit == "32") << info;
  EXPECT_FALSE(info_value(info, "order").empty()) << info;
  EXPECT_EQ(info_value(info, "is_root"), geteuid() == 0 ? "yes" : "no") << info;
  // Every line has the key=[value] form.
  for (const std::string& line : sorted_lines(info)) {
    EXPECT_NE(line.find("=["), std::string::npos) << line;
    EXPECT_EQ(line.back(), ']') << line;
  }
}

TEST(WysdProto, UnknownAndMalformedRequestsGetAnErrorAndTheConnectionGoesOn) {
  WYSD_REQUIRE_SERVER();
  Site s;
  wytest::write_file(s.in_root("f"), "x");
  ASSERT_NO_FATAL_FAILURE(s.start());
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  struct Case {
    const char* what;
    int code;
    Build build;
  };
  std::vector<Case> cases = {
      {"unknown code 77", 77, [](blob_buf* b) { blobmsg_add_string(b, "param", ""); }},
      {"unknown code 255", 255, nullptr},
      {"open without mode", WYSD_CMD_OPEN, [](blob_buf* b) { blobmsg_add_string(b, "path", "f"); }},
      {"open with a string mode", WYSD_CMD_OPEN,
       [](blob_buf* b) {
         blobmsg_add_string(b, "path", "f");
         blobmsg_add_string(b, "mode", "4225");
       }},
      {"open with a 32-bit path", WYSD_CMD_OPEN,
       [](blob_buf* b) {
         blobmsg_add_u32(b, "path", 7);
         blobmsg_add_u64(b, "mode", kOpenRead);
       }},
      {"read without fd", WYSD_CMD_READ, [](blob_buf* b) { blobmsg_add_u32(b, "len", 4); }},
      {"ioctl without data", WYSD_CMD_IOCTL,
       [](blob_buf* b) {
         blobmsg_add_u64(b, "fd", 0);
         blobmsg_add_u32(b, "cmd", kIoMkdirs);
       }},
      {"ioctl2 with a 64-bit cmd", WYSD_CMD_IOCTL2,
       [](blob_buf* b) {
         blobmsg_add_u64(b, "fd", 0);
         blobmsg_add_u64(b, "cmd", kCtxGet);
         blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", "", 0);
         blobmsg_add_u32(b, "olen", 100);
       }},
      {"empty message for info", WYSD_CMD_INFO, nullptr},
      {"string without its 0", WYSD_CMD_OPEN,
       [](blob_buf* b) {
         blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "path", "fff", 3);
         blobmsg_add_u64(b, "mode", kOpenRead);
       }},
  };
  for (auto& k : cases) {
    c.send(k.code, k.build);
    Reply r = c.recv(k.code);
    EXPECT_EQ(r.st, WYSD_ST_OK) << k.what << ": " << r.what();
    EXPECT_EQ(r.code, k.code & 0xFF) << k.what;
    EXPECT_NE(r.eno, 0) << k.what;
    if (k.code == 77 || k.code == 255) {
      EXPECT_EQ(r.eno, kNotSup) << k.what;
    }
    Reply ok = c.info();
    ASSERT_TRUE(ok.ok()) << "after " << k.what << ": " << ok.what();
  }
  // Attributes the request set does not name are skipped.
  Reply r = c.call(WYSD_CMD_OPEN, [](blob_buf* b) {
    blobmsg_add_string(b, "extra", "ignored");
    blobmsg_add_string(b, "path", "f");
    blobmsg_add_u64(b, "mode", kOpenRead);
  });
  EXPECT_TRUE(r.ok()) << r.what();
}

}  // namespace
