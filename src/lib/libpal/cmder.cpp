// The command thread. The thread and the owner share the cmder's core: if
// the thread does not end when asked, the owner's handle goes away but the
// core (queue, parameters, context) lives on until the thread is done.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "liblog.h"
#include "pal_cmder.h"
#include "pal_queue.h"
#include "queue_alloc.h"

WY_LOG_TAG("pal");

namespace {

enum : uint32_t { NODE_WAIT = 1, NODE_FUNC = 2, NODE_MSG = 3 };
enum : uint32_t { NODE_RUNNING = 2, NODE_DONE = 3, NODE_DELETED = 4 };

// Pushed only by cmder_exit to wake the thread; never counted in pending.
void* const kWakeMarker = reinterpret_cast<void*>(~uintptr_t{0});

struct cmd_node {
  explicit cmd_node(uint32_t t) : type(t) {}
  uint32_t type;
  std::atomic<uint32_t> state{0};
};

// Node and payload are one allocation: the payload bytes follow the node.
struct msg_node : cmd_node {
  msg_node() : cmd_node(NODE_MSG) {}
  uint32_t id = 0;
  void* payload = nullptr;
  size_t len = 0;
  void* data = nullptr;
};

struct func_node : cmd_node {
  func_node() : cmd_node(NODE_FUNC) {}
  std::string name;
  void (*fn)(void*) = nullptr;
  void* arg = nullptr;
  bool free_after_run = true;
};

// Shared by the poster and the queue; whoever lets go last frees it.
struct wait_node : cmd_node {
  wait_node() : cmd_node(NODE_WAIT) {}
  std::atomic<uint32_t> abandoned{0};
  std::string cmd;
  void* data = nullptr;
  void* arg = nullptr;
  int result = 0;
  std::mutex mu;
  std::condition_variable done_cv;
  bool done = false;
  std::atomic<int> refs{2};

  void complete(int r) {
    {
      std::lock_guard<std::mutex> g(mu);
      result = r;
      done = true;
    }
    state.store(NODE_DONE);
    done_cv.notify_all();
  }
  void release() {
    if (refs.fetch_sub(1) == 1) std::unique_ptr<wait_node> own(this);
  }
};

void msg_node_free(msg_node* n) {
  n->~msg_node();
  std::unique_ptr<unsigned char[]> own(reinterpret_cast<unsigned char*>(n));
}

}  // namespace

struct cmder_core {
  std::atomic<uint32_t> status{CMDER_STARTING_STATUS};
  std::mutex status_mu;  // pairs with status_cv for waits on the status and the idle waits
  std::condition_variable status_cv;
  std::atomic<int32_t> pending{0};
  queue* q = nullptr;
  cmder_param param;
  std::string name;
  cmder_ctx ctx;
  std::atomic<bool> stop{false};        // asked by cmder_exit; separate from ctx.exit
  std::atomic<bool> owner_gone{false};  // cmder_exit gave up waiting for the thread

  ~cmder_core() {
    if (q == nullptr) return;
    drain();
    queue_close(q);
  }

  void clear_ctx(void* data) {
    ctx = cmder_ctx{};
    ctx.user = param.user;
    ctx.data = data;
  }

  // Releases every command still queued, without running it. Only the
  // consumer may do this: the thread itself, or anyone after it ended.
  void drain() {
    bool free_msgs = param.msg_free_proc != nullptr && !owner_gone.load();
    size_t lost = 0;
    for (void* e; (e = queue_pop_wait(q, 0)) != nullptr;) {
      if (e == kWakeMarker) continue;
      auto* n = static_cast<cmd_node*>(e);
      switch (n->type) {
        case NODE_MSG: {
          auto* m = static_cast<msg_node*>(n);
          if (free_msgs)
            param.msg_free_proc(param.user, m->data);
          else if (param.msg_free_proc != nullptr)
            ++lost;
          msg_node_free(m);
          break;
        }
        case NODE_FUNC: {
          auto* f = static_cast<func_node*>(n);
          if (f->free_after_run) std::unique_ptr<func_node> own(f);
          break;
        }
        case NODE_WAIT: {
          auto* w = static_cast<wait_node*>(n);
          w->complete(-3);
          w->release();
          break;
        }
        default:
          LOGE("node->type=%d error\n", static_cast<int>(n->type));
      }
      done_one();
    }
    if (lost != 0) LOGW("[%s] %zu queued messages dropped after exit\n", name.c_str(), lost);
  }

