// A local destination: files opened for writing without harm to the
// source or to what links point at, empty files and links, directories and
// their records.
#include <algorithm>
#include <cstring>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

// Write and create without following a link; truncation only once the
// file is known not to be the source itself.
constexpr uint64_t kOpenWrite = OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_NOFOLLOW;
constexpr int kVerrLoop = -156;   // a link where a file was to be opened
constexpr int kVerrNoPath = -102;  // a parent was missing (the open made it)

/// `dir` without the separators it ends with.
std::string_view trim_seps(std::string_view dir, char sep) {
  while (dir.size() > 1 && dir.back() == sep) dir.remove_suffix(1);
  return dir;
}

/// Makes `path`, a directory below the destination root, a real directory.
/// A link standing there (where the source has a directory) is replaced:
/// following it would send the files out of the destination tree.
int make_dir(const std::string& path) {
  os_stat_t st;
  if (os_file_stat(path.c_str(), false, &st) == 0) {
    if (st.kind == OS_PATH_DIR) return 0;
    // Another copier may have replaced the same link a moment ago.
    if ((st.attrib & OS_ATTR_LINK) && os_file_delete(path.c_str()) < 0 && os_last_verr() != kVerrNoPath) return -1;
  }
  return os_mkdirs(path.c_str());
}

/// Makes sure the parent directory of `path` exists as a real directory;
/// remembers the last one so that the files of one directory make it once.
/// The destination root itself may be reached through a link of the user's.
int ensure_parent(cdir_job* job, cdir_copier* cc, const std::string& path) {
  char sep = job->dst.sep;
  size_t cut = path.find_last_of(sep);
  if (cut == std::string::npos || cut == 0) return 0;
  if (cc->made_dir.size() == cut && path.compare(0, cut, cc->made_dir) == 0) return 0;
  std::string parent = path.substr(0, cut);
  int r = trim_seps(parent, sep) == trim_seps(job->dst.path, sep) ? os_mkdirs(parent.c_str()) : make_dir(parent);
  if (r < 0) return -1;
  cc->made_dir = std::move(parent);
  return 0;
}

void fail_o_open(cdir_job* job, cdir_copier* cc, const std::string& opath) {
  int v = os_last_verr();
  LOGES("o_open [%s] eno=%d error: ", opath.c_str(), v);
  cc->o_file_fail_count++;
  cdir_verr_check(job, v);
}

/// Applies a directory's record: permissions and owners, then its times.
int apply_dir_stat(cdir_job* job, const std::string& path, const os_set_stat& s) {
  if (os_path_set_stat(path.c_str(), &s) == 0) return 0;
  int v = os_last_verr();
  LOGES("lutime %s eno=%d error: ", path.c_str(), v);
  cdir_verr_check(job, v);
  return -1;
}

}  // namespace

os_file2* cdir_open_no_link(const char* path, uint64_t flags) {
  os_file2* f = nullptr;
  for (int attempt = 0; attempt < 3 && f == nullptr; attempt++) {
    f = os_file_open(path, flags);
    if (f != nullptr) break;
    int v = os_last_verr();
    if (v == kVerrLoop ? os_file_delete(path) < 0 : v != kVerrNoPath) break;
  }
  return f;
}

os_file_uptr cdir_open_dst(cdir_job* job, cdir_copier* cc, const std::string* ipath, const std::string& opath,
                           const os_file_id* src) {
  os_file_uptr out;
  if (ensure_parent(job, cc, opath) == 0) out.reset(cdir_open_no_link(opath.c_str(), kOpenWrite));
  if (!out) {
    fail_o_open(job, cc, opath);
    return out;
  }
  os_file_id oid;
  if (os_file_get_id(out.get(), &oid) < 0) return out;  // not a local file: nothing to compare
  os_file_id looked_up;
  if (src == nullptr && ipath && oid.size > 0) {
    os_stat_t st;
    if (os_file_stat(ipath->c_str(), true, &st) == 0) {
      looked_up.dev = st.dev;
      looked_up.ino = st.ino;
      src = &looked_up;
    }
  }
  if (src && src->dev == oid.dev && src->ino == oid.ino) {
    LOGE("o_open [%s] error: the same file as the source, skipped", opath.c_str());
    cc->o_file_fail_count++;
    out.reset();
    return out;
  }
  if (oid.size > 0 && os_file_truncate(out.get(), 0) < 0) {
    fail_o_open(job, cc, opath);
    out.reset();
  }
  return out;
}

