// The log call: level filter, the line with its prefix, and the hand-over to
// every output under the log object's lock. The console is the one output
// written here; the others plug in through log2_ext.h.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "liblog.h"
#include "log2_ext.h"

/// The most recent lines, oldest whole lines dropped first. Guarded by the
/// log object's lock.
class log2_recent {
 public:
  static constexpr size_t kCap = 1024;  // bytes including the terminator
  void add(const char* line, size_t len);
  size_t copy(char* buf, size_t len) const;

 private:
  char text_[kCap] = {0};
  size_t len_ = 0;
};

struct log2 {  // log2_t
  std::atomic<uint32_t> flags{LOG_F_DEFAULT};
  std::atomic<int32_t> level{LV_DBG};
  std::atomic<uint8_t> console_on{1};
  std::atomic<bool> debug{false};
  std::atomic<log2_line_proc> proc_hi{nullptr};
  std::atomic<log2_line_proc> proc_lo{nullptr};
  std::atomic<log2_call_proc> call_proc{nullptr};

  std::mutex lock;  // serialises every output, the installed ones too
  log2_recent recent;
  bool status_shown = false;  // an in-place status line stands on the console
  std::unique_ptr<log2_out_state> out;  // the installed outputs' own
};

namespace {

// Installed by the layers above while static objects are built; read on
// every call.
std::atomic<const log2_sys*> g_sys{nullptr};
std::atomic<log2_outputs*> g_outputs{nullptr};

// The answers of a program without a platform layer.
struct default_sys final : log2_sys {};
const default_sys g_default_sys{};

const log2_sys& sys() {
  const log2_sys* s = g_sys.load();
  return s ? *s : g_default_sys;
}

// Set while this thread writes to the outputs: a log call made from inside an
// output (a socket or file helper reporting a problem) must neither wait for
// the lock it already holds nor feed the outputs again.
thread_local int tl_in_output = 0;

struct level_names {
  const char* name;   // in settings
  const char* upper;  // in file lines
};
constexpr int kCrit = LV_CRIT;
constexpr int kVerb = LV_VERB;
constexpr level_names kLevels[] = {
    {"crit", "CRIT"}, {"err", "ERROR"}, {"warn", "WARN"}, {"noti", "NOTI"},
    {"info", "INFO"}, {"dbg", "DEBUG"}, {"verb", "VERB"},
};

// Appends into a fixed buffer, cutting silently; the text stays terminated.
struct line_buf {
  char* p;
  size_t cap;
  size_t len = 0;
  line_buf(char* buf, size_t n) : p(buf), cap(n) { p[0] = '\0'; }
  void put(const char* s, size_t n) {
    if (len + 1 >= cap) return;
    if (n > cap - 1 - len) n = cap - 1 - len;
    memcpy(p + len, s, n);
    len += n;
    p[len] = '\0';
  }
  void puts(const char* s) { put(s, strlen(s)); }
  void vprintf(const char* fmt, va_list ap) __attribute__((format(printf, 2, 0))) {
    if (len + 1 >= cap) return;
    int n = vsnprintf(p + len, cap - len, fmt, ap);
    if (n < 0) {
      p[len] = '\0';
      return;
    }
    len = static_cast<size_t>(n) >= cap - len ? cap - 1 : len + static_cast<size_t>(n);
  }
  void printf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
  }
  // A line always ends in exactly the "\n" it was given, or one added; a full
  // buffer gives up its last character for it.
  void end_line() {
    if (len > 0 && p[len - 1] == '\n') return;
    if (len + 1 < cap) {
      p[len++] = '\n';
    } else {
      p[cap - 2] = '\n';
      len = cap - 1;
    }
    p[len] = '\0';
  }
};

// Restores the caller's errno however the call leaves.
struct errno_keeper {
  int saved = errno;
  ~errno_keeper() { errno = saved; }
};

// ANSI forms of the console attributes the levels use: 12 light red, 4 red,
// 14 yellow, 15 bright white, 3 cyan, 2 green; level 6 stays plain.
const char* console_colour(int level) {
  switch (level) {
    case 2: return "\033[1;31m";
    case 3: return "\033[31m";
    case 4: return "\033[1;33m";
    case 5: return "\033[1;37m";
    case 7: return "\033[36m";
    case 8: return "\033[32m";
    default: return nullptr;
  }
}

// Erases the in-place status line; the lock is held. The line is only ever
// drawn on a terminal, so the terminal's own erase does it whatever the
// widths of its characters were.
void status_erase(log2_t* L) {
  if (!L->status_shown) return;
  fputs("\r\033[K", stderr);
  L->status_shown = false;
}

