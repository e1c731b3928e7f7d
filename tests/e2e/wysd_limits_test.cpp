// Bad peers and many peers: oversized and malformed frames, garbage, a
// client too slow to log in, one connection past max_conn, and fifty
// clients at once, each in its own subtree.
#include <atomic>
#include <mutex>

#include "librdir.h"
#include "wysd_client.h"

using namespace wysdtest;
using wytest::pattern;
using wytest::read_file;
using wytest::write_file;

namespace {

// What a connection got before the server closed it: true when it closed
// within `ms`; *frames counts the whole frames seen, *eno the errno of the
// first one.
bool closed_after(Conn& c, int ms, int* frames, int32_t* eno) {
  std::string seen;
  bool closed = c.wait_closed(ms, &seen);
  *frames = 0;
  *eno = 0;
  size_t off = 0;
  while (seen.size() - off >= 8) {
    uint32_t len = (static_cast<uint8_t>(seen[off + 5]) << 16) | (static_cast<uint8_t>(seen[off + 6]) << 8) |
                   static_cast<uint8_t>(seen[off + 7]);
    size_t padded = (len + 3) & ~3u;
    if (seen.size() - off - 4 < padded) break;
    if (*frames == 0) {
      const wysd_msg_policy* pol = wysd_msg_policy_get(WYSD_CMD_INFO);
      const blob_attr* tb[2] = {};
      blobmsg_parse(pol->rsp, 2, tb, seen.data() + off + 8, static_cast<int32_t>(len) - 4);
      if (tb[0] != nullptr) *eno = static_cast<int32_t>(blobmsg_get_u32(tb[0]));
    }
    (*frames)++;
    off += 4 + padded;
  }
  return closed;
}

TEST(WysdLimits, OversizedFrameBeforeLoginGetsAnErrorAndTheEnd) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("", {{"u", "p"}}));
  Conn c;
  ASSERT_TRUE(c.connect(s.port()));
  // 100000 bytes announced before login: over the 64 KiB limit there.
  ASSERT_TRUE(c.send_raw(frame_head(WYSD_CMD_LOGIN, 100000)));
  int frames = 0;
  int32_t eno = 0;
  EXPECT_TRUE(closed_after(c, 5000, &frames, &eno)) << "still open";
  EXPECT_EQ(frames, 1);
  EXPECT_NE(eno, 0);
  // Under the limit is fine before login.
  Conn d;
  ASSERT_TRUE(d.connect(s.port()));
  Reply r = d.login_plain(std::string(30000, 'u'), "");
  EXPECT_EQ(r.st, WYSD_ST_OK);
  EXPECT_NE(r.eno, 0);
}

TEST(WysdLimits, OversizedFrameAfterLoginGetsAnErrorAndTheEnd) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("max_frame = 1048576\n"));
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  // A write just under the limit passes.
  uint64_t fd = c.open_fd("big", kOpenWrite);
  ASSERT_NE(fd, 0u);
  std::string data = pattern(1000000, 5);
  Reply r = c.write(fd, data);
  EXPECT_TRUE(r.ok()) << r.what();
  c.close_fd(fd);
  EXPECT_TRUE(read_file(s.in_root("big")) == data);
  for (uint32_t announced : {1100000u, 0xFFFFFFu}) {
    Conn d;
    ASSERT_TRUE(d.open_session(s.port()));
    ASSERT_TRUE(d.send_raw(frame_head(WYSD_CMD_WRITE, announced)));
    int frames = 0;
    int32_t eno = 0;
    EXPECT_TRUE(closed_after(d, 5000, &frames, &eno)) << announced << ": still open";
    EXPECT_EQ(frames, 1) << announced;
    EXPECT_NE(eno, 0) << announced;
  }
  EXPECT_TRUE(c.info().ok());
}