  void exec_msg(msg_node* m) {
    clear_ctx(m->data);
    if (param.msg_proc != nullptr)
      param.msg_proc(m->id, m->payload, &ctx);
    else
      LOGE("get cmd=[%.*s] msg_proc=NULL\n", static_cast<int>(m->payload != nullptr ? m->len : 0),
           m->payload != nullptr ? static_cast<const char*>(m->payload) : "");
    if (param.msg_free_proc != nullptr) param.msg_free_proc(param.user, m->data);
    msg_node_free(m);
  }

  void exec_func(func_node* f) {
    if (f->state.load() == NODE_DELETED) {
      LOGD("del [%s] func\n", f->name.c_str());
      std::unique_ptr<func_node> own(f);
      return;
    }
    f->state.store(NODE_RUNNING);
    f->fn(f->arg);
    f->state.store(NODE_DONE);
    if (f->free_after_run) std::unique_ptr<func_node> own(f);
  }

  void exec_wait(wait_node* w) {
    if (w->abandoned.load() != 0) {
      // The poster is gone: nobody to signal.
      {
        std::lock_guard<std::mutex> g(w->mu);
        w->result = -3;
      }
      w->state.store(NODE_DONE);
      w->release();
      return;
    }
    w->state.store(NODE_RUNNING);
    clear_ctx(w->data);
    ctx.abandoned = &w->abandoned;
    int r;
    if (param.cmd_proc != nullptr) {
      r = param.cmd_proc(w->cmd.c_str(), w->arg, &ctx);
    } else {
      LOGE("get cmd=[%s] cmd_proc=NULL\n", w->cmd.c_str());
      r = -4;
    }
    ctx.abandoned = nullptr;
    w->complete(r);
    w->release();
  }

  void exec(cmd_node* n) {
    switch (n->type) {
      case NODE_MSG: exec_msg(static_cast<msg_node*>(n)); break;
      case NODE_FUNC: exec_func(static_cast<func_node*>(n)); break;
      case NODE_WAIT: exec_wait(static_cast<wait_node*>(n)); break;
      default: LOGE("node->type=%d error\n", static_cast<int>(n->type));
    }
  }

  // The thread's procedure (cmd_srv_thread).
  int run() {
    set_status(CMDER_STARTING_STATUS);
    if (param.init_proc != nullptr) {
      clear_ctx(nullptr);
      param.init_proc(&ctx);
      if (ctx.exit == 1) {
        set_status(CMDER_STOPPED_STATUS);
        return 0;
      }
    }
    if (param.timer_proc != nullptr) {
      clear_ctx(nullptr);
      param.timer_proc(&ctx);
    }
    set_status(CMDER_READY_STATUS);
    while (ctx.exit == 0 && !stop.load()) {
      void* e = queue_pop_wait(q, static_cast<int>(param.timer_interval_ms));
      if (e == kWakeMarker) continue;  // the loop condition sees the stop request
      if (e != nullptr) {
        exec(static_cast<cmd_node*>(e));
        done_one();
      } else if (param.timer_proc != nullptr) {
        clear_ctx(nullptr);
        param.timer_proc(&ctx);
      }
      if (ctx.need_reinit != 0) {
        if (param.init_proc == nullptr) {
          LOGE("need_reinit but ctx->init_proc=NULL\n");
          break;
        }
        clear_ctx(nullptr);
        set_status(CMDER_STARTING_STATUS);
        LOGD("call init_proc\n");
        param.init_proc(&ctx);
        set_status(CMDER_READY_STATUS);
      }
    }
    if (param.exit_proc != nullptr) {
      clear_ctx(nullptr);
      param.exit_proc(&ctx);
    }
    set_status(CMDER_STOPPED_STATUS);
    return 0;
  }

