// wysd_list_bench: times one write list of many small files through a local
// multi-file object and through the same object behind wysd, exchanged the
// way the copy engine exchanges lists (chunks of whole lines of at most
// bs - 1 bytes; after each chunk, results collected until every line of it
// is answered).
//
//   wysd_list_bench --wysd build/release/src/opt/wysd/wysd [--files N]
//                   [--rounds R] [--bs BYTES] [--work DIR] [--keep] ...
//
// What is measured goes through the project's libraries (librdir, libwysd,
// libnet). The harness around it — starting and stopping the server, the
// file system checks, sync — talks to the system directly, as the test
// support does, so the checks share no code with what they check.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "libnet.h"
#include "libpal.h"
#include "librdir.h"
#include "liblog.h"
#include "libwysd.h"

namespace {

namespace fs = std::filesystem;

// Connection controls of the multi-file object on the server.
constexpr int kMfileOpen = 10130;
constexpr int kMfileClose = 10131;
constexpr int kMfileListRet = 10132;
constexpr int kMfileWriteList = 10135;

struct options {
  std::string wysd;
  std::string work = "/tmp/wysd_list_bench";
  size_t files = 10000;
  int rounds = 5;
  int64_t bs = 2097152;          // the copy engine's default block size
  uint32_t max_mfile = 524288;   // and its multi-file data buffer
  int32_t wait_ms = 5000;        // and its result wait
  uint64_t seed = 20240611;
  bool drop_caches = false;
  bool keep = false;
  std::vector<std::string> wysd_args;
};

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------------------
// The files and their write list

struct bench_file {
  std::string name;
  std::string data;
};

uint64_t splitmix(uint64_t* s) {
  uint64_t z = (*s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
double unit(uint64_t* s) { return static_cast<double>(splitmix(s) >> 11) * 0x1.0p-53; }

/// N files of 100 B to 16 KiB, log-uniform; even ones text-like (words of a
/// small vocabulary), odd ones random bytes. The same for the same seed.
std::vector<bench_file> make_files(size_t n, uint64_t seed) {
  static const char* const words[] = {
      "copy",   "tree",   "file",    "server", "block", "list",   "write", "read",  "the",   "a",
      "of",     "and",    "to",      "in",     "data",  "result", "time",  "size",  "mode",  "name",
      "record", "stream", "network", "local",  "round", "chunk",  "line",  "bench", "small", "large"};
  constexpr size_t kWords = sizeof words / sizeof words[0];
  std::vector<bench_file> out(n);
  uint64_t s = seed;
  const double lo = std::log(100.0), hi = std::log(16384.0);
  for (size_t i = 0; i < n; i++) {
    size_t size = static_cast<size_t>(std::exp(lo + unit(&s) * (hi - lo)));
    bench_file& f = out[i];
    char name[32];
    snprintf(name, sizeof name, "f%06zu.%s", i, i % 2 == 0 ? "txt" : "bin");
    f.name = name;
    f.data.reserve(size + 16);
    if (i % 2 == 0) {
      while (f.data.size() < size) {
        f.data += words[splitmix(&s) % kWords];
        f.data += splitmix(&s) % 12 == 0 ? '\n' : ' ';
      }
      f.data.resize(size);
    } else {
      f.data.resize(size);
      for (size_t k = 0; k < size; k += 8) {
        uint64_t v = splitmix(&s);
        memcpy(&f.data[k], &v, std::min<size_t>(8, size - k));
      }
    }
  }
  return out;
}

/// The write list of `files`, one line each, "\n"-separated.
std::string make_list(const std::vector<bench_file>& files) {
  std::string list, b64;
  for (size_t i = 0; i < files.size(); i++) {
    mstat_item it;
    it.name = files[i].name.c_str();
    it.flags = RDIR_TYPE_FILE;
    it.mode = 0100644;
    it.uid = static_cast<uint32_t>(getuid());
    it.gid = static_cast<uint32_t>(getgid());
    it.size = static_cast<int64_t>(files[i].data.size());
    it.atime = it.wtime = it.ctime = 1700000000 + static_cast<int64_t>(i);
    b64 = base64_encode(files[i].data.data(), files[i].data.size());
    rdir_fmt_write_line(list, it, b64);
    list += '\n';
  }
  return list;
}

struct chunk {
  std::string_view text;  // whole lines, without the final line feed
  size_t first = 0;       // index of its first file
  size_t lines = 0;
};

/// Cuts `list` as the engine does: the longest run of whole lines that fits
/// in `max` bytes. Empty when a single line is longer than that.
std::vector<chunk> make_chunks(std::string_view list, size_t max) {
  std::vector<chunk> out;
  size_t pos = 0, first = 0;
  while (pos < list.size()) {
    std::string_view rest = list.substr(pos);
    size_t end = 0;
    while (end < rest.size()) {
      size_t nl = rest.find('\n', end);
      size_t line_end = nl == std::string_view::npos ? rest.size() : nl;
      if (line_end > max) break;
      end = line_end + 1;
    }
    if (end == 0) return {};
    chunk c;
    c.text = rest.substr(0, std::min(end - 1, rest.size()));
    c.first = first;
    c.lines = static_cast<size_t>(std::count(c.text.begin(), c.text.end(), '\n')) + 1;
    first += c.lines;
    out.push_back(c);
    pos += c.text.size() + 1;
  }
  return out;
}

/// Matches "kind\tvalue\n" results to the files in order; every one must be
/// kind 0 with the file's size. Lines split across blocks are carried over.
class results {
 public:
  explicit results(const std::vector<bench_file>& files) : files_(files) {}
  /// Returns the lines answered by this block, or -1 on a wrong or
  /// malformed result (the first one is kept in error()).
  int64_t take(const char* data, size_t len) {
    carry_.append(data, len);
    int64_t n = 0;
    size_t p = 0;
    for (;;) {
      size_t nl = carry_.find('\n', p);
      if (nl == std::string::npos) break;
      std::string_view line(carry_.data() + p, nl - p);
      p = nl + 1;
      if (line.empty()) continue;
      int32_t kind = 0, value = 0;
      if (libmfile_write_get_info(line, &kind, &value) < 0 || next_ >= files_.size()) {
        fail("malformed result [" + std::string(line.substr(0, 64)) + "]");
        return -1;
      }
      const bench_file& f = files_[next_++];
      if (kind != 0 || value != static_cast<int32_t>(f.data.size())) {
        fail(f.name + ": result " + std::to_string(kind) + "\t" + std::to_string(value) + ", want 0\t" +
             std::to_string(f.data.size()));
        return -1;
      }
      n++;
    }
    carry_.erase(0, p);
    return n;
  }
  size_t answered() const { return next_; }
  const std::string& error() const { return err_; }

 private:
  void fail(const std::string& e) {
    if (err_.empty()) err_ = e;
  }
  const std::vector<bench_file>& files_;
  std::string carry_;
  size_t next_ = 0;
  std::string err_;
};

/// What one timed run did besides taking its time.
struct run_stats {
  double secs = 0;
  uint64_t ret_calls = 0;     // result collections (local calls or LIST_RET requests)
  uint64_t empty_rets = 0;    // of them, answered with nothing
  double list_send_s = 0;     // remote: WRITE_LIST request to its response
  double ret_wait_s = 0;      // remote: LIST_RET requests to their responses
  std::string error;
};

// ---------------------------------------------------------------------------
// Local

run_stats run_local(libmfile* h, const std::string& dir, const std::vector<bench_file>& files,
                    const std::vector<chunk>& chunks, int64_t bs) {
  run_stats st;
  results res(files);
  std::vector<char> buf(static_cast<size_t>(bs));
  double t0 = now_s();
  for (const chunk& c : chunks) {
    // The chunk goes out from the buffer the results then come into, as in
    // the engine: the object copies it before it answers.
    memcpy(buf.data(), c.text.data(), c.text.size());
    buf[c.text.size()] = '\0';
    if (libmfile_write_list(h, dir.c_str(), buf.data()) < 0) {
      st.error = "libmfile_write_list failed";
      return st;
    }
    while (res.answered() < c.first + c.lines) {
      int n = libmfile_get_list_ret(h, buf.data(), buf.size());
      st.ret_calls++;
      if (n <= 0) {
        st.error = n == 0 ? "no results within the wait" : "libmfile_get_list_ret failed";
        return st;
      }
      if (res.take(buf.data(), static_cast<size_t>(n)) < 0) {
        st.error = res.error();
        return st;
      }
    }
  }
  st.secs = now_s() - t0;
  if (res.answered() != files.size()) st.error = "not every line answered";
  return st;
}

// ---------------------------------------------------------------------------
// Remote: one connection to wysd

class remote {
 public:
  ~remote() {
    if (c_.nc.handle != 0) net_close(&c_.nc);
  }
  bool connect(uint16_t port) {
    sock_connect_param p;
    cdir_err err;
    os_socket_t s = sock_tcp_connect("127.0.0.1", port, &p, &err);
    if (s == OS_SOCKET_NONE) return fail("connect 127.0.0.1:" + std::to_string(port) + " failed");
    c_.nc.handle = static_cast<intptr_t>(s);
    c_.nc.timeout = 30000;
    return true;
  }
  bool login() {
    blob_buf_init(&c_.req);
    blobmsg_add_string(&c_.req, "user", ":");
    blobmsg_add_string(&c_.req, "passwd", "");
    const blob_attr* tb[4] = {};
    return call(WYSD_CMD_LOGIN, tb);
  }
  /// One connection control with `a` and `b` as its text (joined by a tab
  /// when b is given) and olen; on success *out is the answer's data.
  bool ioctl2(int cmd, std::string_view a, const std::string_view* b, int32_t olen, std::string_view* out) {
    blob_buf_init(&c_.req);
    blobmsg_add_u64(&c_.req, "fd", 0);
    blobmsg_add_u32(&c_.req, "cmd", static_cast<uint32_t>(cmd));
    size_t n = a.size() + (b ? b->size() + 1 : 0) + 1;
    void* p = nullptr;
    if (blobmsg_reserve(&c_.req, BLOBMSG_TYPE_RAW, "data", static_cast<int32_t>(n), &p) == nullptr)
      return fail("request of " + std::to_string(n) + " bytes cannot be built");
    char* d = static_cast<char*>(p);
    memcpy(d, a.data(), a.size());
    d += a.size();
    if (b) {
      *d++ = '\t';
      memcpy(d, b->data(), b->size());
      d += b->size();
    }
    *d = '\0';
    blobmsg_add_u32(&c_.req, "olen", static_cast<uint32_t>(olen));
    const blob_attr* tb[4] = {};
    if (!call(WYSD_CMD_IOCTL2, tb)) return false;
    if (out) *out = {static_cast<const char*>(blobmsg_data(tb[2])), static_cast<size_t>(blobmsg_data_len(tb[2]))};
    return true;
  }
  void bye() {
    blob_buf_init(&c_.req);
    client_send_reqest(&c_, WYSD_CMD_BYE, blob_buf_data(&c_.req), blob_buf_len(&c_.req));
  }
  const std::string& error() const { return err_; }

 private:
  bool fail(const std::string& e) {
    err_ = e;
    return false;
  }
  bool call(int code, const blob_attr** tb) {
    const wysd_msg_policy* pol = wysd_msg_policy_get(code);
    client_send_reqest(&c_, code, blob_buf_data(&c_.req), blob_buf_len(&c_.req));
    int32_t len = 0;
    int st = client_recv_response_imp(&c_, &len);
    if (st != WYSD_ST_OK) return fail(std::string("receive: ") + client_status_str(st));
    st = client_parse_response(&c_, len, pol->rsp, pol->rsp_n, tb);
    if (st == WYSD_ST_SRV_ERROR)
      return fail("server error " + std::to_string(c_.srv_errno) + ": " + c_.srv_errstr);
    if (st != WYSD_ST_OK) return fail(std::string("response: ") + client_status_str(st));
    return true;
  }
  wysd_cli_ctx c_;
  std::string err_;
};

run_stats run_remote(remote* r, const std::string& base, const std::vector<bench_file>& files,
                     const std::vector<chunk>& chunks, int64_t bs) {
  run_stats st;
  results res(files);
  double t0 = now_s();
  for (const chunk& c : chunks) {
    double a = now_s();
    if (!r->ioctl2(kMfileWriteList, base, &c.text, 0, nullptr)) {
      st.error = "write list: " + r->error();
      return st;
    }
    st.list_send_s += now_s() - a;
    while (res.answered() < c.first + c.lines) {
      std::string_view out;
      a = now_s();
      bool ok = r->ioctl2(kMfileListRet, "", nullptr, static_cast<int32_t>(bs - 1), &out);
      st.ret_wait_s += now_s() - a;
      st.ret_calls++;
      if (!ok) {
        st.error = "list results: " + r->error();
        return st;
      }
      if (out.empty()) {
        // The server answers empty only after its result wait has passed.
        st.empty_rets++;
        st.error = "no results within the wait";
        return st;
      }
      if (res.take(out.data(), out.size()) < 0) {
        st.error = res.error();
        return st;
      }
    }
  }
  st.secs = now_s() - t0;
  if (res.answered() != files.size()) st.error = "not every line answered";
  return st;
}

// ---------------------------------------------------------------------------
// The server process

struct server_proc {
  pid_t pid = -1;
  int out_fd = -1;  // its standard output, kept open so it never writes into a closed pipe
  uint16_t port = 0;
};

/// Starts wysd on 127.0.0.1, any free port, serving `root`; standard error
/// goes to `log`. Waits up to 10 s for its listening line.
bool start_server(const options& o, const std::string& root, const std::string& log, server_proc* sp,
                  std::string* err) {
  int pfd[2];
  if (pipe(pfd) < 0) {
    *err = std::string("pipe: ") + strerror(errno);
    return false;
  }
  std::vector<std::string> args = {o.wysd, "root=" + root, "port=0", "listen=127.0.0.1"};
  args.insert(args.end(), o.wysd_args.begin(), o.wysd_args.end());
  pid_t pid = fork();
  if (pid < 0) {
    *err = std::string("fork: ") + strerror(errno);
    return false;
  }
  if (pid == 0) {
    dup2(pfd[1], 1);
    int lf = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (lf >= 0) dup2(lf, 2);
    close(pfd[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pfd[1]);
  sp->pid = pid;
  sp->out_fd = pfd[0];
  std::string text;
  const std::string key = "wysd listening tcp 127.0.0.1:";
  double deadline = now_s() + 10;
  while (now_s() < deadline) {
    pollfd p = {pfd[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char b[256];
    ssize_t n = read(pfd[0], b, sizeof b);
    if (n <= 0) break;
    text.append(b, static_cast<size_t>(n));
    size_t k = text.find(key);
    if (k != std::string::npos && text.find('\n', k) != std::string::npos) {
      sp->port = static_cast<uint16_t>(atoi(text.c_str() + k + key.size()));
      return sp->port != 0;
    }
  }
  *err = "no listening line from " + o.wysd + " (see " + log + ")";
  return false;
}

/// SIGTERM, then up to 15 s for it to end (SIGKILL after that). Returns its
/// exit status, or -1 when it had to be killed.
int stop_server(server_proc* sp) {
  if (sp->pid <= 0) return 0;
  kill(sp->pid, SIGTERM);
  int status = 0;
  double deadline = now_s() + 15;
  pid_t w = 0;
  while ((w = waitpid(sp->pid, &status, WNOHANG)) == 0 && now_s() < deadline) usleep(50000);
  int rc = 0;
  if (w == 0) {
    kill(sp->pid, SIGKILL);
    waitpid(sp->pid, &status, 0);
    rc = -1;
  } else {
    rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  close(sp->out_fd);
  sp->pid = -1;
  return rc;
}

// ---------------------------------------------------------------------------
// Checks and flushing (untimed)

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

/// Both copies hold exactly the files, with their sizes and contents.
std::string check_copies(const std::string& a, const std::string& b, const std::vector<bench_file>& files) {
  for (const std::string& d : {a, b}) {
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it(d, ec), end; !ec && it != end; it.increment(ec)) n++;
    if (ec) return d + ": " + ec.message();
    if (n != files.size()) return d + ": " + std::to_string(n) + " entries, want " + std::to_string(files.size());
  }
  for (const bench_file& f : files) {
    struct stat sa{}, sb{};
    std::string pa = a + "/" + f.name, pb = b + "/" + f.name;
    if (lstat(pa.c_str(), &sa) != 0 || lstat(pb.c_str(), &sb) != 0) return f.name + ": missing";
    if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode)) return f.name + ": not a regular file";
    if (static_cast<size_t>(sa.st_size) != f.data.size() || sb.st_size != sa.st_size)
      return f.name + ": sizes " + std::to_string(sa.st_size) + " and " + std::to_string(sb.st_size) + ", want " +
             std::to_string(f.data.size());
    if (slurp(pa) != f.data) return pa + ": contents differ from the source";
    if (slurp(pb) != f.data) return pb + ": contents differ from the source";
  }
  return {};
}

/// Writes back dirty pages (and drops the page cache when asked), so that a
/// run does not pay for the one before it.
void flush(const options& o) {
  sync();
  if (o.drop_caches) {
    int fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd < 0 || write(fd, "3\n", 2) != 2) fprintf(stderr, "warning: cannot drop the page cache\n");
    if (fd >= 0) close(fd);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---------------------------------------------------------------------------

const char kUsage[] =
    "usage: wysd_list_bench --wysd PATH [--files N] [--rounds R] [--bs BYTES]\n"
    "                       [--max-mfile BYTES] [--seed S] [--work DIR] [--keep]\n"
    "                       [--drop-caches] [--wysd-arg WORD]...\n"
    "\t--wysd PATH        the wysd program to time\n"
    "\t--files N          files in the list (default 10000)\n"
    "\t--rounds R         rounds, local and remote once each (default 5)\n"
    "\t--bs BYTES         block size: chunks of at most BYTES-1 (default 2097152, the engine's)\n"
    "\t--max-mfile BYTES  multi-file data buffer (default 524288, the engine's)\n"
    "\t--seed S           seed of sizes and contents (default 20240611)\n"
    "\t--work DIR         work directory, emptied first (default /tmp/wysd_list_bench)\n"
    "\t--keep             keep the copies at the end\n"
    "\t--drop-caches      drop the page cache before each run (default: hot cache, sync only)\n"
    "\t--wysd-arg WORD    one more word for wysd's command line (repeatable)\n";

bool parse_args(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto val = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "%s needs %s\n", a.c_str(), what);
        return nullptr;
      }
      return argv[++i];
    };
    const char* v = nullptr;
    if (a == "--keep") {
      o->keep = true;
    } else if (a == "--drop-caches") {
      o->drop_caches = true;
    } else if (a == "--wysd" && (v = val("a path"))) {
      o->wysd = v;
    } else if (a == "--work" && (v = val("a directory"))) {
      o->work = v;
    } else if (a == "--files" && (v = val("a count"))) {
      o->files = strtoull(v, nullptr, 10);
    } else if (a == "--rounds" && (v = val("a count"))) {
      o->rounds = atoi(v);
    } else if (a == "--bs" && (v = val("bytes"))) {
      o->bs = strtoll(v, nullptr, 10);
    } else if (a == "--max-mfile" && (v = val("bytes"))) {
      o->max_mfile = static_cast<uint32_t>(strtoul(v, nullptr, 10));
    } else if (a == "--seed" && (v = val("a number"))) {
      o->seed = strtoull(v, nullptr, 10);
    } else if (a == "--wysd-arg" && (v = val("a word"))) {
      o->wysd_args.push_back(v);
    } else {
      // A known option whose value is missing was reported by val().
      if (i < argc && a != "--help" && v == nullptr && argv[i] == a) fprintf(stderr, "unknown option %s\n", a.c_str());
      return false;
    }
  }
  if (o->wysd.empty() || o->files == 0 || o->rounds < 1 || o->bs < 4096 || o->max_mfile < 16384 + 4) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse_args(argc, argv, &o)) {
    fputs(kUsage, stderr);
    return 1;
  }
  pl_init();
  log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, "warn");
  o.wysd = fs::absolute(o.wysd).string();
  o.work = fs::absolute(o.work).string();

