// The log outputs: the file with its limit and re-creation, syslog over UDP
// and TCP as a collector receives it, the capture file, the bsv channel as
// the log call feeds it, the ini settings.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "bsv_test_util.h"
#include "libbsv.h"
#include "liblog.h"
#include "liblog_out.h"
#include "libpal.h"
#include "pal_exe.h"
#include "pal_udp.h"
#include "wytest.h"

namespace fs = std::filesystem;

namespace {

using wytest::read_file;
using wytest::TempDir;

// A log object with the console off.
struct quiet_log {
  log2_t* h = log2_open();
  quiet_log() { log2_set_console(h, 0); }
  ~quiet_log() { log2_close(h); }
  void line(uint32_t lv, const char* msg) { log2_printf(h, lv, "tg", "src/a/unit.cpp", 12, "fn", "%s", msg); }
};

os_ipaddr loopback() {
  os_ipaddr a;
  EXPECT_TRUE(os_addrinfo_addr("127.0.0.1", &a));
  return a;
}

int local_port(os_socket_t s) {
  os_ipaddr a;
  EXPECT_EQ(os_socket_local_addr(s, &a), 0);
  return os_ipaddr_port(&a);
}

struct udp_collector {
  os_ipaddr a = loopback();
  os_socket_t s = os_udp_bind(&a);
  int port = local_port(s);
  ~udp_collector() { os_socket_exit(s); }
  std::string recv(int ms = 3000) {
    char b[4096];
    int n = os_udp_recv(s, b, sizeof b, ms);
    return n > 0 ? std::string(b, static_cast<size_t>(n)) : std::string();
  }
};

// Reads whatever one accepted TCP connection delivers within `ms`.
std::string tcp_read(os_socket_t c, int ms) {
  std::string out;
  char b[4096];
  for (int i = 0; i < 50; ++i) {
    if (os_socket_wait_impl(c, OS_SOCKET_WAIT_READ, ms / 50 + 1) <= 0) continue;
    int n = os_socket_recv(c, b, sizeof b);
    if (n <= 0) break;
    out.append(b, static_cast<size_t>(n));
    if (out.back() == '\0') break;
  }
  return out;
}

os_socket_t tcp_accept(os_socket_t l, int ms) {
  if (os_socket_wait_impl(l, OS_SOCKET_WAIT_READ, ms) <= 0) return OS_SOCKET_NONE;
  return os_socket_accept(l, nullptr);
}

const std::regex kFileLine(
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} [A-Z]{4,5} +[0-9]+ --- \\[[^\\]]*\\] tg "
    "fn\\(\\): .*");

TEST(Log2File, LineLayout) {
  TempDir d;
  quiet_log q;
  log2_ioctl(q.h, LOG2_SET_FLAGS_TAGS, "time|tid|file");
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE_DIR, d.path().c_str()), 0);
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE, "t.log"), 0);
  log2_ioctl(q.h, LOG2_SET_FILE_ON, 1);
  q.line(LV_WARN, "first");
  errno = ENOENT;
  log2_printf(q.h, LV_ERR | LV_SYS, "tg", "f.cpp", 1, "fn", "open error: ");
  std::string text = read_file(d / "t.log");
  std::string pid = std::to_string(os_exe_pid());
  std::regex first("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} WARN  " + pid +
                   " --- \\[[^\\]]+\\] tg fn\\(\\): first\n"
                   "[0-9 :.-]{26} ERROR " + pid + " --- \\[[^\\]]+\\] tg fn\\(\\): open error: No such file or directory\n");
  EXPECT_TRUE(std::regex_match(text, first)) << text;
}

