// Lists on a multi-file object: one exchange (chunks of whole lines out,
// result records in, matched to the lines in order), and what runs on it:
// small files read from a source and written to a destination, directories
// created, the times of destination directories, and sync's deletions on a
// destination behind a multi-file object.
#include <algorithm>
#include <cstring>
#include <functional>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

/// The longest run of whole lines of `list` from `pos` that fits in `max`
/// bytes, without its final newline. False when the next line alone is
/// longer than `max` (such a line is never sent cut).
bool next_chunk(std::string_view list, size_t pos, size_t max, std::string_view* chunk) {
  std::string_view rest = list.substr(pos);
  size_t end = 0;  // end of the last whole line that fits
  while (end < rest.size()) {
    size_t nl = rest.find('\n', end);
    size_t line_end = nl == std::string_view::npos ? rest.size() : nl;
    if (line_end > max) break;
    end = line_end + 1;
  }
  if (end == 0) return false;
  *chunk = rest.substr(0, std::min(end - 1, rest.size()));
  return true;
}

/// Calls `fn` with each tab-separated token of `data` (trailing tabs
/// stripped). `fn` returns false to stop; so does this then.
template <typename Fn>
bool for_each_token(std::string_view data, Fn fn) {
  while (!data.empty() && (data.back() == '\t' || data.back() == '\0')) data.remove_suffix(1);
  while (!data.empty()) {
    size_t t = data.find('\t');
    if (!fn(data.substr(0, t))) return false;
    if (t == std::string_view::npos) break;
    data.remove_prefix(t + 1);
  }
  return true;
}

/// A decimal result value; false for anything else (a damaged answer).
bool parse_int(std::string_view s, int* out) {
  if (s.empty() || s.size() > 11) return false;
  size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = static_cast<int>(s[0] == '-' ? -v : v);
  return true;
}

uint64_t line_count(std::string_view chunk) { return std::count(chunk.begin(), chunk.end(), '\n') + 1; }

/// Results that are one decimal value per list line ("%d\t"): the creation
/// and deletion lists of `n` lines. `fn` takes each value with its line's
/// index, `on_lost` the number of lines left without one.
class value_results : public cdir_list_results {
 public:
  template <typename Fn, typename Lost>
  value_results(cdir_job* job, const std::string& dir, uint64_t n, Fn fn, Lost on_lost)
      : job_(job), dir_(dir), n_(n), fn_(fn), lost_(on_lost) {}
  int64_t take(const char* data, size_t len, uint64_t room) override {
    std::vector<int> vals;
    bool ok = for_each_token(std::string_view(data, len), [&](std::string_view tok) {
      int v;
      if (!parse_int(tok, &v)) {
        LOGE("bad list result [%s]", rdir_escape_name(tok.substr(0, 64)).c_str());
        return false;
      }
      vals.push_back(v);
      return true;
    });
    if (!ok) return refuse(job_, dir_, "damaged result");
    if (vals.size() > room || index_ + vals.size() > n_) return refuse(job_, dir_, "more results than lines");
    for (int v : vals) {
      fn_(index_++, v);
      if (cdir_need_exit(job_)) return -1;
    }
    return static_cast<int64_t>(vals.size());
  }
  void lost() override { lost_(n_ - index_); }

 private:
  cdir_job* job_;
  const std::string& dir_;
  uint64_t n_;
  std::function<void(uint64_t, int)> fn_;
  std::function<void(uint64_t)> lost_;
  uint64_t index_ = 0;
};

