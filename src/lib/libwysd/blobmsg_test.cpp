// Attribute messages: the exact byte layout, growth, shrink, and the
// parser's handling of well-formed, mismatched and hostile attributes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libwysd.h"

namespace {

std::vector<uint8_t> bytes_of(const blob_buf& b) {
  const uint8_t* d = blob_buf_data(&b);
  return std::vector<uint8_t>(d, d + blob_buf_len(&b));
}

// Body of a built message: the attributes after the root header.
struct Body {
  std::vector<uint8_t> v;
  explicit Body(const blob_buf& b) : v(bytes_of(b)) { v.erase(v.begin(), v.begin() + 4); }
  const void* data() const { return v.data(); }
  int32_t len() const { return static_cast<int32_t>(v.size()); }
};

TEST(BlobBuf, Int64AttributeLayoutIsExact) {
  blob_buf b;
  ASSERT_EQ(blob_buf_init(&b), 0);
  EXPECT_EQ(blob_buf_len(&b), 4);
  ASSERT_EQ(blobmsg_add_u64(&b, "fd", 0x0102030405060708ull), 0);
  std::vector<uint8_t> want = {0x02, 0x00, 0x00, 0x18,  // root: table, 4 + 20
                               0x85, 0x00, 0x00, 0x14,  // extended, int64, 20
                               0x00, 0x02, 'f',  'd',  0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(bytes_of(b), want);
}

TEST(BlobBuf, PaddingAndRootLengthForOddSizes) {
  blob_buf b;
  ASSERT_EQ(blob_buf_init(&b), 0);
  ASSERT_EQ(blobmsg_add_string(&b, "path", "a/b"), 0);  // hdr 4+8, payload 4
  const uint8_t* d = blob_buf_data(&b);
  EXPECT_EQ(d[7], 16);
  ASSERT_EQ(blobmsg_add_field(&b, BLOBMSG_TYPE_RAW, "data", "xyz", 3), 0);  // 15 -> 16
  d = blob_buf_data(&b);
  EXPECT_EQ(d[4 + 16 + 3], 15);              // unpadded length in the header
  EXPECT_EQ(d[4 + 16 + 15], 0);              // padding zeroed
  EXPECT_EQ(blob_buf_len(&b), 4 + 16 + 16);  // root counts padded lengths
  ASSERT_EQ(blobmsg_add_field(&b, BLOBMSG_TYPE_RAW, "e", nullptr, 0), 0);
  EXPECT_EQ(blob_buf_len(&b), 4 + 16 + 16 + 8);

  // init reuses the buffer and starts an empty root.
  size_t cap = b.buf.size();
  ASSERT_EQ(blob_buf_init(&b), 0);
  EXPECT_EQ(blob_buf_len(&b), 4);
  EXPECT_EQ(b.buf.size(), cap);
}

TEST(BlobBuf, GrowsInWholeStepsOverTheMissingAmount) {
  blob_buf b;
  ASSERT_EQ(blob_buf_init(&b), 0);
  EXPECT_EQ(b.buf.size(), 256u);
  std::vector<uint8_t> payload(1000, 0xab);
  // Needs 4 + 12 + 1000 = 1016 bytes: missing 760 -> (760/256 + 1) * 256 = 768.
  ASSERT_EQ(blobmsg_add_field(&b, BLOBMSG_TYPE_RAW, "data", payload.data(), 1000), 0);
  EXPECT_EQ(b.buf.size(), 256u + 768u);
  ASSERT_EQ(blobmsg_add_u32(&b, "len", 7), 0);  // 1016 + 12 > 1024: grows again
  EXPECT_EQ(b.buf.size(), 1024u + 256u);
  Body body(b);
  const blobmsg_policy pol[] = {{"data", BLOBMSG_TYPE_RAW}, {"len", BLOBMSG_TYPE_INT32}};
  const blob_attr* tb[2];
  ASSERT_EQ(blobmsg_parse(pol, 2, tb, body.data(), body.len()), 0);
  ASSERT_NE(tb[0], nullptr);
  EXPECT_EQ(blobmsg_data_len(tb[0]), 1000);
  EXPECT_EQ(memcmp(blobmsg_data(tb[0]), payload.data(), 1000), 0);
  EXPECT_EQ(blobmsg_get_u32(tb[1]), 7u);
}

TEST(BlobBuf, ReserveThenShrinkTheLastAttribute) {
  blob_buf b;
  ASSERT_EQ(blob_buf_init(&b), 0);
  ASSERT_EQ(blobmsg_add_u64(&b, "fd", 3), 0);
  void* p = nullptr;
  blob_attr* a = blobmsg_reserve(&b, BLOBMSG_TYPE_RAW, "data", 100, &p);
  ASSERT_NE(a, nullptr);
  memset(p, 0x11, 100);
  EXPECT_EQ(blob_buf_len(&b), 4 + 20 + 112);
  ASSERT_EQ(blobmsg_shrink(&b, a, 5), 0);
  EXPECT_EQ(blob_raw_len(a), 12 + 5);
  EXPECT_EQ(blob_buf_len(&b), 4 + 20 + 20);
  EXPECT_EQ(blob_buf_data(&b)[4 + 20 + 17], 0);  // old payload gone from the padding
  EXPECT_EQ(blobmsg_shrink(&b, a, 6), -1);       // cannot grow back
  // Only the last attribute can shrink.
  blob_attr* first = reinterpret_cast<blob_attr*>(b.buf.data() + 4);
  EXPECT_EQ(blobmsg_shrink(&b, first, 0), -1);
  EXPECT_EQ(blob_buf_len(&b), 4 + 20 + 20);
}

TEST(BlobBuf, RefusesMessagesPastTheLengthField) {
  blob_buf b;
  ASSERT_EQ(blob_buf_init(&b), 0);
  EXPECT_EQ(blobmsg_reserve(&b, BLOBMSG_TYPE_RAW, "data", BLOB_LEN_MAX, nullptr), nullptr);
  EXPECT_EQ(blobmsg_reserve(&b, BLOBMSG_TYPE_RAW, "data", -1, nullptr), nullptr);
  EXPECT_EQ(blob_buf_len(&b), 4);  // nothing written
  blob_buf none;                   // never initialised
  EXPECT_EQ(blobmsg_add_u32(&none, "x", 1), -1);
}

// Hand-built attribute for hostile cases.
std::vector<uint8_t> attr(int type, const std::string& name, const std::vector<uint8_t>& payload,
                          bool extended = true) {
  std::vector<uint8_t> a;
  a.reserve(16 + name.size() + payload.size());
  a.resize(4);
  if (extended) {
    a.push_back(static_cast<uint8_t>(name.size() >> 8));
    a.push_back(static_cast<uint8_t>(name.size()));
    a.insert(a.end(), name.begin(), name.end());
    a.push_back(0);
    while ((a.size() - 4) % 4 != 0) a.push_back(0);
  }
  a.insert(a.end(), payload.begin(), payload.end());
  blob_put_be32(a.data(), (extended ? 0x80000000u : 0) | (static_cast<uint32_t>(type) << 24) |
                static_cast<uint32_t>(a.size()));
  while (a.size() % 4 != 0) a.push_back(0);
  return a;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int parse(const std::vector<blobmsg_policy>& pol, const std::vector<uint8_t>& msg,
          std::vector<const blob_attr*>* tb) {
  tb->assign(pol.size(), nullptr);
  return blobmsg_parse(pol.data(), static_cast<int>(pol.size()), tb->data(), msg.data(),
                       static_cast<int32_t>(msg.size()));
}

TEST(BlobmsgParse, MatchesByNameLengthTypeAndFirstWins) {
  std::vector<const blob_attr*> tb;
  // "errno" as a string is not a candidate for ("errno", int32): no validation,
  // no match; the int32 after it is taken; a second "errno" is ignored.
  auto msg = cat({attr(BLOBMSG_TYPE_STRING, "errno", {'x', 0}),
                  attr(BLOBMSG_TYPE_INT32, "errno", {0, 0, 0, 9}),
                  attr(BLOBMSG_TYPE_INT32, "errno", {0, 0, 0, 1}),
                  attr(BLOBMSG_TYPE_INT32, "errnx", {0, 0, 0, 2}),
                  attr(BLOBMSG_TYPE_INT32, "unrelated_name", {1, 2})});  // bad, but unmatched
  ASSERT_EQ(parse({{"errno", BLOBMSG_TYPE_INT32}, {"other", BLOBMSG_TYPE_UNSPEC}}, msg, &tb), 0);
  ASSERT_NE(tb[0], nullptr);
  EXPECT_EQ(blobmsg_get_u32(tb[0]), 9u);
  EXPECT_EQ(tb[1], nullptr);
  // Type 0 in the policy accepts any type.
  ASSERT_EQ(parse({{"errnx", BLOBMSG_TYPE_UNSPEC}}, msg, &tb), 0);
  EXPECT_EQ(blobmsg_get_u32(tb[0]), 2u);
}

TEST(BlobmsgParse, PayloadChecksOfCandidates) {
  std::vector<const blob_attr*> tb;
  struct Case {
    int type;
    std::vector<uint8_t> payload;
    bool ok;
  } cases[] = {
      {BLOBMSG_TYPE_STRING, {'a', 'b', 0}, true},
      {BLOBMSG_TYPE_STRING, {'a', 'b'}, false},
      {BLOBMSG_TYPE_STRING, {}, false},
      {BLOBMSG_TYPE_INT32, {1, 2, 3}, false},
      {BLOBMSG_TYPE_INT32, {1, 2, 3, 4}, true},
      {BLOBMSG_TYPE_INT64, {1, 2, 3, 4}, false},
      {BLOBMSG_TYPE_INT16, {1, 2}, true},
      {BLOBMSG_TYPE_INT16, {1}, false},
      {BLOBMSG_TYPE_INT8, {1}, true},
      {BLOBMSG_TYPE_INT8, {}, false},
      {BLOBMSG_TYPE_RAW, {}, true},
      {9, {1}, false},
  };
  for (const Case& c : cases) {
    auto msg = attr(c.type, "val", c.payload);
    EXPECT_EQ(parse({{"val", BLOBMSG_TYPE_UNSPEC}}, msg, &tb), c.ok ? 0 : -1)
        << "type " << c.type << " payload " << c.payload.size();
    EXPECT_EQ(tb[0] != nullptr, c.ok);
  }
}

TEST(BlobmsgParse, HostileLengthsFailWithoutReadingPastTheMessage) {
  std::vector<const blob_attr*> tb;
  std::vector<blobmsg_policy> pol = {{"fd", BLOBMSG_TYPE_INT64}};
  auto good = attr(BLOBMSG_TYPE_INT64, "fd", {0, 0, 0, 0, 0, 0, 0, 1});

  // Lengths below the header, and one running past the message; each test
  // message is exactly sized so ASan would see a read past it.
  for (uint32_t len : {0u, 1u, 3u}) {
    auto bad = good;
    blob_put_be32(bad.data(), 0x85000000u | len);
    EXPECT_EQ(parse(pol, bad, &tb), -1) << len;
  }
  auto past = good;
  blob_put_be32(past.data(), 0x85000000u | 24);
  EXPECT_EQ(parse(pol, past, &tb), -1);
  // A valid attribute followed by a header fragment.
  auto frag = cat({good, {0x85, 0}});
  EXPECT_EQ(parse(pol, frag, &tb), -1);
  EXPECT_NE(tb[0], nullptr);  // found before the damage

  // Name length pointing past the attribute, a missing name terminator, a
  // header word too short to hold a name: all fail for a candidate.
  auto longname = good;
  longname[5] = 200;
  EXPECT_EQ(parse({{std::string(200, 'x').c_str(), 0}}, longname, &tb), -1);
  auto noterm = good;
  noterm[8] = 'x';
  EXPECT_EQ(parse(pol, noterm, &tb), -1);
  std::vector<uint8_t> tiny = {0x85, 0, 0, 6, 0, 2, 0, 0};
  EXPECT_EQ(parse(pol, tiny, &tb), -1);  // name "fd" would not fit
  std::vector<uint8_t> tiny4 = {0x85, 0, 0, 4};
  EXPECT_EQ(parse(pol, tiny4, &tb), 0);  // no room for a name: matches nothing
  EXPECT_EQ(tb[0], nullptr);

  // Unnamed attributes never match a named entry.
  auto plain = attr(BLOBMSG_TYPE_INT64, "", {0, 0, 0, 0, 0, 0, 0, 1}, false);
  EXPECT_EQ(parse(pol, plain, &tb), 0);
  EXPECT_EQ(tb[0], nullptr);

  // An empty message parses to nothing.
  EXPECT_EQ(parse(pol, {}, &tb), 0);
  EXPECT_EQ(tb[0], nullptr);
}

TEST(BlobmsgParse, LastAttributeWithoutPaddingIsAccepted) {
  std::vector<const blob_attr*> tb;
  auto a = attr(BLOBMSG_TYPE_RAW, "data", {1, 2, 3});
  a.resize(a.size() - 1);  // exactly the unpadded length
  ASSERT_EQ(parse({{"data", BLOBMSG_TYPE_RAW}}, a, &tb), 0);
  ASSERT_NE(tb[0], nullptr);
  EXPECT_EQ(blobmsg_data_len(tb[0]), 3);
}

std::vector<uint8_t> response(int32_t eno, bool with_str, bool with_fd) {
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_u32(&b, "errno", static_cast<uint32_t>(eno));
  if (with_str) blobmsg_add_string(&b, "errno_str", eno != 0 ? "No such file." : "");
  if (with_fd) blobmsg_add_u64(&b, "fd", 77);
  auto v = bytes_of(b);
  return std::vector<uint8_t>(v.begin() + 4, v.end());
}

TEST(CliBlobmsgParse, ResponseConvention) {
  const wysd_msg_policy* open = wysd_msg_policy_get(WYSD_CMD_OPEN);
  ASSERT_NE(open, nullptr);
  ASSERT_EQ(open->rsp_n, 3);
  const blob_attr* tb[3];
  auto run = [&](const std::vector<uint8_t>& m) {
    return cli_blobmsg_parse(open->rsp, open->rsp_n, tb, m.data(), static_cast<int32_t>(m.size()));
  };
  // A server error needs no further attributes.
  auto srv_err = response(2, true, false);
  EXPECT_EQ(run(srv_err), 0);
  EXPECT_EQ(blobmsg_get_u32(tb[0]), 2u);
  EXPECT_STREQ(blobmsg_get_string(tb[1]), "No such file.");
  // Success needs them all.
  EXPECT_EQ(run(response(0, true, false)), -1);
  auto ok = response(0, true, true);
  EXPECT_EQ(run(ok), 0);
  EXPECT_EQ(blobmsg_get_u64(tb[2]), 77u);
  // Without errno_str nothing passes.
  EXPECT_EQ(run(response(0, false, true)), -1);
  EXPECT_EQ(run(response(2, false, false)), -1);
  // Damage after everything asked for still refuses the response.
  auto damaged = response(0, true, true);
  damaged.push_back(0x85);
  EXPECT_EQ(run(damaged), -1);
}

TEST(WysdMsgPolicy, EveryRequestCodeHasItsSets) {
  struct Want {
    int code, req_n, rsp_n;
    const char* last_rsp;
  } want[] = {
      {WYSD_CMD_LOGIN, 2, 3, "os_type"},    {WYSD_CMD_INFO, 1, 3, "info"},
      {WYSD_CMD_IOCTL2, 4, 3, "data"},      {WYSD_CMD_OPEN, 2, 3, "fd"},
      {WYSD_CMD_CLOSE, 1, 2, "errno_str"},  {WYSD_CMD_READ, 2, 5, "data"},
      {WYSD_CMD_PREAD, 3, 5, "data"},       {WYSD_CMD_WRITE, 4, 3, "len"},
      {WYSD_CMD_PWRITE, 5, 3, "len"},       {WYSD_CMD_SEEK, 3, 3, "offset"},
      {WYSD_CMD_IOCTL, 4, 2, "errno_str"},  {WYSD_CMD_LOGIN2, 2, 4, "cert"},
      {WYSD_CMD_LOGIN3, 1, 2, "errno_str"},
  };
  for (const Want& w : want) {
    const wysd_msg_policy* p = wysd_msg_policy_get(w.code);
    ASSERT_NE(p, nullptr) << w.code;
    EXPECT_EQ(p->req_n, w.req_n) << w.code;
    ASSERT_EQ(p->rsp_n, w.rsp_n) << w.code;
    EXPECT_STREQ(p->rsp[0].name, "errno");
    EXPECT_EQ(p->rsp[0].type, BLOBMSG_TYPE_INT32);
    EXPECT_STREQ(p->rsp[1].name, "errno_str");
    EXPECT_STREQ(p->rsp[p->rsp_n - 1].name, w.last_rsp) << w.code;
  }
  const wysd_msg_policy* bye = wysd_msg_policy_get(WYSD_CMD_BYE);
  ASSERT_NE(bye, nullptr);
  EXPECT_EQ(bye->rsp_n, 0);
  EXPECT_EQ(wysd_msg_policy_get(3), nullptr);

  // A request built in the order of its set parses back with that set.
  const wysd_msg_policy* pw = wysd_msg_policy_get(WYSD_CMD_PWRITE);
  blob_buf b;
  blob_buf_init(&b);
  blobmsg_add_u64(&b, "fd", 5);
  blobmsg_add_u32(&b, "flags", 0);
  blobmsg_add_u32(&b, "len", 3);
  blobmsg_add_u64(&b, "offset", 1ull << 40);
  blobmsg_add_field(&b, BLOBMSG_TYPE_RAW, "data", "abc", 3);
  Body body(b);
  const blob_attr* tb[5];
  ASSERT_EQ(blobmsg_parse(pw->req, pw->req_n, tb, body.data(), body.len()), 0);
  for (const blob_attr* a : tb) EXPECT_NE(a, nullptr);
  EXPECT_EQ(blobmsg_get_u64(tb[3]), 1ull << 40);
}

}  // namespace
