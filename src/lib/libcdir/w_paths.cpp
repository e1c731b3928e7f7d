// The four transfer paths and the table the job picks its path from. Files
// are taken smallest first: with a remote side the small ones travel in
// lists, many per request, and the run ends at the first big one, which
// goes block by block.
#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

char* cdir_copier::buf(int64_t bs) {
  if (dbuf.size() < static_cast<size_t>(bs)) dbuf.resize(static_cast<size_t>(bs));
  return dbuf.data();
}

void cdir_copier::move_counts(cdir_copier* to) {
  to->file_open_count += file_open_count;
  to->o_file_fail_count += o_file_fail_count;
  to->total_read += total_read;
  to->total_write += total_write;
  file_open_count = o_file_fail_count = total_read = total_write = 0;
}

namespace {

/// The files of q, sorted by size ascending.
mstat_item* sorted_files(cdir_stat* q, uint64_t* n) {
  mstat_item* it = mstat_get_item(q->hstat_file.get(), n);
  cdir_sort_by_size(it, *n);
  return it;
}

using big_file_proc = int (*)(cdir_job*, const mstat_item*, const std::string&, const std::string&);

/// The files of it[from..n) block by block.
int big_files(cdir_job* job, cdir_stat* q, mstat_item* it, uint64_t from, uint64_t n, big_file_proc proc) {
  for (uint64_t i = from; i < n; i++) {
    if (cdir_need_exit(job)) return -1;
    proc(job, &it[i], job->src.join(q->path, it[i].name), job->dst.join(q->opath, it[i].name));
  }
  return 0;
}

/// The first file with a size (links and empty files have none).
uint64_t first_sized(const mstat_item* it, uint64_t n) {
  uint64_t i = 0;
  while (i < n && it[i].size == 0) i++;
  return i;
}

/// One file of a local copy, on whichever thread took it.
void ll_copy_one(cdir_job* job, cdir_copier* cc, cdir_stat* q, const mstat_item* e) {
  std::string ipath = job->src.join(q->path, e->name);
  std::string opath = job->dst.join(q->opath, e->name);
  if (e->size == 0)
    cdir_create_file(job, cc, e, &ipath, opath);
  else
    cdir_copy_file(job, cc, e, ipath, opath);
}

/// A local copy: creating a file is kernel work that scales with the
/// cores, so the files of the list go to the copier threads and this
/// thread together, smallest first; the list is done when the last of them
/// is. Each thread counts into its own state, added up here afterwards.
int ll_copy_list(cdir_job* job, cdir_stat* q) {
  uint64_t n = 0;
  mstat_item* it = sorted_files(q, &n);
  if (!job->c.pool) {
    for (uint64_t i = 0; i < n; i++) {
      if (cdir_need_exit(job)) return -1;
      ll_copy_one(job, &job->c, q, &it[i]);
    }
    return 0;
  }
  bool whole = job->c.pool->run(n, [&](int w, uint64_t i) {
    if (cdir_need_exit(job)) return false;
    ll_copy_one(job, w == 0 ? &job->c : &job->c.copiers[w], q, &it[i]);
    return true;
  });
  for (size_t w = 1; w < job->c.copiers.size(); w++) job->c.copiers[w].move_counts(&job->c);
  return whole ? 0 : -1;
}

int write_received(cdir_job* job, cdir_copier* cc, const cdir_stat* item, const mstat_item* e, const uint8_t* data,
                   size_t len, cdir_small_batch*) {
  return cdir_write_file(job, cc, item, e, data, len);
}

/// Files from a source behind a multi-file object: empty files and links
/// first, then the small files in read lists, each handed to `proc` (which
/// also takes the empty ones, without data), then the big ones block by
/// block. A failure is counted where it happens; a stop ends the list.
int from_source_lists(cdir_job* job, cdir_stat* q, cdir_small_proc proc, cdir_small_batch* batch,
                      big_file_proc big) {
  uint64_t n = 0;
  mstat_item* it = sorted_files(q, &n);
  uint64_t sized = first_sized(it, n);
  for (uint64_t i = 0; i < sized; i++) {
    if (cdir_need_exit(job)) return -1;
    proc(job, &job->c, q, &it[i], nullptr, 0, batch);
  }
  uint64_t next = sized;
  if (r_get_small_file_list_data(job, q, it, sized, n, &next, proc, batch) < 0) return -1;
  if (batch && cdir_relay_flush(job, batch) < 0) return -1;
  // A relay's write list is answered before any big file goes.
  if (batch && next < n && cdir_pending_collect(job) < 0) return -1;
  return big_files(job, q, it, next, n, big);
}

/// Download: the files arrive at a local destination.
int rl_copy_list(cdir_job* job, cdir_stat* q) {
  return from_source_lists(job, q, write_received, nullptr, cdir_rl_copy_file);
}

/// Upload: the small files (empty ones and links included) in write lists,
/// then the big ones.
int lr_copy_list(cdir_job* job, cdir_stat* q) {
  uint64_t n = 0;
  mstat_item* it = sorted_files(q, &n);
  cdir_small_batch batch;
  batch.item = q;
  uint64_t next = 0;
  if (cdir_read_local_mfile_base64(job, it, 0, n, &next, &batch) < 0) return -1;
  // The list's results come before any big file's.
  if (next < n && cdir_pending_collect(job) < 0) return -1;
  return big_files(job, q, it, next, n, cdir_lr_up_file);
}

/// Relay: every empty file, link and small file becomes a write list line
/// for the destination as it arrives.
int rr_copy_list(cdir_job* job, cdir_stat* q) {
  cdir_small_batch batch;
  batch.item = q;
  return from_source_lists(job, q, cdir_relay_proc, &batch, cdir_rr_up_file);
}

int l_del_files(cdir_job* job, cdir_stat* st) {
  uint64_t n = 0;
  mstat_item* dst = st->hstat_ofile ? mstat_get_item(st->hstat_ofile.get(), &n) : nullptr;
  return l_sync_del_orphaned_file(job, st, nullptr, 0, dst, n);
}

// Local destinations create their directories and apply the records of the
// ones with subdirectories after the walk; a destination behind a
// multi-file object gets creation lists and path times.
const cdir_path kPaths[] = {
    {"CDIR_LL", ll_copy_list, cdir_l_create_dir, cdir_l_touch_dir, l_sync_del_orphaned_file, l_del_files,
     cdir_l_touch_later},
    {"CDIR_RL", rl_copy_list, cdir_l_create_dir, cdir_l_touch_dir, l_sync_del_orphaned_file, l_del_files,
     cdir_l_touch_later},
    {"CDIR_LR", lr_copy_list, r_create_dir_list, r_touch_dir, r_sync_del_orphaned_file, r_del_files, nullptr},
    {"CDIR_RR", rr_copy_list, r_create_dir_list, r_touch_dir, r_sync_del_orphaned_file, r_del_files, nullptr},
};

}  // namespace

const cdir_path* cdir_path_of(uint32_t dir_type) {
  return dir_type < sizeof kPaths / sizeof kPaths[0] ? &kPaths[dir_type] : nullptr;
}