  std::vector<bench_file> files = make_files(o.files, o.seed);
  std::string list = make_list(files);
  std::vector<chunk> chunks = make_chunks(list, static_cast<size_t>(o.bs - 1));
  if (chunks.empty()) {
    fprintf(stderr, "a list line is longer than bs-1=%lld\n", static_cast<long long>(o.bs - 1));
    return 1;
  }
  uint64_t bytes = 0;
  for (const bench_file& f : files) bytes += f.data.size();
  printf("files=%zu data=%.1f MB list=%.1f MB chunks=%zu (bs=%lld) rounds=%d cache=%s\n", files.size(),
         static_cast<double>(bytes) / 1e6, static_cast<double>(list.size()) / 1e6, chunks.size(),
         static_cast<long long>(o.bs), o.rounds, o.drop_caches ? "dropped" : "hot");

  // Leftovers of an earlier run go before anything is timed; every copy of
  // this run stays until the end (deleting a tree, then creating one at once,
  // is very slow on these file systems).
  std::error_code ec;
  fs::remove_all(o.work, ec);
  sync();
  const std::string local_dir = o.work + "/local", root = o.work + "/root";
  fs::create_directories(local_dir, ec);
  fs::create_directories(root, ec);
  if (ec) {
    fprintf(stderr, "%s: %s\n", o.work.c_str(), ec.message().c_str());
    return 1;
  }

