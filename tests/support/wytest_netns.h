// A network namespace of a test's own, for what loopback cannot give: a
// route whose packets go nowhere, so that a connect hears nothing back (no
// answer, no refusal, no "unreachable") until its own time-out. The
// namespace belongs to one thread of the test: whatever that thread starts
// (a server, a relay's sockets, tarn, the ip commands) lives in it, and it
// goes away with the last of them, whatever way the test ends. The host's
// own network is never touched: the commands run only once the thread is
// known to be in the new namespace.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "wytest.h"

namespace wytest {

/// The device of the dead route and the network it carries.
inline constexpr const char* kDeadDev = "wy0";
inline constexpr const char* kDeadNet = "10.254.0.9/24";

/// The path of an iproute2 program (`ip`, `ss`), or "" when it is missing.
inline std::string iproute_bin(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string p = std::string(dir) + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

/// Runs an iproute2 program with `args` in the calling thread's namespace.
/// True on status 0; otherwise a test failure with what it said.
inline bool iproute(const char* name, const std::vector<std::string>& args) {
  RunResult r = run(iproute_bin(name), args);
  std::string line = name;
  for (const std::string& a : args) line += " " + a;
  if (r.status != 0) ADD_FAILURE() << line << ": status " << r.status << "\n" << r.out << r.err;
  return r.status == 0;
}

/// The network namespace the calling thread is in ("net:[inode]"), or "".
inline std::string netns_of_thread() {
  char buf[64] = {};
  ssize_t n = readlink("/proc/thread-self/ns/net", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

/// Runs `fn` on a thread of its own inside a new network namespace with
/// `lo` up and a device kDeadDev holding kDeadNet and `addrs` (more
/// addresses in CIDR form), whose packets go nowhere: a dummy device, or
/// where the kernel has none a tun device that no process reads. A connect
/// to an address of 10.254.0.0/24 that is not local sends its SYN there.
/// Returns "" once `fn` has run, or why the namespace could not be made
/// (`fn` has not run then): the caller skips.
inline std::string with_dead_route(const std::vector<std::string>& addrs, const std::function<void()>& fn) {
  std::string why;
  std::thread th([&] {
    if (iproute_bin("ip").empty()) {
      why = "no ip command (iproute2)";
      return;
    }
    std::string host = netns_of_thread();
    if (unshare(CLONE_NEWNET) != 0) {
      why = std::string("cannot make a network namespace (root only): ") + strerror(errno);
      return;
    }
    if (host.empty() || netns_of_thread() == host) {
      why = "the new network namespace cannot be told from the host's";
      return;
    }
    std::string ip = iproute_bin("ip");
    if (run(ip, {"link", "add", kDeadDev, "type", "dummy"}).status != 0 &&
        run(ip, {"tuntap", "add", kDeadDev, "mode", "tun"}).status != 0) {
      why = "neither a dummy nor a tun device can be made here";
      return;
    }
    bool up = iproute("ip", {"link", "set", "lo", "up"}) && iproute("ip", {"addr", "add", kDeadNet, "dev", kDeadDev});
    for (const std::string& a : addrs) up = up && iproute("ip", {"addr", "add", a, "dev", kDeadDev});
    if (up && iproute("ip", {"link", "set", kDeadDev, "up"})) fn();
  });
  th.join();
  return why;
}

}  // namespace wytest
