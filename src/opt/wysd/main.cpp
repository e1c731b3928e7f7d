// wysd: the file server. Serves one directory tree to tarn clients over TCP;
// no client path can leave it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "liblog.h"
#include "liblog_out.h"
#include "srv.h"

WY_LOG_TAG("wysd");

namespace {

std::atomic<int> g_signum{0};

void on_stop(int sig) { g_signum.store(sig); }

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts: the sessions' threads share one heap, which
  // the server can trim whole once they have ended (see wysd_server::sweep).
  bool one_heap = os_mem_one_heap() == 0;
  wysd_conf conf;
  switch (wysd_conf_load(argc, argv, &conf)) {
    case 0:
      break;
    case 1:
      fputs(wysd_usage(), stderr);
      return 1;
    case 3:
      return 0;
    default:
      return 1;
  }
  pl_init();
  os_thread_name_set("main");
  log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, conf.level.empty() ? "info" : conf.level.c_str());
  log2_ioctl(nullptr, LOG2_SET_FLAGS_TAGS, "time|tid");
  if (!one_heap) LOGW("allocator: one heap for all threads refused; memory freed by ended sessions may stay\n");
  for (int sig : {2, 15}) os_signal_set(sig, on_stop);  // SIGINT, SIGTERM
  int status = 0;
  {
    wysd_server srv(std::move(conf));
    if (srv.start() < 0) {
      status = 1;
    } else {
      while (g_signum.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        srv.sweep();
      }
      LOGI("signal %d: stopping\n", g_signum.load());
      srv.stop();
    }
  }
  log2_exit();
  return status;
}