  server_proc sp;
  std::string err;
  std::string log = o.work + "/wysd.log";
  if (!start_server(o, root, log, &sp, &err)) {
    fprintf(stderr, "%s\n", err.c_str());
    stop_server(&sp);
    return 1;
  }
  printf("wysd pid=%d port=%u log=%s\n", static_cast<int>(sp.pid), sp.port, log.c_str());
  fflush(stdout);

  int status = 0;
  {
    remote r;
    std::string open_text = std::to_string(o.max_mfile) + "\t" + std::to_string(o.wait_ms);
    if (!r.connect(sp.port) || !r.login() || !r.ioctl2(kMfileOpen, open_text, nullptr, 0, nullptr)) {
      fprintf(stderr, "wysd session: %s\n", r.error().c_str());
      stop_server(&sp);
      return 1;
    }
    libmfile_param mp;
    mp.max_mfile_size = o.max_mfile;
    mp.read_timeout_ms = o.wait_ms;
    libmfile* h = libmfile_open(mp);
    if (h == nullptr) {
      fprintf(stderr, "libmfile_open failed\n");
      stop_server(&sp);
      return 1;
    }

    std::vector<double> tl, tr, ratio;
    printf("\n%-6s %-14s %10s %10s %8s %10s %10s %10s %10s\n", "round", "order", "local s", "remote s", "ratio",
           "local rets", "remote rets", "list rtt s", "ret rtt s");
    for (int k = 0; k < o.rounds && status == 0; k++) {
      std::string a = local_dir + "/A" + std::to_string(k);
      std::string b_rel = "B" + std::to_string(k);
      bool local_first = k % 2 == 0;
      run_stats ls, rs;
      for (int step = 0; step < 2; step++) {
        flush(o);
        if ((step == 0) == local_first)
          ls = run_local(h, a, files, chunks, o.bs);
        else
          rs = run_remote(&r, b_rel, files, chunks, o.bs);
      }
      if (!ls.error.empty() || !rs.error.empty()) {
        fprintf(stderr, "round %d: local: %s remote: %s\n", k, ls.error.empty() ? "ok" : ls.error.c_str(),
                rs.error.empty() ? "ok" : rs.error.c_str());
        status = 2;
        break;
      }
      std::string bad = check_copies(a, root + "/" + b_rel, files);
      if (!bad.empty()) {
        fprintf(stderr, "round %d: copies differ: %s\n", k, bad.c_str());
        status = 2;
        break;
      }
      tl.push_back(ls.secs);
      tr.push_back(rs.secs);
      ratio.push_back(rs.secs / ls.secs);
      printf("%-6d %-14s %10.3f %10.3f %8.2f %10llu %10llu %10.3f %10.3f\n", k,
             local_first ? "local,remote" : "remote,local", ls.secs, rs.secs, rs.secs / ls.secs,
             static_cast<unsigned long long>(ls.ret_calls), static_cast<unsigned long long>(rs.ret_calls),
             rs.list_send_s, rs.ret_wait_s);
      fflush(stdout);
    }
    if (status == 0) {
      double ml = median(tl), mr = median(tr);
      printf("\nmedian local %.3f s (%.0f files/s), median remote %.3f s (%.0f files/s)\n", ml,
             static_cast<double>(files.size()) / ml, mr, static_cast<double>(files.size()) / mr);
      printf("median of per-round ratios remote/local: %.2f\n", median(ratio));
    }
    libmfile_close(h);
    r.ioctl2(kMfileClose, "", nullptr, 0, nullptr);
    r.bye();
  }
  int rc = stop_server(&sp);
  if (rc != 0) fprintf(stderr, "wysd ended with status %d\n", rc);
  if (!o.keep) {
    fs::remove_all(o.work, ec);
  } else {
    printf("copies kept in %s\n", o.work.c_str());
  }
  return status;
}
