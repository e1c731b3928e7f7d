// The log file: text lines with time, level, process and thread, kept under
// a size limit by dropping the oldest half; or a capture file of bsv records.
#include <cstdio>
#include <cstring>
#include <string>

#include "log2_out_imp.h"

namespace {

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Opens the file path of L in `mode`; a capture file gets its header when empty.
bool file_open(log2_t* L, const char* mode) {
  log2_file_out& o = log2_outs_of(L).file;
  o.f.reset();
  // Always readable too: the size limit reads the newest half back.
  std::string m = std::string(1, mode[0]) + "+" + (o.pcap ? "b" : "");
  o.f.reset(wyfile_open(o.path.c_str(), m.c_str()));
  if (!o.f) {
    fprintf(stderr, "fopen %s err\n", o.path.c_str());
    fflush(stderr);
    return false;
  }
  // Each line reaches the file at once: a crash must not swallow the lines
  // that led to it.
  wyfile_set_linebuf(o.f.get(), true);
  if (o.pcap && wyfile_size(o.f.get()) == 0) {
    std::vector<uint8_t> h = bsv_pcap_file_header();
    wyfile_write(o.f.get(), h.data(), h.size());
    wyfile_flush(o.f.get());
  }
  return true;
}

// Keeps the newest half of the file, starting at a whole line.
void file_shrink(log2_t* L) {
  log2_file_out& o = log2_outs_of(L).file;
  std::string tail;
  if (wyfile_read_tail(o.f.get(), static_cast<size_t>(o.limit / 2), &tail) < 0) return;
  size_t nl = tail.find('\n');
  size_t from = nl == std::string::npos ? tail.size() : nl + 1;
  if (!file_open(L, "w+")) return;
  wyfile_write(o.f.get(), tail.data() + from, tail.size() - from);
  wyfile_flush(o.f.get());
}

bool file_put(log2_file_out& o, const char* data, size_t len) {
  return o.f && wyfile_write(o.f.get(), data, len) == static_cast<int64_t>(len);
}

}  // namespace

int log2_file_set_dir(log2_t* L, const char* dir) {
  std::string d = dir ? dir : "";
  if (!d.empty() && d[0] != '/') {
    char exe[4096];
    if (os_exe_dir(exe, sizeof exe) < 0) {
      fprintf(stderr, "os_mkdirs %s failed\n", d.c_str());
      return -1;
    }
    d = std::string(exe) + (strcmp(exe, "/") == 0 ? "" : "/") + d;
  }
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  if (!d.empty() && os_mkdirs(d.c_str()) != 0) {
    fprintf(stderr, "os_mkdirs %s failed\n", d.c_str());
    fflush(stderr);
    return -1;
  }
  log2_locked g(L);
  log2_outs_of(L).file.dir = d;
  return 0;
}

int log2_file_set_name(log2_t* L, const char* name) {
  log2_locked g(L);
  log2_file_out& o = log2_outs_of(L).file;
  o.f.reset();
  o.path.clear();
  o.pcap = false;
  if (name == nullptr || *name == '\0') return 0;
  if (name[0] == '/' || o.dir.empty())
    o.path = name;
  else
    o.path = o.dir + "/" + name;
  o.pcap = ends_with(o.path, ".pcap");
  log2_debugf(L, "log_fopen=%s\n", o.path.c_str());
  if (!file_open(L, o.mode.c_str())) return -1;
  log2_debugf(L, "log_file_path=%s\n", o.path.c_str());
  return 0;
}

int log2_file_set_limit(log2_t* L, int limit) {
  if (limit < 1024) return -1;
  log2_locked g(L);
  log2_outs_of(L).file.limit = limit;
  return 0;
}

int log2_set_file_mode(log2_t* h, const char* mode) {
  log2_t* L = log2_obj(h);
  if (mode == nullptr || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0)) {
    fprintf(stderr, "mode %s err\n", mode ? mode : "");
    fflush(stderr);
    return -1;
  }
  log2_locked g(L);
  log2_outs_of(L).file.mode = mode;
  return 0;
}

void log2_file_write(log2_t* L, const log2_rec& r) {
  log2_file_out& o = log2_outs_of(L).file;
  if (o.path.empty() || o.pcap) return;
  // Someone removed the file (log rotation, a user cleaning up): start a new
  // one rather than writing into the unlinked inode.
  if (!o.f || !wyfile_exists(o.path.c_str())) {
    if (!file_open(L, "a+")) return;
  }
  char head[160];
  int n = snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%06d %-5s %u --- [%s] %s ", r.tm.year,
                   r.tm.mon, r.tm.mday, r.tm.hour, r.tm.min, r.tm.sec, r.tm.usec, log2_level_upper(r.level),
                   os_exe_pid(), r.tid_name, r.tag);
  if (n < 0) return;
  std::string line(head, static_cast<size_t>(n) < sizeof head ? static_cast<size_t>(n) : sizeof head - 1);
  line.append(r.msg2, r.msg2_len);
  if (!file_put(o, line.data(), line.size())) {
    fprintf(stderr, "log_file_write: fwrite error\n");
    fflush(stderr);
    if (!file_open(L, "a+") || !file_put(o, line.data(), line.size())) {
      o.f.reset();
      return;
    }
  }
  int64_t size = wyfile_size(o.f.get());
  if (size >= o.limit) file_shrink(L);
}

void log2_file_put_pcap(log2_t* L, bsv_chan* c, const bsv_log_rec& rec) {
  log2_file_out& o = log2_outs_of(L).file;
  if (!o.pcap || o.path.empty()) return;
  if (!o.f || !wyfile_exists(o.path.c_str())) {
    if (!file_open(L, "a+")) return;
  }
  std::vector<uint8_t> pkt = bsv_chan_packet(c, rec);
  std::vector<uint8_t> head = bsv_pcap_rec_header(rec.sec, rec.usec, static_cast<uint32_t>(pkt.size()));
  head.insert(head.end(), pkt.begin(), pkt.end());
  if (!file_put(o, reinterpret_cast<const char*>(head.data()), head.size())) {
    fprintf(stderr, "log_file_write: fwrite error\n");
    fflush(stderr);
    o.f.reset();
    return;
  }
  wyfile_flush(o.f.get());
}
