// Sync: destination files without a source counterpart are removed (into
// the trash where the volume has one). Directories are never removed.
#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

bool cdir_del_allowed(cdir_job* job, const char* path) {
  if (job->max_del < 0) return true;
  // Reserved before the delete, so that files deleted on several threads
  // never pass the limit together.
  if (job->del_asked.fetch_add(1) < job->max_del) return true;
  if (!job->del_held.exchange(true))
    LOGE("max_del=%lld reached: [%s] and any further orphan are not deleted", static_cast<long long>(job->max_del),
         path);
  return false;
}

int l_sync_del_orphaned_file(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc, mstat_item* dst,
                             uint64_t ndst) {
  for (uint64_t i = 0; i < ndst; i++) {
    if (src && cdir_find_name(src, nsrc, dst[i].name)) continue;
    std::string path = job->dst.join(st->opath, dst[i].name);
    if (!cdir_del_allowed(job, path.c_str())) continue;
    if (os_win_remove_maybe_recycle(path.c_str()) < 0) {
      int v = os_last_verr();
      LOGES("remove [%s] error: ", path.c_str());
      cdir_verr_check(job, v);
      job->c.sync_del_file_fail_count++;
    } else {
      job->c.sync_del_file_count++;
    }
    if (cdir_need_exit(job)) return -1;
  }
  return 0;
}

