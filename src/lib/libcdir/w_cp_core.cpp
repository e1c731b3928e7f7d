// The command thread's side of a job: executes the worker's messages in
// posting order.
#include <cstring>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

void count_files(cdir_job* job, cdir_stat* st) {
  uint64_t n = 0;
  mstat_item* it = st->hstat_file ? mstat_get_item(st->hstat_file.get(), &n) : nullptr;
  for (uint64_t i = 0; i < n; i++) {
    if (cdir_need_exit(job)) return;
    job->c.file_count++;
    job->c.file_total_size += it[i].size;
  }
}

/// A file-list message of a copy or sync, with the progress around it: its
/// files are seen when it begins, and the ones it did not finish (judged
/// current, failed, or left by a stop) are done when it ends.
void copy_file_list(cdir_job* job, cdir_stat* st, bool is_sync) {
  uint64_t n = 0;
  if (st->hstat_file) mstat_get_item(st->hstat_file.get(), &n);
  job->prog.msg_done = 0;
  job->prog.seen += static_cast<int64_t>(n);
  cdir_progress_name(job, st->path);
  count_files(job, st);
  r_sync_file_list(job, st, is_sync);
  // Files of a write list still in flight are counted when its results are.
  int64_t rest = static_cast<int64_t>(n) - job->prog.msg_done.load() - cdir_pending_leave_msg(job);
  if (rest > 0) job->prog.done += rest;
}

void list_line(cdir_job* job, const std::string& line) {
  if (wyfile_write(job->c.list_file, line.data(), line.size()) >= 0) return;
  cdir_list_write_failed(job, os_last_verr());
  // Reported once: the close would only fail again on what is left.
  wyfile_close(job->c.list_file);
  job->c.list_file = nullptr;
}

void ls_list_dir(cdir_job* job, const char* path) {
  if (job->c.list_file == nullptr || path == nullptr) return;
  std::string line = path;
  if (line.empty() || line.back() != '/') line += '/';
  line += '\n';
  list_line(job, line);
}

void ls_list_files(cdir_job* job, cdir_stat* st) {
  if (job->c.list_file == nullptr) return;
  uint64_t n = 0;
  mstat_item* it = st->hstat_file ? mstat_get_item(st->hstat_file.get(), &n) : nullptr;
  for (uint64_t i = 0; i < n; i++) {
    if (cdir_need_exit(job)) return;
    std::string line = job->src.join(st->path, it[i].name);
    if (it[i].link) {
      line += " -> ";
      line += it[i].link;
    }
    line += '\n';
    list_line(job, line);
  }
}

/// Logs a name that is a file at the source and a directory at the
/// destination; the file is still attempted.
void cdir_check_file_rlist(const char* name) { LOGE("del dir[%s] !!", name); }

}  // namespace

int r_sync_file_list(cdir_job* job, cdir_stat* st, bool is_sync) {
  cdir_stat* q = st;
  if (st->hstat_ofile) {
    uint64_t n = 0, no = 0, nod = 0;
    mstat_item* src = mstat_get_item(st->hstat_file.get(), &n);
    mstat_item* dst = mstat_get_item(st->hstat_ofile.get(), &no);
    mstat_item* odir = st->hstat_odir ? mstat_get_item(st->hstat_odir.get(), &nod) : nullptr;
    cdir_sort_by_name(src, n);
    q = rdir_stat_alloc(job, st->path.c_str(), nullptr);
    if (q == nullptr) return -1;
    q->opath = st->opath;
    if (job->dry) {
      // The dry run tells why each file would be written.
      mstat_ref(st->hstat_ofile.get());
      q->hstat_ofile.reset(st->hstat_ofile.get());
    }
    for (uint64_t i = 0; i < n; i++) {
      const mstat_item* d = cdir_find_name(dst, no, src[i].name);
      bool write;
      if (d == nullptr) {
        if (cdir_find_name(odir, nod, src[i].name)) cdir_check_file_rlist(src[i].name);
        write = true;
      } else {
        write = cdir_cmp_file_stat(job, src[i].name, &src[i], d) == 1;
      }
      if (write) mstat_cp_alloc(q->hstat_file.get(), src[i]);
      if (cdir_need_exit(job)) {
        cdir_stat_free(q);
        return -1;
      }
    }
    if (is_sync) {
      int r = 0;
      if (st->veno != 0) {
        // The listing broke off: files we did not see may still exist.
        LOGE("[%s] source listing incomplete (veno=%d), no destination file deleted", st->path.c_str(), st->veno);
      } else {
        r = job->path->del_orphans(job, st, src, n, dst, no);
      }
      if (r < 0) {
        cdir_stat_free(q);
        return r;
      }
    }
  } else if (job->sync_reason & 1) {
    LOGD("sync_dir [%s]", st->opath.c_str());
  }
  int r = job->path->copy_list(job, q);
  if (q != st) cdir_stat_free(q);
  return r;
}

void cdir_msg_proc(cdir_job* job, uint32_t id, const char* payload, cdir_stat* st) {
  // A list left in flight is answered before anything but the next
  // directory's files and subdirectories (whose lists on the same object
  // collect it in order) and the touch that waits for it; a job that stops
  // still counts what the server did with it.
  bool keeps_pending =
      (id == CDIR_MSG_FILE_LIST || id == CDIR_MSG_CREATE_DIRS || id == CDIR_MSG_TOUCH_DIR) && !cdir_need_exit(job);
  if (!keeps_pending) cdir_pending_collect(job);
  if (cdir_need_exit(job)) return;
  const cdir_path* path = job->path;
  switch (job->work_mode) {
    case CDIR_WORK_CP:
      if (id == CDIR_MSG_FILE_LIST) {
        copy_file_list(job, st, false);
      } else if (id == CDIR_MSG_CREATE_DIRS) {
        path->create_dirs(job, st);
      } else if (id == CDIR_MSG_TOUCH_DIR) {
        path->touch_dir(job, payload, st);
      } else if (id == CDIR_MSG_WALK_END && path->walk_end) {
        path->walk_end(job);
      }
      break;
    case CDIR_WORK_SYNC:
      if (id == CDIR_MSG_FILE_LIST) {
        copy_file_list(job, st, true);
      } else if (id == CDIR_MSG_DEL_FILES) {
        path->del_files(job, st);  // posted only for a source listed whole
      }
      break;
    case CDIR_WORK_LS:
      if (id == CDIR_MSG_FILE_LIST) {
        count_files(job, st);
        ls_list_files(job, st);
        // Listed is done: the progress of a listing is its files.
        job->prog.seen = job->c.file_count;
        job->prog.done = job->c.file_count;
      } else if (id == CDIR_MSG_LIST_DIR) {
        ls_list_dir(job, payload);
      }
      break;
    default:
      break;
  }
}
