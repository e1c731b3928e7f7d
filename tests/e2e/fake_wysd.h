// A scripted file server for tests of the client side: it speaks the
// protocol through the protocol library's server half, lets anyone in, and
// answers the reader and multi-file controls from a script, so that a test
// can hand the client what no real server would. Each connection has its
// own thread; every wait is bounded (poll of 100 ms, the connection's read
// time-out), and everything ends with the object.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libpal.h"
#include "librdir.h"
#include "libwysd.h"
#include "wytest_relay.h"
#include "wytest_wysd.h"

namespace wysdtest {

using wytest::listen_loopback;

/// One directory record line of a listing ("\n" ended): a file of `size`
/// bytes, or a directory.
inline std::string rec_file(const std::string& name, int64_t size, const std::string& link = "") {
  char tail[160];
  snprintf(tail, sizeof tail, "\t%x\t20\t1a4\t%lld\t5f5e0000\t5f5e1000\t5f5e1000\t0\t0\n", link.empty() ? 0x802 : 0x902,
           static_cast<long long>(size));
  return name + "\t" + link + tail;
}
inline std::string rec_dir(const std::string& name) {
  return name + "\t\t801\t10\t1ed\t0\t5f5e0000\t5f5e1000\t5f5e1000\t0\t0\n";
}

/// A read list data record: the bytes read, or (eno != 0) an open failure.
inline std::string data_rec(const std::string& data, int32_t eno = 0) {
  uint8_t h[4];
  if (eno != 0) {
    libmfile_read_set_data_len_err(h, 4, RDIR_DATA_OPEN_ERR);
    uint32_t v = static_cast<uint32_t>(eno);
    std::string s(reinterpret_cast<char*>(h), 4);
    for (int i = 0; i < 4; i++) s += static_cast<char>(v >> (24 - 8 * i));
    return s;
  }
  libmfile_read_set_data_len_err(h, static_cast<uint32_t>(data.size()), 0);
  return std::string(reinterpret_cast<char*>(h), 4) + data;
}

class ScriptedServer {
 public:
  /// What a list operation is answered with: (control code, base
  /// directory, list text) -> the result bytes of the whole list.
  using ListAnswer = std::function<std::string(int, const std::string&, const std::string&)>;