int cdir_create_file(cdir_job* job, cdir_copier* cc, const mstat_item* e, const std::string* ipath,
                     const std::string& opath) {
  os_set_stat s = rdir_set_stat_of(*e);
  if (e->flags & RDIR_FLAG_LINK) {
    const char* target = e->link ? e->link : "";
    bool junction = e->flags & RDIR_FLAG_JUNCTION;
    int r = ensure_parent(job, cc, opath);
    if (r == 0) {
      // Both kinds of link are symlinks here and go as such; whatever else
      // stands in the way goes too, a directory only when it is empty, so a
      // link never replaces a real destination directory tree.
      if (os_file_delete(opath.c_str()) < 0) os_rmdir(opath.c_str());
      r = junction ? os_create_junction(opath.c_str(), target, &s)
                   : os_symlink2(opath.c_str(), target, (e->flags & RDIR_TYPE_MASK) == RDIR_TYPE_DIR, &s);
    }
    if (r == 0) return 0;
    int v = os_last_verr();
    if (junction)
      LOGES("os_create_junction [%s]->[%s] eno=%d error: ", opath.c_str(), target, v);
    else
      LOGES("os_symlink2 [%s]->[%s] eno=%d error: ", opath.c_str(), target, v);
    cc->o_file_fail_count++;
    cdir_verr_check(job, v);
    return -1;
  }
  os_file_uptr out = cdir_open_dst(job, cc, ipath, opath, nullptr);
  if (!out) return -1;
  if (os_file_set_stat(out.get(), &s) < 0) LOGES("set_stat [%s] error: ", opath.c_str());
  cc->file_open_count++;
  cdir_progress_file_done(job);
  return 0;
}

int cdir_l_create_dir(cdir_job* job, cdir_stat* st) {
  uint64_t n = 0;
  mstat_item* it = st->hstat_dir ? mstat_get_item(st->hstat_dir.get(), &n) : nullptr;
  for (uint64_t i = 0; i < n; i++) {
    if (cdir_need_exit(job)) return -1;
    // Only made here: a directory gets its permissions and times when its
    // contents are written (its touch), or a read-only one would refuse them.
    std::string path = job->dst.join(st->opath, it[i].name);
    if (make_dir(path) < 0) {
      int v = os_last_verr();
      LOGES("mkdirs %s eno=%d error: ", path.c_str(), v);
      cdir_verr_check(job, v);
    }
  }
  return 0;
}

int cdir_l_touch_dir(cdir_job* job, const char* payload, const cdir_stat* st) {
  std::string path;
  if (!cdir_touch_path(job, payload, st, &path)) return 0;
  if (make_dir(path) < 0) {
    int v = os_last_verr();
    LOGES("lutime %s eno=%d error: ", path.c_str(), v);
    cdir_verr_check(job, v);
    return -1;
  }
  os_set_stat s = rdir_set_stat_of(st->own);
  // Its subdirectories come later and may still be created in it, which
  // needs its write permission and moves its write time: such a directory
  // gets its record when the walk is done.
  if (st->has_subdirs) {
    job->c.touch_later.push_back({std::move(path), s});
    return 0;
  }
  return apply_dir_stat(job, path, s);
}

void cdir_l_touch_later(cdir_job* job) {
  // Deepest first: the walk went breadth first, so a directory comes after
  // its parent; applying a child touches nothing of its parent's.
  for (auto it = job->c.touch_later.rbegin(); it != job->c.touch_later.rend(); ++it) {
    if (cdir_need_exit(job)) break;
    apply_dir_stat(job, it->path, it->st);
  }
  job->c.touch_later.clear();
}

int cdir_write_file(cdir_job* job, cdir_copier* cc, const cdir_stat* item, const mstat_item* e, const uint8_t* data,
                    size_t len) {
  std::string opath = job->dst.join(item->opath, e->name);
  if (len == 0) return cdir_create_file(job, cc, e, nullptr, opath);
  os_file_uptr out = cdir_open_dst(job, cc, nullptr, opath, nullptr);
  if (!out) return -1;
  int64_t w = os_file_pwrite(out.get(), data, len, 0);
  if (w != static_cast<int64_t>(len)) {
    int v = cdir_short_write_verr(w);
    LOGES("o_write [%s] eno=%d error: ", opath.c_str(), v);
    cc->o_file_fail_count++;
    cdir_verr_check(job, v);
    return -1;  // a cut file keeps its own stat
  }
  cc->total_write += w;
  cdir_progress_bytes(job, w);
  os_set_stat s = rdir_set_stat_of(*e);
  if (os_file_set_stat(out.get(), &s) < 0) LOGES("set_stat [%s] error: ", opath.c_str());
  cc->file_open_count++;
  cdir_progress_file_done(job);
  return 0;
}
