// tarn's command line.
#include "args.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog.h"
#include "libpal.h"

namespace {

parse_result set_mode(const char* val, cdir_param* p, std::string*) {
  if (strcmp(val, "ls") == 0) {
    p->work_mode = CDIR_WORK_LS;
    return PARSE_OK;
  }
  return cdir_mode_lookup(val, p) < 0 ? PARSE_USAGE : PARSE_OK;
}

parse_result set_if(const char* val, cdir_param* p, std::string*) {
  p->i_url = val;
  return PARSE_OK;
}

parse_result set_of(const char* val, cdir_param* p, std::string*) {
  p->o_url = val;
  return PARSE_OK;
}

parse_result set_bs(const char* val, cdir_param* p, std::string* bad) {
  uint64_t bs = str_size_parse(val);
  if (bs < static_cast<uint64_t>(CDIR_BS_MIN) || bs > static_cast<uint64_t>(CDIR_BS_MAX)) {
    *bad = val;
    return PARSE_BAD_BS;
  }
  p->bs = static_cast<int32_t>(bs);
  return PARSE_OK;
}

parse_result set_olist(const char* val, cdir_param* p, std::string*) {
  p->list_file = val;
  return PARSE_OK;
}

parse_result set_dbg(const char* val, cdir_param* p, std::string*) {
  if (strcmp(val, "sync_reason") == 0) p->sync_reason = 1;
  return PARSE_OK;
}

parse_result set_level(const char* val, cdir_param*, std::string*) {
  log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, val);
  if (strcmp(val, "dbg") == 0 || strcmp(val, "verb") == 0) log2_ioctl(nullptr, LOG2_SET_FLAGS_TAGS, "time|tid|func");
  return PARSE_OK;
}

parse_result list_modes(const char* prefix, cdir_param*, std::string*) {
  char want[256];
  snprintf(want, sizeof want, "%s", strcmp(prefix, "cp") == 0 ? "copy" : prefix);
  std::string out = "supprots_mode:\n";
  for (const char* const* m = cdir_listed_modes; *m; m++)
    if (strncmp(*m, want, strlen(want)) == 0) out += std::string(*m) + "\n";
  fputs(out.c_str(), stdout);
  return PARSE_EXIT0;
}

/// "0" or "1", nothing else: a switch that silently took "yes" as off would
/// do a real run where a dry one was meant.
bool parse_switch(const char* val, int32_t* out) {
  if (strcmp(val, "0") != 0 && strcmp(val, "1") != 0) return false;
  *out = val[0] - '0';
  return true;
}

parse_result set_dry(const char* val, cdir_param* p, std::string* bad) {
  if (parse_switch(val, &p->dry_run)) return PARSE_OK;
  *bad = std::string("dry=") + val;
  return PARSE_BAD_VALUE;
}

parse_result set_max_del(const char* val, cdir_param* p, std::string* bad) {
  // Digits only: a typo must not turn into some other limit.
  size_t n = strlen(val);
  bool ok = n > 0 && n <= 18;
  for (size_t i = 0; ok && i < n; i++) ok = val[i] >= '0' && val[i] <= '9';
  if (!ok) {
    *bad = std::string("max_del=") + val;
    return PARSE_BAD_VALUE;
  }
  p->max_del = std::stoll(val);
  return PARSE_OK;
}

parse_result set_progress(const char* val, cdir_param* p, std::string* bad) {
  int32_t on = 0;
  if (!parse_switch(val, &on)) {
    *bad = std::string("progress=") + val;
    return PARSE_BAD_VALUE;
  }
  // Forced on: in place on a terminal, whole lines anywhere else.
  p->progress = !on ? CDIR_PROGRESS_OFF : os_exe_stderr_tty() ? CDIR_PROGRESS_TTY : CDIR_PROGRESS_LINES;
  return PARSE_OK;
}

parse_result set_threads(const char* val, cdir_param* p, std::string* bad) {
  size_t n = strlen(val);
  bool ok = n > 0 && n <= 2;
  for (size_t i = 0; ok && i < n; i++) ok = val[i] >= '0' && val[i] <= '9';
  int v = ok ? atoi(val) : 0;
  if (v < 1 || v > CDIR_THREADS_MAX) {
    *bad = std::string("threads=") + val;
    return PARSE_BAD_VALUE;
  }
  p->threads = v;
  return PARSE_OK;
}

}  // namespace

// In the order of the usage text: its first lines are fixed, the words
// added since follow them. Keys match exactly, so the order decides nothing
// else.
const tarn_word tarn_words[] = {
    {"mode", set_mode, "\tmode=[mode=cp|sync|ls|rm|...] Specifying the working mode\n"},
    {"ls_mode", list_modes, "\tls_mode=[cp|sync] Enumerate available modes\n"},
    {"dbg", set_dbg, "\tdbg=[sync_reason]  print dbg info ..\n"},
    {"bs", set_bs, "\tbs=BYTES    read and write BYTES bytes at a time\n"},
    {"level", set_level, "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n"},
    {"if", set_if, nullptr},
    {"of", set_of, nullptr},
    {"olist", set_olist, nullptr},
    {"dry", set_dry, "\tdry=1    decide and log what would be copied and deleted, change nothing\n"},
    {"max_del", set_max_del, "\tmax_del=N    sync deletes at most N files\n"},
    {"progress", set_progress, "\tprogress=0|1    live progress line off, or on even without a terminal\n"},
    {"threads", set_threads,
     "\tthreads=N    write the files of a directory on N threads (1-16; default one per core, at most 4)\n"},
    {nullptr, nullptr, nullptr},
};

const char* const tarn_bare_words[] = {"-v", "--", nullptr};

parse_result tarn_parse_args(int argc, char** argv, cdir_param* p, std::string* bad) {
  // Shown on a terminal unless the command line says otherwise.
  p->progress = os_exe_stderr_tty() ? CDIR_PROGRESS_TTY : CDIR_PROGRESS_OFF;
  for (int i = 1; i < argc; i++) {
    const char* w = argv[i];
    if (strcmp(w, "--") == 0) continue;
    const char* eq = strchr(w, '=');
    if (eq == nullptr) return PARSE_USAGE;
    std::string key(w, eq - w);
    const tarn_word* t = tarn_words;
    while (t->key && key != t->key) t++;
    if (t->key == nullptr) return PARSE_USAGE;
    parse_result r = t->apply(eq + 1, p, bad);
    if (r != PARSE_OK) return r;
  }
  return PARSE_OK;
}

std::string tarn_usage() {
  std::string s =
      "tarn v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files\n"
      "\n"
      "usage: tarn [mode=..] [if=dir] [of=dir] [bs=N]\n";
  for (const tarn_word* t = tarn_words; t->key; t++)
    if (t->usage) s += t->usage;
  return s;
}