/// The results of a small-file read list: one data record per listed file,
/// never more data than the file's listed size.
class read_results : public cdir_list_results {
 public:
  read_results(cdir_job* job, const cdir_stat* item, const mstat_item* e, uint64_t n, cdir_small_proc proc,
               cdir_small_batch* batch)
      : job_(job), item_(item), e_(e), n_(n), proc_(proc), batch_(batch) {}
  int64_t take(const char* data, size_t len, uint64_t room) override {
    auto* p = reinterpret_cast<const uint8_t*>(data);
    recs_.clear();
    while (len > 0) {
      mfile_data d;
      int used = libmfile_read_get_data_len_err(p, len, &d);
      if (used < 0) return refuse(job_, item_->path, "damaged data record");
      if (recs_.size() >= room || k_ + recs_.size() >= n_) return refuse(job_, item_->path, "more results than files");
      if (d.data.size() > static_cast<uint64_t>(e_[k_ + recs_.size()].size))
        return refuse(job_, item_->path, "more data than the file's size");
      recs_.push_back(std::move(d));
      p += used;
      len -= static_cast<size_t>(used);
    }
    // Without a batch the files are written here, and where the job has
    // copier threads they write this answer's files together with this
    // thread (creating files scales with the cores), each counting into
    // its own state, added up before the next answer is taken.
    std::vector<const mstat_item*> es(recs_.size(), nullptr);
    for (size_t j = 0; j < recs_.size(); j++) {
      mfile_data& d = recs_[j];
      const mstat_item* e = &e_[k_++];
      if (d.open_err || d.read_err) {
        LOGE("%s [%s] error: %s", d.open_err ? "i_open" : "i_read", job_->src.join(item_->path, e->name).c_str(),
             verr2str(d.verr));
        job_->i_file_fail_count++;
        if (cdir_need_exit(job_)) return -1;
        continue;
      }
      // A download reads here; a relay counts what it read once the
      // destination has written it.
      if (job_->dir_type == CDIR_RL) job_->c.total_read += static_cast<int64_t>(d.data.size());
      es[j] = e;
    }
    auto one = [this, &es](cdir_copier* cc, size_t j) {
      if (es[j] == nullptr) return true;
      const mfile_data& d = recs_[j];
      if (proc_(job_, cc, item_, es[j], d.data.data(), d.data.size(), batch_) < 0 && cdir_need_exit(job_)) return false;
      return !cdir_need_exit(job_);
    };
    os_pool* pool = batch_ == nullptr ? job_->c.pool.get() : nullptr;
    if (pool != nullptr && recs_.size() > 1) {
      bool whole = pool->run(recs_.size(), [&](int w, uint64_t j) {
        if (cdir_need_exit(job_)) return false;
        return one(w == 0 ? &job_->c : &job_->c.copiers[static_cast<size_t>(w)], static_cast<size_t>(j));
      });
      for (size_t w = 1; w < job_->c.copiers.size(); w++) job_->c.copiers[w].move_counts(&job_->c);
      if (!whole) return -1;
    } else {
      for (size_t j = 0; j < recs_.size(); j++)
        if (!one(&job_->c, j)) return -1;
    }
    return static_cast<int64_t>(recs_.size());
  }
  void lost() override { job_->i_file_fail_count += static_cast<int64_t>(n_ - k_); }

 private:
  cdir_job* job_;
  const cdir_stat* item_;
  const mstat_item* e_;
  uint64_t n_;
  uint64_t k_ = 0;
  cdir_small_proc proc_;
  cdir_small_batch* batch_;
  std::vector<mfile_data> recs_;
};

