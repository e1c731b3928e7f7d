// Contexts: ids and request counts, a dropped connection's context parked
// with its open files, attaching it from a new connection (with and without
// the stored response), only by its own user, and only for ctx_keep_s.
#include "wysd_client.h"

using namespace wysdtest;
using wytest::read_file;

namespace {

const Users kUsers = {{"alice", "a-pass"}, {"bob", "b-pass"}};

uint64_t as_id(const Reply& r) { return std::strtoull(r.text("data").c_str(), nullptr, 10); }

// Creates the connection's context and returns its id (0 on failure).
uint64_t new_ctx(Conn& c) {
  Reply r = c.ioctl2(kCtxNew, "0", 4096);
  EXPECT_TRUE(r.ok()) << r.what();
  r = c.ioctl2(kCtxGet, "", 4096, false);
  EXPECT_TRUE(r.ok()) << r.what();
  return as_id(r);
}

// 103 for `which` ("0" or an id) must give the count the client kept.
void expect_count(Conn& c, const std::string& which, uint64_t want, const char* what) {
  Reply r = c.ioctl2(kCtxLastIdx, which, 4096);
  ASSERT_TRUE(r.ok()) << what << ": " << r.what();
  EXPECT_EQ(r.text("data"), std::to_string(want)) << what;
}

// Waits (bounded) until the server sees the context's old connection gone.
bool wait_not_running(Conn& c, uint64_t id) {
  for (int64_t end = now_ms() + 3000; now_ms() < end; sleep_ms(50)) {
    Reply r = c.ioctl2(kCtxRunStatus, std::to_string(id), 4096);
    if (r.ok() && r.text("data") == "0") return true;
  }
  return false;
}

class WysdCtx : public ::testing::Test {
 protected:
  void SetUp() override {
    WYSD_REQUIRE_SERVER();
    ASSERT_NO_FATAL_FAILURE(s.start("ctx_keep_s = 2\n", kUsers));
  }
  bool session(Conn& c, const char* user, const char* pw) { return c.open_session(s.port(), user, pw); }
  Site s;
};

TEST_F(WysdCtx, IdsAndRequestCounts) {
  Conn c;
  ASSERT_TRUE(session(c, "alice", "a-pass"));
  uint64_t id = new_ctx(c);
  EXPECT_NE(id, 0u);
  Reply r = c.ioctl2(kCtxGet, "", 4096, false);
  EXPECT_EQ(as_id(r), id) << "the id changed";
  expect_count(c, "0", c.sent(), "own context by 0");
  c.info();
  c.open("nothere", kOpenRead);  // failed requests count too
  expect_count(c, "0", c.sent(), "after two more");
  expect_count(c, std::to_string(id), c.sent(), "own context by id");
  // Another connection gets another, unrelated id.
  Conn d;
  ASSERT_TRUE(session(d, "alice", "a-pass"));
  uint64_t id2 = new_ctx(d);
  EXPECT_NE(id2, 0u);
  EXPECT_NE(id2, id);
  EXPECT_NE(id2, id + 1) << "ids look guessable";
  // Unknown ids are errors.
  r = c.ioctl2(kCtxLastIdx, "12345", 4096);
  EXPECT_NE(r.eno, 0) << r.what();
  r = c.ioctl2(kCtxAttach, "12345", 4096);
  EXPECT_NE(r.eno, 0) << r.what();
  r = c.ioctl2(kCtxRunStatus, "not a number", 4096);
  EXPECT_NE(r.eno, 0) << r.what();
}

TEST_F(WysdCtx, DroppedConnectionIsReattachedAndItsLastResponseSentAgain) {
  Conn c1;
  ASSERT_TRUE(session(c1, "alice", "a-pass"));
  uint64_t id = new_ctx(c1);
  ASSERT_NE(id, 0u);
  uint64_t fd = c1.open_fd("ctxfile", kOpenWrite);
  ASSERT_NE(fd, 0u);
  Reply last = c1.write(fd, "part1");
  ASSERT_TRUE(last.ok()) << last.what();
  uint64_t n1 = c1.sent();
  c1.close();  // no goodbye: the context is parked

  Conn c2;
  ASSERT_TRUE(session(c2, "alice", "a-pass"));
  EXPECT_TRUE(c2.ioctl2(kCtxReqStop, std::to_string(id), 4096).ok());
  ASSERT_TRUE(wait_not_running(c2, id)) << s.srv.log();
  expect_count(c2, std::to_string(id), n1, "parked context");
  c2.send_ioctl2(kCtxAttachReply, std::to_string(id), 4096);
  Reply again = c2.recv(WYSD_CMD_WRITE);
  ASSERT_EQ(again.st, WYSD_ST_OK) << again.what();
  EXPECT_EQ(again.code, WYSD_CMD_WRITE) << "not the stored response";
  EXPECT_EQ(again.eno, 0);
  EXPECT_EQ(again.i32("len"), 5);
  EXPECT_EQ(again.attrs, last.attrs);
  EXPECT_FALSE(c2.readable_within(300)) << "105 got a response of its own";
  // The context goes on here, open file and count included.
  c2.set_sent(n1);
  EXPECT_TRUE(c2.write(fd, "part2").ok());
  EXPECT_TRUE(c2.close_fd(fd).ok());
  expect_count(c2, "0", c2.sent(), "attached context");
  EXPECT_EQ(read_file(s.in_root("ctxfile")), "part1part2");
}

TEST_F(WysdCtx, AttachWithoutReplyThenTheContextIsNoLongerParked) {
  Conn c1;
  ASSERT_TRUE(session(c1, "alice", "a-pass"));
  uint64_t id = new_ctx(c1);
  ASSERT_NE(id, 0u);
  wytest::write_file(s.in_root("src"), "0123456789");
  uint64_t fd = c1.open_fd("src", kOpenRead);
  ASSERT_NE(fd, 0u);
  EXPECT_EQ(c1.read(fd, 4).data, "0123");
  uint64_t n1 = c1.sent();
  c1.close();

  Conn c2;
  ASSERT_TRUE(session(c2, "alice", "a-pass"));
  ASSERT_TRUE(wait_not_running(c2, id));
  Reply r = c2.ioctl2(kCtxAttach, std::to_string(id), 4096);
  ASSERT_TRUE(r.ok()) << r.what();
  EXPECT_EQ(r.code, WYSD_CMD_IOCTL2);
  c2.set_sent(n1);
  // The file position moved with the context.
  EXPECT_EQ(c2.read(fd, 4).data, "4567");
  expect_count(c2, "0", c2.sent(), "after attach");
  Reply g = c2.ioctl2(kCtxGet, "", 4096, false);
  EXPECT_EQ(as_id(g), id);
  // It is attached now: nobody else can take it.
  Conn c3;
  ASSERT_TRUE(session(c3, "alice", "a-pass"));
  r = c3.ioctl2(kCtxAttach, std::to_string(id), 4096);
  EXPECT_NE(r.eno, 0) << "attached twice: " << r.what();
  EXPECT_EQ(c2.read(fd, 4).data, "89");
}

TEST_F(WysdCtx, AnotherUsersAttachIsRefused) {
  Conn c1;
  ASSERT_TRUE(session(c1, "alice", "a-pass"));
  uint64_t id = new_ctx(c1);
  ASSERT_NE(id, 0u);
  uint64_t fd = c1.open_fd("alices", kOpenWrite);
  ASSERT_NE(fd, 0u);
  c1.close();
  Conn b;
  ASSERT_TRUE(session(b, "bob", "b-pass"));
  sleep_ms(200);
  Reply r = b.ioctl2(kCtxAttach, std::to_string(id), 4096);
  EXPECT_TRUE(r.eno == kAccess || r.eno == kAuth) << r.what();
  // Bob did not get the file either.
  r = b.write(fd, "bob was here");
  EXPECT_NE(r.eno, 0) << r.what();
  // The refusal left the context parked for its owner.
  Conn a;
  ASSERT_TRUE(session(a, "alice", "a-pass"));
  ASSERT_TRUE(wait_not_running(a, id));
  r = a.ioctl2(kCtxAttach, std::to_string(id), 4096);
  EXPECT_TRUE(r.ok()) << r.what();
  EXPECT_TRUE(a.write(fd, "alice").ok());
  EXPECT_TRUE(a.close_fd(fd).ok());
  EXPECT_EQ(read_file(s.in_root("alices")), "alice");
}

TEST_F(WysdCtx, AParkedContextExpiresAfterCtxKeep) {
  Conn c1;
  ASSERT_TRUE(session(c1, "alice", "a-pass"));
  uint64_t id = new_ctx(c1);
  ASSERT_NE(id, 0u);
  uint64_t fd = c1.open_fd("kept", kOpenWrite);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c1.write(fd, "written before the drop").ok());
  c1.close();
  sleep_ms(3500);  // ctx_keep_s = 2
  Conn c2;
  ASSERT_TRUE(session(c2, "alice", "a-pass"));
  Reply r = c2.ioctl2(kCtxAttach, std::to_string(id), 4096);
  EXPECT_NE(r.eno, 0) << "expired context attached: " << r.what();
  // Its file was closed with everything written.
  EXPECT_EQ(read_file(s.in_root("kept")), "written before the drop");
}

