// The dry run's transfer path: the walk and every decision are a real
// run's, but where that run would write or delete, this one logs what it
// would do and counts it as the real run would count it.
#include <cstring>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

bool dst_local(const cdir_job* job) { return job->dir_type == CDIR_LL || job->dir_type == CDIR_RL; }

/// Why `e` is written: the comparison that chose it.
std::string reason(const cdir_job* job, const mstat_item& e, const cdir_stat* q) {
  if (job->cmp_mode == 4) return "overwrite";
  uint64_t n = 0;
  const mstat_item* dst = q->hstat_ofile ? mstat_get_item(q->hstat_ofile.get(), &n) : nullptr;
  const mstat_item* d = cdir_find_name(dst, n, e.name);
  if (d == nullptr) return "new";
  if (d->size != e.size) return "size " + std::to_string(d->size) + " -> " + std::to_string(e.size);
  return "time " + std::to_string(d->wtime) + " -> " + std::to_string(e.wtime);
}

int dry_copy_list(cdir_job* job, cdir_stat* q) {
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(q->hstat_file.get(), &n);
  for (uint64_t i = 0; i < n; i++) {
    if (cdir_need_exit(job)) return -1;
    const mstat_item& e = it[i];
    LOGI("would copy [%s] (%s)", job->src.join(q->path, e.name).c_str(), reason(job, e, q).c_str());
    bool link = e.flags & RDIR_FLAG_LINK;
    // As the real run counts: a local destination makes a link rather than
    // writing a file; a server writes it from its list line like any file.
    if (!link || !dst_local(job)) {
      job->c.file_open_count++;
      cdir_progress_file_done(job);
    }
    if (!link) {
      job->c.total_read += e.size;
      job->c.total_write += e.size;
      cdir_progress_bytes(job, e.size);
    }
  }
  return 0;
}

int no_dirs(cdir_job*, cdir_stat*) { return 0; }
int no_touch(cdir_job*, const char*, const cdir_stat*) { return 0; }

int dry_del_orphans(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc, mstat_item* dst, uint64_t ndst) {
  for (uint64_t i = 0; i < ndst; i++) {
    if (src && cdir_find_name(src, nsrc, dst[i].name)) continue;
    std::string path = job->dst.join(st->opath, dst[i].name);
    if (!cdir_del_allowed(job, path.c_str())) continue;
    LOGI("would delete [%s]", path.c_str());
    job->c.sync_del_file_count++;
    if (cdir_need_exit(job)) return -1;
  }
  return 0;
}

int dry_del_files(cdir_job* job, cdir_stat* st) {
  uint64_t n = 0;
  mstat_item* dst = st->hstat_ofile ? mstat_get_item(st->hstat_ofile.get(), &n) : nullptr;
  return dry_del_orphans(job, st, nullptr, 0, dst, n);
}

const cdir_path kDry = {"dry", dry_copy_list, no_dirs, no_touch, dry_del_orphans, dry_del_files, nullptr};

}  // namespace

const cdir_path* cdir_dry_path() { return &kDry; }