void console_write(log2_t* L, const log2_rec& r) {
  status_erase(L);
  const char* colour = nullptr;
  if ((L->flags.load() & LOG_F_COLOUR) && sys().stderr_tty()) colour = console_colour(r.level);
  if (colour) fputs(colour, stderr);
  fwrite(r.text, 1, r.len, stderr);
  if (colour) fputs("\033[0m", stderr);
  fflush(stderr);
}

// Writes one record to every output that is on, in the documented order.
void outputs_write(log2_t* L, const log2_rec& r) {
  log2_locked g(L);
  log2_outputs* o = g_outputs.load();
  if (o) o->record(L, r);
  if (!(r.word & LV_BSV_ONLY)) {
    log2_line_proc hi = L->proc_hi.load();
    log2_line_proc lo = L->proc_lo.load();
    if (hi && lo) (r.level <= static_cast<int>(LV_WARN) ? lo : hi)(r.level, r.tag, r.text, static_cast<int>(r.len));
    if (L->console_on.load()) console_write(L, r);
    if (o) o->line(L, r);
    L->recent.add(r.text, r.len);
  }
}

// Process object storage: built on first use and never destroyed, so that
// destructors of other static objects can still log at exit.
alignas(log2_t) unsigned char g_storage[sizeof(log2_t)];

// Threads in the order they first log, for a program without a platform
// layer.
std::atomic<uint32_t> g_next_thread{1};

}  // namespace

uint32_t log2_sys::thread_id() const {
  thread_local const uint32_t id = g_next_thread.fetch_add(1);
  return id;
}

const char* log2_sys::thread_name() const {
  thread_local char name[16];
  snprintf(name, sizeof name, "%u", thread_id());
  return name;
}

const char* log2_sys::errno_text(int eno, char* buf, size_t len) const {
  snprintf(buf, len, "errno %d", eno);
  return buf;
}

bool log2_sys::stderr_tty() const { return false; }

size_t log2_sys::stack_text(char* buf, size_t len) const {
  if (buf != nullptr && len > 0) buf[0] = '\0';
  return 0;
}

void log2_set_sys(const log2_sys* s) { g_sys.store(s); }

void log2_set_outputs(log2_outputs* o) { g_outputs.store(o); }

std::unique_ptr<log2_out_state>& log2_out_state_of(log2_t* L) { return L->out; }

void log2_local_time(log2_tm* t) {
  using namespace std::chrono;
  const int64_t us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  const time_t s = static_cast<time_t>(us / 1000000);
  struct tm tm;
  localtime_r(&s, &tm);
  t->year = tm.tm_year + 1900;
  t->mon = tm.tm_mon + 1;
  t->mday = tm.tm_mday;
  t->wday = tm.tm_wday;
  t->hour = tm.tm_hour;
  t->min = tm.tm_min;
  t->sec = tm.tm_sec;
  t->usec = static_cast<int>(us % 1000000);
  t->epoch_sec = s;
}

void log2_recent::add(const char* line, size_t n) {
  const size_t cap = kCap - 1;
  if (n >= cap) {
    memcpy(text_, line + (n - cap), cap);
    len_ = cap;
  } else {
    while (len_ + n > cap) {
      const char* nl = static_cast<const char*>(memchr(text_, '\n', len_));
      size_t drop = nl ? static_cast<size_t>(nl - text_) + 1 : len_;
      memmove(text_, text_ + drop, len_ - drop);
      len_ -= drop;
    }
    memcpy(text_ + len_, line, n);
    len_ += n;
  }
  text_[len_] = '\0';
}

size_t log2_recent::copy(char* buf, size_t len) const {
  if (buf == nullptr || len == 0) return 0;
  size_t n = len_ < len - 1 ? len_ : len - 1;
  memcpy(buf, text_, n);
  buf[n] = '\0';
  return n;
}

log2_t* log2_default() {
  static log2_t* obj = new (g_storage) log2_t();
  return obj;
}

log2_t* log2_open() {
  auto p = std::make_unique<log2_t>();
  return p.release();
}

void log2_close(log2_t* h) {
  if (h == nullptr || h == log2_default()) return;
  std::unique_ptr<log2_t> owned(h);
  if (log2_outputs* o = g_outputs.load()) o->close(owned.get());
}

void log2_debugf(log2_t* h, const char* fmt, ...) {
  if (!log2_obj(h)->debug.load()) return;
  errno_keeper keep;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fflush(stderr);
}

int log2_level_by_name(const char* name) {
  if (name == nullptr) return -1;
  for (size_t i = 0; i < sizeof kLevels / sizeof kLevels[0]; ++i)
    if (strcmp(name, kLevels[i].name) == 0) return static_cast<int>(i) + kCrit;
  return -1;
}

const char* log2_level_name(int level) {
  if (level < kCrit || level > kVerb) return "";
  return kLevels[level - kCrit].name;
}

