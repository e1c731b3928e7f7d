// Transfer paths on a local destination: files block by block, empty files
// and links, directories and their times.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

// Open flags: read with the sequential hint; write, create and truncate.
constexpr uint64_t kOpenRead = 0x1081;
constexpr uint64_t kOpenWrite = 0x2A;
constexpr int64_t kKernelCopyMax = int64_t{1} << 30;

os_set_stat to_set_stat(const mstat_item* e) {
  os_set_stat s;
  // The attribute word decides read-only when it is valid; the permission
  // bits come from the mode either way.
  s.attrib = (e->flags & RDIR_FLAG_ATTRIB) ? e->attrib : 0;
  s.mode = e->mode & 07777;
  s.uid = e->uid;
  s.gid = e->gid;
  s.set_owner = true;
  s.times.atime.sec = e->atime;
  s.times.mtime.sec = e->wtime;
  s.times.btime.sec = e->ctime;
  return s;
}

/// Makes sure the parent directory of `path` exists; remembers the last one
/// so that the files of one directory create it once.
int ensure_parent(cdir_job* job, const std::string& path) {
  size_t cut = path.find_last_of('/');
  if (cut == std::string::npos || cut == 0) return 0;
  if (job->made_dir.size() == cut && path.compare(0, cut, job->made_dir) == 0) return 0;
  if (os_mkdirs_parent(path.c_str()) < 0) return -1;
  job->made_dir.assign(path, 0, cut);
  return 0;
}

/// Creates the destination file (and its parents) for writing; a failure is
/// logged, counted and classified.
os_file_uptr open_dst(cdir_job* job, const std::string& opath) {
  os_file_uptr out;
  if (ensure_parent(job, opath) == 0) out.reset(os_file_open(opath.c_str(), kOpenWrite));
  if (!out) {
    int v = cdir_sys_verr();
    LOGES("o_open [%s] eno=%d error: ", opath.c_str(), v);
    job->o_file_fail_count++;
    cdir_verr_check(job, v);
  }
  return out;
}

}  // namespace

int cdir_copy_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath) {
  os_file_uptr in(os_file_open(ipath.c_str(), kOpenRead));
  if (!in) {
    int v = cdir_sys_verr();
    LOGES("i_open [%s] eno=%d error: ", ipath.c_str(), v);
    cdir_verr_check(job, v);
    job->i_file_fail_count++;
    return -1;
  }
  os_file_uptr out = open_dst(job, opath);
  if (!out) return -1;
  char* buf = job->dbuf.data();
  int64_t bs = job->bs;
  int64_t remaining = e->size;
  int64_t off = 0;
  // Between two local files the kernel moves the blocks itself; a pair it
  // cannot copy that way (or any failure) goes on through the data buffer,
  // where read and write errors are told apart.
  bool kernel_copy = job->copy_range;
  while (true) {
    int64_t n, w;
    if (kernel_copy) {
      // The kernel takes the rest of the file in one call (at most 1 GiB, so
      // that a stop is still seen now and then); blocks of bs would only
      // add calls.
      int64_t chunk = std::max<int64_t>(bs, std::min<int64_t>(remaining, kKernelCopyMax));
      n = w = os_file_copy_range(in.get(), off, out.get(), off, static_cast<size_t>(chunk));
      if (n < 0) {
        if (errno == ENOTSUP || errno == EOPNOTSUPP || errno == EXDEV || errno == ENOSYS || errno == EINVAL) job->copy_range = false;
        kernel_copy = false;
        continue;
      }
      job->total_read += n;
    } else {
      n = os_file_pread(in.get(), buf, bs, off);
      if (n < 0) {
        int v = cdir_sys_verr();
        LOGES("i_read [%s] eno=%d error: ", ipath.c_str(), v);
        cdir_verr_check(job, v);
        job->i_file_fail_count++;
        break;
      }
      job->total_read += n;
      w = n > 0 ? os_file_pwrite(out.get(), buf, n, off) : 0;
      if (w < 0 || w != n) {
        if (w >= 0) errno = ENOSPC;  // a short write to a local file means it is full
        int v = cdir_sys_verr();
        LOGES("o_write [%s] eno=%d error: ", opath.c_str(), v);
        job->o_file_fail_count++;
        cdir_verr_check(job, v);
        break;
      }
    }
    job->total_write += w;
    off += w;
    if (w == remaining || w < bs) {
      os_set_stat s = to_set_stat(e);
      if (os_file_set_stat(out.get(), &s) < 0) LOGES("set_stat [%s] error: ", opath.c_str());
      job->file_open_count++;
      break;
    }
    remaining -= w;
    if (cdir_need_exit(job)) break;
  }
  return 0;
}

