// A loopback relay between a client and a server of the file protocol that
// forwards whole frames and cuts connections on cue: when a chosen request
// passes (by request code and, for connection controls, by control code),
// or at seeded random byte offsets. It reads the frame heads and the "cmd"
// attribute itself, with no code of the protocol library, so the cuts do
// not depend on what they test. Instead of cutting it can stall a
// connection: forward nothing more and close nothing, as a dead route does.
// In raw mode it forwards bytes as they come without reading frames (for
// streams it cannot read, TLS); cues need frames, random faults do not.
//
// Every wait is a poll of at most 100 ms; the thread ends with the object.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace wytest {

/// A listening socket on IPv4 address `ip` and a free port: the fd, the
/// port in *port; -1 when it cannot be made.
inline int listen_on(const char* ip, int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t n = sizeof a;
  if (fd < 0 || inet_pton(AF_INET, ip, &a.sin_addr) != 1 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

/// A listening loopback socket on a free port: the fd, the port in *port.
inline int listen_loopback(int* port) { return listen_on("127.0.0.1", port); }

inline int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

inline bool send_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

class Relay {
 public:
  /// What happens to the connection when the cue's request comes by.
  enum Action {
    kDropRequest,      // cut before the request reaches the server
    kCutAfterRequest,  // the server gets it; its response is lost
    kCutInResponse,    // only `bytes` of its response reach the client
    kHold,             // the request is held and the connection stalls
  };
  /// The `nth` request from now on whose code is `code` (-1: any) and, for
  /// a control, whose control code is `cmd` (-1: any).
  /// `newest_only` counts only the connection accepted last.
  struct Cue {
    Action action = kDropRequest;
    int code = -1;
    int cmd = -1;
    int nth = 1;
    size_t bytes = 0;
    bool newest_only = false;
  };

  /// Listens on `listen_ip` (loopback unless told) and forwards to port
  /// `target` on loopback.
  explicit Relay(int target, bool raw = false, const char* listen_ip = "127.0.0.1") : target_(target), raw_(raw) {
    lfd_ = listen_on(listen_ip, &port_);
    th_ = std::thread([this] { run(); });
  }
  ~Relay() {
    stop_ = true;
    th_.join();
    for (Pair& p : pairs_) cut(p);
    if (lfd_ >= 0) ::close(lfd_);
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  int port() const { return port_; }
  /// New connections go to `target` from now on (a restarted server).
  void retarget(int target) { target_ = target; }
  void arm(const Cue& c) {
    std::lock_guard<std::mutex> g(mu_);
    cue_ = c;
    armed_ = true;
  }
  /// Shorthand of the common cue: the k-th frame of the newest connection.
  void arm(Action a, int k = 1, size_t bytes = 0) {
    Cue c;
    c.action = a;
    c.nth = k;
    c.bytes = bytes;
    c.newest_only = true;
    arm(c);
  }
  /// Besides any cue: cut a connection after a random number of bytes
  /// (uniform in [1, 2 * mean]) in either direction, `count` times in all,
  /// from a fixed seed. 0 stops it.
  void random_cuts(uint32_t seed, uint64_t mean_bytes, int count) { random_faults(seed, mean_bytes, count, false); }
  /// The same, but the connection stalls at the offset instead of being
  /// cut: nothing more is forwarded either way and nothing is closed until
  /// the client gives up on it.
  void random_stalls(uint32_t seed, uint64_t mean_bytes, int count) { random_faults(seed, mean_bytes, count, true); }
  void random_faults(uint32_t seed, uint64_t mean_bytes, int count, bool stall) {
    std::lock_guard<std::mutex> g(mu_);
    stall_not_cut_ = stall;
    rng_.seed(seed);
    mean_ = mean_bytes;
    random_left_ = count;
    next_cut_ = draw();
  }
  /// True while an armed cue has not fired yet.
  bool armed() {
    std::lock_guard<std::mutex> g(mu_);
    return armed_;
  }
  int connections() const { return accepted_.load(); }
  int cuts() const { return cuts_.load(); }
  /// Connections stalled so far (random stalls and held requests).
  int stalls() const { return stalls_.load(); }
  /// The longest time a stalled connection was kept open by its client
  /// before it gave up and closed it, in ms (stalls still open not counted).
  int64_t longest_stall_ms() const { return longest_stall_ms_.load(); }
  /// Bytes forwarded in both directions so far.
  uint64_t bytes() const { return bytes_.load(); }
  /// Requests with code `code` passed on to the server so far.
  int requests(int code) {
    std::lock_guard<std::mutex> g(mu_);
    return seen_[code & 0xFF];
  }
  /// Stops forwarding without closing anything while `on` (a stall).
  void stall(bool on) { stalled_ = on; }
  /// Forwards bytes as they come instead of whole frames, for TLS, whose
  /// frames are hidden: only random cuts and stalls apply then.
  void raw(bool on) { raw_ = on; }
  /// Lets the connections that hold a request go on: the held request and
  /// everything after it are forwarded.
  void release() { release_ = true; }

  /// The request code of a frame and, for a control (codes 8 and 20), its
  /// "cmd" attribute; -1 where the frame does not say.
  static void frame_codes(const std::string& f, int* code, int* cmd) {
    *code = f.size() >= 4 ? static_cast<uint8_t>(f[3]) : -1;
    *cmd = -1;
    if (*code != 8 && *code != 20) return;
    auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(f[i])); };
    for (size_t at = 8; at + 8 <= f.size();) {
      uint32_t hdr = u(at) << 24 | u(at + 1) << 16 | u(at + 2) << 8 | u(at + 3);
      uint32_t len = hdr & 0xFFFFFF;
      if (len < 4 || at + len > f.size()) return;
      if ((hdr & 0x80000000u) && len >= 6) {
        uint32_t nl = u(at + 4) << 8 | u(at + 5);
        size_t payload = at + 4 + ((nl + 6) & ~3u);
        if (nl == 3 && f.compare(at + 6, 3, "cmd") == 0 && payload + 4 <= at + len) {
          *cmd = static_cast<int>(u(payload) << 24 | u(payload + 1) << 16 | u(payload + 2) << 8 | u(payload + 3));
          return;
        }
      }
      at += (len + 3) & ~3u;
    }
  }

 private:
  struct Pair {
    int c = -1, s = -1;
    std::string up, down;  // bytes not yet forwarded: from the client, from the server
    int cut_response = -1;  // bytes of the next response to let through, then cut
    int64_t stalled_at = 0;  // ms: when it stalled, 0 while it forwards
    bool held = false;       // stalled by a kHold cue (release() resumes it)
  };

  // Length of the frame at the start of `b`, or 0 while its head is incomplete.
  static size_t frame_len(const std::string& b) {
    if (b.size() < 8) return 0;
    auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[i])); };
    uint32_t raw = u(5) << 16 | u(6) << 8 | u(7);
    return 4 + ((std::max<uint32_t>(raw, 4) + 3) & ~3u);
  }

  static int64_t clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }

  void freeze(Pair& p, bool held) {
    p.stalled_at = clock_ms();
    p.held = held;
    stalls_++;
  }

  uint64_t draw() { return mean_ == 0 ? 0 : std::uniform_int_distribution<uint64_t>(1, 2 * mean_)(rng_); }

  void cut(Pair& p) {
    if (p.stalled_at != 0 && p.c >= 0) {
      int64_t d = clock_ms() - p.stalled_at;
      if (d > longest_stall_ms_.load()) longest_stall_ms_ = d;
    }
    if (p.c >= 0) {
      shutdown(p.c, SHUT_RDWR);
      ::close(p.c);
    }
    if (p.s >= 0) {
      shutdown(p.s, SHUT_RDWR);
      ::close(p.s);
    }
    p.c = p.s = -1;
  }

  void cut_now(Pair& p) {
    // Let the bytes already sent leave before both ends go.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cut(p);
    cuts_++;
  }

  /// Sends `n` bytes of `data` unless a random cut falls inside them; then
  /// sends what comes before it and cuts. False when the pair was cut.
  bool forward(Pair& p, int to, const char* data, size_t n) {
    size_t allow = n;
    bool cutting = false, stalling = false;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (random_left_ > 0 && next_cut_ > 0) {
        if (next_cut_ <= n) {
          allow = static_cast<size_t>(next_cut_ - 1);
          (stall_not_cut_ ? stalling : cutting) = true;
          random_left_--;
          next_cut_ = random_left_ > 0 ? draw() : 0;
        } else {
          next_cut_ -= n;
        }
      }
    }
    if (!send_all(to, data, allow)) {
      cut(p);
      return false;
    }
    bytes_ += allow;
    if (stalling) {
      freeze(p, false);
      return false;
    }
    if (cutting) {
      cut_now(p);
      return false;
    }
    return true;
  }

  // Forwards the whole frames in one direction; false when the pair was cut.
  bool pump(Pair& p, bool up, bool newest) {
    std::string& buf = up ? p.up : p.down;
    int to = up ? p.s : p.c;
    if (p.stalled_at != 0) {
      // A stalled route loses what it is given; a held one keeps it for
      // its release.
      if (!p.held) buf.clear();
      return true;
    }
    if (raw_) {
      if (stalled_ || buf.empty()) return true;
      if (!forward(p, to, buf.data(), buf.size())) return false;
      buf.clear();
      return true;
    }
    for (size_t n; (n = frame_len(buf)) != 0 && buf.size() >= n;) {
      if (stalled_) return true;
      if (!up && p.cut_response >= 0) {
        size_t keep = std::min(static_cast<size_t>(p.cut_response), n);
        send_all(to, buf.data(), keep);
        cut_now(p);
        return false;
      }
      int code = -1, cmd = -1;
      if (up) {
        frame_codes(buf.substr(0, std::min<size_t>(n, 256)), &code, &cmd);
        std::unique_lock<std::mutex> g(mu_);
        bool match = armed_ && (!cue_.newest_only || newest) && (cue_.code < 0 || cue_.code == code) &&
                     (cue_.cmd < 0 || cue_.cmd == cmd);
        if (match && --cue_.nth == 0) {
          Cue c = cue_;
          armed_ = false;
          g.unlock();
          if (c.action == kHold) {
            freeze(p, true);
            return true;  // the request stays first in the buffer
          }
          if (c.action != kDropRequest) count(code);
          if (c.action == kDropRequest) {
            cut_now(p);
            return false;
          }
          if (!send_all(to, buf.data(), n)) {
            cut(p);
            return false;
          }
          buf.erase(0, n);
          if (c.action == kCutAfterRequest) {
            cut_now(p);
            return false;
          }
          p.cut_response = static_cast<int>(c.bytes);
          continue;
        }
      }
      if (up) count(code);
      if (!forward(p, to, buf.data(), n)) return false;
      buf.erase(0, n);
    }
    return true;
  }

  void count(int code) {
    std::lock_guard<std::mutex> g(mu_);
    if (code >= 0) seen_[code & 0xFF]++;
  }

  void run() {
    std::vector<char> chunk(1 << 16);
    while (!stop_) {
      std::vector<pollfd> fds = {{lfd_, POLLIN, 0}};
      for (Pair& p : pairs_) {
        fds.push_back({p.c, POLLIN, 0});
        fds.push_back({p.s, POLLIN, 0});
      }
      if (release_) {
        for (Pair& p : pairs_) {
          if (!p.held || p.c < 0) continue;
          p.held = false;
          p.stalled_at = 0;
          if (pump(p, true, false)) pump(p, false, false);
        }
        std::erase_if(pairs_, [](const Pair& p) { return p.c < 0; });
        release_ = false;
        continue;  // the pair list may have changed
      }
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        int c = accept(lfd_, nullptr, nullptr);
        int s = c >= 0 ? connect_loopback(target_) : -1;
        if (s >= 0) {
          pairs_.push_back({c, s, "", "", -1, 0, false});
          accepted_++;
        } else if (c >= 0) {
          ::close(c);
        }
        continue;  // the pair list changed
      }
      for (size_t i = 0; i < pairs_.size(); i++) {
        Pair& p = pairs_[i];
        bool newest = i + 1 == pairs_.size();
        for (int side = 0; side < 2 && p.c >= 0; side++) {
          const pollfd& f = fds[1 + 2 * i + static_cast<size_t>(side)];
          if (!(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
          ssize_t r = ::recv(f.fd, chunk.data(), chunk.size(), 0);
          if (r <= 0) {
            cut(p);
            break;
          }
          (side == 0 ? p.up : p.down).append(chunk.data(), static_cast<size_t>(r));
          if (!pump(p, side == 0, newest)) break;
        }
      }
      std::erase_if(pairs_, [](const Pair& p) { return p.c < 0; });
    }
  }

  std::atomic<int> target_;
  int lfd_ = -1, port_ = 0;
  std::thread th_;
  std::atomic<bool> stop_{false}, stalled_{false}, release_{false}, raw_{false};
  std::vector<Pair> pairs_;
  std::mutex mu_;
  Cue cue_;
  bool armed_ = false;
  std::mt19937_64 rng_;
  uint64_t mean_ = 0, next_cut_ = 0;
  int random_left_ = 0;
  bool stall_not_cut_ = false;
  int seen_[256] = {};
  std::atomic<int> accepted_{0}, cuts_{0}, stalls_{0};
  std::atomic<int64_t> longest_stall_ms_{0};
  std::atomic<uint64_t> bytes_{0};
};

}  // namespace wytest
