// The bsv record channel as the log feeds it, and the outputs' flush and
// close.
#include <cstring>

#include "log2_imp.h"

namespace {

// The channel's own lines and the network layer's would feed themselves.
bool bsv_excluded(const char* tag) { return strcmp(tag, "bsv") == 0 || strcmp(tag, "net") == 0; }

// A source path that still carries an absolute build-tree root loses it.
const char* tree_relative(const char* src) {
  if (src[0] != '/') return src;
  const char* p = strstr(src, "/src/");
  return p ? p + 1 : src;
}

bsv_chan* chan_get(log2_t* L) {
  if (!L->bsv) L->bsv.reset(bsv_chan_open("tarn"));
  return L->bsv.get();
}

}  // namespace

int log2_bsv_set_target(log2_t* L, const char* url) {
  log2_locked g(L);
  return bsv_chan_set_target(chan_get(L), url);
}

int log2_bsv_reader_add(log2_t* h, rbuf* ring, uint32_t max_len) {
  log2_t* L = log2_obj(h);
  log2_locked g(L);
  return bsv_chan_reader_add(chan_get(L), ring, max_len);
}

int log2_bsv_reader_del(log2_t* h, int id) {
  log2_t* L = log2_obj(h);
  log2_locked g(L);
  return L->bsv ? bsv_chan_reader_del(L->bsv.get(), id) : -1;
}

void log2_bsv_write(log2_t* L, const log2_rec& r) {
  const bool pcap = L->file.pcap && !L->file.path.empty();
  if ((!L->bsv && !pcap) || bsv_excluded(r.tag)) return;
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

void log2_outputs_flush(log2_t* L) {
  log2_locked g(L);
  if (L->file.f) wyfile_flush(L->file.f.get());
}

void log2_outputs_close(log2_t* L) {
  bsv_chan_ptr chan;
  {
    log2_locked g(L);
    L->file.f.reset();
    L->file.path.clear();
    L->file.pcap = false;
    L->file_on.store(0);
    log2_syslog_close(L);
    L->syslog_on.store(0);
    chan = std::move(L->bsv);
  }
  // The bsvnet thread may log while it ends: the lock must be free by then.
  chan.reset();
}
