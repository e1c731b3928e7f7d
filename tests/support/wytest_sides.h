// The two sides of a copy test on any of the kinds of pair: each side a
// local directory or the same directory served by a wysd of its own on
// 127.0.0.1, reached over TCP or, for the _TLS kinds, over TLS. A case
// written once against src()/dst() runs on every kind; the trees are
// checked through their local paths either way.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "wytest.h"
#include "wytest_wysd.h"

namespace wytest {

enum class Kind { LL, LR, RL, RR, LR_TLS, RL_TLS, RR_TLS };

inline const char* kind_name(Kind k) {
  switch (k) {
    case Kind::LL: return "LL";
    case Kind::LR: return "LR";
    case Kind::RL: return "RL";
    case Kind::RR: return "RR";
    case Kind::LR_TLS: return "LR_tls";
    case Kind::RL_TLS: return "RL_tls";
    case Kind::RR_TLS: return "RR_tls";
  }
  return "?";
}

/// Remote sides reached over TLS ("wyps://").
inline bool tls_kind(Kind k) { return k == Kind::LR_TLS || k == Kind::RL_TLS || k == Kind::RR_TLS; }
/// The same pair over plain TCP.
inline Kind plain_kind(Kind k) {
  switch (k) {
    case Kind::LR_TLS: return Kind::LR;
    case Kind::RL_TLS: return Kind::RL;
    case Kind::RR_TLS: return Kind::RR;
    default: return k;
  }
}
inline bool src_remote(Kind k) { return plain_kind(k) == Kind::RL || plain_kind(k) == Kind::RR; }
inline bool dst_remote(Kind k) { return plain_kind(k) == Kind::LR || plain_kind(k) == Kind::RR; }
inline bool two_servers(Kind k) { return plain_kind(k) == Kind::RR; }

/// Serves `base` as needed by kind `k`: one server for LR and RL, two for
/// RR (source and destination on different servers). TLS kinds give every
/// server a TLS listener with the test program's shared certificate.
class Sides {
 public:
  Sides(Kind k, const std::string& base, const std::string& server_lines = "") : kind_(k), base_(base) {
    std::string lines = tls_kind(k) ? tls_lines() + server_lines : server_lines;
    if (src_remote(k)) start(&s1_, lines);
    if (dst_remote(k)) start(two_servers(k) ? &s2_ : &s1_, lines);
  }
  Kind kind() const { return kind_; }
  /// The URL tarn is given for the source `rel` below the base.
  std::string src(const std::string& rel) const { return url(src_remote(kind_) ? s1_.get() : nullptr, rel); }
  /// The URL tarn is given for the destination `rel` below the base.
  std::string dst(const std::string& rel) const {
    return url(dst_remote(kind_) ? (two_servers(kind_) ? s2_.get() : s1_.get()) : nullptr, rel);
  }
  /// The path part tarn sees for `rel` on the source side (what its
  /// listings name).
  std::string src_path(const std::string& rel) const { return src_remote(kind_) ? "/" + rel : base_ + "/" + rel; }
  /// The servers' logs, for failure messages.
  std::string logs() const {
    std::string s;
    if (s1_) s += s1_->log();
    if (s2_) s += s2_->log();
    return s;
  }

 private:
  void start(std::unique_ptr<WysdServer>* s, const std::string& lines) {
    if (*s) return;
    *s = std::make_unique<WysdServer>();
    if (!(*s)->start(base_, lines)) ADD_FAILURE() << "wysd did not start\n" << (*s)->log();
  }
  std::string url(const WysdServer* s, const std::string& rel) const {
    if (s == nullptr) return base_ + "/" + rel;
    if (tls_kind(kind_)) return "wyps://127.0.0.1:" + std::to_string(s->tls_port()) + "/" + rel;
    return "wyp://127.0.0.1:" + std::to_string(s->port()) + "/" + rel;
  }

  Kind kind_;
  std::string base_;
  std::unique_ptr<WysdServer> s1_, s2_;
};

/// In a TEST_P over Kind: the sides of this case's kind, served from the
/// test's directory `t`, as `s`; the case ends when a server did not start.
#define SIDES(t)                   \
  Sides s(GetParam(), (t).path()); \
  if (HasFailure()) return

/// Every kind, for INSTANTIATE_TEST_SUITE_P.
inline auto all_kinds() {
  return ::testing::Values(Kind::LL, Kind::LR, Kind::RL, Kind::RR, Kind::LR_TLS, Kind::RL_TLS, Kind::RR_TLS);
}
inline std::string kind_param_name(const ::testing::TestParamInfo<Kind>& i) { return kind_name(i.param); }

}  // namespace wytest