  // A command left the count: the last one wakes the idle waiters, which
  // wait on the status condition too (the empty lock orders the wake after
  // their look at the count).
  void done_one() {
    if (pending.fetch_sub(1) != 1) return;
    { std::lock_guard<std::mutex> g(status_mu); }
    status_cv.notify_all();
  }

  // Every status change wakes the posters waiting for the thread to become
  // ready; a fresh thread is ready within microseconds, and polling in 10 ms
  // steps cost every first post that much.
  void set_status(uint32_t s) {
    {
      std::lock_guard<std::mutex> g(status_mu);
      status.store(s);
    }
    status_cv.notify_all();
  }

  // cmder_init_check: waits up to about one second for the ready status.
  bool cmder_init_check() {
    uint32_t s = status.load();
    if (s != CMDER_READY_STATUS) {
      std::unique_lock<std::mutex> g(status_mu);
      status_cv.wait_for(g, std::chrono::seconds(1), [&] { return status.load() == CMDER_READY_STATUS; });
      s = status.load();
    }
    if (s == CMDER_READY_STATUS) return true;
    LOGE("status=%u status!=CMDER_READY_STATUS error!\n", s);
    return false;
  }

  // Queues a node; pending counts it before it can run, so that an idle
  // check never sees a queued command as done.
  int push(cmd_node* n, int timeout_ms) {
    pending.fetch_add(1);
    if (queue_push_wait(q, n, timeout_ms) != 0) {
      done_one();
      return -2;
    }
    return 0;
  }
};

struct cmder {
  std::shared_ptr<cmder_core> core;
  os_thread* thread = nullptr;
};

cmder* cmder_init(const cmder_param* p) {
  if (!WY_CHECK(p != nullptr)) return nullptr;
  auto c = pal::try_make<cmder>();
  if (c == nullptr) return nullptr;
  try {
    c->core = std::make_shared<cmder_core>();
  } catch (const std::bad_alloc&) {
    LOGE("size=%u malloc failed\n", static_cast<unsigned>(sizeof(cmder_core)));
    return nullptr;
  }
  cmder_core* core = c->core.get();
  core->param = *p;
  core->name = p->name != nullptr ? p->name : "";
  core->param.name = core->name.c_str();
  if (core->param.timer_interval_ms == 0) {
    core->param.timer_interval_ms = 1000;
    LOGD("timer_interval_ms=%u\n", core->param.timer_interval_ms);
  }
  queue_param qp;
  qp.capacity = p->capacity;
  core->q = queue_create(&qp);
  if (core->q == nullptr) {
    LOGE("queue_create failed\n");
    return nullptr;
  }
  std::shared_ptr<cmder_core> for_thread = c->core;
  c->thread = os_thread_start(core->name.c_str(), [for_thread] { return for_thread->run(); }, 0,
                              p->thread_opt);
  if (c->thread == nullptr) return nullptr;
  return c.release();
}

namespace {

/// Posts a node whose payload is `parts` one after the other; without parts
/// it has none.
int post_parts(cmder* c, uint32_t id, const std::string_view* parts, size_t n, void* data, int timeout_ms) {
  if (!WY_CHECK(c != nullptr)) return -1;
  cmder_core* core = c->core.get();
  if (!core->cmder_init_check()) return -3;
  size_t len = 0;
  for (size_t i = 0; i < n; i++) len += parts[i].size();
  auto block = pal::try_bytes(sizeof(msg_node) + len);
  if (block == nullptr) return -4;
  auto* m = new (block.get()) msg_node();
  m->id = id;
  m->data = data;
  if (n != 0) {
    m->payload = block.get() + sizeof(msg_node);
    m->len = len;
    char* p = static_cast<char*>(m->payload);
    for (size_t i = 0; i < n; i++) {
      if (!parts[i].empty()) memcpy(p, parts[i].data(), parts[i].size());
      p += parts[i].size();
    }
  }
  block.release();
  if (core->push(m, timeout_ms) != 0) {
    msg_node_free(m);
    return -2;
  }
  return 0;
}

}  // namespace