const char* log2_level_upper(int level) {
  if (level < kCrit || level > kVerb) return "";
  return kLevels[level - kCrit].upper;
}

uint32_t log_flags_2_int(const char* tags) {
  errno_keeper keep;
  uint32_t f = LOG_F_COLOUR;
  const char* s = tags ? tags : "";
  while (*s) {
    const char* e = strchr(s, '|');
    size_t n = e ? static_cast<size_t>(e - s) : strlen(s);
    // Blanks around a tag are tolerated ("time | tid").
    const char* b = s;
    size_t m = n;
    while (m > 0 && (*b == ' ' || *b == '\t')) ++b, --m;
    while (m > 0 && (b[m - 1] == ' ' || b[m - 1] == '\t')) --m;
    auto is = [&](const char* t) { return strlen(t) == m && memcmp(b, t, m) == 0; };
    if (m == 0) {
      // an empty tag ("a||b") says nothing
    } else if (is("time")) {
      f |= LOG_F_TIME;
    } else if (is("time_ms")) {
      f = (f | LOG_F_TIME_MS) & ~LOG_F_TIME;
    } else if (is("tid")) {
      f |= LOG_F_TID;
    } else if (is("tid_name")) {
      f |= LOG_F_TID_NAME;
    } else if (is("file")) {
      f |= LOG_F_FILE;
    } else if (is("func")) {
      f |= LOG_F_FUNC;
    } else if (is("no_colour")) {
      f &= ~LOG_F_COLOUR;
    } else {
      fprintf(stderr, "Invalid tags: [%.*s]\n", static_cast<int>(m), b);
      fflush(stderr);
    }
    if (!e) break;
    s = e + 1;
  }
  log2_debugf(nullptr, "log_flags_2_int=%s 0x%x\n", tags ? tags : "", f);
  return f;
}

int log2_set_call_proc(log2_t* h, log2_call_proc proc) {
  log2_obj(h)->call_proc.store(proc);
  return 0;
}

void log2_status_show(log2_t* h, const char* text, bool in_place) {
  log2_t* L = log2_obj(h);
  errno_keeper keep;
  log2_locked g(L);
  if (!L->console_on.load()) return;
  if (in_place) {
    fprintf(stderr, "\r\033[K%s", text);
    L->status_shown = true;
  } else {
    fprintf(stderr, "%s\n", text);
  }
  fflush(stderr);
}

void log2_status_clear(log2_t* h) {
  log2_t* L = log2_obj(h);
  errno_keeper keep;
  log2_locked g(L);
  status_erase(L);
  fflush(stderr);
}

int log2_set_console(log2_t* h, int on) {
  log2_obj(h)->console_on.store(on ? 1 : 0);
  return 0;
}

int log2_set_debug(log2_t* h, int on) {
  log2_obj(h)->debug.store(on != 0);
  return 0;
}

int log2_get_level(log2_t* h) { return log2_obj(h)->level.load(); }

uint32_t log2_get_flags(log2_t* h) { return log2_obj(h)->flags.load(); }

size_t log2_last_log(log2_t* h, char* buf, size_t len) {
  log2_t* L = log2_obj(h);
  // A crash handler may run on the thread that holds the lock; then the copy
  // is made without it rather than never.
  std::unique_lock<std::mutex> g(L->lock, std::try_to_lock);
  return L->recent.copy(buf, len);
}