int cdir_create_file(cdir_job* job, const mstat_item* e, const std::string& opath) {
  os_set_stat s = to_set_stat(e);
  if (e->flags & RDIR_FLAG_LINK) {
    // Whatever stands in the way goes; a directory only when the record is
    // one, so a link never replaces a real destination directory tree.
    if ((e->flags & RDIR_TYPE_MASK) == RDIR_TYPE_DIR)
      os_rmdir(opath.c_str());
    else
      os_file_delete(opath.c_str());
    const char* target = e->link ? e->link : "";
    bool junction = e->flags & RDIR_FLAG_JUNCTION;
    int r = ensure_parent(job, opath);
    if (r == 0)
      r = junction ? os_create_junction(opath.c_str(), target, &s)
                   : os_symlink2(opath.c_str(), target, (e->flags & RDIR_TYPE_MASK) == RDIR_TYPE_DIR, &s);
    if (r == 0) return 0;
    int v = cdir_sys_verr();
    if (junction)
      LOGES("os_create_junction [%s]->[%s] eno=%d error: ", opath.c_str(), target, v);
    else
      LOGES("os_symlink2 [%s]->[%s] eno=%d error: ", opath.c_str(), target, v);
    job->o_file_fail_count++;
    cdir_verr_check(job, v);
    return -1;
  }
  os_file_uptr out = open_dst(job, opath);
  if (!out) return -1;
  if (os_file_set_stat(out.get(), &s) < 0) LOGES("set_stat [%s] error: ", opath.c_str());
  job->file_open_count++;
  return 0;
}

int cdir_ll_copy_list(cdir_job* job, cdir_stat* q) {
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(q->hstat_file, &n);
  cdir_sort_by_size(it, n);
  for (uint64_t i = 0; i < n; i++) {
    if (cdir_need_exit(job)) return -1;
    std::string ipath = cdir_join(q->path, it[i].name);
    std::string opath = cdir_join(q->opath, it[i].name);
    if (it[i].size > 0 && !(it[i].flags & RDIR_FLAG_LINK))
      cdir_copy_file(job, &it[i], ipath, opath);
    else
      cdir_create_file(job, &it[i], opath);
  }
  return 0;
}

int cdir_l_create_dir(cdir_job* job, cdir_stat* st) {
  uint64_t n = 0;
  mstat_item* it = st->hstat_dir ? mstat_get_item(st->hstat_dir, &n) : nullptr;
  for (uint64_t i = 0; i < n; i++) {
    if (cdir_need_exit(job)) return -1;
    std::string path = cdir_join(st->opath, it[i].name);
    if (os_mkdirs(path.c_str()) < 0) {
      int v = cdir_sys_verr();
      LOGES("mkdirs %s eno=%d error: ", path.c_str(), v);
      cdir_verr_check(job, v);
      continue;
    }
    os_set_stat s = to_set_stat(&it[i]);
    if (os_path_set_stat(path.c_str(), &s) < 0) LOGES("set_stat [%s] error: ", path.c_str());
  }
  return 0;
}

int cdir_l_touch_dir(cdir_job* job, const char* payload, const cdir_stat* st) {
  if (payload == nullptr) return 0;
  std::string rel = std::string(payload).substr(std::min(strlen(payload), job->src.path.size()));
  std::string path = job->dst.path;
  if (!rel.empty() && rel[0] == '/' && !path.empty() && path.back() == '/') rel.erase(0, 1);
  path += rel;
  if (path == job->dst.path || st->own.flags == 0) return 0;
  os_file_times t;
  t.atime.sec = st->own.atime;
  t.mtime.sec = st->own.wtime;
  t.btime.sec = st->own.ctime;
  if (os_mkdirs(path.c_str()) < 0 || os_path_set_times(path.c_str(), &t, true) < 0) {
    int v = cdir_sys_verr();
    LOGES("lutime %s eno=%d error: ", path.c_str(), v);
    cdir_verr_check(job, v);
    return -1;
  }
  return 0;
}