/// The results of a write list: "kind\tvalue" per line sent; a file
/// written (kind 0) tells the bytes its line carried. Keeps its own copy of
/// the names: it may be collected after its directory's message is gone.
class write_results : public cdir_list_results {
 public:
  write_results(cdir_job* job, const cdir_stat* item, const std::vector<cdir_sent_line>& sent, bool count_read)
      : job_(job), path_(item->path), opath_(item->opath), count_read_(count_read) {
    sent_.reserve(sent.size());
    for (const cdir_sent_line& l : sent) sent_.push_back({l.e->name, l.len});
  }
  int64_t take(const char* data, size_t len, uint64_t room) override {
    std::string_view rest(data, len);
    std::vector<std::pair<int32_t, int32_t>> got;
    while (!rest.empty()) {
      size_t nl = rest.find('\n');
      std::string_view line = rest.substr(0, nl);
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
      if (line.empty()) continue;
      int32_t kind = 0, value = 0;
      if (libmfile_write_get_info(line, &kind, &value) < 0 || kind < 0 || kind > 2)
        return refuse(job_, opath_, "damaged result");
      if (got.size() >= room || k_ + got.size() >= sent_.size())
        return refuse(job_, opath_, "more results than lines");
      if (kind == 0 && value != sent_[k_ + got.size()].len)
        return refuse(job_, opath_, "a result that does not fit its line");
      got.push_back({kind, value});
    }
    for (auto [kind, value] : got) {
      const line& e = sent_[k_++];
      if (kind == 1 || kind == 2) {
        LOGE("mkfile [%s] eno=%d error: %s", job_->src.join(path_, e.name.c_str()).c_str(), value, verr2str(value));
        job_->c.o_file_fail_count++;
        cdir_verr_check(job_, value);
        if (stop_taking(job_)) return -1;
        continue;
      }
      if (count_read_) job_->c.total_read += value;
      job_->c.file_open_count++;
      job_->c.total_write += value;
      cdir_progress_file_done(job_);
      cdir_progress_bytes(job_, value);
    }
    return static_cast<int64_t>(got.size());
  }
  void lost() override { job_->c.o_file_fail_count += static_cast<int64_t>(sent_.size() - k_); }

 private:
  struct line {
    std::string name;
    int64_t len;
  };
  cdir_job* job_;
  std::string path_, opath_;
  std::vector<line> sent_;
  bool count_read_;
  size_t k_ = 0;
};

/// Largest small file: what a read-list record and a write list's decoded
/// data can hold on the multi-file objects of this job.
int64_t small_max(const cdir_job* job) { return std::min<int64_t>(SMALL_FILE_MAX, job->max_mfile_size - 4); }

/// True when `e` travels in a small-file list: small enough, and its write
/// list line (base64 data and all) fits in one chunk when one is made.
bool travels_small(const cdir_job* job, const mstat_item& e, bool write_line) {
  if (e.size > small_max(job)) return false;
  if (!write_line) return true;
  // Name, link, three 8-digit, three 16-digit and two 10-digit fields, tabs.
  size_t line = base64_encoded_len(static_cast<size_t>(e.size)) + strlen(e.name) + (e.link ? strlen(e.link) : 0) + 110;
  return line <= static_cast<size_t>(job->bs - 1);
}

/// Sends the write list gathered in `b` and clears it.
int flush_batch(cdir_job* job, cdir_small_batch* b) {
  if (b->list.empty()) return 0;
  int r = r_up_small_file_list(job, b->item, b);
  b->list.clear();
  b->sent.clear();
  return r;
}

/// Appends one write list line (`len` bytes of data as `b64`); the list goes out first when the line would
/// not fit in its chunk.
int batch_add(cdir_job* job, cdir_small_batch* b, const mstat_item* e, std::string_view b64, int64_t len) {
  b->line.clear();
  rdir_fmt_write_line(b->line, *e, b64);
  if (b->line.size() > static_cast<size_t>(job->bs - 1)) {
    LOGE("mkfile [%s] error: its record of %zu bytes does not fit bs=%lld", e->name, b->line.size(),
         static_cast<long long>(job->bs));
    job->c.o_file_fail_count++;
    return 0;
  }
  if (b->list.size() + b->line.size() + 1 > static_cast<size_t>(job->bs - 1) && flush_batch(job, b) < 0) return -1;
  // A chunk fills up to bs: grown once, not by doubling and copying.
  if (b->list.capacity() < static_cast<size_t>(job->bs)) b->list.reserve(static_cast<size_t>(job->bs));
  b->list += b->line;
  b->list += '\n';
  b->sent.push_back({e, len});
  return 0;
}

}  // namespace

int64_t cdir_list_results::refuse(cdir_job* job, const std::string& dir, const char* why) {
  LOGE("[%s] list results refused: %s", dir.c_str(), why);
  cdir_verr_check(job, -1);
  refused_ = true;
  return -1;
}

bool cdir_list_results::stop_taking(cdir_job* job) const {
  if (finish_on_error_stop) return job->user_stop != 0;
  return cdir_need_exit(job);
}

