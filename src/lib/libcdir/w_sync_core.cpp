// Sync: destination files without a source counterpart are removed (into
// the trash where the volume has one). Directories are never removed.
#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

int l_sync_del_orphaned_file(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc, mstat_item* dst,
                             uint64_t ndst) {
  for (uint64_t i = 0; i < ndst; i++) {
    if (src && cdir_find_name(src, nsrc, dst[i].name)) continue;
    std::string path = cdir_join(st->opath, dst[i].name);
    if (os_win_remove_maybe_recycle(path.c_str()) < 0) {
      int v = cdir_sys_verr();
      LOGES("remove [%s] error: ", path.c_str());
      cdir_verr_check(job, v);
      job->sync_del_file_fail_count++;
    } else {
      job->sync_del_file_count++;
    }
    if (cdir_need_exit(job)) return -1;
  }
  return 0;
}

int cdir_del_files(cdir_job* job, cdir_stat* st) {
  if (st->veno != 0) {
    LOGE("[%s] source listing incomplete (veno=%d), no destination file deleted", st->path.c_str(), st->veno);
    return 0;
  }
  if (job->dir_type != CDIR_LL && job->dir_type != CDIR_RL) return -1;
  uint64_t n = 0;
  mstat_item* dst = st->hstat_ofile ? mstat_get_item(st->hstat_ofile, &n) : nullptr;
  return l_sync_del_orphaned_file(job, st, nullptr, 0, dst, n);
}