TEST(WysdLimits, MalformedMessagesGetAnErrorAndTheConnectionGoesOn) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  c.set_timeout(5000);
  // An attribute whose length runs past the message.
  std::string bad = frame_head(WYSD_CMD_INFO, 16);
  bad += std::string("\x84\x00\x00\x40\x00\x05param\x00", 12);
  ASSERT_TRUE(c.send_raw(bad));
  Reply r = c.recv(WYSD_CMD_INFO);
  EXPECT_EQ(r.st, WYSD_ST_OK) << r.what();
  EXPECT_NE(r.eno, 0);
  EXPECT_TRUE(c.info().ok());
  // An attribute shorter than its own header.
  bad = frame_head(WYSD_CMD_OPEN, 12);
  bad += std::string("\x84\x00\x00\x02\x00\x00\x00\x00", 8);
  ASSERT_TRUE(c.send_raw(bad));
  r = c.recv(WYSD_CMD_OPEN);
  EXPECT_EQ(r.st, WYSD_ST_OK) << r.what();
  EXPECT_NE(r.eno, 0);
  EXPECT_TRUE(c.info().ok());
  // A 64-bit attribute with 3 payload bytes where "fd" is expected.
  bad = frame_head(WYSD_CMD_CLOSE, 20);
  bad += std::string("\x85\x00\x00\x0f\x00\x02" "fd" "\x00\x00\x00\x00\x01\x02\x03\x00", 16);
  ASSERT_TRUE(c.send_raw(bad));
  r = c.recv(WYSD_CMD_CLOSE);
  EXPECT_EQ(r.st, WYSD_ST_OK) << r.what();
  EXPECT_NE(r.eno, 0);
  EXPECT_TRUE(c.info().ok());
}

// A multi-file object asked for smaller than the 4-byte header of a read
// record: every record still has room for its header. A file that fits is
// sent as a header alone; the server lives on and answers.
TEST(WysdLimits, AMultiFileObjectSmallerThanARecordHeaderStillAnswers) {
  WYSD_REQUIRE_SERVER();
  Site s;
  write_file(s.in_root("m/empty"), "");
  write_file(s.in_root("m/one"), "1");
  ASSERT_NO_FATAL_FAILURE(s.start());
  for (const char* size : {"0", "2", "4"}) {
    SCOPED_TRACE(std::string("max_mfile_size ") + size);
    Conn c;
    ASSERT_TRUE(c.open_session(s.port()));
    c.set_timeout(5000);
    ASSERT_TRUE(c.ioctl2(kMfOpen, std::string(size) + "\t1000").ok());
    ASSERT_TRUE(c.ioctl2(kMfReadList, "/m\tempty\t0\none\t1\n").ok());
    std::string res = remote_results(c, [](const std::string& x) { return x.size() >= 12; });
    mfile_data d;
    const auto* p = reinterpret_cast<const uint8_t*>(res.data());
    int k = libmfile_read_get_data_len_err(p, res.size(), &d);
    ASSERT_GT(k, 0) << "no whole record came back\n" << s.srv.log().substr(0, 4000);
    EXPECT_FALSE(d.open_err);
    EXPECT_TRUE(d.data.empty());
    // One byte is more than such an object may carry: refused, not read.
    mfile_data d2;
    ASSERT_GT(libmfile_read_get_data_len_err(p + k, res.size() - static_cast<size_t>(k), &d2), 0) << res.size();
    EXPECT_TRUE(d2.open_err);
    EXPECT_TRUE(c.info().ok());
  }
}

TEST(WysdLimits, GarbageEndsTheConnectionOnly) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  Conn other;
  ASSERT_TRUE(other.open_session(s.port()));
  {
    // A good frame with garbage right behind it: the frame is answered.
    Conn c;
    ASSERT_TRUE(c.open_session(s.port()));
    std::string bytes = frame_of(WYSD_CMD_INFO, [](blob_buf* b) { blobmsg_add_string(b, "param", ""); });
    bytes += "GARBAGE GARBAGE GARBAGE GARBAGE!";
    ASSERT_TRUE(c.send_raw(bytes));
    Reply r = c.recv(WYSD_CMD_INFO);
    EXPECT_TRUE(r.ok()) << r.what();
    EXPECT_TRUE(c.wait_closed(5000)) << "garbage did not end the connection";
  }
  {
    // A root length below the root header itself still pads to the header
    // the head carried: the frame is answered as malformed and the stream
    // stays in step.
    Conn c;
    ASSERT_TRUE(c.open_session(s.port()));
    c.set_timeout(5000);
    ASSERT_TRUE(c.send_raw(frame_head(WYSD_CMD_INFO, 2)));
    Reply r = c.recv(WYSD_CMD_INFO);
    EXPECT_EQ(r.st, WYSD_ST_OK) << r.what();
    EXPECT_NE(r.eno, 0);
    EXPECT_TRUE(c.info().ok());
  }
  {
    // Garbage before anything else.
    Conn c;
    ASSERT_TRUE(c.connect(s.port()));
    ASSERT_TRUE(c.send_raw(std::string(64, '\xff')));
    EXPECT_TRUE(c.wait_closed(5000));
  }
  EXPECT_TRUE(other.info().ok());
}

