// The record channel: packet bytes as a UDP collector receives them, limits,
// CRC, hostile bytes, readers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bsv_test_util.h"
#include "libbsv.h"
#include "libpal.h"
#include "pal_exe.h"
#include "pal_udp.h"

namespace {

uint64_t be(const std::vector<uint8_t>& p, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p.at(at + static_cast<size_t>(i));
  return v;
}

// Reads one -str field at `at`, moving past it.
std::string str_at(const std::vector<uint8_t>& p, size_t& at) {
  size_t n = static_cast<size_t>(be(p, at, 2));
  std::string s(p.begin() + static_cast<long>(at) + 2, p.begin() + static_cast<long>(at + 2 + n));
  at += 2 + n;
  return s;
}

// A UDP collector on 127.0.0.1 with a free port.
struct collector {
  os_socket_t s = OS_SOCKET_NONE;
  int port = 0;
  collector() {
    os_ipaddr a;
    EXPECT_TRUE(os_addrinfo_addr("127.0.0.1", &a));
    s = os_udp_bind(&a);
    EXPECT_NE(s, OS_SOCKET_NONE);
    os_ipaddr local;
    EXPECT_EQ(os_socket_local_addr(s, &local), 0);
    port = os_ipaddr_port(&local);
  }
  ~collector() { os_socket_exit(s); }
  std::vector<uint8_t> recv(int ms = 3000) {
    std::vector<uint8_t> b(65536);
    int n = os_udp_recv(s, b.data(), static_cast<int>(b.size()), ms);
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }
  std::string url() const { return "udp://127.0.0.1:" + std::to_string(port); }
};

bsv_log_rec sample(const char* msg) {
  bsv_log_rec r;
  r.sec = 0x0102030405060708ull;
  r.usec = 999999;
  r.pid = 4242;
  r.tid = 77;
  r.level = 3;
  r.tag = "cdir";
  r.tid_name = "main_77";
  r.file = "src/lib/libcdir/work.cpp";
  r.line = 123;
  r.func = "cdir_work";
  r.msg = msg;
  r.msg_len = strlen(msg);
  return r;
}

TEST(Bsv, Crc8AndVersionPacking) {
  const char* check = "123456789";
  EXPECT_EQ(bsv_crc8(reinterpret_cast<const uint8_t*>(check), 9), 0xF4);  // CRC-8/SMBUS check value
  EXPECT_EQ(bsv_ver_id("1.0.1.0"), 0x01000100u);
  EXPECT_EQ(bsv_ver_id("2.3"), 0x02030000u);
  EXPECT_EQ(bsv_app_id("tarn"), 1);
  EXPECT_EQ(bsv_app_id("other"), 0);
}

TEST(Bsv, TargetParse) {
  bsv_target t;
  EXPECT_EQ(bsv_target_parse("udp://127.0.0.1:9000", &t), 0);
  EXPECT_EQ(t.host, "127.0.0.1");
  EXPECT_EQ(t.port, 9000);
  EXPECT_EQ(bsv_target_parse("collector.example:514", &t), 0);
  EXPECT_EQ(t.host, "collector.example");
  EXPECT_EQ(bsv_target_parse("udp://127.0.0.1", &t), -1);
  EXPECT_EQ(bsv_target_parse("udps://127.0.0.1:9000", &t), -1);
  EXPECT_EQ(bsv_target_parse("", &t), -1);
}

TEST(Bsv, PacketOverUdpByteByByte) {
  collector col;
  bsv_chan* c = bsv_chan_open("tarn");
  ASSERT_EQ(bsv_chan_set_target(c, col.url().c_str()), 0);
  // Queued at once: the thread may not have its socket yet.
  bsv_chan_put(c, sample("disk full\n"), true);
  std::vector<uint8_t> p = col.recv();
  bsv_chan_close(c);
  ASSERT_GT(p.size(), BSV_PKT_HEAD);

  EXPECT_EQ(std::string(p.begin(), p.begin() + 3), "bsv");
  EXPECT_EQ(p[3], BSV_F_CRC);
  EXPECT_EQ(be(p, 4, 2), p.size());
  EXPECT_EQ(p[6], 5);
  EXPECT_NE(be(p, 7, 8), 0u);   // sid
  EXPECT_EQ(be(p, 15, 8), 1u);  // bid: first packet
  EXPECT_GT(be(p, 23, 8), 1600000000ull * 1000000ull);  // stime in microseconds
  EXPECT_EQ(be(p, 31, 4), bsv_ver_id(WY_VERSION));
  EXPECT_EQ(be(p, 35, 2), 1u);  // tarn
  EXPECT_EQ(p[37], 2);          // linux
  EXPECT_EQ(p[38], bsv_arch_id());
  EXPECT_EQ(be(p, 39, 2), BSV_TYPE_LOG);
  size_t at = 41;
  EXPECT_EQ(str_at(p, at), os_exe_host_name());
  size_t data_len = static_cast<size_t>(be(p, at, 2));
  at += 2;
  EXPECT_EQ(at + data_len + 1, p.size());
  EXPECT_EQ(be(p, at, 8), 0x0102030405060708ull);
  EXPECT_EQ(be(p, at + 8, 4), 999999u);
  EXPECT_EQ(be(p, at + 12, 4), 4242u);
  EXPECT_EQ(be(p, at + 16, 4), 77u);
  EXPECT_EQ(p[at + 20], 3);
  at += 21;
  EXPECT_EQ(str_at(p, at), "cdir");
  EXPECT_EQ(str_at(p, at), "main_77");
  EXPECT_EQ(str_at(p, at), "src/lib/libcdir/work.cpp");
  EXPECT_EQ(str_at(p, at), "123");
  EXPECT_EQ(str_at(p, at), "cdir_work");
  EXPECT_EQ(str_at(p, at), "disk full\n");
  EXPECT_EQ(at, p.size() - 1);
  EXPECT_EQ(p.back(), bsv_crc8(p.data() + 3, p.size() - 4));
}

TEST(Bsv, LongMessageIsCutToThePacketLimits) {
  bsv_chan* c = bsv_chan_open("tarn");
  std::string big(5000, 'm');
  std::vector<uint8_t> p = bsv_chan_packet(c, sample(big.c_str()));
  bsv_chan_close(c);
  EXPECT_EQ(p.size(), BSV_PKT_MAX);
  bsv_pkt_hdr h;
  std::string host;
  std::vector<uint8_t> data;
  ASSERT_EQ(bsv_packet_parse(p.data(), p.size(), &h, &host, &data), 0);
  bsv_log_view v;
  ASSERT_EQ(bsv_rec_decode(data.data(), data.size(), &v), 0);
  size_t texts = v.tag.size() + v.tid_name.size() + v.file.size() + v.line.size() + v.func.size() + v.msg.size();
  EXPECT_LE(texts, BSV_TEXT_MAX);
  EXPECT_EQ(v.msg, std::string(v.msg.size(), 'm'));
  EXPECT_EQ(v.func, "cdir_work");
  // The record alone keeps at most 1430 bytes of text.
  std::vector<uint8_t> rec = bsv_rec_encode(sample(big.c_str()));
  ASSERT_EQ(bsv_rec_decode(rec.data(), rec.size(), &v), 0);
  EXPECT_EQ(v.tag.size() + v.tid_name.size() + v.file.size() + v.line.size() + v.func.size() + v.msg.size(),
            BSV_TEXT_MAX);
}

TEST(Bsv, HostileBytesAreRefused) {
  bsv_pkt_hdr h0;
  h0.flags = BSV_F_CRC;
  std::vector<uint8_t> p = bsv_packet_build(h0, "host", sample("x"));
  bsv_pkt_hdr h;
  std::vector<uint8_t> data;
  ASSERT_EQ(bsv_packet_parse(p.data(), p.size(), &h, nullptr, &data), 0);
  for (size_t n = 0; n < p.size(); ++n) EXPECT_EQ(bsv_packet_parse(p.data(), n, &h, nullptr, &data), -1) << n;
  for (size_t i = 3; i < p.size(); ++i) {
    std::vector<uint8_t> q = p;
    q[i] ^= 0x10;
    EXPECT_EQ(bsv_packet_parse(q.data(), q.size(), &h, nullptr, &data), -1) << i;
  }
  std::vector<uint8_t> rec = bsv_rec_encode(sample("hello"));
  bsv_log_view v;
  for (size_t n = 0; n < rec.size(); ++n) EXPECT_EQ(bsv_rec_decode(rec.data(), n, &v), -1) << n;
  rec.push_back(0);
  EXPECT_EQ(bsv_rec_decode(rec.data(), rec.size(), &v), -1);
}

TEST(Bsv, ReadersGetRecordsUntilRemovedCutToTheirRoom) {
  bsv_chan* c = bsv_chan_open("tarn");
  rbuf* ring = rbuf_create(8, 256, false);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(bsv_chan_reader_add(c, ring, BSV_REC_FIXED), -1);
  int id = bsv_chan_reader_add(c, ring, 254);
  ASSERT_GT(id, 0);
  bsv_chan_put(c, sample("one"), false);
  std::string big(1000, 'b');
  bsv_chan_put(c, sample(big.c_str()), false);
  EXPECT_EQ(bsv_chan_reader_del(c, id), 0);
  EXPECT_EQ(bsv_chan_reader_del(c, id), -1);
  bsv_chan_put(c, sample("two"), false);
  bsv_chan_close(c);
  EXPECT_EQ(ring_msg(ring), "one");
  std::string cut = ring_msg(ring);
  EXPECT_FALSE(cut.empty());
  EXPECT_EQ(cut, std::string(cut.size(), 'b'));
  EXPECT_EQ(ring_msg(ring), "<none>");
  EXPECT_EQ(rbuf_get_stat(ring).dropped, 0u);
  rbuf_close(ring);
}

}  // namespace
