// tarn: copies, syncs or lists one directory tree per run.
//
//   tarn mode=cp|sync|ls|<mode name> if=SRC [of=DST] [bs=N] [olist=FILE]
//        [dbg=sync_reason] [level=LEVEL] [dry=0|1] [max_del=N] [progress=0|1] [threads=N]
//   tarn ls_mode=PREFIX
//   tarn -v
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "args.h"
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

void usage() { fputs(tarn_usage().c_str(), stderr); }

// The signals that end a run in order, as Ctrl+C does: a service manager's
// stop and a closed terminal must not cut a file short without a report.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

/// Only flags the job to stop: the handler may run on any thread, at any
/// point, so it takes no lock. The main thread logs the signal afterwards.
void sighandler(int signum) {
  g_signum = signum;
  libcdir_stop();
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
  switch (tarn_parse_args(argc, argv, &g_param, &bad)) {
    case PARSE_EXIT0:
      return 0;
    case PARSE_BAD_BS:
      fprintf(stderr, "error: invalid bs [%s]\n", bad.c_str());
      usage();
      return 1;
    case PARSE_BAD_VALUE:
      fprintf(stderr, "error: invalid value [%s]\n", bad.c_str());
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