TEST(Log2File, ModesAppendAndTruncate) {
  TempDir d;
  std::ofstream(d / "m.log") << "old line\n";
  {
    quiet_log q;
    EXPECT_EQ(log2_set_file_mode(q.h, "a"), 0);
    ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE, (d / "m.log").c_str()), 0);
    log2_ioctl(q.h, LOG2_SET_FILE_ON, 1);
    q.line(LV_INFO, "new");
  }
  std::string text = read_file(d / "m.log");
  EXPECT_EQ(text.rfind("old line\n", 0), 0u);
  EXPECT_NE(text.find("fn(): new\n"), std::string::npos);
  {
    quiet_log q;
    testing::internal::CaptureStderr();
    EXPECT_EQ(log2_set_file_mode(q.h, "x"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "mode x err\n");
    ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE, (d / "m.log").c_str()), 0);  // default "w"
  }
  EXPECT_EQ(read_file(d / "m.log"), "");
}

TEST(Log2File, LimitKeepsNewestHalfFromAWholeLine) {
  TempDir d;
  quiet_log q;
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE_SIZE, 1023), -1);
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE_SIZE, 4096), 0);
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE, (d / "s.log").c_str()), 0);
  log2_ioctl(q.h, LOG2_SET_FILE_ON, 1);
  std::string last;
  for (int i = 0; i < 200; ++i) {
    last = "numbered line " + std::to_string(i) + " with some padding to make it longer";
    q.line(LV_INFO, last.c_str());
    ASSERT_LT(fs::file_size(d / "s.log"), 4096u) << i;
  }
  std::string text = read_file(d / "s.log");
  EXPECT_GE(text.size(), 1800u);  // about half, less the cut line
  size_t nl = text.find('\n');
  ASSERT_NE(nl, std::string::npos);
  EXPECT_TRUE(std::regex_match(text.substr(0, nl), kFileLine)) << text.substr(0, nl);
  EXPECT_EQ(text.substr(text.size() - last.size() - 1), last + "\n");
}

TEST(Log2File, DeletedFileIsRecreatedByTheNextLine) {
  TempDir d;
  quiet_log q;
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE, (d / "r.log").c_str()), 0);
  log2_ioctl(q.h, LOG2_SET_FILE_ON, 1);
  q.line(LV_INFO, "before");
  ASSERT_TRUE(fs::remove(d / "r.log"));
  q.line(LV_INFO, "after");
  std::string text = read_file(d / "r.log");
  EXPECT_EQ(text.find("before"), std::string::npos);
  EXPECT_NE(text.find("fn(): after\n"), std::string::npos);
}

TEST(Log2File, RelativeDirectoryIsBesideTheExecutable) {
  char exe[4096];
  ASSERT_GT(os_exe_dir(exe, sizeof exe), 0);
  TempDir beside(exe);
  std::string rel = fs::path(beside.path()).filename().string() + "/new/deeper";
  fs::path want = fs::path(exe) / rel;
  quiet_log q;
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE_DIR, rel.c_str()), 0);
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE, "x.log"), 0);
  log2_ioctl(q.h, LOG2_SET_FILE_ON, 1);
  q.line(LV_INFO, "here");
  EXPECT_NE(read_file((want / "x.log").string()).find("here"), std::string::npos);
  log2_close(q.h);
  q.h = log2_open();
}

TEST(Log2File, CaptureFileHoldsBsvPackets) {
  TempDir d;
  quiet_log q;
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_FILE, (d / "c.pcap").c_str()), 0);
  log2_ioctl(q.h, LOG2_SET_FILE_ON, 1);
  q.line(LV_INFO, "captured");
  log2_printf(q.h, LV_INFO, "net", "f.cpp", 1, "fn", "not captured");
  std::string text = read_file(d / "c.pcap");
  ASSERT_GT(text.size(), 40u);
  const auto* b = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(b[0], 0xd4);
  EXPECT_EQ(b[3], 0xa1);
  EXPECT_EQ(b[20], 147);
  uint32_t len = b[32] | b[33] << 8 | b[34] << 16 | static_cast<uint32_t>(b[35]) << 24;
  ASSERT_EQ(text.size(), 40u + len) << "one record";
  bsv_pkt_hdr h;
  std::vector<uint8_t> data;
  ASSERT_EQ(bsv_packet_parse(b + 40, len, &h, nullptr, &data), 0);
  bsv_log_view v;
  ASSERT_EQ(bsv_rec_decode(data.data(), data.size(), &v), 0);
  EXPECT_EQ(v.msg, "captured");
}

