// Syslog output over UDP or TCP: one record per line, in the classic BSD
// form, the terminating NUL included.
#include <cstdio>
#include <cstring>

#include "log2_out_imp.h"
#include "pal_udp.h"

WY_LOG_TAG("log");

namespace {

constexpr int kTcpWaitMs = 2000;

void close_conn(log2_syslog_out& o) {
  if (o.s != OS_SOCKET_NONE) os_socket_exit(o.s);
  o.s = OS_SOCKET_NONE;
}

// Connected non-blocking TCP socket to addr, or OS_SOCKET_NONE.
os_socket_t tcp_connect(const os_ipaddr* addr) {
  os_socket_t s = os_socket_init(os_ipaddr_family(addr));
  if (s == OS_SOCKET_NONE) return s;
  int r = os_socket_connect(s, addr);
  if (r == 0 && os_socket_wait_impl(s, OS_SOCKET_WAIT_WRITE, kTcpWaitMs) > 0) r = os_socket_connect(s, addr);
  if (r != 1) {
    os_socket_exit(s);
    return OS_SOCKET_NONE;
  }
  return s;
}

bool conn_open(log2_syslog_out& o) {
  char port[16];
  uint16_t p = o.port > 0 ? static_cast<uint16_t>(o.port)
                          : (o.tcp ? os_service_port("syslog-conn", "tcp", 601)
                                   : os_service_port("syslog", "udp", 514));
  snprintf(port, sizeof port, "%u", p);
  os_ipaddr addr;
  if (!os_addrinfo_addr(o.host.c_str(), &addr)) {
    if (!o.complained) fprintf(stderr, "failed to resolve name %s port %s\n", o.host.c_str(), port);
    o.complained = true;
    return false;
  }
  os_ipaddr_port_set(&addr, p);
  o.s = o.tcp ? tcp_connect(&addr) : os_udp_open(&addr);
  if (o.s == OS_SOCKET_NONE) {
    if (!o.complained) fprintf(stderr, "failed to connect to %s port %s\n", o.host.c_str(), port);
    o.complained = true;
    return false;
  }
  o.complained = false;
  return true;
}

bool conn_send(log2_syslog_out& o, const char* data, size_t len) {
  if (o.s == OS_SOCKET_NONE) return false;
  if (!o.tcp) return os_udp_send(o.s, data, static_cast<int>(len)) >= 0;
  size_t done = 0;
  int64_t end = os_clock_ms() + kTcpWaitMs;
  while (done < len) {
    int n = os_socket_send(o.s, data + done, static_cast<int>(len - done));
    if (n < 0) return false;
    done += static_cast<size_t>(n);
    if (done < len) {
      int64_t now = os_clock_ms();
      if (now >= end || os_socket_wait_impl(o.s, OS_SOCKET_WAIT_WRITE, static_cast<int>(end - now)) <= 0)
        return false;
    }
  }
  return true;
}

// Severity of a level: crit 2 ... dbg 7; verb and anything beyond is debug.
int severity(int level) {
  if (level < 0) return 0;
  return level > 7 ? 7 : level;
}

}  // namespace

int log2_syslog_set_target(log2_t* L, const char* url) {
  url_t u;
  char buf[URL_BUF_SIZE];
  bool ok = url != nullptr && *url != '\0' && url_parser(&u, buf, sizeof buf, url) == 0 && *u.host != '\0';
  if (!ok) LOGD("url_parser %s failed\n", url ? url : "");
  log2_locked g(L);
  log2_syslog_out& o = log2_outs_of(L).syslog;
  close_conn(o);
  o.complained = false;
  if (!ok) {
    o.url.clear();
    o.host.clear();
    return -1;
  }
  o.url = url;
  o.tcp = strcmp(u.scheme, "tcp") == 0;
  o.host = u.host;
  o.port = u.port;
  return 0;
}

void log2_syslog_close(log2_t* L) { close_conn(log2_outs_of(L).syslog); }

void log2_syslog_write(log2_t* L, const log2_rec& r) {
  log2_syslog_out& o = log2_outs_of(L).syslog;
  if (o.host.empty()) return;
  if (o.s == OS_SOCKET_NONE && !conn_open(o)) return;
  static const char* const kMon[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // The 15 characters after the weekday in ctime's text: "Jun  3 21:49:08".
  char when[32];
  snprintf(when, sizeof when, "%.3s%3d %02d:%02d:%02d", kMon[(r.tm.mon + 11) % 12], r.tm.mday, r.tm.hour,
           r.tm.min, r.tm.sec);
  char pid[16];
  snprintf(pid, sizeof pid, "[%u]", os_exe_pid());
  const char* tag = r.tag && *r.tag ? r.tag : "<someone>";
  char rec[1024];
  int n = snprintf(rec, sizeof rec, "<%d>%.15s %.32s %.64s%s: %.800s", 8 + severity(r.level), when,
                   os_exe_host_name(), tag, pid, r.text + r.time_len);
  if (n < 0) return;
  size_t len = (static_cast<size_t>(n) < sizeof rec ? static_cast<size_t>(n) : sizeof rec - 1) + 1;
  if (conn_send(o, rec, len)) return;
  close_conn(o);
  if (conn_open(o) && conn_send(o, rec, len)) return;
  fprintf(stderr, "syslog_write %s err\n", o.url.c_str());
  close_conn(o);
}
