// The dispatcher in process: request counts and the stored response that the
// client's repair relies on, context ownership, and the answers before login.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log_test_util.h"
#include "srv.h"
#include "wytest.h"

namespace {

struct rig {
  wytest::TempDir dir;
  std::unique_ptr<wysd_server> srv;
  explicit rig(std::map<std::string, std::string> users = {}) {
    wysd_conf c;
    c.root = dir.path();
    c.users = std::move(users);
    c.login_sha = true;
    srv = std::make_unique<wysd_server>(c);
    EXPECT_EQ(0, srv->open_root());
  }
  std::shared_ptr<wysd_session> session() {
    auto s = std::make_shared<wysd_session>();
    s->srv = srv.get();
    s->nc.stop.store(1);  // no login delay in process
    s->ctx = std::make_shared<wysd_ctx>();
    srv->ctx_hold(s->ctx, &s->nc.stop);
    return s;
  }
};

/// Runs one request; returns the response's errno (INT32_MIN for no answer).
int32_t run(wysd_session* s, int code, blob_buf* req, std::string* data = nullptr) {
  int32_t len = blob_buf_len(req);
  s->rb.buf = std::make_unique<uint8_t[]>(static_cast<size_t>(len) + 4);
  s->rb.cap = len + 4;
  memcpy(s->rb.buf.get(), blob_buf_data(req), static_cast<size_t>(len));
  wysd_action a = wysd_dispatch(s, code, len);
  if (a != WYSD_SEND) return INT32_MIN;
  const blob_buf& r = s->ctx->rsp;
  const blobmsg_policy pol[] = {{"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING},
                                {"data", BLOBMSG_TYPE_RAW}};
  const blob_attr* tb[3] = {};
  const uint8_t* m = blob_buf_data(&r);
  EXPECT_EQ(0, blobmsg_parse(pol, 3, tb, m + 4, blob_raw_len(reinterpret_cast<const blob_attr*>(m)) - 4));
  if (tb[0] == nullptr || tb[1] == nullptr) return INT32_MIN + 1;
  if (data != nullptr && tb[2] != nullptr)
    data->assign(static_cast<const char*>(blobmsg_data(tb[2])), static_cast<size_t>(blobmsg_data_len(tb[2])));
  return static_cast<int32_t>(blobmsg_get_u32(tb[0]));
}

int32_t login(wysd_session* s, const char* user, const char* pw) {
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_string(&b, "user", user);
  blobmsg_add_string(&b, "passwd", pw);
  return run(s, WYSD_CMD_LOGIN, &b);
}

int32_t ctl(wysd_session* s, int cmd, const std::string& text, std::string* out = nullptr) {
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_u64(&b, "fd", 0);
  blobmsg_add_u32(&b, "cmd", static_cast<uint32_t>(cmd));
  blobmsg_add_field(&b, BLOBMSG_TYPE_RAW, "data", text.c_str(), static_cast<int32_t>(text.size() + 1));
  blobmsg_add_u32(&b, "olen", 4096);
  return run(s, WYSD_CMD_IOCTL2, &b, out);
}

int32_t info(wysd_session* s) {
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_string(&b, "param", "");
  return run(s, WYSD_CMD_INFO, &b);
}

TEST(WysdDispatch, CountsEveryRequestAndReplaysTheLastAfterAttach) {
  rig g;
  auto a = g.session();
  ASSERT_EQ(0, login(a.get(), ":", ""));  // 1
  ASSERT_EQ(0, ctl(a.get(), WYSD_IOCTL2_NEW_CTX, "0"));  // 2
  std::string id;
  ASSERT_EQ(0, ctl(a.get(), WYSD_IOCTL2_GET_CTX, "", &id));  // 3
  ASSERT_FALSE(id.empty());
  std::string idx;
  ASSERT_EQ(0, ctl(a.get(), WYSD_IOCTL2_GET_LAST_CMD_IDX, "0", &idx));  // reports 3, then is the 4th
  EXPECT_EQ("3", idx);
  ASSERT_EQ(0, info(a.get()));  // 5: its answer is the one "lost"
  std::string lost(reinterpret_cast<const char*>(blob_buf_data(&a->ctx->rsp)),
                   static_cast<size_t>(blob_buf_len(&a->ctx->rsp)));
  // The connection drops: the context is parked for its owner.
  g.srv->ctx_release(a->ctx, true);

  auto b = g.session();
  ASSERT_EQ(0, login(b.get(), ":", ""));
  std::string st;
  ASSERT_EQ(0, ctl(b.get(), WYSD_IOCTL2_CTX_RUN_STATUS, id, &st));
  EXPECT_EQ("0", st);
  ASSERT_EQ(0, ctl(b.get(), WYSD_IOCTL2_GET_LAST_CMD_IDX, id, &idx));
  EXPECT_EQ("5", idx) << "the parked context's count, not the new connection's";
  // Attach with the stored answer: no answer of its own, the lost one again.
  EXPECT_EQ(0, ctl(b.get(), WYSD_IOCTL2_ATTACH_CTX_REPLY, id));
  EXPECT_EQ(WYSD_CMD_INFO, b->ctx->rsp_code);
  EXPECT_EQ(lost, std::string(reinterpret_cast<const char*>(blob_buf_data(&b->ctx->rsp)),
                              static_cast<size_t>(blob_buf_len(&b->ctx->rsp))));
  ASSERT_EQ(0, ctl(b.get(), WYSD_IOCTL2_GET_LAST_CMD_IDX, "0", &idx));
  EXPECT_EQ("5", idx) << "the attach itself is not counted";
  ASSERT_EQ(0, ctl(b.get(), WYSD_IOCTL2_GET_LAST_CMD_IDX, "0", &idx));
  EXPECT_EQ("6", idx);
  // Held now: a second attach is refused while it runs.
  auto c = g.session();
  ASSERT_EQ(0, login(c.get(), ":", ""));
  EXPECT_NE(0, ctl(c.get(), WYSD_IOCTL2_ATTACH_CTX, id));
  ASSERT_EQ(0, ctl(c.get(), WYSD_IOCTL2_CTX_RUN_STATUS, id, &st));
  EXPECT_EQ("1", st);
}

TEST(WysdDispatch, AnotherUsersContextIsNotTheirs) {
  rig g({{"ann", "pa"}, {"bob", "pb"}});
  auto sha = [](const std::string& pw) {
    uint8_t d[SHA1_DIGEST_SIZE];
    hash_sha1(pw.data(), pw.size(), d);
    return "{SHA}" + base64_encode(d, sizeof d);
  };
  auto a = g.session();
  EXPECT_EQ(1, login(a.get(), ":", "")) << "the probe is refused with code 1 when users exist";
  EXPECT_EQ(-89, info(a.get())) << "nothing before a login";
  EXPECT_EQ(-89, login(a.get(), "ann", sha("wrong").c_str()));
  EXPECT_EQ(-89, login(a.get(), "nobody", sha("pa").c_str()));
  {
    // A name with a line feed cannot start a log line of its own.
    LogCapture log;
    EXPECT_EQ(-89, login(a.get(), "x\n00:00:00 [1] forged", sha("pa").c_str()));
    EXPECT_EQ(log.all().find("\n00:00:00 [1] forged"), std::string::npos) << log.all();
    EXPECT_NE(log.all().find("login failed"), std::string::npos) << log.all();
  }
  ASSERT_EQ(0, login(a.get(), "ann", sha("pa").c_str()));
  ASSERT_EQ(0, ctl(a.get(), WYSD_IOCTL2_NEW_CTX, "0"));
  std::string id;
  ASSERT_EQ(0, ctl(a.get(), WYSD_IOCTL2_GET_CTX, "", &id));
  g.srv->ctx_release(a->ctx, true);

  auto b = g.session();
  ASSERT_EQ(0, login(b.get(), "bob", sha("pb").c_str()));
  EXPECT_EQ(-38, ctl(b.get(), WYSD_IOCTL2_ATTACH_CTX, id));
  EXPECT_EQ(INT32_MIN, ctl(b.get(), WYSD_IOCTL2_ATTACH_CTX_REPLY, id))
      << "a refused replay has no answer of its own: the connection closes with nothing sent";
  EXPECT_NE(0, ctl(b.get(), WYSD_IOCTL2_GET_LAST_CMD_IDX, id));
  EXPECT_NE(0, ctl(b.get(), WYSD_IOCTL2_CTX_REQ_STOP, id));
  auto c = g.session();
  ASSERT_EQ(0, login(c.get(), "ann", sha("pa").c_str()));
  EXPECT_EQ(0, ctl(c.get(), WYSD_IOCTL2_ATTACH_CTX, id));
}

TEST(WysdDispatch, MalformedAndUnknownRequestsGetAnErrorAnswer) {
  rig g;
  auto s = g.session();
  ASSERT_EQ(0, login(s.get(), ":", ""));
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_u32(&b, "fd", 1);  // int32 where an int64 belongs
  EXPECT_EQ(-2, run(s.get(), WYSD_CMD_CLOSE, &b));
  blob_buf_init(&b);
  EXPECT_EQ(-37, run(s.get(), 77, &b));
  EXPECT_EQ(-37, ctl(s.get(), 55555, ""));
  blob_buf_init(&b);
  blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, "path", "a\0/../../x", 11);
  blobmsg_add_u64(&b, "mode", 0x1081);
  EXPECT_EQ(-38, run(s.get(), WYSD_CMD_OPEN, &b)) << "a NUL inside a name";
}

}  // namespace
