// The outputs as the log core sees them: the set-up commands, the bsv record
// channel as the log feeds it, the text outputs, flush and close; and their
// installation into the core.
#include <cstring>

#include "log2_out_imp.h"

namespace {

// The channel's own lines and the network layer's would feed themselves.
bool bsv_excluded(const char* tag) { return strcmp(tag, "bsv") == 0 || strcmp(tag, "net") == 0; }

// A source path that still carries an absolute build-tree root loses it.
const char* tree_relative(const char* src) {
  if (src[0] != '/') return src;
  const char* p = strstr(src, "/src/");
  return p ? p + 1 : src;
}

// The outputs of L when something was ever set up on it, else nullptr.
log2_outs* outs_if_any(log2_t* L) { return static_cast<log2_outs*>(log2_out_state_of(L).get()); }

bsv_chan* chan_get(log2_t* L) {
  log2_outs& s = log2_outs_of(L);
  if (!s.bsv) s.bsv.reset(bsv_chan_open("tarn"));
  return s.bsv.get();
}

int bsv_set_target(log2_t* L, const char* url) {
  log2_locked g(L);
  return bsv_chan_set_target(chan_get(L), url);
}

void bsv_write(log2_t* L, log2_outs& s, const log2_rec& r) {
  const bool pcap = s.file.pcap && !s.file.path.empty();
  if ((!s.bsv && !pcap) || bsv_excluded(r.tag)) return;
  bsv_log_rec rec;
  rec.sec = static_cast<uint64_t>(r.tm.epoch_sec);
  rec.usec = static_cast<uint32_t>(r.tm.usec);
  rec.pid = os_exe_pid();
  rec.tid = r.tid;
  rec.level = static_cast<uint8_t>(r.level);
  rec.tag = r.tag;
  rec.tid_name = r.tid_name;
  rec.file = tree_relative(r.src);
  rec.line = r.line;
  rec.func = r.func;
  rec.msg = r.msg;
  rec.msg_len = r.msg_len;
  bsv_chan* c = chan_get(L);
  bsv_chan_put(c, rec, (r.word & (LV_BSV | LV_BSV_ONLY)) != 0);
  if (pcap) log2_file_put_pcap(L, c, rec);
}

// Sets one of the on/off switches.
int switch_set(log2_t* L, bool log2_outs::*on, int v) {
  log2_locked g(L);
  log2_outs_of(L).*on = v != 0;
  return 0;
}

class outputs final : public log2_outputs {
 public:
  int ioctl(log2_t* L, int cmd, va_list ap) override {
    switch (cmd) {
      case LOG2_SET_FILE: return log2_file_set_name(L, va_arg(ap, const char*));
      case LOG2_SET_FILE_DIR: return log2_file_set_dir(L, va_arg(ap, const char*));
      case LOG2_SET_FILE_SIZE: return log2_file_set_limit(L, va_arg(ap, int));
      case LOG2_SET_BSV: return bsv_set_target(L, va_arg(ap, const char*));
      case LOG2_SET_SYSLOG: return log2_syslog_set_target(L, va_arg(ap, const char*));
      case LOG2_SET_DBGVIEW_ON: return switch_set(L, &log2_outs::dbg_on, va_arg(ap, int));
      case LOG2_SET_FILE_ON: return switch_set(L, &log2_outs::file_on, va_arg(ap, int));
      case LOG2_SET_SYSLOG_ON: return switch_set(L, &log2_outs::syslog_on, va_arg(ap, int));
      default: return kUnknownCmd;
    }
  }

  void record(log2_t* L, const log2_rec& r) override {
    if (log2_outs* s = outs_if_any(L)) bsv_write(L, *s, r);
  }

  void line(log2_t* L, const log2_rec& r) override {
    log2_outs* s = outs_if_any(L);
    if (s == nullptr) return;
    // Debugger output has no POSIX counterpart: accepted, nothing written.
    if (s->file_on) log2_file_write(L, r);
    if (s->syslog_on) log2_syslog_write(L, r);
  }

  void flush(log2_t* L) override {
    log2_outs* s = outs_if_any(L);
    if (s && s->file.f) wyfile_flush(s->file.f.get());
  }

  void close(log2_t* L) override {
    bsv_chan_ptr chan;
    {
      log2_locked g(L);
      log2_outs* s = outs_if_any(L);
      if (s == nullptr) return;
      s->file.f.reset();
      s->file.path.clear();
      s->file.pcap = false;
      s->file_on = false;
      log2_syslog_close(L);
      s->syslog_on = false;
      chan = std::move(s->bsv);
    }
    // The bsvnet thread may log while it ends: the lock must be free by then.
    chan.reset();
  }
};

outputs g_outputs;

}  // namespace

// Installed while static objects are built, so that output commands given
// before main, or without log2_init_imp, find the outputs in place. INSTALLS
// in the library's CMakeLists keeps this unit in every program that links it.
extern "C" const bool log2_out_installed = (log2_set_outputs(&g_outputs), true);

log2_outs& log2_outs_of(log2_t* L) {
  std::unique_ptr<log2_out_state>& slot = log2_out_state_of(L);
  if (!slot) slot = std::make_unique<log2_outs>();
  return static_cast<log2_outs&>(*slot);
}

int log2_bsv_reader_add(log2_t* h, rbuf* ring, uint32_t max_len) {
  log2_t* L = log2_obj(h);
  log2_locked g(L);
  return bsv_chan_reader_add(chan_get(L), ring, max_len);
}

int log2_bsv_reader_del(log2_t* h, int id) {
  log2_t* L = log2_obj(h);
  log2_locked g(L);
  log2_outs* s = outs_if_any(L);
  return s && s->bsv ? bsv_chan_reader_del(s->bsv.get(), id) : -1;
}

void log2_exit() {
  g_outputs.close(log2_default());
  os_thread_name_exit();
}