// LV_BSV lines go out, "net" and "bsv" lines never do.
TEST(Log2Bsv, LogCallsWithTheBsvBit) {
  udp_collector col;
  log2_t* h = log2_open();
  log2_set_console(h, 0);
  std::string url = "udp://127.0.0.1:" + std::to_string(col.port);
  ASSERT_EQ(log2_ioctl(h, LOG2_SET_BSV, url.c_str()), 0);
  rbuf* ring = rbuf_create(8, 1024, false);
  int reader = log2_bsv_reader_add(h, ring, 1022);
  ASSERT_GT(reader, 0);
  log2_printf(h, LV_INFO, "cdir", "/abs/tree/src/lib/x.cpp", 5, "fn", "plain line");
  log2_printf(h, LV_INFO | LV_BSV, "net", "x.cpp", 6, "fn", "net line");
  log2_printf(h, LV_WARN | LV_BSV_ONLY, "cdir", "/abs/tree/src/lib/x.cpp", 7, "fn", "only bsv %d", 7);
  std::string p = col.recv();
  EXPECT_TRUE(col.recv(300).empty()) << "one packet only";
  log2_close(h);
  // Readers get every call but the excluded tags, whatever the bsv bits.
  EXPECT_EQ(ring_msg(ring), "plain line");
  EXPECT_EQ(ring_msg(ring), "only bsv 7");
  EXPECT_EQ(ring_msg(ring), "<none>");
  rbuf_close(ring);
  bsv_pkt_hdr hd;
  std::vector<uint8_t> data;
  ASSERT_EQ(bsv_packet_parse(reinterpret_cast<const uint8_t*>(p.data()), p.size(), &hd, nullptr, &data), 0);
  bsv_log_view v;
  ASSERT_EQ(bsv_rec_decode(data.data(), data.size(), &v), 0);
  EXPECT_EQ(v.msg, "only bsv 7");
  EXPECT_EQ(v.level, 4);
  EXPECT_EQ(v.file, "src/lib/x.cpp");
  EXPECT_EQ(v.line, "7");
  EXPECT_EQ(v.pid, os_exe_pid());
  EXPECT_EQ(v.tid, static_cast<uint32_t>(os_thread_id()));
}

TEST(Log2Syslog, UdpRecordExactly) {
  udp_collector col;
  quiet_log q;
  log2_ioctl(q.h, LOG2_SET_FLAGS_TAGS, "time|tid");
  std::string url = "udp://127.0.0.1:" + std::to_string(col.port);
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_SYSLOG, url.c_str()), 0);
  log2_ioctl(q.h, LOG2_SET_SYSLOG_ON, 1);
  q.line(LV_WARN, "disk almost full");
  std::string rec = col.recv();
  std::string tail = std::string(" ") + os_exe_host_name() + " tg[" + std::to_string(os_exe_pid()) + "]: [" +
                     std::to_string(static_cast<uint32_t>(os_thread_id())) + "] disk almost full\n";
  tail.push_back('\0');
  ASSERT_EQ(rec.size(), 4 + 15 + tail.size()) << rec;
  EXPECT_EQ(rec.substr(0, 4), "<12>");
  EXPECT_TRUE(std::regex_match(rec.substr(4, 15), std::regex("[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << rec.substr(4, 15);
  EXPECT_EQ(rec.substr(19), tail);
  // verb maps to debug (7): priority 15.
  log2_ioctl(q.h, LOG2_SET_LEVEL, 8);
  q.line(LV_VERB, "v");
  EXPECT_EQ(col.recv().substr(0, 4), "<15>");
}

TEST(Log2Syslog, TcpRecordAndOneReconnect) {
  os_ipaddr a = loopback();
  os_socket_t l = os_socket_listen(&a, 4);
  ASSERT_NE(l, OS_SOCKET_NONE);
  quiet_log q;
  log2_ioctl(q.h, LOG2_SET_FLAGS, 0);
  std::string url = "tcp://127.0.0.1:" + std::to_string(local_port(l));
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_SYSLOG, url.c_str()), 0);
  log2_ioctl(q.h, LOG2_SET_SYSLOG_ON, 1);
  q.line(LV_ERR, "over tcp");
  os_socket_t c = tcp_accept(l, 3000);
  ASSERT_NE(c, OS_SOCKET_NONE);
  std::string rec = tcp_read(c, 2000);
  std::string want = std::string(" ") + os_exe_host_name() + " tg[" + std::to_string(os_exe_pid()) + "]: over tcp\n";
  want.push_back('\0');
  ASSERT_EQ(rec.size(), 19 + want.size()) << rec;
  EXPECT_EQ(rec.substr(0, 4), "<11>");
  EXPECT_EQ(rec.substr(19), want);

  // The collector drops the connection: a later line reconnects and arrives
  // whole on the new connection.
  os_socket_exit(c);
  os_socket_t c2 = OS_SOCKET_NONE;
  for (int i = 0; i < 20 && c2 == OS_SOCKET_NONE; ++i) {
    q.line(LV_ERR, ("again " + std::to_string(i)).c_str());
    c2 = tcp_accept(l, 200);
  }
  ASSERT_NE(c2, OS_SOCKET_NONE);
  std::string again = tcp_read(c2, 2000);
  ASSERT_FALSE(again.empty());
  EXPECT_EQ(again.back(), '\0');
  EXPECT_TRUE(std::regex_match(again.substr(0, again.size() - 1),
                               std::regex("<11>[^\n]{15} [^ ]+ tg\\[[0-9]+\\]: again [0-9]+\n")))
      << again;
  os_socket_exit(c2);
  os_socket_exit(l);
}