int log2_vprintf(log2_t* h, uint32_t word, const char* tag, const char* src, int line,
                 const char* func, const char* fmt, va_list ap) {
  errno_keeper keep;
  log2_t* L = log2_obj(h);
  if (log2_call_proc proc = L->call_proc.load()) {
    proc(word, tag, src, line, func, keep.saved, fmt, ap);
    return 0;
  }
  const int level = static_cast<int>(word & 0xff);
  if (level > L->level.load()) return 0;
  if (tag == nullptr || *tag == '\0') tag = "tag";
  if (src == nullptr) src = "";
  if (func == nullptr) func = "";
  if (fmt == nullptr) fmt = "";

  // The message with the system text, shared by all renderings.
  char mbuf[8192];
  line_buf msg(mbuf, sizeof mbuf);
  msg.vprintf(fmt, ap);
  if (word & LV_SYS) {
    char sbuf[1024];
    msg.puts(sys().errno_text(keep.saved, sbuf, sizeof sbuf));
    msg.puts("\n");
  }

  if (tl_in_output) {
    // Called from inside an output: straight to standard error, nothing more.
    msg.end_line();
    fwrite(mbuf, 1, msg.len, stderr);
    fflush(stderr);
    return 0;
  }

  log2_rec r{};
  r.word = word;
  r.level = level;
  r.tag = tag;
  r.src = src;
  r.line = line;
  r.func = func;
  r.msg = mbuf;
  r.msg_len = msg.len;
  const log2_sys& ps = sys();
  r.tid = ps.thread_id();
  r.tid_name = ps.thread_name();
  log2_local_time(&r.tm);

  const uint32_t flags = L->flags.load();
  char lbuf[8192];
  line_buf ln(lbuf, sizeof lbuf);
  if (flags & LOG_F_TIME_MS)
    ln.printf("%02d:%02d:%02d.%03d ", r.tm.hour, r.tm.min, r.tm.sec, r.tm.usec / 1000);
  else if (flags & LOG_F_TIME)
    ln.printf("%02d:%02d:%02d ", r.tm.hour, r.tm.min, r.tm.sec);
  r.time_len = ln.len;
  if (flags & LOG_F_TID) ln.printf("[%u] ", r.tid);
  if (flags & LOG_F_TID_NAME) ln.printf("[%s] ", r.tid_name);
  if (flags & LOG_F_FILE_PATH) {
    const char* unit = src;
    if (flags & LOG_F_FILE_BASE) {
      for (const char* p = src; *p; ++p)
        if (*p == '/' || *p == '\\') unit = p + 1;
    }
    ln.printf("[%s:%d] ", unit, line);
  }
  if (flags & LOG_F_FUNC) ln.printf("%s(): ", func);
  ln.put(mbuf, msg.len);
  ln.end_line();
  r.text = lbuf;
  r.len = ln.len;

  char m2buf[8192];
  line_buf m2(m2buf, sizeof m2buf);
  m2.printf("%s(): ", func);
  m2.put(mbuf, msg.len);
  m2.end_line();
  r.msg2 = m2buf;
  r.msg2_len = m2.len;

  outputs_write(L, r);

  if (level == kCrit && !(word & LV_NOEXIT)) {
    if (log2_outputs* o = g_outputs.load()) {
      log2_locked g(L);
      o->flush(L);
    }
    std::_Exit(1);
  }
  return 0;
}

log2_locked::log2_locked(log2_t* L) : L_(L) {
  L_->lock.lock();
  ++tl_in_output;
}

log2_locked::~log2_locked() {
  --tl_in_output;
  L_->lock.unlock();
}

int log2_printf(log2_t* h, uint32_t level, const char* tag, const char* src, int line,
                const char* func, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log2_vprintf(h, level, tag, src, line, func, fmt, ap);
  va_end(ap);
  return 0;
}

void log2_assert_fail(const char* tag, const char* src, int line, const char* func,
                      const char* expr) {
  errno_keeper keep;
  log2_printf(nullptr, LV_ERR, tag, src, line, func, "expr[%s]: assert failed\n", expr);
  if (static_cast<int>(LV_ERR) > log2_default()->level.load()) return;
  auto stack = std::make_unique<char[]>(16385);
  sys().stack_text(stack.get(), 16385);
  log2_printf(nullptr, LV_ERR, tag, src, line, func, "[%s]\n", stack.get());
}

int log2_ioctl(log2_t* h, int cmd, ...) {
  errno_keeper keep;
  log2_t* L = log2_obj(h);
  va_list ap;
  va_start(ap, cmd);
  int ret = 0;
  switch (cmd) {
    case LOG2_SET_LEVEL:
      L->level.store(va_arg(ap, int));
      break;
    case LOG2_SET_FLAGS:
      L->flags.store(static_cast<uint32_t>(va_arg(ap, int)));
      break;
    case LOG2_SET_LEVEL_NAME: {
      const char* name = va_arg(ap, const char*);
      int lv = log2_level_by_name(name);
      if (lv < 0) {
        // An unknown name silences the log rather than guessing a level.
        fprintf(stderr, "error: invalid level [%s]\n", name ? name : "");
        fflush(stderr);
        ret = -1;
      }
      L->level.store(lv);
      break;
    }
    case LOG2_SET_FLAGS_TAGS:
      L->flags.store(log_flags_2_int(va_arg(ap, const char*)));
      break;
    case LOG2_SET_PROC_HI:
      L->proc_hi.store(va_arg(ap, log2_line_proc));
      break;
    case LOG2_SET_PROC_LO:
      L->proc_lo.store(va_arg(ap, log2_line_proc));
      break;
    default: {
      log2_outputs* o = g_outputs.load();
      ret = o ? o->ioctl(L, cmd, ap) : log2_outputs::kUnknownCmd;
      if (ret == log2_outputs::kUnknownCmd) {
        fprintf(stderr, "Invalid command code\n");
        fflush(stderr);
        ret = -1;
      }
      break;
    }
  }
  va_end(ap);
  return ret;
}
