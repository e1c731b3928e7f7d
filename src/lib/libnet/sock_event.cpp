// Transport environment: the start-up mark and the teardown at the end of a run.
#include <atomic>

#include "liblog.h"
#include "libnet.h"

WY_LOG_TAG("net");

namespace {
std::atomic<bool> g_env_inited{false};
std::atomic<void (*)()> g_tls_exit{nullptr};
}  // namespace

void sock_env_init(void (*tls_exit)()) {
  g_tls_exit.store(tls_exit);
  g_env_inited.store(true);
}

void sock_env_exit() {
  if (!g_env_inited.exchange(false)) return;
  if (void (*f)() = g_tls_exit.exchange(nullptr)) f();
  LOGD("==>\n");
  // No event poller is ever created by this program, so there is no poller
  // thread to stop here.
}
