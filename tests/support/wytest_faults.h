// What the fault tests share: a remote side reached through a relay that
// cuts or stalls its connections, a pair of sides of any kind built from
// them, seeded trees, and the checks every run under faults must pass
// whether it ended well or not.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "wytest_relay.h"
#include "wytest_sides.h"
#include "wytest_tree.h"
#include "wytest_wysd.h"

namespace wytest {

/// The transport of the remote sides. Every fault case takes it as a
/// parameter; the relay reads frames only where it can see them, so over
/// TLS it cuts and stalls at byte offsets alone.
enum class Scheme { Plain, Tls };

inline const char* scheme_prefix(Scheme s) {
  switch (s) {
    case Scheme::Plain: return "wyp";
    case Scheme::Tls: return "wyps";
  }
  return "?";
}
inline bool scheme_hides_frames(Scheme s) { return s != Scheme::Plain; }
inline const char* scheme_name(Scheme s) { return scheme_prefix(s); }

/// A count from the environment (to run fewer seeds in slow builds), or
/// `def` when it is unset or not a positive number.
inline int env_count(const char* name, int def) {
  const char* v = getenv(name);
  int n = v != nullptr ? atoi(v) : 0;
  return n > 0 ? n : def;
}

/// One remote side under faults: a wysd serving `root`, reached only
/// through its own relay.
class FaultSite {
 public:
  FaultSite(Scheme sc, const std::string& root, const std::string& lines = "")
      : scheme_(sc), root_(root), lines_(sc == Scheme::Tls ? tls_lines() + lines : lines),
        srv_(std::make_unique<WysdServer>()) {
    if (!srv_->start(root, lines_)) {
      ADD_FAILURE() << "wysd did not start\n" << srv_->log();
      return;
    }
    relay_ = std::make_unique<Relay>(port_of(*srv_), scheme_hides_frames(sc));
  }
  bool ok() const { return relay_ != nullptr; }
  Relay& relay() { return *relay_; }
  WysdServer& server() { return *srv_; }
  /// The URL of `rel` below the root, through the relay, with `query`.
  std::string url(const std::string& rel, const std::string& query) const {
    std::string u =
        std::string(scheme_prefix(scheme_)) + "://127.0.0.1:" + std::to_string(relay_ ? relay_->port() : 1) + "/" + rel;
    return query.empty() ? u : u + "?" + query;
  }
  /// Kills the server outright; a new one on the same root takes its
  /// place behind the relay. The new one starts first, so that a client
  /// reconnecting at once meets a server that has never heard of it
  /// rather than a closed port. False when it did not start.
  bool kill_and_restart() {
    auto next = std::make_unique<WysdServer>();
    if (!next->start(root_, lines_)) {
      ADD_FAILURE() << "wysd did not start again\n" << next->log();
      return false;
    }
    relay_->retarget(port_of(*next));
    pid_t pid = srv_->pid();
    if (pid > 0) kill(pid, SIGKILL);
    srv_->wait_exit(10000);
    dead_.push_back(std::move(srv_));  // its logs stay readable
    srv_ = std::move(next);
    return true;
  }

 private:
  int port_of(const WysdServer& s) const { return scheme_ == Scheme::Tls ? s.tls_port() : s.port(); }

  Scheme scheme_;
  std::string root_, lines_;
  std::unique_ptr<WysdServer> srv_;
  std::vector<std::unique_ptr<WysdServer>> dead_;
  std::unique_ptr<Relay> relay_;
};

/// Both sides of a run of kind `k` below `base`: the remote ones served
/// by a wysd each (two for RR) behind relays, the local ones plain paths.
class FaultPair {
 public:
  FaultPair(Scheme sc, Kind k, const std::string& base, const std::string& lines = "",
            const std::string& query = "connect_timeout=3&read_timeout=5")
      : base_(base), query_(query) {
    if (src_remote(k)) src_ = std::make_unique<FaultSite>(sc, base, lines);
    if (dst_remote(k)) dst_ = std::make_unique<FaultSite>(sc, base, lines);
  }
  bool ok() const { return (!src_ || src_->ok()) && (!dst_ || dst_->ok()); }
  std::string src(const std::string& rel) const { return src_ ? src_->url(rel, query_) : base_ + "/" + rel; }
  std::string dst(const std::string& rel) const { return dst_ ? dst_->url(rel, query_) : base_ + "/" + rel; }
  /// The remote sides: the source's first.
  std::vector<FaultSite*> sites() const {
    std::vector<FaultSite*> v;
    if (src_) v.push_back(src_.get());
    if (dst_) v.push_back(dst_.get());
    return v;
  }
  int cuts() const {
    int n = 0;
    for (FaultSite* s : sites()) n += s->relay().cuts();
    return n;
  }
  /// Ends every random fault still pending.
  void calm() {
    for (FaultSite* s : sites()) s->relay().random_cuts(0, 0, 0);
  }
  std::string logs() const {
    std::string s;
    for (FaultSite* f : sites()) s += f->server().log();
    return s;
  }