/// A chunk whose results are not collected yet, and the directories whose
/// times wait for them.
struct cdir_pending_list {
  vmfile* m = nullptr;
  std::vector<char>* buf = nullptr;
  std::string dir;
  uint64_t lines = 0;
  std::shared_ptr<cdir_list_results> res;
  bool left_msg = false;  // its message ended before it was collected
  struct touch {
    std::string path;
    mstat_item st;
  };
  std::vector<touch> touches;
};

void cdir_pending_free::operator()(cdir_pending_list* p) const { delete p; }

namespace {

/// Collects the results of one posted chunk of `lines` lines (UINT64_MAX:
/// until the results say they are complete).
int collect_chunk(cdir_job* job, vmfile* m, const std::string& dir, uint64_t lines, cdir_list_results* res,
                  std::vector<char>* buf) {
  uint64_t answered = 0;
  int64_t prev = os_clock_ms();
  while (answered < lines && !res->complete()) {
    int n = vmfile_list_ret(job, m, buf->data(), buf->size());
    if (n < 0) {
      // Fewer results than lines, then none at all.
      if (job->last_verr == -40) res->lost();
      return n;
    }
    int64_t k = res->take(buf->data(), static_cast<size_t>(n), lines - answered);
    if (k < 0) {
      if (res->refused()) res->lost();
      return -1;
    }
    answered += static_cast<uint64_t>(k);
    int64_t now = os_clock_ms();
    if (now - prev > job->timeout) {
      LOGE("[%s] list results time-out=%d", dir.c_str(), job->timeout);
      cdir_verr_check(job, -40);
      if (answered < lines) res->lost();
      return -1;
    }
    prev = now;
  }
  return 0;
}

/// How many write lists may wait for their results on one object. With
/// two, the server starts on the next list the moment it is done with one,
/// while this side still reads the files of the list after it.
constexpr size_t kListsInFlight = 2;

/// Sends `list` chunk by chunk. After each post the results of the chunks
/// still pending on `m` are collected first (the object answers in posting
/// order), then the chunk's own; with `keep`, the last chunk's are left
/// pending instead, and of the earlier ones only as many as may stay.
int exchange(cdir_job* job, vmfile* m, uint32_t cmd, const std::string& dir, std::string_view list,
             cdir_list_results* res, std::vector<char>* buf, std::shared_ptr<cdir_list_results> keep) {
  bool whole_dir = cmd == MFILE_CMD_DEL_FILES;
  if (list.empty() && !whole_dir) return 0;
  size_t max = static_cast<size_t>(job->bs - 1);
  size_t pos = 0;
  do {
    std::string_view chunk;
    if (!whole_dir && !next_chunk(list, pos, max, &chunk)) {
      LOGE("[%s] list line longer than bs-1=%zu", dir.c_str(), max);
      cdir_verr_check(job, -1);
      return -1;
    }
    if (cdir_need_exit(job)) return -1;
    // The chunk goes out NUL-terminated from the buffer the results then
    // come into: the object has taken it before it answers.
    if (!chunk.empty()) memcpy(buf->data(), chunk.data(), chunk.size());
    (*buf)[chunk.size()] = '\0';
    int r = m->add_list(cmd, dir.c_str(), buf->data());
    if (r < 0) return r;
    uint64_t lines = whole_dir ? UINT64_MAX : line_count(chunk);
    pos += chunk.size() + 1;
    bool kept = keep && pos >= list.size();
    if (cdir_pending_collect(job, m, kept ? kListsInFlight - 1 : 0) < 0) {
      // This chunk's answers come after the ones that failed: none will be
      // read any more, and its lines count as failed (unless the user
      // stopped the job, which leaves what was in flight uncounted).
      if (!job->user_stop) res->lost();
      return -1;
    }
    if (kept) {
      auto p = std::unique_ptr<cdir_pending_list, cdir_pending_free>(new cdir_pending_list);
      p->m = m;
      p->buf = buf;
      p->dir = dir;
      p->lines = lines;
      p->res = std::move(keep);
      job->c.pending.push_back(std::move(p));
      return 0;
    }
    r = collect_chunk(job, m, dir, lines, res, buf);
    if (r < 0) return r;
  } while (pos < list.size());
  return 0;
}

}  // namespace

