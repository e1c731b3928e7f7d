// Sync: destination files without a source counterpart are removed (into
// the trash where the volume has one). Directories are never removed.
#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

int l_sync_del_orphaned_file(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc, mstat_item* dst,
                             uint64_t ndst) {
  for (uint64_t i = 0; i < ndst; i++) {
    if (src && cdir_find_name(src, nsrc, dst[i].name)) continue;
    std::string path = job->dst.join(st->opath, dst[i].name);
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

