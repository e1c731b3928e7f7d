// Live progress of a job: counters the transfer steps feed from any thread,
// and the thread that shows them as one status line of the console.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

void cdir_progress_file_done(cdir_job* job) {
  job->prog.done.fetch_add(1, std::memory_order_relaxed);
  job->prog.msg_done.fetch_add(1, std::memory_order_relaxed);
}

void cdir_progress_bytes(cdir_job* job, int64_t n) { job->prog.bytes.fetch_add(n, std::memory_order_relaxed); }

void cdir_progress_name(cdir_job* job, const std::string& src_path) {
  if (job->progress == CDIR_PROGRESS_OFF) return;
  size_t skip = src_path.compare(0, job->src.path.size(), job->src.path) == 0 ? job->src.path.size() : 0;
  while (skip < src_path.size() && src_path[skip] == job->src.sep) skip++;
  std::lock_guard<std::mutex> g(job->prog.lock);
  job->prog.name.assign(src_path, skip, std::string::npos);
}

namespace {

/// Columns a terminal gives the code point `cp`: the wide East Asian ranges
/// and emoji take two. Close enough to keep a line within its width; an
/// exact answer needs the locale's tables.
int columns_of(uint32_t cp) {
  if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
      (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) || (cp >= 0x20000 && cp <= 0x3FFFD))
    return 2;
  return 1;
}

/// One display character of a name: its bytes (a control character or a
/// broken sequence as "?", so a name cannot move the cursor or recolour the
/// terminal) and its columns.
struct glyph {
  std::string text;
  int cols;
};

std::vector<glyph> glyphs_of(const std::string& s) {
  std::vector<glyph> out;
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    bool ok = n > 0 && i + n <= s.size();
    uint32_t cp = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    for (size_t k = 1; ok && k < n; k++) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    // C0 and C1 controls and DEL.
    if (!ok || cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
      out.push_back({"?", 1});
      i += ok ? n : 1;
      continue;
    }
    out.push_back({s.substr(i, n), columns_of(cp)});
    i += n;
  }
  return out;
}

}  // namespace

std::string cdir_progress_line(const cdir_progress_snap& s, double rate_bps, int width) {
  char size[128], rate[32], time[128];
  const char* sz = s.bytes_done == 0 ? "0" : str_human_size(static_cast<uint64_t>(s.bytes_done), size, sizeof size);
  char head[512];
  snprintf(head, sizeof head, "%lld/%lld files  %s  %s  %s", static_cast<long long>(s.files_done),
           static_cast<long long>(s.files_seen), sz, str_rate(rate_bps, rate, sizeof rate),
           str_duration(s.elapsed_ms / 1000.0, time, sizeof time));
  std::string line = head;
  // One column stays free: a line that fills the last column makes some
  // terminals wrap, and the next redraw would land a line lower.
  int room = width - 1 - static_cast<int>(line.size()) - 2;
  if (s.name.empty() || room < 4) return line.substr(0, width > 1 ? static_cast<size_t>(width - 1) : 0);
  std::vector<glyph> g = glyphs_of(s.name);
  int cols = 0;
  for (const glyph& x : g) cols += x.cols;
  // The end of a name tells more than its start: a long one keeps its tail.
  size_t from = 0;
  bool cut = cols > room;
  if (cut) {
    int keep = room - 3;
    while (from < g.size() && cols > keep) cols -= g[from++].cols;
  }
  line += "  ";
  if (cut) line += "...";
  for (size_t i = from; i < g.size(); i++) line += g[i].text;
  return line;
}

bool cdir_progress_of(cdir_job* job, cdir_progress_snap* out) {
  out->files_seen = job->prog.seen.load(std::memory_order_relaxed);
  out->files_done = job->prog.done.load(std::memory_order_relaxed);
  out->bytes_done = job->prog.bytes.load(std::memory_order_relaxed);
  out->elapsed_ms = os_clock_ms() - job->start_ms;
  // Between two messages a file-list message has counted its files seen
  // before the catch-up of its skipped ones: never show more done than seen.
  if (out->files_done > out->files_seen) out->files_done = out->files_seen;
  std::lock_guard<std::mutex> g(job->prog.lock);
  out->name = job->prog.name;
  return true;
}

namespace {

/// The display thread: a redraw in place four times a second on a
/// terminal, a whole line a second elsewhere (a pipe, a file), each with
/// the rate since the previous one.
int progress_thread(void* arg) {
  auto* job = static_cast<cdir_job*>(arg);
  bool tty = job->progress == CDIR_PROGRESS_TTY;
  const int64_t period = tty ? 250 : 1000;
  int64_t last_ms = os_clock_ms();
  int64_t last_bytes = 0;
  while (!job->progress_end.load()) {
    // Short naps, so that the end of the run is not kept waiting.
    int64_t next = last_ms + period;
    while (!job->progress_end.load() && os_clock_ms() < next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (job->progress_end.load()) break;
    cdir_progress_snap s;
    cdir_progress_of(job, &s);
    int64_t now = os_clock_ms();
    double secs = (now - last_ms) / 1000.0;
    double rate = secs > 0 ? (s.bytes_done - last_bytes) / secs : 0;
    last_ms = now;
    last_bytes = s.bytes_done;
    int width = tty ? os_exe_stderr_columns() : 200;
    log2_status_show(nullptr, cdir_progress_line(s, rate, width).c_str(), tty);
  }
  return 0;
}

}  // namespace

void cdir_progress_start(cdir_job* job) {
  if (job->progress == CDIR_PROGRESS_OFF) return;
  job->progress_thread = os_thread_init("cdir_progress", progress_thread, job, 0, nullptr);
  // Without it the run goes on; only the display is missing.
  if (job->progress_thread == nullptr) LOGW("progress display not started");
}

void cdir_progress_stop(cdir_job* job) {
  if (job->progress_thread == nullptr) return;
  job->progress_end = true;
  os_thread_wait_kill_exit(job->progress_thread, -1, nullptr);
  job->progress_thread = nullptr;
  log2_status_clear(nullptr);
}