  ScriptedServer() {
    lfd_ = listen_loopback(&port_);
    th_ = std::thread([this] { accept_loop(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    if (th_.joinable()) th_.join();
    for (auto& t : conns_) t.join();
    if (lfd_ >= 0) ::close(lfd_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path) const { return "wyp://127.0.0.1:" + std::to_string(port_) + "/" + path; }

  /// The listing of `dir` (as the client names it): file records and
  /// directory records, each stream ended with error code 0.
  void set_listing(const std::string& dir, const std::string& files, const std::string& dirs) {
    std::lock_guard<std::mutex> g(mu_);
    listings_[dir] = {files, dirs};
  }
  /// The contents a read list hands out for base/name.
  void set_file(const std::string& path, const std::string& data) {
    std::lock_guard<std::mutex> g(mu_);
    files_[path] = data;
  }
  /// The version the information request reports (1.8.0 unless set).
  void set_version(const std::string& v) {
    std::lock_guard<std::mutex> g(mu_);
    ver_ = v;
  }
  /// Every request received, in order: (request code, control code or 0).
  std::vector<std::pair<int, int>> seen() {
    std::lock_guard<std::mutex> g(mu_);
    return seen_;
  }
  /// Waits at most `ms` for a goodbye. True when one came.
  bool wait_bye(int ms) {
    for (int64_t end = wytest::now_ms() + ms; wytest::now_ms() < end; wytest::sleep_ms(10)) {
      std::lock_guard<std::mutex> g(mu_);
      for (auto& [code, cmd] : seen_)
        if (code == WYSD_CMD_BYE) return true;
    }
    return false;
  }
  /// Replaces the answers to list operations (the honest ones otherwise).
  void set_answer(ListAnswer a) {
    std::lock_guard<std::mutex> g(mu_);
    answer_ = std::move(a);
  }

  /// The honest answer: data records of the known files (a file not set
  /// is not found), a written result with the decoded size per write line,
  /// 0 for every other line.
  std::string honest(int code, const std::string& base, const std::string& list) {
    std::string out;
    for (const std::string& line : lines(list)) {
      std::string name = line.substr(0, line.find('\t'));
      if (code == WYSD_IOCTL2_MFILE_READ_LIST) {
        std::lock_guard<std::mutex> g(mu_);
        auto it = files_.find(base + "/" + name);
        out += it == files_.end() ? data_rec("", -102) : data_rec(it->second);
      } else if (code == WYSD_IOCTL2_MFILE_WRITE_LIST) {
        std::string b64 = line.substr(line.rfind('\t') + 1);
        size_t n = b64.size() / 4 * 3;
        if (!b64.empty() && b64.back() == '=') n--;
        if (b64.size() > 1 && b64[b64.size() - 2] == '=') n--;
        out += "0\t" + std::to_string(n) + "\n";
      } else {
        out += "0\t";
      }
    }
    if (code == WYSD_IOCTL2_MFILE_DEL_FILES) out = "F\t$";
    return out;
  }

  /// The list operations received, in order: (code, base, list).
  struct Op {
    int code;
    std::string base, list;
  };
  std::vector<Op> ops() {
    std::lock_guard<std::mutex> g(mu_);
    return ops_;
  }
  /// The directories whose listings were asked for.
  std::vector<std::string> listed() {
    std::lock_guard<std::mutex> g(mu_);
    return listed_;
  }

  static std::vector<std::string> lines(const std::string& list) {
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < list.size()) {
      size_t nl = list.find('\n', pos);
      if (nl == std::string::npos) nl = list.size();
      if (nl > pos) v.push_back(list.substr(pos, nl - pos));
      pos = nl + 1;
    }
    return v;
  }

 private:
  struct Session {
    std::deque<std::string> blocks;  // listing blocks still to hand out
    // List results still to hand out, one entry per list: like the real
    // server, one collection never runs on into the next list's results.
    std::deque<std::string> results;
  };

  void accept_loop() {
    while (!stop_) {
      pollfd p{lfd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int fd = accept(lfd_, nullptr, nullptr);
      if (fd < 0) continue;
      conns_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void queue_listing(Session* s, const std::string& dir) {
    std::lock_guard<std::mutex> g(mu_);
    listed_.push_back(dir);
    auto it = listings_.find(dir);
    std::string f = it == listings_.end() ? "" : it->second.first;
    std::string d = it == listings_.end() ? "" : it->second.second;
    s->blocks.push_back("F" + f + "\r0");
    s->blocks.push_back("D" + d + "\r0");
  }

  /// The answer to one connection control; false to fail it.
  bool ioctl2(Session* s, int cmd, const std::string& text, int32_t olen, std::string* out) {
    switch (cmd) {
      case WYSD_IOCTL2_GET_CTX: *out = "1"; return true;
      case WYSD_IOCTL2_RDIR_OPEN: queue_listing(s, text.substr(0, text.find('\t'))); return true;
      case WYSD_IOCTL2_RDIR_ENUM: queue_listing(s, text); return true;
      case WYSD_IOCTL2_RDIR_READ:
        if (!s->blocks.empty()) {
          *out = s->blocks.front();
          s->blocks.pop_front();
        }
        return true;
      case WYSD_IOCTL2_MFILE_LIST_RET: {
        while (!s->results.empty() && s->results.front().empty()) s->results.pop_front();
        if (s->results.empty()) return true;
        std::string& front = s->results.front();
        size_t n = std::min(front.size(), static_cast<size_t>(olen > 0 ? olen : 0));
        *out = front.substr(0, n);
        front.erase(0, n);
        return true;
      }
      case WYSD_IOCTL2_MFILE_READ_LIST:
      case WYSD_IOCTL2_MFILE_MKDIR_LIST:
      case WYSD_IOCTL2_MFILE_WRITE_LIST:
      case WYSD_IOCTL2_MFILE_DEL_LIST:
      case WYSD_IOCTL2_MFILE_DEL_FILES: {
        size_t tab = text.find('\t');
        std::string base = text.substr(0, tab), list = tab == std::string::npos ? "" : text.substr(tab + 1);
        ListAnswer a;
        {
          std::lock_guard<std::mutex> g(mu_);
          ops_.push_back({cmd, base, list});
          a = answer_;
        }
        s->results.push_back(a ? a(cmd, base, list) : honest(cmd, base, list));
        return true;
      }
      default:
        return cmd == WYSD_IOCTL2_NEW_CTX || cmd == WYSD_IOCTL2_RDIR_CLOSE || cmd == WYSD_IOCTL2_MFILE_OPEN ||
               cmd == WYSD_IOCTL2_MFILE_CLOSE;
    }
  }

  void serve(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    net_conn nc;
    nc.handle = static_cast<os_socket_t>(fd) + 1;  // a socket handle is its descriptor plus one
    nc.timeout = 2000;
    wysd_rbuf rb;
    Session s;
    // Bounded: the client's requests, or the read time-out once it is gone.
    for (int i = 0; i < 100000 && !stop_; i++) {
      uint8_t code = 0;
      int32_t len = 0;
      bool too_long = false;
      int st = wysd_srv_recv_request(&nc, &code, &rb, &len, 64 << 20, &too_long);
      if (st == WYSD_ST_TIMEOUT_ERROR) continue;
      if (st != 0) break;
      const wysd_msg_policy* pol = wysd_msg_policy_get(code);
      const blob_attr* tb[8] = {};
      bool parsed = pol != nullptr && wysd_srv_parse_request(pol, &rb, len, tb) == 0;
      {
        std::lock_guard<std::mutex> g(mu_);
        seen_.push_back({code, parsed && code == WYSD_CMD_IOCTL2 ? static_cast<int>(blobmsg_get_u32(tb[1])) : 0});
      }
      if (code == WYSD_CMD_BYE) break;
      std::string out;
      bool ok = parsed;
      bool data = false;
      if (parsed && code == WYSD_CMD_IOCTL2) {
        std::string text(static_cast<const char*>(blobmsg_data(tb[2])), static_cast<size_t>(blobmsg_data_len(tb[2])));
        while (!text.empty() && text.back() == '\0') text.pop_back();
        ok = ioctl2(&s, static_cast<int>(blobmsg_get_u32(tb[1])), text, static_cast<int32_t>(blobmsg_get_u32(tb[3])),
                    &out);
        data = true;
      } else if (parsed && code != WYSD_CMD_LOGIN && code != WYSD_CMD_INFO && code != WYSD_CMD_IOCTL) {
        ok = false;  // no files here
      }
      blob_buf b;
      wysd_srv_rsp_begin(&b, ok ? 0 : -37, ok ? "" : "Not supported.");
      if (ok && code == WYSD_CMD_LOGIN) blobmsg_add_u32(&b, "os_type", 2);
      if (ok && code == WYSD_CMD_INFO) {
        std::string ver;
        {
          std::lock_guard<std::mutex> g(mu_);
          ver = ver_;
        }
        blobmsg_add_string(&b, "info", ("ver=[" + ver + "]\nplat=[linux]\narch=[x86_64]\n").c_str());
      }
      if (ok && data) blobmsg_add_field(&b, BLOBMSG_TYPE_RAW, "data", out.data(), static_cast<int32_t>(out.size()));
      if (wysd_srv_send_response(&nc, 1, code, &b) != 0) break;
    }
    net_close(&nc);
  }

  int lfd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread th_;
  std::vector<std::thread> conns_;  // touched by the accepting thread only, then by the destructor
  std::mutex mu_;
  std::map<std::string, std::pair<std::string, std::string>> listings_;
  std::map<std::string, std::string> files_;
  ListAnswer answer_;
  std::vector<Op> ops_;
  std::vector<std::string> listed_;
  std::string ver_ = "1.8.0";
  std::vector<std::pair<int, int>> seen_;
};

}  // namespace wysdtest
