// tarn: copies, syncs or lists one directory tree per run.
//
//   tarn mode=cp|sync|ls|<mode name> if=SRC [of=DST] [bs=N] [olist=FILE]
//        [dbg=sync_reason] [level=LEVEL] [threads=N]
//   tarn ls_mode=PREFIX
//   tarn -v
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libcdir.h"
#include "liblog.h"
#include "liblog_out.h"
#include "libnet.h"
#include "libpal.h"
#include "libwycli.h"
#include "libwysd.h"

WY_LOG_TAG("tag");

namespace {

/// The application identity.
struct app_identity {
  const char* name;
  uint32_t version;
  const char* version_text;
  const char* build_date;
  const char* description;
  const char* ini_name;
};
const app_identity tarn_identity = {"tarn", 0x01000100, "1.0.1.0", "2023-11-8", "Quickly copy synced files",
                                    "tarn.ini"};

constexpr int kMaxArgs = 16;

cdir_param g_param;
std::atomic<int> g_signum{0};

void usage() {
  fprintf(stderr,
          "tarn v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files\n"
          "\n"
          "usage: tarn [mode=..] [if=dir] [of=dir] [bs=N]\n"
          "\tmode=[mode=cp|sync|ls|rm|...] Specifying the working mode\n"
          "\tls_mode=[cp|sync] Enumerate available modes\n"
          "\tdbg=[sync_reason]  print dbg info ..\n"
          "\tbs=BYTES    read and write BYTES bytes at a time\n"
          "\tthreads=N    write the files of a directory on N threads (1-16; default one per core, at most 4)\n"
          "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n");
}

void list_modes(const char* prefix) {
  char want[256];
  snprintf(want, sizeof want, "%s", strcmp(prefix, "cp") == 0 ? "copy" : prefix);
  std::string out = "supprots_mode:\n";
  for (const char* const* m = cdir_listed_modes; *m; m++)
    if (strncmp(*m, want, strlen(want)) == 0) out += std::string(*m) + "\n";
  fputs(out.c_str(), stdout);
}

// The signals that end a run in order, as Ctrl+C does: a service manager's
// stop and a closed terminal must not cut a file short without a report.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

/// Only flags the job to stop: the handler may run on any thread, at any
/// point, so it takes no lock. The main thread logs the signal afterwards.
void sighandler(int signum) {
  g_signum = signum;
  libcdir_stop();
}

enum parse_result { PARSE_OK, PARSE_EXIT0, PARSE_USAGE, PARSE_BAD_BS, PARSE_BAD_THREADS };

parse_result parse_args(int argc, char** argv, std::string* bad) {
  for (int i = 1; i < argc; i++) {
    const char* w = argv[i];
    if (strcmp(w, "--") == 0) continue;
    const char* eq = strchr(w, '=');
    if (eq == nullptr) return PARSE_USAGE;
    std::string key(w, eq - w);
    const char* val = eq + 1;
    if (key == "mode") {
      if (strcmp(val, "ls") == 0) {
        g_param.work_mode = CDIR_WORK_LS;
      } else if (cdir_mode_lookup(val, &g_param) < 0) {
        return PARSE_USAGE;
      }
    } else if (key == "if") {
      g_param.i_url = val;
    } else if (key == "of") {
      g_param.o_url = val;
    } else if (key == "bs") {
      uint64_t bs = str_size_parse(val);
      if (bs < static_cast<uint64_t>(CDIR_BS_MIN) || bs > static_cast<uint64_t>(CDIR_BS_MAX)) {
        *bad = val;
        return PARSE_BAD_BS;
      }
      g_param.bs = static_cast<int32_t>(bs);
    } else if (key == "threads") {
      char* end = nullptr;
      long n = strtol(val, &end, 10);
      if (end == val || *end != '\0' || n < 1 || n > CDIR_THREADS_MAX) {
        *bad = val;
        return PARSE_BAD_THREADS;
      }
      g_param.threads = static_cast<int32_t>(n);
    } else if (key == "olist") {
      g_param.list_file = val;
    } else if (key == "dbg") {
      if (strcmp(val, "sync_reason") == 0) g_param.sync_reason = 1;
    } else if (key == "level") {
      log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, val);
      if (strcmp(val, "dbg") == 0 || strcmp(val, "verb") == 0) log2_ioctl(nullptr, LOG2_SET_FLAGS_TAGS, "time|tid|func");
    } else if (key == "ls_mode") {
      list_modes(val);
      return PARSE_EXIT0;
    } else {
      return PARSE_USAGE;
    }
  }
  return PARSE_OK;
}

/// Runs the command line. `*ran_job` tells whether it came as far as a job:
/// the usage errors, the version and the mode list log nothing.
int run(int argc, char** argv, bool* ran_job) {
  if (argc > kMaxArgs) fprintf(stderr, "error: Too many args\n");

  char dir[4096];
  if (os_exe_dir(dir, sizeof dir) < 0) dir[0] = '\0';
  std::string ini = std::string(dir) + "/" + tarn_identity.ini_name;
  log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, "dbg");
  log2_ioctl(nullptr, LOG2_SET_FLAGS_TAGS, "time|tid|func");
  log2_init_imp(ini.c_str());
  for (int sig : kStopSignals) os_signal_set(sig, sighandler);
  wy_conf_set_path(dir);
  wysd_cli_init();

  g_param = cdir_param{};
  std::string bad;
  switch (parse_args(argc, argv, &bad)) {
    case PARSE_EXIT0:
      return 0;
    case PARSE_BAD_BS:
      fprintf(stderr, "error: invalid bs [%s]\n", bad.c_str());
      usage();
      return 1;
    case PARSE_BAD_THREADS:
      fprintf(stderr, "error: invalid threads [%s]\n", bad.c_str());
      usage();
      return 1;
    case PARSE_USAGE:
      usage();
      return 1;
    case PARSE_OK:
      break;
  }
  bool needs_dst = g_param.work_mode == CDIR_WORK_CP || g_param.work_mode == CDIR_WORK_SYNC;
  if (g_param.i_url == nullptr || (needs_dst && g_param.o_url == nullptr)) {
    usage();
    return 1;
  }

  int status;
  *ran_job = true;
  cdir_job* job = libcdir_open(&g_param);
  if (job) {
    status = libcdir_wait_stop();
    if (g_signum) LOGD("signum=%d\n", g_signum.load());
    libcdir_close(job);
  } else {
    const cdir_err& e = g_param.err;
    LOGE("error: %s", e.msg.empty() ? verr2str(e.verr) : e.msg.c_str());
    status = -libcdir_verr_2_eno(e.verr);
    // A job that could not be opened never reads as success.
    if (status == 0) status = 1;
  }
  sock_env_exit();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "-v") == 0) {
    printf("%s\n", tarn_identity.version_text);
    return 0;
  }
  pl_init();
  os_thread_name_set("main");
  bool ran_job = false;
  int status = run(argc, argv, &ran_job);
  if (ran_job) LOGD("<== ret=%d\n", status);
  log2_exit();
  return status;
}
