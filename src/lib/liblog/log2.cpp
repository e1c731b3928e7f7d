// The log call: level filter, the line with its prefix, and the hand-over to
// every output under the log object's lock.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "libpal.h"
#include "log2_imp.h"
#include "pal_exe.h"

namespace {

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

void console_write(log2_t* L, const log2_rec& r) {
  const char* colour = nullptr;
  if ((L->flags.load() & LOG_F_COLOUR) && os_exe_stderr_tty()) colour = console_colour(r.level);
  if (colour) fputs(colour, stderr);
  fwrite(r.text, 1, r.len, stderr);
  if (colour) fputs("\033[0m", stderr);
  fflush(stderr);
}

// Process object storage: built on first use and never destroyed, so that
// destructors of other static objects can still log at exit.
alignas(log2_t) unsigned char g_storage[sizeof(log2_t)];

}  // namespace

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
  log2_outputs_close(owned.get());
}

void log2_exit() {
  log2_outputs_close(log2_default());
  os_thread_name_exit();
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
    msg.puts(os_errno_str(keep.saved, sbuf, sizeof sbuf));
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
  r.tid = static_cast<uint32_t>(os_thread_id());
  r.tid_name = os_thread_display_name();
  os_exe_local_time(&r.tm);

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

  log2_outputs_write(L, r);

  if (level == kCrit && !(word & LV_NOEXIT)) {
    log2_outputs_flush(L);
    std::_Exit(1);
  }
  return 0;
}

log2_locked::log2_locked(log2_t* L) : g_(L->lock) { ++tl_in_output; }

log2_locked::~log2_locked() { --tl_in_output; }

void log2_outputs_write(log2_t* L, const log2_rec& r) {
  log2_locked g(L);
  log2_bsv_write(L, r);
  if (!(r.word & LV_BSV_ONLY)) {
    log2_line_proc hi = L->proc_hi.load();
    log2_line_proc lo = L->proc_lo.load();
    if (hi && lo) (r.level <= static_cast<int>(LV_WARN) ? lo : hi)(r.level, r.tag, r.text, static_cast<int>(r.len));
    if (L->console_on.load()) console_write(L, r);
    // Debugger output has no POSIX counterpart: accepted, nothing written.
    if (L->file_on.load()) log2_file_write(L, r);
    if (L->syslog_on.load()) log2_syslog_write(L, r);
    L->recent.add(r.text, r.len);
  }
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
  os_exe_stack_text(stack.get(), 16385);
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
    case LOG2_SET_FILE:
      ret = log2_file_set_name(L, va_arg(ap, const char*));
      break;
    case LOG2_SET_FILE_DIR:
      ret = log2_file_set_dir(L, va_arg(ap, const char*));
      break;
    case LOG2_SET_FILE_SIZE:
      ret = log2_file_set_limit(L, va_arg(ap, int));
      break;
    case LOG2_SET_BSV:
      ret = log2_bsv_set_target(L, va_arg(ap, const char*));
      break;
    case LOG2_SET_SYSLOG:
      ret = log2_syslog_set_target(L, va_arg(ap, const char*));
      break;
    case LOG2_SET_DBGVIEW_ON:
      L->dbg_on.store(va_arg(ap, int) ? 1 : 0);
      break;
    case LOG2_SET_FILE_ON:
      L->file_on.store(va_arg(ap, int) ? 1 : 0);
      break;
    case LOG2_SET_SYSLOG_ON:
      L->syslog_on.store(va_arg(ap, int) ? 1 : 0);
      break;
    default:
      fprintf(stderr, "Invalid command code\n");
      fflush(stderr);
      ret = -1;
      break;
  }
  va_end(ap);
  return ret;
}
