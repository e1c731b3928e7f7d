// The worker thread: walks the source tree breadth first, reads the
// destination listing beside it and posts one message per directory.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

void set_own(cdir_stat* st, const mstat_item& rec) {
  st->own = rec;
  st->own_link = rec.link ? rec.link : "";
  st->own.name = "";
  st->own.link = st->own_link.empty() ? nullptr : st->own_link.c_str();
}

/// A new item with the paths, own record, flags and listing error of `st`
/// and no lists.
cdir_stat* stat_copy(const cdir_stat* st) {
  cdir_stat* c = cdir_stat_new();
  if (c == nullptr) return nullptr;
  c->path = st->path;
  c->opath = st->opath;
  set_own(c, st->own);
  c->odir_exists = st->odir_exists;
  c->veno = st->veno;
  return c;
}

/// Posts a message that owns `st` from now on; a failed post frees it.
int post(cdir_job* job, uint32_t id, const char* payload, cdir_stat* st) {
  int r = cmder_post_msg3(job->cmd, id, payload, st, 0);
  if (r < 0) {
    LOGE("cmder_post_msg3 failed\n");
    cdir_stat_free(st);
  }
  return r;
}

}  // namespace

bool cdir_parse_end_mark(std::string_view s, int* veno) {
  size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
  if (s.size() == i || s.size() - i > 10) return false;
  int64_t v = 0;
  for (; i < s.size(); i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  if (!s.empty() && s[0] == '-') v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  *veno = static_cast<int>(v);
  return true;
}

namespace {

uint64_t count_of(mstat* h) {
  uint64_t n = 0;
  if (h) mstat_get_item(h, &n);
  return n;
}

/// The first entry of `h` whose name is not one plain name of an entry in
/// the listed directory, or nullptr. Such a name, joined to a directory,
/// would reach past it: a peer's listing is used only when none has one.
const char* bad_name(mstat* h, char sep) {
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(h, &n);
  for (uint64_t i = 0; i < n; i++)
    if (!cdir_name_ok(it[i].name, sep)) return it[i].name ? it[i].name : "";
  return nullptr;
}

}  // namespace

bool cdir_name_ok(const char* name, char sep) {
  if (name == nullptr || name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strchr(name, '/') == nullptr && strchr(name, sep) == nullptr;
}

cdir_stat* cdir_stat_new() {
  try {
    return std::make_unique<cdir_stat>().release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void cdir_stat_free(cdir_stat* st) { std::unique_ptr<cdir_stat> own(st); }

cdir_stat* rdir_stat_alloc(cdir_job* job, const char* path, const cdir_stat* tmpl) {
  cdir_stat* st = cdir_stat_new();
  if (st == nullptr) return nullptr;
  st->path = path ? path : job->src.path;
  if (!job->dst.path.empty()) st->opath = path == nullptr ? job->dst.path : cdir_dst_below(job, st->path);
  st->hstat_file.reset(mstat_new());
  st->hstat_dir.reset(mstat_new());
  if (!WY_CHECK(st->hstat_file != NULL) || !WY_CHECK(st->hstat_dir != NULL)) {
    cdir_stat_free(st);
    return nullptr;
  }
  if (tmpl) {
    st->odir_exists = tmpl->odir_exists;
    set_own(st, tmpl->own);
  }
  return st;
}

/// Reads one directory's listing (source or destination side) into a new
/// item. nullptr when the listing could not be read.
static cdir_stat* rdir_read_stat(cdir_job* job, bool is_src, const char* path, cdir_stat* tmpl) {
  cdir_stat* st = rdir_stat_alloc(job, path, tmpl);
  if (st == nullptr) {
    LOGE("rdir_stat_alloc failed\n");
    cdir_stat_free(tmpl);
    return nullptr;
  }
  if (is_src && path) {
    post(job, CDIR_MSG_LIST_DIR, path, tmpl);  // the message owns the template now
    tmpl = nullptr;
  } else if (is_src) {
    st->odir_exists = job->dst_root_missing ? 0 : 1;
  }
  cdir_stat_free(tmpl);
  vrdir* r = is_src ? job->w.irdir.get() : job->w.ordir.get();
  const char* where = path ? path : st->path.c_str();
  int veno = 0, ends = 0;
  bool ok = false, refused = false;
  char* buf = job->w.lbuf.data();
  while (true) {
    int n = vrdir_read_item_list(job, r, buf, job->w.lbuf.size());
    if (n < 0) {
      LOGE("[%s] vrdir_read_item_list failed\n", where);
      break;
    }
    // Records are text: a NUL inside would cut a name short of what the
    // peer sent and hide the rest of it.
    if (memchr(buf, '\0', static_cast<size_t>(n)) != nullptr) {
      LOGE("[%s] vrdir_read_item_list NUL in listing\n", where);
      refused = true;
      break;
    }
    char* end = static_cast<char*>(memchr(buf, '\r', n));
    if (end) {
      // What the reader left out of the listing never reaches a message,
      // so it is counted here, once per listing, as failed source files.
      if (is_src && buf[0] == 'F') job->i_file_fail_count += r->skip_count();
      // The end mark is the listing's last piece: "\r" and its error
      // number, nothing after. Anything else is damage, never an ending.
      if (!cdir_parse_end_mark(std::string_view(end + 1, buf + n - end - 1), &veno)) {
        LOGE("[%s] vrdir_read_item_list damaged end mark\n", where);
        refused = true;
        break;
      }
      *end = '\0';
      ends++;
      n = static_cast<int>(end - buf);
    }
    mstat* h = buf[0] == 'F' ? st->hstat_file.get() : st->hstat_dir.get();
    if (n > 1 && str_2_stat(std::string_view(buf + 1, n - 1), h) < 0) {
      LOGE("vrdir_str_2_stat failed\n");
      refused = true;
      break;
    }
    if (cdir_need_exit(job)) break;
    if (ends >= 2) {
      ok = true;
      break;
    }
  }
  if (ok) {
    char sep = is_src ? job->src.sep : job->dst.sep;
    const char* bad = bad_name(st->hstat_file.get(), sep);
    if (bad == nullptr) bad = bad_name(st->hstat_dir.get(), sep);
    if (bad != nullptr) {
      LOGE("[%s] listing refused: it names [%s]\n", where, rdir_escape_name(bad).c_str());
      ok = false;
      refused = true;
    }
  }
  if (!ok) {
    // A damaged listing stops the job: what else the peer sends is no
    // better. Nothing of it was used; the directory counts as failed.
    if (refused) {
      cdir_verr_check(job, -1);
      if (is_src)
        job->w.i_dir_fail_count++;
      else
        job->w.o_dir_fail_count++;
    }
    cdir_stat_free(st);
    return nullptr;
  }
  if (veno != 0) {
    LOGV("vrdir_read_item_list [%s] veno=%d err: %s", st->path.c_str(), veno, verr2str(veno));
    if (is_src)
      job->w.i_dir_fail_count++;
    else
      job->w.o_dir_fail_count++;
    st->veno = veno;
  }
  return st;
}

/// Starts the listings of one directory (source, and destination when
/// `odir` is given). False when the source listing could not be started:
/// the directory is counted as failed and skipped, its template released.
static bool rdir_enum_idir(cdir_job* job, const char* idir, const char* odir, cdir_stat* tmpl) {
  LOGV("idir=[%s] odir=[%s]", idir, odir ? odir : "");
  if (job->w.irdir->enum_dir(idir) < 0) {
    LOGE("vrdir_enum_dir [%s] failed", idir);
    job->w.i_dir_fail_count++;
    cdir_stat_free(tmpl);
    return false;
  }
  job->w.dir_count++;
  if (odir && job->w.ordir->enum_dir(odir) < 0) {
    LOGE("vrdir_enum_odir [%s] failed", odir);
    // No destination listing will come for it; reading one later would
    // take the next directory's for its own.
    tmpl->odir_exists = 0;
  }
  return true;
}

/// Reads the source listing of one directory and queues the item.
static int rdir_queue_idir(cdir_job* job, const char* idir, cdir_stat* tmpl) {
  cdir_stat* st = rdir_read_stat(job, true, idir, tmpl);
  if (st == nullptr) return -1;
  if (queue_push_wait(job->w.dir_queue, st, 0) < 0) {
    cdir_stat_free(st);
    return -1;
  }
  return 0;
}

/// A subdirectory whose listings have been started and wait to be read.
struct pending_dir {
  std::string idir;
  cdir_stat* sub;
};

/// Starts the listings of every subdirectory of `st` first, so that the
/// readers list ahead while earlier listings are parsed, then reads and
/// queues them in the same order. Negative when the walk must end.
static int rdir_get_sub_lists(cdir_job* job, cdir_stat* st, cdir_stat* out) {
  uint64_t ndir = 0, nodir = 0;
  mstat_item* dirs = mstat_get_item(st->hstat_dir.get(), &ndir);
  mstat_item* odirs = out ? mstat_get_item(out->hstat_dir.get(), &nodir) : nullptr;
  std::vector<pending_dir> subs;
  subs.reserve(ndir);
  int r = 0;
  for (uint64_t i = 0; i < ndir && r == 0; i++) {
    cdir_stat* sub = stat_copy(st);
    if (sub == nullptr) {
      r = -1;
      break;
    }
    set_own(sub, dirs[i]);
    std::string odir;
    sub->odir_exists = 0;
    if (out && cdir_find_name(odirs, nodir, dirs[i].name)) {
      sub->odir_exists = 1;
      odir = job->dst.join(st->opath, dirs[i].name);
    }
    std::string idir = job->src.join(st->path, dirs[i].name);
    if (rdir_enum_idir(job, idir.c_str(), odir.empty() ? nullptr : odir.c_str(), sub))
      subs.push_back({std::move(idir), sub});
    if (cdir_need_exit(job)) r = 1;
  }
  size_t done = 0;
  for (; done < subs.size() && r == 0; done++) {
    if (rdir_queue_idir(job, subs[done].idir.c_str(), subs[done].sub) < 0)
      r = -1;
    else if (cdir_need_exit(job))
      r = 1;
  }
  // Listings started but not read any more: the walk ends anyway.
  for (size_t i = done; i < subs.size(); i++) cdir_stat_free(subs[i].sub);
  return r;
}

int cdir_worker(cdir_job* job) {
  int r = rdir_queue_idir(job, nullptr, nullptr);
  if (r < 0) return r;
  bool cp = job->work_mode == CDIR_WORK_CP, sync = job->work_mode == CDIR_WORK_SYNC;
  while (true) {
    auto* st = static_cast<cdir_stat*>(queue_pop_wait(job->w.dir_queue, 0));
    if (st == nullptr) return 0;
    LOGV("[%s] [%d]", st->path.c_str(), st->odir_exists);
    cdir_stat* out = nullptr;
    uint64_t n_ofile = 1;
    if (job->need_odir && st->odir_exists) {
      out = rdir_read_stat(job, false, st->opath.c_str(), nullptr);
      if (out == nullptr) {
        cdir_stat_free(st);
        return -1;
      }
      uint64_t n;
      mstat_item* it = mstat_get_item(out->hstat_file.get(), &n);
      cdir_sort_by_name(it, n);
      n_ofile = n;
      it = mstat_get_item(out->hstat_dir.get(), &n);
      cdir_sort_by_name(it, n);
    }
    if (count_of(st->hstat_dir.get()) > 0) {
      if (cp && job->cmp_mode == 4) {
        cdir_stat* m = stat_copy(st);
        if (m) {
          mstat_ref(st->hstat_dir.get());
          m->hstat_dir.reset(st->hstat_dir.get());
          post(job, CDIR_MSG_CREATE_DIRS, nullptr, m);
        }
      }
      r = rdir_get_sub_lists(job, st, out);
      if (r != 0) {
        cdir_stat_free(out);
        cdir_stat_free(st);
        return r < 0 ? r : 0;
      }
    }
    uint64_t nfile = count_of(st->hstat_file.get());
    uint32_t id = 0;
    if (nfile > 0) {
      id = CDIR_MSG_FILE_LIST;
    } else if (sync && st->odir_exists && n_ofile > 0) {
      if (st->path == job->src.path && count_of(st->hstat_dir.get()) == 0 && job->max_del < 0) {
        // A source root that lists nothing is more likely a disk that is
        // not mounted than a tree someone emptied: a backup is not emptied
        // on its word unless a limit says how much may go.
        LOGE("source [%s] lists no entry: nothing deleted at [%s] (give max_del= to allow it)", st->path.c_str(),
             st->opath.c_str());
        job->del_held = true;
      } else if (st->veno != 0) {
        // The listing broke off: files we did not see may still exist.
        LOGE("[%s] source listing incomplete (veno=%d), no destination file deleted", st->path.c_str(), st->veno);
      } else {
        id = CDIR_MSG_DEL_FILES;
      }
    }
    if (id != 0) {
      cdir_stat* m = stat_copy(st);
      if (m) {
        m->hstat_file = std::move(st->hstat_file);
        if (out) {
          m->hstat_ofile = std::move(out->hstat_file);
          m->hstat_odir = std::move(out->hstat_dir);
        }
        post(job, id, nullptr, m);
      }
    }
    if (cp || sync) {
      cdir_stat* m = stat_copy(st);
      if (m) {
        m->has_subdirs = count_of(st->hstat_dir.get()) > 0;
        post(job, CDIR_MSG_TOUCH_DIR, st->path.c_str(), m);
      }
    }
    cdir_stat_free(out);
    cdir_stat_free(st);
    if (cdir_need_exit(job)) return 0;
  }
}