 private:
  std::string base_, query_;
  std::unique_ptr<FaultSite> src_, dst_;
};

/// A tree of the kind real runs meet, shaped by `seed`: small files in
/// nested directories (empty ones too), big files of several blocks at
/// bs=128K, a link to a file and one to a directory.
inline void make_fault_tree(const std::string& root, uint32_t seed) {
  std::mt19937 r(seed);
  const char* dirs[] = {"", "d1/", "d1/d2/"};
  for (int i = 0; i < 6; i++) {
    size_t size = i == 0 ? 0 : r() % 20000;
    write_file(root + "/" + dirs[i % 3] + "s" + std::to_string(i), pattern(size, seed * 16 + i));
  }
  for (int i = 0; i < 2; i++) {
    size_t size = 524289 + r() % 300000;
    write_file(root + "/" + dirs[i] + "big" + std::to_string(i), pattern(size, seed * 16 + 8 + i));
  }
  symlink("s1", (root + "/ln_file").c_str());
  symlink("d1", (root + "/ln_dir").c_str());
  stamp_times(root);
}

/// A destination that a sync must fix: one file as in the source, one
/// with other contents (and size), an orphan file and an orphan tree.
inline void make_stale_copy(const std::string& src, const std::string& dst) {
  fs::create_directories(dst + "/d1");
  fs::copy_file(src + "/d1/s1", dst + "/d1/s1");
  set_mtime(dst + "/d1/s1", lstat_of(src + "/d1/s1").st_mtime);
  chmod((dst + "/d1/s1").c_str(), lstat_of(src + "/d1/s1").st_mode & 07777);
  write_file(dst + "/s3", "other contents");
  write_file(dst + "/orphan.txt", "not in the source");
  write_file(dst + "/gone/deep/orphan", "nor this");
}

/// The checks every run under faults must pass, however it ended: no
/// destination file carries its source's size and time with other
/// contents, and nothing that the source holds and the destination held
/// before the run is missing (a sync that lost part of a listing must not
/// delete on its strength).
inline void expect_nothing_false(const std::string& src, const std::string& dst,
                                 const std::set<std::string>& held_before) {
  auto a = scan(src), b = scan(dst);
  for (auto& [rel, e] : b) {
    auto it = a.find(rel);
    if (it == a.end() || e.type != 'f' || it->second.type != 'f') continue;
    if (e.size == it->second.size && e.mtime == it->second.mtime) {
      EXPECT_TRUE(e.data == it->second.data) << rel << " has the source's size and time but other contents";
    }
  }
  for (const std::string& rel : held_before) {
    if (a.count(rel)) {
      EXPECT_TRUE(b.count(rel)) << rel << " was deleted though the source has it";
    }
  }
}

/// Why a run needed a second one: its status and the log line that tells
/// most (a failed repair, the failure it caused, the run's own error).
inline std::string ending(const RunResult& r) {
  std::string why = "status " + std::to_string(r.status);
  size_t at = std::string::npos;
  for (const char* key : {"fix failed", "time-out=", "side_fail", "run(): error", "error"})
    if (at == std::string::npos) at = r.err.find(key);
  if (at != std::string::npos) {
    size_t b = r.err.rfind('\n', at);
    size_t e = r.err.find('\n', at);
    std::string line = r.err.substr(b == std::string::npos ? 0 : b + 1, e == std::string::npos ? std::string::npos : e - b - 1);
    // The log line's time and thread vary; keep from the function name on.
    size_t f = line.find("] ");
    why += ": " + (f == std::string::npos ? line : line.substr(f + 2));
  }
  return why;
}

/// True when a run ended with status 0 and no failure counted.
inline bool clean(const RunResult& r) {
  return r.status == 0 && report_value(r.err, "o_file_fail_count") == 0 &&
         report_value(r.err, "i_file_fail_count") == 0 && report_value(r.err, "o_dir_fail_count") <= 0 &&
         report_value(r.err, "i_dir_fail_count") <= 0 && report_value(r.err, "sync_del_file_fail_count") <= 0;
}

/// The relative paths below `root` (empty when it does not exist).
inline std::set<std::string> names_below(const std::string& root) {
  std::set<std::string> s;
  for (auto& [rel, e] : scan(root, false)) s.insert(rel);
  return s;
}

/// The number of times `what` occurs in `text`.
inline int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
  return n;
}

/// Entries of /proc/PID/fd: the descriptors a process holds open; -1 when
/// it cannot be read. `under`, when given, counts only those that name a
/// path beginning with it.
inline int open_fds(pid_t pid, const std::string& under = "") {
  std::error_code ec;
  int n = 0;
  fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
  if (ec) return -1;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (under.empty()) {
      n++;
      continue;
    }
    std::string target = fs::read_symlink(it->path(), ec).string();
    if (!ec && target.compare(0, under.size(), under) == 0) n++;
  }
  return n;
}

/// Resident memory of a process in KiB from /proc/PID/status; -1 when
/// unknown.
inline long rss_kib(pid_t pid) {
  std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = s.find("VmRSS:");
  return at == std::string::npos ? -1 : atol(s.c_str() + at + 6);
}

}  // namespace wytest
