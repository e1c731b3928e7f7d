// The record channel: readers in the logging thread, UDP packets through the
// "bsvnet" thread so that a slow or absent collector never holds up a caller.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>

#include "libbsv.h"
#include "liblog.h"
#include "libpal.h"
#include "log2_ext.h"
#include "pal_exe.h"
#include "pal_udp.h"

WY_LOG_TAG("bsv");

namespace {

constexpr size_t kQueueMax = 1024;

// What the bsvnet thread shares with the channel. Held by shared ownership:
// a thread that outlives its stop time-out still finds it alive.
struct bsv_net {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::vector<uint8_t>> q;
  bool stop = false;
  bsv_target target;
  uint64_t target_gen = 0;  // bumped on every target change
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> dropped{0};
};

os_socket_t open_target(const bsv_target& t) {
  os_ipaddr addr;
  os_socket_t s = OS_SOCKET_NONE;
  if (os_addrinfo_addr(t.host.c_str(), &addr)) {
    os_ipaddr_port_set(&addr, static_cast<uint16_t>(t.port));
    s = os_udp_open(&addr);
  }
  if (s == OS_SOCKET_NONE) LOGD("os_udp_open %s:%d failed\n", t.host.c_str(), t.port);
  return s;
}

int bsvnet_loop(const std::shared_ptr<bsv_net>& net) {
  os_socket_t s = OS_SOCKET_NONE;
  uint64_t gen = 0;
  for (;;) {
    std::deque<std::vector<uint8_t>> batch;
    bsv_target target;
    uint64_t want_gen;
    {
      std::unique_lock<std::mutex> lk(net->mu);
      net->cv.wait(lk, [&] { return net->stop || !net->q.empty(); });
      if (net->q.empty()) break;  // stopped and drained
      batch.swap(net->q);
      target = net->target;
      want_gen = net->target_gen;
    }
    if (s != OS_SOCKET_NONE && gen != want_gen) {
      os_socket_exit(s);
      s = OS_SOCKET_NONE;
    }
    // The socket is opened when the first packet is waiting, so packets
    // queued before the thread was ready still go out.
    if (s == OS_SOCKET_NONE && !target.host.empty()) {
      s = open_target(target);
      gen = want_gen;
    }
    for (const auto& p : batch) {
      if (s != OS_SOCKET_NONE && os_udp_send(s, p.data(), static_cast<int>(p.size())) >= 0)
        net->sent.fetch_add(1);
      else
        net->dropped.fetch_add(1);
    }
  }
  if (s != OS_SOCKET_NONE) os_socket_exit(s);
  return 0;
}

struct reader_slot {
  int id;
  rbuf* ring;
  uint32_t max_len;
};

}  // namespace

struct bsv_chan {
  std::shared_ptr<bsv_net> net = std::make_shared<bsv_net>();
  os_thread* thread = nullptr;
  std::mutex mu;  // guards thread, readers
  std::vector<reader_slot> readers;
  int next_reader = 1;
  bsv_pkt_hdr hdr;
  std::atomic<uint64_t> bid{0};
};

bsv_chan* bsv_chan_open(const char* app) {
  auto c = std::make_unique<bsv_chan>();
  std::random_device rd;
  c->hdr.sid = (static_cast<uint64_t>(rd()) << 32) | rd();
  log2_tm now;
  log2_local_time(&now);
  c->hdr.stime = static_cast<uint64_t>(now.epoch_sec) * 1000000u + static_cast<uint64_t>(now.usec);
  c->hdr.ver_id = bsv_ver_id(WY_VERSION);
  c->hdr.app_id = bsv_app_id(app);
  c->hdr.os_id = bsv_os_id();
  c->hdr.arch_id = bsv_arch_id();
  c->hdr.flags = BSV_F_CRC;
  return c.release();
}

void bsv_chan_close(bsv_chan* c) {
  if (c == nullptr) return;
  std::unique_ptr<bsv_chan> owned(c);
  {
    std::lock_guard<std::mutex> lk(c->net->mu);
    c->net->stop = true;
  }
  c->net->cv.notify_all();
  if (c->thread) {
    int r = os_thread_wait_kill_exit(c->thread, 2000, nullptr);
    if (r < 0) LOGD("os_thread_wait_kill_exit ret=%d\n", r);
    c->thread = nullptr;
  }
}

int bsv_chan_set_target(bsv_chan* c, const char* url) {
  if (c == nullptr) return -1;
  bsv_target t;
  if (url != nullptr && *url != '\0' && bsv_target_parse(url, &t) != 0) {
    LOGD("bsv target [%s] refused\n", url);
    return -1;
  }
  {
    std::lock_guard<std::mutex> lk(c->net->mu);
    c->net->target = t;
    c->net->target_gen++;
  }
  if (t.host.empty()) return 0;
  std::lock_guard<std::mutex> lk(c->mu);
  if (c->thread == nullptr) {
    std::shared_ptr<bsv_net> net = c->net;
    c->thread = os_thread_start("bsvnet", [net] { return bsvnet_loop(net); }, 0, nullptr);
    if (c->thread == nullptr) {
      LOGD("bsvnet thread start failed\n");
      return -1;
    }
  }
  return 0;
}

bool bsv_chan_has_target(bsv_chan* c) {
  if (c == nullptr) return false;
  std::lock_guard<std::mutex> lk(c->net->mu);
  return !c->net->target.host.empty();
}

int bsv_chan_reader_add(bsv_chan* c, rbuf* ring, uint32_t max_len) {
  if (c == nullptr || ring == nullptr || max_len <= BSV_REC_FIXED) return -1;
  std::lock_guard<std::mutex> lk(c->mu);
  int id = c->next_reader++;
  c->readers.push_back({id, ring, max_len});
  return id;
}

int bsv_chan_reader_del(bsv_chan* c, int id) {
  if (c == nullptr) return -1;
  std::lock_guard<std::mutex> lk(c->mu);
  for (auto it = c->readers.begin(); it != c->readers.end(); ++it) {
    if (it->id == id) {
      c->readers.erase(it);
      return 0;
    }
  }
  return -1;
}

std::vector<uint8_t> bsv_chan_packet(bsv_chan* c, const bsv_log_rec& r) {
  bsv_pkt_hdr h = c->hdr;
  h.bid = c->bid.fetch_add(1) + 1;
  return bsv_packet_build(h, os_exe_host_name(), r);
}

int bsv_chan_put(bsv_chan* c, const bsv_log_rec& r, bool udp) {
  if (c == nullptr) return 0;
  {
    std::lock_guard<std::mutex> lk(c->mu);
    for (const auto& rd : c->readers) {
      std::vector<uint8_t> rec = bsv_rec_encode(r, rd.max_len - BSV_REC_FIXED);
      rbuf_write(rd.ring, rec.data(), static_cast<uint32_t>(rec.size()));
    }
  }
  if (!udp || !bsv_chan_has_target(c)) return 0;
  std::vector<uint8_t> pkt = bsv_chan_packet(c, r);
  {
    std::lock_guard<std::mutex> lk(c->net->mu);
    if (c->net->q.size() >= kQueueMax) {
      c->net->dropped.fetch_add(1);
      return 0;
    }
    c->net->q.push_back(std::move(pkt));
  }
  c->net->cv.notify_one();
  return 0;
}

uint64_t bsv_chan_sent(bsv_chan* c) { return c ? c->net->sent.load() : 0; }

uint64_t bsv_chan_dropped(bsv_chan* c) { return c ? c->net->dropped.load() : 0; }
