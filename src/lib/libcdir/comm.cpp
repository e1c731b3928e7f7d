// Job-wide helpers: error classes, stop checks, transfer modes and the
// per-file comparison.
#include <algorithm>
#include <cstring>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

struct mode_entry {
  const char* name;
  uint32_t work_mode;
  uint32_t cmp_mode;
};

// Comparison modes: 1 write only missing files, 2 and 5 size or write time
// differ, 3 newer source, 4 and 6-9 always.
const mode_entry kModes[] = {
    {"copy_overwrite", CDIR_WORK_CP, 4},
    {"cp", CDIR_WORK_CP, 4},
    {"copy_diff_size_date", CDIR_WORK_CP, 2},
    {"copy_newer", CDIR_WORK_CP, 3},
    // Never overwrites: reads the destination listing and writes only what
    // is missing there.
    {"copy_no_overwrite", CDIR_WORK_CP, 1},
    {"sync_diff_size_date", CDIR_WORK_SYNC, 5},
    {"sync", CDIR_WORK_SYNC, 5},
    {"sync_diff_size_date_bin", CDIR_WORK_SYNC, 6},
    {"sync_diff_size_date_hash", CDIR_WORK_SYNC, 7},
    {"sync_diff_size_date_rsync", CDIR_WORK_SYNC, 8},
    {"sync_diff_size_date_auto_hash_rsync", CDIR_WORK_SYNC, 9},
};

// Write times at most this many seconds apart count as equal (file systems
// that keep two-second times).
constexpr uint64_t kTimeSlack = 2;

uint64_t time_diff(int64_t a, int64_t b) {
  uint64_t ua = static_cast<uint64_t>(a), ub = static_cast<uint64_t>(b);
  return ua > ub ? ua - ub : ub - ua;
}

}  // namespace

const char* const cdir_listed_modes[] = {"copy_overwrite", "copy_diff_size_date", "sync_diff_size_date",
                                         nullptr};

int cdir_mode_lookup(const char* name, cdir_param* p) {
  for (const auto& m : kModes) {
    if (strcmp(m.name, name) == 0) {
      p->work_mode = m.work_mode;
      p->cmp_mode = m.cmp_mode;
      return 0;
    }
  }
  return -1;
}

int libcdir_verr_2_eno(int verr) {
  switch (verr) {
    case -1:
      return -1;
    case -38:
    case -102:
    case -103:
    case -114:
      return -2;
    case -113:
      return -3;
    case -152:
      return -4;
    case -252:
    case -258:
      return -5;
    case -40:
      return -7;
    default:
      LOGE("verr=%d [%s]", verr, verr2str(verr));
      return 0;
  }
}

int cdir_short_write_verr(int64_t written) {
  int v = os_last_verr();
  return written >= 0 && v == -1 ? -152 : v;
}

bool cdir_need_exit(cdir_job* job) {
  if (job->error_stop.load(std::memory_order_relaxed)) {
    LOGV("error stop exit...");
    return true;
  }
  if (job->user_stop.load(std::memory_order_relaxed)) {
    LOGV("user req exit...");
    return true;
  }
  return false;
}

void cdir_verr_check(cdir_job* job, int verr) {
  int eno = libcdir_verr_2_eno(verr);
  if (eno == -7 || eno == -5 || eno == -4 || eno == -3 || eno == -1) {
    LOGD("verr=%d eno=%d need stop!", verr, eno);
    job->error_stop = 1;
  }
  job->last_eno = eno;
  job->last_verr = verr;
}

void cdir_list_write_failed(cdir_job* job, int verr) {
  LOGE("write [%s] veno=%d error: %s", job->c.list_path.c_str(), verr, verr2str(verr));
  cdir_verr_check(job, verr);
  // A cut listing must never pass for a whole one, whatever the class.
  if (job->last_eno == 0) job->last_eno = -1;
  job->error_stop = 1;
}

int cdir_cmp_file_stat(cdir_job* job, const char* name, const mstat_item* src, const mstat_item* dst) {
  bool why = job->sync_reason & 1;
  switch (job->cmp_mode) {
    case 1:
      if (why) LOGD("[%s] exists, not overwritten", name);
      return 0;
    case 2:
    case 5:
      if (dst->size != src->size) {
        if (why) LOGD("[%s] size=%lld != %lld", name, (long long)dst->size, (long long)src->size);
        return 1;
      }
      if (time_diff(dst->wtime, src->wtime) <= kTimeSlack) return 0;
      if (why) LOGD("[%s] time_write=%lld != %lld", name, (long long)dst->wtime, (long long)src->wtime);
      return 1;
    case 3:
      if (static_cast<uint64_t>(src->wtime) > static_cast<uint64_t>(dst->wtime) + kTimeSlack) {
        if (why) LOGD("[%s] time_write=%lld != %lld", name, (long long)dst->wtime, (long long)src->wtime);
        return 1;
      }
      if (time_diff(dst->wtime, src->wtime) <= kTimeSlack && dst->size != src->size) {
        if (why) LOGD("[%s] size=%lld != %lld", name, (long long)dst->size, (long long)src->size);
        return 1;
      }
      if (why) LOGD("[%s] not newer time_write=%lld <= %lld", name, (long long)src->wtime, (long long)dst->wtime);
      return 0;
    default:
      return 1;
  }
}

void cdir_sort_by_name(mstat_item* items, uint64_t n) {
  if (n < 2) return;
  std::sort(items, items + n, [](const mstat_item& a, const mstat_item& b) { return strcmp(a.name, b.name) < 0; });
}

void cdir_sort_by_size(mstat_item* items, uint64_t n) {
  if (n < 2) return;
  std::stable_sort(items, items + n, [](const mstat_item& a, const mstat_item& b) { return a.size < b.size; });
}

const mstat_item* cdir_find_name(const mstat_item* items, uint64_t n, const char* name) {
  if (n == 0) return nullptr;
  const mstat_item* end = items + n;
  const mstat_item* it =
      std::lower_bound(items, end, name, [](const mstat_item& a, const char* k) { return strcmp(a.name, k) < 0; });
  return (it != end && strcmp(it->name, name) == 0) ? it : nullptr;
}

std::string cdir_endpoint::join(const std::string& dir, const char* name) const {
  std::string s = dir;
  if (!s.empty() && s.back() != sep) s += sep;
  s += name;
  return s;
}

std::string cdir_dst_below(const cdir_job* job, const std::string& src_dir) {
  std::string rel = src_dir.substr(std::min(src_dir.size(), job->src.path.size()));
  std::string out = job->dst.path;
  // Each side keeps its own separator: the relative part is re-spelt.
  for (char& c : rel)
    if (c == job->src.sep) c = job->dst.sep;
  if (!rel.empty() && rel[0] == job->dst.sep && !out.empty() && out.back() == job->dst.sep) rel.erase(0, 1);
  return out + rel;
}

bool cdir_touch_path(const cdir_job* job, const char* payload, const cdir_stat* st, std::string* path) {
  if (payload == nullptr || st->own.flags == 0) return false;
  *path = cdir_dst_below(job, payload);
  return *path != job->dst.path;
}