int cdir_list_exchange(cdir_job* job, vmfile* m, uint32_t cmd, const std::string& dir, std::string_view list,
                       cdir_list_results* res, std::vector<char>* buf) {
  return exchange(job, m, cmd, dir, list, res, buf, nullptr);
}

int cdir_list_post(cdir_job* job, vmfile* m, const std::string& dir, std::string_view list,
                   std::shared_ptr<cdir_list_results> res, std::vector<char>* buf) {
  cdir_list_results* r = res.get();
  return exchange(job, m, MFILE_CMD_WRITE_LIST, dir, list, r, buf, std::move(res));
}

int cdir_pending_collect(cdir_job* job, vmfile* m, size_t leave) {
  auto& q = job->c.pending;
  auto on_m = [m](const std::unique_ptr<cdir_pending_list, cdir_pending_free>& p) {
    return m == nullptr || p->m == m;
  };
  size_t n = static_cast<size_t>(std::count_if(q.begin(), q.end(), on_m));
  int r = 0;
  bool failed = false;
  for (; n > leave || (failed && n > 0); n--) {
    auto it = std::find_if(q.begin(), q.end(), on_m);
    std::unique_ptr<cdir_pending_list, cdir_pending_free> p = std::move(*it);
    q.erase(it);
    // A user's stop has stopped the connections too: what is still pending
    // stays uncounted, as a list cut off by the stop would.
    if (job->user_stop) {
      r = -1;
      continue;
    }
    p->res->finish_on_error_stop = true;
    int64_t before = job->prog.msg_done.load();
    // After a failed collection the object's answers can no longer be
    // matched to lists: the later lists, all of them, are lost unread.
    int k = -1;
    if (failed) {
      p->res->lost();
    } else {
      k = collect_chunk(job, p->m, p->dir, p->lines, p->res.get(), p->buf);
      failed = k < 0;
    }
    if (p->left_msg) {
      // Its message counted none of these lines done: the ones written
      // count now, the others (failed, lost) as finished too; none in the
      // current message's count.
      job->prog.msg_done = before;
      job->prog.done += static_cast<int64_t>(p->lines);
    }
    if (k < 0 || cdir_need_exit(job)) {
      r = -1;
      continue;
    }
    for (const cdir_pending_list::touch& t : p->touches) {
      if (job->c.obfile->set_path_times(t.path.c_str(), t.st) < 0)
        LOGE("lutime %s error: %s", t.path.c_str(), verr2str(job->c.obfile->last_verr()));
    }
  }
  return r;
}

int64_t cdir_pending_leave_msg(cdir_job* job) {
  int64_t lines = 0;
  for (auto& p : job->c.pending) {
    if (p->left_msg) continue;
    p->left_msg = true;
    lines += static_cast<int64_t>(p->lines);
  }
  return lines;
}

bool cdir_pending_touch(cdir_job* job, const std::string& path, const mstat_item& st) {
  // The newest list holds the last of the directory's files.
  if (job->c.pending.empty()) return false;
  cdir_pending_list* p = job->c.pending.back().get();
  mstat_item times;
  times.atime = st.atime;
  times.wtime = st.wtime;
  times.ctime = st.ctime;
  p->touches.push_back({path, times});
  return true;
}

int r_get_small_file_list_data(cdir_job* job, const cdir_stat* item, const mstat_item* it, uint64_t start,
                               uint64_t count, uint64_t* out, cdir_small_proc proc, cdir_small_batch* batch) {
  LOGV("[%s]", item->path.c_str());
  std::string list;
  uint64_t i = start;
  for (; i < count && travels_small(job, it[i], batch != nullptr); i++) {
    if (cdir_need_exit(job)) {
      *out = i;
      return -1;
    }
    list += it[i].name;
    list += '\t';
    list += std::to_string(it[i].size);
    list += '\n';
  }
  *out = i;
  if (list.empty()) return 0;
  read_results res(job, item, it + start, i - start, proc, batch);
  return cdir_list_exchange(job, job->c.imfile.get(), MFILE_CMD_READ_LIST, item->path, list, &res, &job->c.dbuf);
}