TEST(Log2Syslog, UnreachableCollectorIsReportedOnStderr) {
  // A port that was free a moment ago: nothing listens there.
  os_ipaddr a = loopback();
  os_socket_t l = os_socket_listen(&a, 1);
  int port = local_port(l);
  os_socket_exit(l);
  quiet_log q;
  std::string url = "tcp://127.0.0.1:" + std::to_string(port);
  ASSERT_EQ(log2_ioctl(q.h, LOG2_SET_SYSLOG, url.c_str()), 0);
  log2_ioctl(q.h, LOG2_SET_SYSLOG_ON, 1);
  testing::internal::CaptureStderr();
  q.line(LV_ERR, "lost");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "failed to connect to 127.0.0.1 port " + std::to_string(port) + "\n");
  EXPECT_EQ(log2_ioctl(q.h, LOG2_SET_SYSLOG, "::bad"), -1);
}

// The process's log object, restored afterwards.
struct process_log_reset {
  ~process_log_reset() {
    log2_exit();
    log2_set_debug(nullptr, 0);
    log2_ioctl(nullptr, LOG2_SET_LEVEL, 7);
    log2_ioctl(nullptr, LOG2_SET_FLAGS, 0x27);
    log2_ioctl(nullptr, LOG2_SET_FILE_SIZE, 2097152);
    log2_set_file_mode(nullptr, "w");
    log2_ioctl(nullptr, LOG2_SET_FILE_DIR, "");
    log2_set_console(nullptr, 1);
    unsetenv("WYDBGLOG");
  }
};