TEST(WysdLimits, AClientTooSlowToLogInIsClosed) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("login_s = 2\n", {{"u", "p"}}));
  Conn c;
  ASSERT_TRUE(c.connect(s.port()));
  std::string frame = frame_of(WYSD_CMD_LOGIN, [](blob_buf* b) {
    blobmsg_add_string(b, "user", ":");
    blobmsg_add_string(b, "passwd", "");
  });
  bool closed = false;
  int64_t start = now_ms();
  // One byte a second; the frame would take far longer than login_s.
  for (size_t i = 0; i < frame.size() && !closed && now_ms() - start < 8000; i++) {
    if (!c.send_raw(frame.substr(i, 1))) {
      closed = true;
      break;
    }
    closed = c.wait_closed(1000);
  }
  EXPECT_TRUE(closed) << "a trickling client kept its connection";
  Conn d;
  EXPECT_TRUE(d.open_session(s.port(), "u", "p"));
}

TEST(WysdLimits, OneConnectionPastMaxConnIsRefusedTheOthersGoOn) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start("max_conn = 4\n"));
  std::vector<std::unique_ptr<Conn>> conns;
  for (int i = 0; i < 4; i++) {
    conns.push_back(std::make_unique<Conn>());
    ASSERT_TRUE(conns.back()->open_session(s.port())) << i;
  }
  Conn extra;
  ASSERT_TRUE(extra.connect(s.port()));
  int frames = 0;
  int32_t eno = 0;
  EXPECT_TRUE(closed_after(extra, 3000, &frames, &eno)) << "the fifth connection stayed";
  EXPECT_LE(frames, 1);
  if (frames == 1) {
    EXPECT_NE(eno, 0);
  }
  for (auto& c : conns) EXPECT_TRUE(c->info().ok());
  // A place that comes free is taken again.
  conns[0]->send(WYSD_CMD_BYE, nullptr);
  conns[0]->wait_closed(2000);
  bool again = false;
  for (int64_t end = now_ms() + 3000; !again && now_ms() < end; sleep_ms(100)) {
    Conn c;
    again = c.open_session(s.port()) && c.info().ok();
  }
  EXPECT_TRUE(again);
}

TEST(WysdLimits, FiftyClientsAtOnceEachInItsOwnSubtree) {
  WYSD_REQUIRE_SERVER();
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  std::mutex mu;
  std::vector<std::string> errors;
  auto fail = [&](int i, const std::string& what) {
    std::lock_guard<std::mutex> l(mu);
    errors.push_back("client " + std::to_string(i) + ": " + what);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 50; i++) {
    threads.emplace_back([&, i] {
      Conn c;
      if (!c.open_session(s.port())) return fail(i, "login");
      if (i % 2 == 1 && !c.set_pack("lz4")) return fail(i, "pack");
      std::string dir = "/c" + std::to_string(i);
      if (!c.ioctl(0, kIoMkdirs, dir + "/sub").ok()) return fail(i, "mkdirs");
      for (int k = 0; k < 3; k++) {
        std::string name = dir + "/sub/f" + std::to_string(k);
        std::string data = pattern(static_cast<size_t>(1000 * (i + 1) + 37 * k), static_cast<unsigned>(i * 10 + k));
        uint64_t fd = c.open_fd(name, kOpenWrite);
        if (fd == 0) return fail(i, "open " + name);
        Reply w = c.write(fd, data);
        if (!w.ok() || w.i32("len") != static_cast<int32_t>(data.size())) return fail(i, "write " + w.what());
        if (!c.close_fd(fd).ok()) return fail(i, "close");
        fd = c.open_fd(name, kOpenRead);
        if (fd == 0) return fail(i, "reopen " + name);
        Reply r = c.read(fd, static_cast<int32_t>(data.size()) + 100);
        if (!r.ok() || r.data != data) return fail(i, "read back " + name + " " + r.what());
        c.close_fd(fd);
      }
      c.send(WYSD_CMD_BYE, nullptr);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(errors.empty()) << errors.size() << " failed, first: " << (errors.empty() ? "" : errors[0]) << "\n"
                              << s.srv.log().substr(0, 4000);
  for (int i = 0; i < 50; i++)
    for (int k = 0; k < 3; k++) {
      std::string p = s.root();
      p.append("/c").append(std::to_string(i)).append("/sub/f").append(std::to_string(k));
      EXPECT_TRUE(read_file(p) == pattern(static_cast<size_t>(1000 * (i + 1) + 37 * k), static_cast<unsigned>(i * 10 + k)))
          << p;
    }
}

}  // namespace