int r_up_small_file_list(cdir_job* job, const cdir_stat* item, cdir_small_batch* b) {
  // Only where the source is remote are the bytes counted as read here; a
  // local source counted them when it read them.
  auto res = std::make_shared<write_results>(job, item, b->sent, job->dir_type == CDIR_RR);
  // The relay sends while a read list's results fill the data buffer.
  std::vector<char>* buf = job->dir_type == CDIR_RR ? &job->c.rbuf : &job->c.dbuf;
  return cdir_list_post(job, job->c.omfile.get(), item->opath, b->list, std::move(res), buf);
}

int cdir_read_local_mfile_base64(cdir_job* job, const mstat_item* it, uint64_t start, uint64_t count,
                                 uint64_t* out, cdir_small_batch* b) {
  uint64_t i = start;
  for (; i < count && travels_small(job, it[i], true); i++) {
    if (cdir_need_exit(job)) {
      *out = i;
      return -1;
    }
    const mstat_item* e = &it[i];
    job->c.ebuf.clear();
    int64_t got = 0;
    if (e->size > 0 && !(e->flags & RDIR_FLAG_LINK)) {
      std::string ipath = job->src.join(b->item->path, e->name);
      // Read whole at once: no sequential hint, which costs a system call.
      os_file_uptr f(os_file_open(ipath.c_str(), OS_FILE_READ | OS_FILE_SHARE_ALL));
      int64_t n = f ? os_file_pread(f.get(), job->c.dbuf.data(), static_cast<size_t>(e->size), 0) : -1;
      // Short of the listed size: the end only if nothing more comes (a
      // failing disk hands out what it read before the error).
      while (n >= 0 && n < e->size) {
        int64_t more = os_file_pread(f.get(), job->c.dbuf.data() + n, static_cast<size_t>(e->size - n), n);
        if (more <= 0) {
          if (more < 0) n = -1;
          break;
        }
        n += more;
      }
      if (n < 0) {
        // Left out of the list: an empty record would empty the copy.
        int v = os_last_verr();
        LOGES(f ? "i_read [%s] eno=%d error: " : "i_open [%s] eno=%d error: ", ipath.c_str(), v);
        cdir_verr_check(job, v);
        job->i_file_fail_count++;
        continue;
      }
      job->c.ebuf = base64_encode(job->c.dbuf.data(), static_cast<size_t>(n));
      job->c.total_read += n;
      got = n;
    }
    if (batch_add(job, b, e, job->c.ebuf, got) < 0) {
      *out = i + 1;
      return -1;
    }
  }
  *out = i;
  return flush_batch(job, b);
}

int cdir_relay_proc(cdir_job* job, cdir_copier*, const cdir_stat*, const mstat_item* e, const uint8_t* data,
                    size_t len, cdir_small_batch* b) {
  job->c.ebuf = len ? base64_encode(data, len) : std::string();
  return batch_add(job, b, e, job->c.ebuf, static_cast<int64_t>(len));
}

int cdir_relay_flush(cdir_job* job, cdir_small_batch* b) { return flush_batch(job, b); }

int r_create_dir_list(cdir_job* job, cdir_stat* st) {
  uint64_t n = 0;
  mstat_item* it = st->hstat_dir ? mstat_get_item(st->hstat_dir.get(), &n) : nullptr;
  std::string list;
  for (uint64_t i = 0; i < n; i++) {
    rdir_fmt_mkdir_line(list, it[i]);
    list += '\n';
  }
  value_results res(
      job, st->opath, n,
      [&](uint64_t k, int v) {
        if (v == 0) return;
        LOGE("mkdir [%s] eno=%d error: %s", job->dst.join(st->opath, it[k].name).c_str(), v, verr2str(v));
        cdir_verr_check(job, v);
      },
      [](uint64_t) {});
  return cdir_list_exchange(job, job->c.omfile.get(), MFILE_CMD_MKDIR_LIST, st->opath, list, &res, &job->c.dbuf);
}

