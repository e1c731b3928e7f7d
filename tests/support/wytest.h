// The support library of our tests: temporary trees, deterministic file
// contents, a scan and digest of a tree, running a built program and
// reading its report. It uses the standard library and POSIX directly so
// that the checks share no code with what they check.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace wytest {

namespace fs = std::filesystem;

/// True in a build whose programs run under AddressSanitizer or
/// ThreadSanitizer (the tests are built as the programs are): their
/// allocator replaces the C library's, so memory figures and allocator
/// advice say nothing about ours there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

/// Gives the owner write and search permission on every directory below
/// and including `dir` (links are not followed), so that a tree a test made
/// read-only can be removed by an ordinary user too.
inline void make_removable(const std::string& dir) {
  struct stat st{};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  chmod(dir.c_str(), (st.st_mode & 07777) | S_IRWXU);
  // Error codes, not exceptions: this runs in a destructor.
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) make_removable(it->path().string());
}

/// A fresh directory under `under` (/tmp unless told), named after the
/// test program, removed with everything in it at scope end, read-only
/// leftovers included.
class TempDir {
 public:
  explicit TempDir(const std::string& under = "/tmp") {
    std::string tmpl = under + "/" + program_invocation_short_name + "_XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
      throw std::runtime_error("mkdtemp " + tmpl + ": " + std::strerror(errno));
    path_ = tmpl;
  }
  ~TempDir() {
    make_removable(path_);
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

/// Deterministic contents: `size` bytes derived from `seed`.
inline std::string pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

/// Puts `data` into the file `path` (replacing it), with its missing parent
/// directories. Returns `path`.
inline std::string write_file(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  return path;
}

/// The contents of the file `path`; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

/// Sets the access and write times of `path` (not following links).
inline void set_mtime(const std::string& path, time_t sec) {
  struct timespec ts[2] = {{sec, 0}, {sec, 0}};
  utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

inline struct stat lstat_of(const std::string& path) {
  struct stat st{};
  lstat(path.c_str(), &st);
  return st;
}

/// One entry of a tree, as seen by lstat.
struct Entry {
  char type;  // 'f' file, 'd' directory, 'l' link
  uint64_t size = 0;
  time_t mtime = 0;
  unsigned mode = 0;
  std::string data;  // file contents or link target
};

/// Every entry below `root`, keyed by relative path.
inline std::map<std::string, Entry> scan(const std::string& root, bool with_data = true) {
  std::map<std::string, Entry> out;
  if (!fs::exists(root)) return out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string p = it->path().string();
    struct stat st = lstat_of(p);
    Entry e;
    e.mtime = st.st_mtime;
    e.mode = st.st_mode & 07777;
    if (S_ISLNK(st.st_mode)) {
      e.type = 'l';
      e.data = fs::read_symlink(p).string();
    } else if (S_ISDIR(st.st_mode)) {
      e.type = 'd';
    } else {
      e.type = 'f';
      e.size = st.st_size;
      if (with_data) e.data = read_file(p);
    }
    out[p.substr(root.size() + 1)] = e;
  }
  return out;
}

/// A digest of the whole tree (names, types, contents, sizes, modes, times),
/// to show that a run left its source untouched.
inline std::string tree_digest(const std::string& root) {
  std::string d;
  for (auto& [rel, e] : scan(root)) {
    d += rel + '\t' + e.type + '\t' + std::to_string(e.size) + '\t' + std::to_string(e.mtime) + '\t' +
         std::to_string(e.mode) + '\t' + std::to_string(std::hash<std::string>{}(e.data)) + '\n';
  }
  return d;
}

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  int64_t ms = 0;     // how long it ran (run_bounded only)
  bool hung = false;  // killed at its time limit (run_bounded only)
};

inline std::string slurp_fd(int fd) {
  std::string s;
  char buf[65536];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

/// Runs `bin` with `args`; standard output and error go to temporary files.
/// `wait(pid, &ws)` waits for the child and returns what waitpid returned.
template <typename W>
RunResult run_waiting(const std::string& bin, const std::vector<std::string>& args, W wait,
                      const std::vector<std::string>& env) {
  RunResult r;
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    // Sockets of other tests' threads must not outlive their owners here.
    close_range(3, ~0U, 0);
    for (auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  int ws = 0;
  if (pid < 0 || wait(pid, &ws) != pid) {
    fclose(out);
    fclose(err);
    return r;
  }
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.out = slurp_fd(fileno(out));
  r.err = slurp_fd(fileno(err));
  fclose(out);
  fclose(err);
  return r;
}

/// Runs `bin` with `args`. `on_start`, when given, is called with the
/// child's pid right after it started (to send it a signal, say).
template <typename F>
RunResult run_with(const std::string& bin, const std::vector<std::string>& args, F on_start,
                   const std::vector<std::string>& env = {}) {
  return run_waiting(
      bin, args,
      [&](pid_t pid, int* ws) {
        on_start(pid);
        return waitpid(pid, ws, 0);
      },
      env);
}

inline RunResult run(const std::string& bin, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}) {
  return run_with(bin, args, [](pid_t) {}, env);
}

/// Runs `bin` like run(), but calls `tick(pid, elapsed_ms)` about every
/// 10 ms while it runs (to send it a signal at the right moment, say) and
/// kills it with SIGKILL after `limit_ms`, so a hung program fails its test
/// instead of hanging it.
template <typename F>
RunResult run_bounded(const std::string& bin, const std::vector<std::string>& args, int64_t limit_ms, F tick,
                      const std::vector<std::string>& env = {}) {
  using clock = std::chrono::steady_clock;
  auto t0 = clock::now();
  auto ms = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - t0).count(); };
  bool hung = false;
  RunResult r = run_waiting(
      bin, args,
      [&](pid_t pid, int* ws) {
        for (;;) {
          pid_t w = waitpid(pid, ws, WNOHANG);
          if (w != 0) return w;
          if (ms() >= limit_ms) {
            hung = true;
            kill(pid, SIGKILL);
            return waitpid(pid, ws, 0);
          }
          tick(pid, static_cast<int64_t>(ms()));
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      },
      env);
  r.ms = static_cast<int64_t>(ms());
  r.hung = hung;
  return r;
}

#ifdef WY_TARN_BIN
inline RunResult tarn(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  return run(WY_TARN_BIN, args, env);
}
#endif

/// The text of the manual page `path` as a reader sees it: font changes
/// and the escapes of "-" and "\" undone, one blank between words, so that
/// a word can be looked up whatever markup surrounds it.
inline std::string man_page_text(const std::string& path) {
  std::string src = read_file(path), out;
  for (size_t i = 0; i < src.size(); i++) {
    if (src[i] == '\\' && i + 1 < src.size()) {
      char c = src[i + 1];
      if (c == 'f' && i + 2 < src.size()) {  // \fB, \fI, \fR, \fP
        i += 2;
        continue;
      }
      if (c == '-' || c == '\\' || c == 'e') {
        out += c == '-' ? '-' : '\\';
        i++;
        continue;
      }
    }
    // Macro names (".B", ".TP") and line ends become blanks.
    if ((i == 0 || src[i - 1] == '\n') && src[i] == '.') {
      while (i < src.size() && src[i] != ' ' && src[i] != '\n') i++;
      out += ' ';
      if (i < src.size() && src[i] == '\n') out += ' ';
      continue;
    }
    out += src[i] == '\n' ? ' ' : src[i];
  }
  return out;
}

/// The value of a report line "key=value" in a run's log, or -1 when absent.
inline long long report_value(const std::string& log, const std::string& key) {
  std::string pat = key + "=";
  size_t pos = 0;
  while ((pos = log.find(pat, pos)) != std::string::npos) {
    if (pos == 0 || log[pos - 1] == ' ' || log[pos - 1] == '\n' || log[pos - 1] == ':')
      return std::stoll(log.substr(pos + pat.size()));
    pos += pat.size();
  }
  return -1;
}

}  // namespace wytest