TEST(Log2Init, EveryKeyOfTheLogSection) {
  process_log_reset reset;
  TempDir d;
  udp_collector sys, bsv;
  std::ofstream(d / "app.log") << "kept\n";
  std::ofstream(d / "tarn.ini") << "[log]\n"
                                << "debug = 1\n"
                                << "level = info\n"
                                << "flags = time_ms|tid\n"
                                << "syslog = udp://127.0.0.1:" << sys.port << "\n"
                                << "bsvlog = udp://127.0.0.1:" << bsv.port << "\n"
                                << "file_dir = " << d.path() << "/logs\n"
                                << "file_mode = a\n"
                                << "file = app.log\n"
                                << "file_size = 4k\n"
                                << "dbgview = 1\n";
  log2_set_console(nullptr, 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(log2_init_imp((d / "tarn.ini").c_str()), 0);
  std::string dbg = testing::internal::GetCapturedStderr();
  // debug = 1 turns debug mode on from that key on.
  EXPECT_NE(dbg.find("log.level=info\n"), std::string::npos) << dbg;
  EXPECT_NE(dbg.find("log_flags_2_int=time_ms|tid 0x61\n"), std::string::npos) << dbg;
  EXPECT_EQ(log2_get_level(nullptr), 6);
  EXPECT_EQ(log2_get_flags(nullptr), 0x61u);

  log2_printf(nullptr, LV_DBG, "tg", "f.cpp", 1, "fn", "too detailed");
  log2_printf(nullptr, LV_INFO | LV_BSV, "tg", "f.cpp", 1, "fn", "everywhere");
  std::string file = read_file(d / "logs/app.log");
  EXPECT_EQ(file.find("too detailed"), std::string::npos);
  EXPECT_NE(file.find("fn(): everywhere\n"), std::string::npos) << file;
  std::string rec = sys.recv();
  EXPECT_NE(rec.find("] everywhere\n"), std::string::npos) << rec;
  std::string pkt = bsv.recv();
  EXPECT_NE(pkt.find("everywhere"), std::string::npos);
  EXPECT_EQ(pkt.substr(0, 3), "bsv");
  // file_size = 4k: the file never grows past it.
  for (int i = 0; i < 100; ++i) log2_printf(nullptr, LV_INFO, "tg", "f.cpp", 1, "fn", "filler line %03d", i);
  EXPECT_LT(fs::file_size(d / "logs/app.log"), 4096u);
}

TEST(Log2Init, AppendModeKeepsAndSmallFileSizeIsRefused) {
  process_log_reset reset;
  TempDir d;
  fs::create_directories(d / "logs");
  std::ofstream(d / "logs/app.log") << "kept\n";
  std::ofstream(d / "tarn.ini") << "[log]\nfile_dir = " << d.path() << "/logs\nfile_mode = a\n"
                                << "file = app.log\nfile_size = 1k\nlevel =\n";
  log2_set_console(nullptr, 0);
  static std::string warned;
  warned.clear();
  auto proc = +[](int lv, const char*, const char* l, int n) {
    if (lv == 4) warned.assign(l, static_cast<size_t>(n));
  };
  log2_ioctl(nullptr, LOG2_SET_PROC_HI, proc);
  log2_ioctl(nullptr, LOG2_SET_PROC_LO, proc);
  log2_ioctl(nullptr, LOG2_SET_FLAGS, 0);
  ASSERT_EQ(log2_init_imp((d / "tarn.ini").c_str()), 0);
  log2_ioctl(nullptr, LOG2_SET_PROC_HI, static_cast<log2_line_proc>(nullptr));
  log2_ioctl(nullptr, LOG2_SET_PROC_LO, static_cast<log2_line_proc>(nullptr));
  EXPECT_EQ(warned, "log2_ioctl log.file_size=1024 (must>=2048 error)\n");
  EXPECT_EQ(log2_get_level(nullptr), 7) << "an empty value is not applied";
  // The default 2 MiB limit stays: 5000 bytes of lines are all kept.
  for (int i = 0; i < 60; ++i) log2_printf(nullptr, LV_INFO, "tg", "f.cpp", 1, "fn", "filler line %03d", i);
  std::string file = read_file(d / "logs/app.log");
  EXPECT_EQ(file.rfind("kept\n", 0), 0u);
  EXPECT_NE(file.find("filler line 000"), std::string::npos);
  EXPECT_NE(file.find("filler line 059"), std::string::npos);
}

TEST(Log2Init, MissingFileKeepsDefaultsAndDebugModeFromEnvironment) {
  process_log_reset reset;
  setenv("WYDBGLOG", "1", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(log2_init_imp("/nonexistent/tarn.ini"), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "conf=[/nonexistent/tarn.ini]\nconf_load [/nonexistent/tarn.ini] failed\n");
  EXPECT_EQ(log2_get_level(nullptr), 7);
}

}  // namespace