int r_touch_dir(cdir_job* job, const char* payload, const cdir_stat* st) {
  std::string path;
  if (!cdir_touch_path(job, payload, st, &path)) return 0;
  // Its last files may still be being written: their results come first.
  if (cdir_pending_touch(job, path, st->own)) return 0;
  if (job->c.obfile->set_path_times(path.c_str(), st->own) < 0) {
    LOGE("lutime %s error: %s", path.c_str(), verr2str(job->c.obfile->last_verr()));
    return -1;
  }
  return 0;
}

int r_sync_del_orphaned_file(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc, mstat_item* dst,
                             uint64_t ndst) {
  std::string list;
  std::vector<const char*> names;
  for (uint64_t i = 0; i < ndst; i++) {
    if (src && cdir_find_name(src, nsrc, dst[i].name)) continue;
    if (!cdir_del_allowed(job, job->dst.join(st->opath, dst[i].name).c_str())) continue;
    list += dst[i].name;
    list += '\n';
    names.push_back(dst[i].name);
  }
  value_results res(
      job, st->opath, names.size(),
      [&](uint64_t k, int v) {
        if (v == 0) {
          job->c.sync_del_file_count++;
          return;
        }
        LOGE("remove [%s] error: %s", job->dst.join(st->opath, names[k]).c_str(), verr2str(v));
        cdir_verr_check(job, v);
        job->c.sync_del_file_fail_count++;
      },
      [job](uint64_t left) { job->c.sync_del_file_fail_count += static_cast<int64_t>(left); });
  return cdir_list_exchange(job, job->c.omfile.get(), MFILE_CMD_DEL_LIST, st->opath, list, &res, &job->c.dbuf);
}

namespace {

/// The answer of the delete-all operation: "F", a value per removed entry,
/// "$"; or "D", the error number and "$" when the directory would not list.
class del_files_results : public cdir_list_results {
 public:
  del_files_results(cdir_job* job, const std::string& dir) : job_(job), dir_(dir) {}
  int64_t take(const char* data, size_t len, uint64_t) override {
    bool damaged = false;
    bool ok = for_each_token(std::string_view(data, len), [&](std::string_view tok) {
      if (done_) return false;
      if (tok == "F") return true;
      if (tok == "$") {
        done_ = true;
        return true;
      }
      if (tok == "D") {
        job_->c.sync_del_file_fail_count++;
        return true;
      }
      int v;
      if (!parse_int(tok, &v)) {
        LOGE("bad list result [%s]", rdir_escape_name(tok.substr(0, 64)).c_str());
        damaged = true;
        return false;
      }
      if (v == 0) {
        job_->c.sync_del_file_count++;
      } else {
        cdir_verr_check(job_, v);
        job_->c.sync_del_file_fail_count++;
      }
      return !cdir_need_exit(job_);
    });
    if (damaged) return refuse(job_, dir_, "damaged result");
    return ok ? 0 : -1;
  }
  bool complete() const override { return done_; }

 private:
  cdir_job* job_;
  const std::string& dir_;
  bool done_ = false;
};

}  // namespace

int r_del_files(cdir_job* job, cdir_stat* st) {
  // Under a deletion limit the files go by name, each counted against it;
  // the server's delete-all would take them all at once.
  if (job->max_del >= 0) {
    uint64_t n = 0;
    mstat_item* dst = st->hstat_ofile ? mstat_get_item(st->hstat_ofile.get(), &n) : nullptr;
    return r_sync_del_orphaned_file(job, st, nullptr, 0, dst, n);
  }
  del_files_results res(job, st->opath);
  return cdir_list_exchange(job, job->c.omfile.get(), MFILE_CMD_DEL_FILES, st->opath, {}, &res, &job->c.dbuf);
}
