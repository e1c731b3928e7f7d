// tls_handshake_bench: the cost of one connection over TLS against one over
// plain TCP, to a running wysd on 127.0.0.1 (bench/tls.py starts it).
//
//   tls_handshake_bench --port P --tls-port Q [--n N] [--rounds R] [--cipher NAME]
//
// Each round times N plain connects (connect, close) and N TLS connects
// (connect, the full client handshake through libssl, close-notify, close),
// the two alternating which goes first. Prints the medians per connection
// and the median of the rounds' differences: what a handshake adds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libnet.h"
#include "libssl.h"
#include "liblog.h"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Mean milliseconds of one connection over `n`, or -1 on a failure.
double time_conns(uint16_t port, int n, bool tls, const char* cipher) {
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; i++) {
    sock_connect_param p;
    p.connect_timeout = 4000;
    cdir_err err;
    net_conn nc;
    nc.handle = sock_tcp_connect("127.0.0.1", port, &p, &err);
    nc.timeout = 10000;
    if (nc.handle == OS_SOCKET_NONE) {
      fprintf(stderr, "connect: %s\n", err.msg.c_str());
      return -1;
    }
    if (tls) {
      ssl_cli_result res;
      if (ssl_cli_connect(&nc, cipher, nullptr, &res) == nullptr) {
        fprintf(stderr, "handshake: %s\n", res.why.c_str());
        net_close(&nc);
        return -1;
      }
    }
    net_close(&nc);
  }
  std::chrono::duration<double, std::milli> d = std::chrono::steady_clock::now() - t0;
  return d.count() / n;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0, tls_port = 0, n = 200, rounds = 5;
  const char* cipher = "";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--port") port = atoi(argv[i + 1]);
    else if (k == "--tls-port") tls_port = atoi(argv[i + 1]);
    else if (k == "--n") n = atoi(argv[i + 1]);
    else if (k == "--rounds") rounds = atoi(argv[i + 1]);
    else if (k == "--cipher") cipher = argv[i + 1];
  }
  if (port <= 0 || tls_port <= 0 || n <= 0 || rounds <= 0) {
    fprintf(stderr, "usage: tls_handshake_bench --port P --tls-port Q [--n N] [--rounds R] [--cipher NAME]\n");
    return 2;
  }
  pl_init();
  log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, "warn");
  libssl_init();
  std::vector<double> plain, tls, diff;
  for (int r = 0; r < rounds; r++) {
    double a, b;
    if (r % 2 == 0) {
      a = time_conns(static_cast<uint16_t>(port), n, false, cipher);
      b = time_conns(static_cast<uint16_t>(tls_port), n, true, cipher);
    } else {
      b = time_conns(static_cast<uint16_t>(tls_port), n, true, cipher);
      a = time_conns(static_cast<uint16_t>(port), n, false, cipher);
    }
    if (a < 0 || b < 0) return 1;
    plain.push_back(a);
    tls.push_back(b);
    diff.push_back(b - a);
  }
  printf("connections per round: %d, rounds: %d, cipher: [%s]\n", n, rounds, cipher);
  printf("plain connect+close   median %.3f ms\n", median(plain));
  printf("tls connect+handshake median %.3f ms\n", median(tls));
  printf("handshake cost        median %.3f ms per connection\n", median(diff));
  libssl_exit();
  return 0;
}