TEST_F(WysdCtx, ConnectionEndedWithByeParksNothing) {
  Conn c1;
  ASSERT_TRUE(session(c1, "alice", "a-pass"));
  uint64_t id = new_ctx(c1);
  ASSERT_NE(id, 0u);
  c1.send(WYSD_CMD_BYE, nullptr);
  EXPECT_TRUE(c1.wait_closed(3000));
  Conn c2;
  ASSERT_TRUE(session(c2, "alice", "a-pass"));
  Reply r = c2.ioctl2(kCtxAttach, std::to_string(id), 4096);
  EXPECT_NE(r.eno, 0) << r.what();
}

}  // namespace

namespace {

// While its first connection is still open the context is running; a stop
// request from a second connection of the same user ends that connection,
// and the context can then be attached.
TEST_F(WysdCtx, AStopRequestEndsTheOldConnectionSoItCanBeAttached) {
  Conn a;
  ASSERT_TRUE(session(a, "alice", "a-pass"));
  uint64_t id = new_ctx(a);
  ASSERT_NE(id, 0u);
  Conn b;
  ASSERT_TRUE(session(b, "alice", "a-pass"));
  Reply r = b.ioctl2(kCtxRunStatus, std::to_string(id), 4096);
  ASSERT_TRUE(r.ok()) << r.what();
  EXPECT_EQ(r.text("data"), "1") << "held by its open connection";
  EXPECT_NE(b.ioctl2(kCtxAttach, std::to_string(id), 4096).eno, 0) << "attached while running";
  r = b.ioctl2(kCtxReqStop, std::to_string(id), 4096);
  ASSERT_TRUE(r.ok()) << r.what();
  EXPECT_TRUE(a.wait_closed(3000)) << "the stopped connection stays open";
  ASSERT_TRUE(wait_not_running(b, id));
  r = b.ioctl2(kCtxAttach, std::to_string(id), 4096);
  EXPECT_TRUE(r.ok()) << r.what();
}

// After login an idle connection is closed after idle_s; the login
// deadline no longer applies to it.
TEST(WysdIdle, AnIdleConnectionIsClosedAfterIdleSeconds) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("idle_s = 2\nlogin_s = 1\n"));
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  sleep_ms(1300);
  EXPECT_TRUE(c.info().ok()) << "closed by the login deadline after a login";
  int64_t t0 = now_ms();
  EXPECT_TRUE(c.wait_closed(5000));
  EXPECT_GE(now_ms() - t0, 1500);
}

}  // namespace
