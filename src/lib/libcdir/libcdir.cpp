// The copy job: open, wait, stop and close.
#include "libcdir.h"

#include <algorithm>
#include <cstring>

#include "cdir_imp.h"
#include "liblog.h"
#include "libwycli.h"

WY_LOG_TAG("cdir");

namespace {

// The job of this process, where the signal handler finds it.
std::atomic<cdir_job*> g_job{nullptr};

bool starts_with_nocase(const char* s, const char* prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

/// Resolves a URL into the endpoint. Profile URLs are expanded; a remote
/// URL gets its time-outs; a local one becomes a path. Local paths are used
/// verbatim after the outer blanks and quotes (and a "file://" prefix): on
/// POSIX "\\", "?" and "#" are ordinary name characters.
int resolve_url(cdir_job* job, const char* in, cdir_endpoint* ep) {
  // The words the user typed are the only paths that get cleaned; every
  // name below them is used exactly as the listings give it.
  std::string url = os_file_clean_path(in);
  char buf[CLIENT_URL_SIZE];
  if (url.compare(0, 3, "///") == 0) {
    if (client_url_expand(url.c_str(), buf, job->err) < 0) return -1;
    url = buf;
  }
  if (starts_with_nocase(url.c_str(), "loc://")) url.erase(0, 6);
  if (url.empty()) return CDIR_ERR_SET(job->err, -104, "empty url [%s]", in);
  if (url.size() >= 4096) return CDIR_ERR_SET(job->err, -120, "url too long [%.64s...]", url.c_str());
  if (!cdir_url_is_remote(url.c_str())) {
    ep->url = ep->path = url;
    return 0;
  }
  if (client_url_expand(url.c_str(), buf, job->err) < 0) return -1;
  client_url_set_timeouts(buf);
  int rt = job->timeout / 1000;
  url_set_query(buf, sizeof buf, "read_timeout", rt == 0 ? 5 : rt, URL_SET_ALWAYS);
  ep->url = buf;
  char path[4096];
  ep->path = url_get_path(buf, path, sizeof path) == 0 ? path : "";
  return 0;
}

int cdir_work_thread(void* arg) {
  auto* job = static_cast<cdir_job*>(arg);
  LOGV("==>\n");
  int r = cdir_worker(job);
  if (r != 0) LOGD("ret=%d\n", r);
  // However the walk ended, what it wrote gets its directory records, and
  // a write list still in flight its results.
  if (job->work_mode == CDIR_WORK_CP || job->work_mode == CDIR_WORK_SYNC)
    cmder_post_msg3(job->cmd, CDIR_MSG_WALK_END, nullptr, nullptr, 0);
  LOGV("<==\n");
  return r;
}

void msg_proc(uint32_t id, void* payload, cmder_ctx* ctx) {
  cdir_msg_proc(static_cast<cdir_job*>(ctx->user), id, static_cast<const char*>(payload),
                static_cast<cdir_stat*>(ctx->data));
}

void msg_free_proc(void*, void* data) { cdir_stat_free(static_cast<cdir_stat*>(data)); }

void queue_release(void*, void* elem) { cdir_stat_free(static_cast<cdir_stat*>(elem)); }

/// Logs an endpoint open failure with its cause.
void log_open_failure(cdir_job* job, const char* what, const char* url) {
  const char* text = job->err->msg.empty() ? verr2str(job->err->verr) : job->err->msg.c_str();
  LOGE("%s [%s] error: %s", what, url_for_log(url).c_str(), text);
}

/// Asks every endpoint object's wait in progress to end. Signal-safe.
void stop_endpoints(cdir_job* job) {
  for (vobj* o : std::initializer_list<vobj*>{job->w.irdir.get(), job->w.ordir.get(), job->c.imfile.get(),
                                              job->c.omfile.get(), job->c.ibfile.get(), job->c.obfile.get()})
    if (o) o->stop();
}

/// Ends the threads and frees the job. Everything is asked to stop before
/// anything is waited for. A thread that does not end in time may still be
/// using the job: the job is then left allocated rather than freed under it.
void free_job(cdir_job* raw) {
  std::unique_ptr<cdir_job> job(raw);
  cdir_progress_stop(job.get());
  job->user_stop = 1;
  stop_endpoints(job.get());
  bool stuck = false;
  if (job->worker) {
    int r = os_thread_wait_kill_exit(job->worker, 2000, nullptr);
    if (r < 0) {
      LOGE("os_thead_wait failed ret=%d\n", r);
      stuck = true;
    }
    job->worker = nullptr;
  }
  if (job->cmd) {
    if (cmder_exit(job->cmd) < 0) stuck = true;
    job->cmd = nullptr;
  }
  if (stuck) {
    LOGE("a thread of the job is still running: the job is not freed\n");
    job.release();
    return;
  }
  // The copiers work only inside a message of the command thread, which
  // has ended: they are waiting for the next list and end at once.
  job->c.pool.reset();
  job->c.pending.clear();
  job->c.ahead.reset();
  job->w.irdir.reset();
  job->c.imfile.reset();
  job->c.ibfile.reset();
  job->w.ordir.reset();
  job->c.omfile.reset();
  job->c.obfile.reset();
  if (job->w.dir_queue) {
    queue_close(job->w.dir_queue);
    job->w.dir_queue = nullptr;
  }
  if (job->c.list_file) {
    wyfile_close(job->c.list_file);
    job->c.list_file = nullptr;
  }
}

/// Fails an open: frees what exists; a failure without a cause of its own
/// carries the generic code so that it never reads as success.
cdir_job* open_failed(cdir_job* job, cdir_err* err, const char* why) {
  if (err->verr == 0) CDIR_ERR_SET(err, -1, "%s", why);
  if (job) free_job(job);
  return nullptr;
}

/// The local destination root: must be a directory, and is created with
/// its parents unless `create` is false. 0, 1 when it is missing and was
/// not created, or -1 with the cause in the job's error record.
int open_local_dst_dir(cdir_job* job, bool create) {
  const char* path = job->dst.path.c_str();
  os_stat_t st;
  bool there = os_file_stat(path, true, &st) == 0;
  int why = there ? 0 : os_last_verr();
  if (there && st.kind != OS_PATH_DIR) {
    LOGE("[%s] It is a file, must be a directory", path);
    CDIR_ERR_SET(job->err, -1, "[%s] It is a file, must be a directory", path);
    return -1;
  }
  // Not there at all is what a real run creates; anything else (a file
  // in the way of a parent, no access) would fail that creation.
  if (!create && (there || why == -102)) return there ? 0 : 1;
  if (!create) {
    LOGE("mkdirs [%s] eno=%d error: %s", path, why, verr2str(why));
    CDIR_ERR_SET(job->err, why, "%s", verr2str(why));
    return -1;
  }
  if (os_mkdirs(path) < 0) {
    int v = os_last_verr();
    LOGES("mkdirs [%s] eno=%d error: ", path, v);
    CDIR_ERR_SET(job->err, v, "%s", verr2str(v));
    return -1;
  }
  return 0;
}

/// A local destination must be neither the source directory under another
/// name (a trailing slash, a link) nor inside it: each source file would be
/// truncated as a destination before it is read, or the copy would copy
/// itself. 0, or -1 with the cause in the job's error record.
int check_same_tree(cdir_job* job) {
  std::string src, dst;
  // A path that cannot be resolved fails its own open with its own cause.
  if (os_path_resolve(job->src.path.c_str(), &src) < 0 || os_path_resolve(job->dst.path.c_str(), &dst) < 0) return 0;
  if (src == dst) {
    LOGE("The source url and destination url cannot be the same");
    CDIR_ERR_SET(job->err, -1, "The source url and destination url cannot be the same");
    return -1;
  }
  if (dst.size() > src.size() && dst.compare(0, src.size(), src) == 0 && (src == "/" || dst[src.size()] == '/')) {
    LOGE("destination [%s] is inside the source [%s]", job->dst.path.c_str(), job->src.path.c_str());
    CDIR_ERR_SET(job->err, -1, "destination [%s] is inside the source [%s]", job->dst.path.c_str(),
                 job->src.path.c_str());
    return -1;
  }
  return 0;
}

/// Keeps an endpoint object that opened; logs the failure of one that did not.
template <typename T>
bool keep(cdir_job* job, std::unique_ptr<T>* slot, std::unique_ptr<T> obj, const char* what, const char* url) {
  *slot = std::move(obj);
  if (*slot) return true;
  log_open_failure(job, what, url);
  return false;
}

/// The destination of a dry run: only its reader, opened where a real run
/// would read the destination (a remote one connects and logs in as any),
/// and nothing is created. A root that is not there yet is taken as empty,
/// as the real run would find it after creating it.
int open_dry_dst(cdir_job* job, const cdir_param* p) {
  const char* ou = job->o_url.c_str();
  const char* path = job->dst.path.c_str();
  bool dst_local = job->dir_type == CDIR_LL || job->dir_type == CDIR_RL;
  if (dst_local) {
    int r = open_local_dst_dir(job, false);
    if (r != 0) {
      job->dst_root_missing = r > 0;
      return r > 0 ? 0 : -1;
    }
    if (!job->need_odir) return 0;
    return keep(job, &job->w.ordir, vrdir_open(job, ou, path, false, p->ordir_param), "vrdir_open", ou) ? 0 : -1;
  }
  job->w.ordir = vrdir_open(job, ou, path, false, p->ordir_param);
  if (job->w.ordir) return 0;
  // Not found is a root the real run creates; a file in its way (path
  // not found) or a refusal fails as that creation would.
  if (job->err->verr == -102) {
    *job->err = cdir_err{};
    job->dst_root_missing = true;
    return 0;
  }
  log_open_failure(job, "vrdir_open", ou);
  return -1;
}

/// Opens the endpoint objects that the kinds of the two sides and the work
/// mode need. 0, or -1 with the cause in the job's error record.
int open_endpoints(cdir_job* job, const cdir_param* p) {
  bool copies = job->work_mode == CDIR_WORK_CP || job->work_mode == CDIR_WORK_SYNC;
  const char* iu = job->i_url.c_str();
  const char* ou = job->o_url.c_str();
  bool dst_local = job->dir_type == CDIR_LL || job->dir_type == CDIR_RL;
  bool src_remote = job->dir_type == CDIR_RL || job->dir_type == CDIR_RR;
  if (!keep(job, &job->w.irdir, vrdir_open(job, iu, job->src.path.c_str(), false, p->irdir_param), "vrdir_open", iu))
    return -1;
  if (job->dry) return copies ? open_dry_dst(job, p) : 0;
  if (dst_local && copies && open_local_dst_dir(job, true) < 0) return -1;
  // A remote destination's reader always opens: it also creates the path.
  if ((!dst_local || (job->need_odir && p->o_url)) &&
      !keep(job, &job->w.ordir, vrdir_open(job, ou, job->dst.path.c_str(), true, p->ordir_param), "vrdir_open", ou))
    return -1;
  if (src_remote && copies) {
    if (!keep(job, &job->c.imfile, vmfile_open(job, iu, p->imfile_param), "vmfile_open", iu) ||
        !keep(job, &job->c.ibfile, vbfile_init(job, iu), "vbfile_init", iu))
      return -1;
    if (job->dir_type == CDIR_RR) job->c.rbuf.resize(p->bs);
  }
  if (!dst_local && (!keep(job, &job->c.omfile, vmfile_open(job, ou, p->imfile_param), "vmfile_open", ou) ||
                     !keep(job, &job->c.obfile, vbfile_init(job, ou), "vbfile_init_read", ou)))
    return -1;
  return 0;
}

}  // namespace

cdir_job* libcdir_open(cdir_param* p) {
  cdir_err* err = &p->err;
  if (!WY_CHECK(p->i_url != NULL)) return open_failed(nullptr, err, "param->i_url != NULL");
  bool cp = p->work_mode == CDIR_WORK_CP, sync = p->work_mode == CDIR_WORK_SYNC;
  if ((cp || sync) && p->o_url == nullptr) return open_failed(nullptr, err, "no destination url");
  if ((cp || sync) && strcmp(p->i_url, p->o_url) == 0) {
    LOGE("The source url and destination url cannot be the same");
    return open_failed(nullptr, err, "The source url and destination url cannot be the same");
  }
  if (p->bs < CDIR_BS_MIN || p->bs > CDIR_BS_MAX) {
    CDIR_ERR_SET(err, -1, "invalid bs [%d]", p->bs);
    return open_failed(nullptr, err, "");
  }
  if (p->threads < 0 || p->threads > CDIR_THREADS_MAX) {
    CDIR_ERR_SET(err, -1, "invalid threads [%d]", p->threads);
    return open_failed(nullptr, err, "");
  }
  if (static_cast<int64_t>(p->imfile_param.max_mfile_size) * 2 > p->bs) {
    LOGW("imfile_param.max_mfile_size=%d too big", p->imfile_param.max_mfile_size);
    p->imfile_param.max_mfile_size = p->bs / 2;
  }
  cdir_job* job = nullptr;
  try {
    job = std::make_unique<cdir_job>().release();  // owned by free_job or the caller from here
  } catch (const std::bad_alloc&) {
    return open_failed(nullptr, err, "out of memory");
  }
  job->err = err;
  job->timeout = p->timeout;
  job->threads = os_pool_size(p->threads, p->threads > 0 ? CDIR_THREADS_MAX : CDIR_THREADS_AUTO_MAX);
  p->irdir_param.err = p->ordir_param.err = p->imfile_param.err = err;
  if (resolve_url(job, p->i_url, &job->src) < 0) return open_failed(job, err, "");
  job->i_url = job->src.url;
  LOGV("[i_url=%s]", url_for_log(job->i_url.c_str()).c_str());
  if (p->o_url) {
    if (resolve_url(job, p->o_url, &job->dst) < 0) return open_failed(job, err, "");
    job->o_url = job->dst.url;
    LOGV("[o_url=%s]", url_for_log(job->o_url.c_str()).c_str());
  }
  job->start_ms = os_clock_ms();
  job->work_mode = p->work_mode;
  job->cmp_mode = p->cmp_mode;
  job->sync_reason = p->sync_reason;
  job->max_mfile_size = p->imfile_param.max_mfile_size;
  bool i_remote = cdir_url_is_remote(job->i_url.c_str());
  bool o_remote = p->o_url && cdir_url_is_remote(job->o_url.c_str());
  job->dir_type = (i_remote ? 1u : 0u) | (o_remote ? 2u : 0u);
  if (p->force_dir_type >= 0 && !i_remote && !o_remote) job->dir_type = static_cast<uint32_t>(p->force_dir_type);
  job->path = p->dry_run ? cdir_dry_path() : cdir_path_of(job->dir_type);
  job->dry = p->dry_run != 0;
  job->max_del = p->max_del;
  job->progress = p->progress;
  if (job->path == nullptr) {
    LOGE("transfer path %u is not built", job->dir_type);
    CDIR_ERR_SET(err, -1, "transfer path %u is not built", job->dir_type);
    return open_failed(job, err, "");
  }

  switch (job->work_mode) {
    case CDIR_WORK_LS:
      LOGD("list_dir=[%s]", url_for_log(p->i_url).c_str());
      if (p->list_file) {
        job->c.list_path = p->list_file;
        job->c.list_file = wyfile_open(p->list_file, "w+");
        if (job->c.list_file == nullptr) {
          // A listing asked for and not written must not end as a success.
          int v = os_last_verr();
          LOGES("open [%s] error: ", p->list_file);
          CDIR_ERR_SET(err, v, "open [%s] error: %s", p->list_file, verr2str(v));
          return open_failed(job, err, "");
        }
      }
      break;
    case CDIR_WORK_RM:
      LOGD("rm_dir=[%s]", url_for_log(p->i_url).c_str());
      break;
    case CDIR_WORK_CP:
      LOGD("cp idir=[%s] odir=[%s]\n", url_for_log(p->i_url).c_str(), url_for_log(p->o_url).c_str());
      if (job->cmp_mode == 0) job->cmp_mode = 4;
      break;
    case CDIR_WORK_SYNC:
      LOGD("sync idir=[%s] odir=[%s]\n", url_for_log(p->i_url).c_str(), url_for_log(p->o_url).c_str());
      if (job->cmp_mode == 0) job->cmp_mode = 5;
      break;
  }
  job->need_odir = sync || (cp && job->cmp_mode != 4);

  if ((cp || sync) && !i_remote && !o_remote && check_same_tree(job) < 0) return open_failed(job, err, "");
  if (open_endpoints(job, p) < 0) return open_failed(job, err, "");

  job->bs = p->bs;
  // Whatever bs is, the largest record a reader hands out must fit, with
  // its kind byte and the terminator: a record that never fits would stall
  // the walk until the time-out.
  job->w.lbuf.resize(std::max<size_t>(static_cast<size_t>(job->max_mfile_size), RDIR_MAX_RECORD + 2));
  job->c.dbuf.resize(p->bs);
  // A local destination writes with copier threads: a local copy's files,
  // and a download's as they arrive.
  if ((job->dir_type == CDIR_LL || job->dir_type == CDIR_RL) && (cp || sync) && job->threads > 1) {
    job->c.pool = std::make_unique<os_pool>("cdir_copy", job->threads, static_cast<const os_thread_opt*>(p->thread_opts));
    job->c.copiers.resize(static_cast<size_t>(job->c.pool->size()));
  }

  queue_param qp;
  qp.release_proc = queue_release;
  job->w.dir_queue = queue_create(&qp);
  if (job->w.dir_queue == nullptr) return open_failed(job, err, "queue_create failed");
  cmder_param cp_;
  cp_.user = job;
  cp_.name = "cdir_cmder";
  cp_.timer_interval_ms = 1000;
  cp_.msg_proc = msg_proc;
  cp_.msg_free_proc = msg_free_proc;
  cp_.thread_opt = static_cast<const os_thread_opt*>(p->thread_opts);
  job->cmd = cmder_init(&cp_);
  if (job->cmd == nullptr) return open_failed(job, err, "cmder_init failed");
  g_job = job;
  job->worker =
      os_thread_init("cdir_work", cdir_work_thread, job, 0, static_cast<const os_thread_opt*>(p->thread_opts));
  if (job->worker == nullptr) {
    LOGES("os_thread_init error: ");
    g_job = nullptr;
    return open_failed(job, err, "os_thread_init failed");
  }
  cdir_progress_start(job);
  return job;
}

int libcdir_wait_stop() {
  cdir_job* job = g_job;
  if (job == nullptr) return 0;
  int code = 0;
  int r = os_thread_wait(job->worker, -1, &code);
  LOGV("os_thread_wait ret=%d\n", r);
  LOGV("cmder_wait_idle exit\n");
  while (cmder_wait_idle(job->cmd) != 0) {
  }
  // The report replaces the progress line.
  cdir_progress_stop(job);
  // The listing is buffered: its last bytes are written only now, and their
  // failure belongs in this job's status.
  if (job->c.list_file) {
    int r = wyfile_close(job->c.list_file);
    int v = os_last_verr();
    job->c.list_file = nullptr;
    if (r < 0) cdir_list_write_failed(job, v);
  }
  double secs = (os_clock_ms() - job->start_ms) / 1000.0;
  if (secs == 0) secs = 0.001;
  char b1[128], b2[128];
  auto size_text = [](int64_t v, char* buf) -> const char* {
    if (v == 0) return "0";
    return str_human_size(static_cast<uint64_t>(v), buf, 128);
  };
  bool cp = job->work_mode == CDIR_WORK_CP, sync = job->work_mode == CDIR_WORK_SYNC;
  LOGD("file_total_size=%lld (%s)\n", (long long)job->c.file_total_size, size_text(job->c.file_total_size, b1));
  LOGD("file_count=%lld\n", (long long)job->c.file_count);
  LOGD("dir_count=%lld\n", (long long)job->w.dir_count);
  LOGD("file_open_count=%lld\n", (long long)job->c.file_open_count);
  LOGD("i_file_fail_count=%lld\n", (long long)job->i_file_fail_count.load());
  LOGD("i_dir_fail_count=%lld\n", (long long)job->w.i_dir_fail_count);
  if (cp || sync) {
    LOGD("o_file_fail_count=%lld\n", (long long)job->c.o_file_fail_count);
    LOGD("o_dir_fail_count=%lld\n", (long long)job->w.o_dir_fail_count);
  }
  if (sync) {
    LOGD("sync_del_file_count=%lld\n", (long long)job->c.sync_del_file_count);
    LOGD("sync_del_file_fail_count=%lld\n", (long long)job->c.sync_del_file_fail_count);
  }
  if (cp || sync) {
    LOGD("total_read=%lld (%s)\n", (long long)job->c.total_read, size_text(job->c.total_read, b1));
    LOGD("total_write=%lld (%s)\n", (long long)job->c.total_write, size_text(job->c.total_write, b2));
  }
  if (cp) {
    LOGD("trans_rate=%s\n", size_text(static_cast<int64_t>(static_cast<uint64_t>(job->c.total_write / secs)), b1));
    LOGD("file_rate=%.2f\n", job->c.file_open_count / secs);
  }
  LOGD("total_time=%s\n", str_duration(secs, b1, sizeof b1));
  if (!job->user_stop && !job->error_stop) job->last_eno = 0;
  if (job->user_stop) job->last_eno = -6;
  // Deletions a guard held back leave the destination unlike the source:
  // that must not read as success.
  if (job->last_eno == 0 && job->del_held) return 1;
  return -job->last_eno;
}

int libcdir_close(cdir_job* job) {
  if (job == nullptr) return 0;
  cdir_err saved = *job->err;
  cdir_job* expected = job;
  g_job.compare_exchange_strong(expected, nullptr);
  cdir_err* err = job->err;
  free_job(job);
  *err = saved;
  return 0;
}

int libcdir_stop() {
  cdir_job* job = g_job;
  if (job == nullptr) return 0;
  job->user_stop = 1;
  stop_endpoints(job);
  return 0;
}