int cmder_post_msg3(cmder* c, uint32_t id, const void* payload, size_t len, void* data,
                    int timeout_ms) {
  std::string_view one(static_cast<const char*>(payload), payload != nullptr ? len : 0);
  return post_parts(c, id, &one, payload != nullptr ? 1 : 0, data, timeout_ms);
}

int cmder_post_msg3(cmder* c, uint32_t id, std::initializer_list<std::string_view> parts, void* data,
                    int timeout_ms) {
  return post_parts(c, id, parts.begin(), parts.size(), data, timeout_ms);
}

int cmder_post_msg3(cmder* c, uint32_t id, const char* text, void* data, int timeout_ms) {
  return cmder_post_msg3(c, id, text, text != nullptr ? strlen(text) + 1 : 0, data, timeout_ms);
}

int cmder_post_func(cmder* c, const char* name, void (*fn)(void* arg), void* arg, int timeout_ms) {
  if (!WY_CHECK(c != nullptr)) return -1;
  if (!WY_CHECK(fn != nullptr)) return -1;
  cmder_core* core = c->core.get();
  if (!core->cmder_init_check()) return -3;
  auto f = pal::try_make<func_node>();
  if (f == nullptr) return -4;
  f->name = name != nullptr ? name : "";
  f->fn = fn;
  f->arg = arg;
  if (core->push(f.get(), timeout_ms) != 0) return -2;
  f.release();
  return 0;
}

int cmder_post_wait(cmder* c, const char* cmd, void* arg, void* data, int timeout_ms, int* result) {
  if (!WY_CHECK(c != nullptr)) return -1;
  cmder_core* core = c->core.get();
  auto start = std::chrono::steady_clock::now();
  if (!core->cmder_init_check()) return -3;
  auto w = pal::try_make<wait_node>();
  if (w == nullptr) return -4;
  w->cmd = cmd != nullptr ? cmd : "";
  w->arg = arg;
  w->data = data;
  if (core->push(w.get(), timeout_ms) != 0) return -2;
  wait_node* n = w.release();  // two references now: ours and the queue's
  bool done;
  int r = 0;
  {
    std::unique_lock<std::mutex> g(n->mu);
    auto is_done = [n] { return n->done; };
    if (timeout_ms < 0) {
      n->done_cv.wait(g, is_done);
      done = true;
    } else {
      done = n->done_cv.wait_until(g, start + std::chrono::milliseconds(timeout_ms), is_done);
    }
    if (done)
      r = n->result;
    else
      n->abandoned.store(1);
  }
  n->release();
  if (!done) return -2;
  if (result != nullptr) *result = r;
  return 0;
}

int cmder_wait_idle(cmder* c) {
  if (!WY_CHECK(c != nullptr)) return -1;
  cmder_core* core = c->core.get();
  // Woken by the last command's end or the loop's end, not by polling.
  std::unique_lock<std::mutex> g(core->status_mu);
  bool idle = core->status_cv.wait_for(g, std::chrono::seconds(1), [core] {
    return core->pending.load() <= 0 || core->status.load() == CMDER_STOPPED_STATUS;
  });
  return idle ? 0 : -1;
}

uint32_t cmder_status(cmder* c) {
  return c != nullptr ? c->core->status.load() : static_cast<uint32_t>(CMDER_STOPPED_STATUS);
}

int cmder_exit(cmder* c) {
  if (c == nullptr) return 0;
  std::unique_ptr<cmder> own(c);
  int ret = 0;
  if (c->thread != nullptr) {
    c->core->stop.store(true);
    queue_push_wait(c->core->q, kWakeMarker, 0);
    ret = os_thread_wait_kill_exit(c->thread, 2000, nullptr);
    if (ret < 0) {
      LOGE("os_thread_wait_kill_exit ret=%d\n", ret);
      c->core->owner_gone.store(true);
    }
    c->thread = nullptr;
  }
  // Dropping our reference frees the core now, or, when the thread is still
  // running, as soon as it lets go of its own.
  c->core.reset();
  return ret;
}
