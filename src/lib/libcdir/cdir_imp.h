// The copy job's insides, shared by the engine's units.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libcdir.h"
#include "libpal.h"
#include "librdir.h"
#include "v_rdir.h"

/// Messages from the worker to the command thread.
enum : uint32_t {
  CDIR_MSG_FILE_LIST = 2,
  CDIR_MSG_DEL_FILES = 3,
  CDIR_MSG_CREATE_DIRS = 4,
  CDIR_MSG_LIST_DIR = 6,
  CDIR_MSG_TOUCH_DIR = 7,
  // After the walk (copy and sync): the directories whose records waited for
  // their subtrees, and the results of a write list still in flight.
  CDIR_MSG_WALK_END = 8,
};

/// Files of at most this size travel in multi-file lists on a remote side.
constexpr int64_t SMALL_FILE_MAX = 524288;

struct cdir_path;

/// One side of a job: its URL, the URL's path and the separator of its
/// paths.
struct cdir_endpoint {
  std::string url;
  std::string path;
  char sep = '/';
  /// `dir` joined with `name` by this side's separator (one between them).
  std::string join(const std::string& dir, const char* name) const;
};

/// One directory being walked, and the data of one message.
struct cdir_stat {
  std::string path;   // source directory
  std::string opath;  // matching destination directory; empty without one
  mstat_ptr hstat_file;
  mstat_ptr hstat_dir;
  mstat_ptr hstat_ofile;  // destination files (file-list messages)
  mstat_ptr hstat_odir;   // destination subdirectories (file-list messages)
  mstat_item own{};              // own record in the parent's listing; zero for the root
  std::string own_link;
  uint8_t odir_exists = 0;
  uint8_t has_subdirs = 0;  // the source directory has subdirectories (touch messages)
  // Error number the source listing ended with: a directory that was not
  // listed completely never has destination files deleted on its account.
  int32_t veno = 0;
};

/// A destination directory's record, applied once its subtree is written.
struct cdir_dir_touch {
  std::string path;
  os_set_stat st;
};

/// A new empty item, or nullptr when memory runs out.
cdir_stat* cdir_stat_new();
/// Releases the item's lists and the item (null is ignored). Items cross
/// the queues and the command thread as raw pointers; everywhere else they
/// are held by cdir_stat_ptr.
void cdir_stat_free(cdir_stat* st);
struct cdir_stat_release {
  void operator()(cdir_stat* st) const { cdir_stat_free(st); }
};
using cdir_stat_ptr = std::unique_ptr<cdir_stat, cdir_stat_release>;

/// What the worker thread alone writes: the walk's readers, its listing
/// buffer and queue, and the directory counters. Other threads read it
/// only once the worker has ended (the report).
struct cdir_worker_owned {
  int64_t dir_count = 0, i_dir_fail_count = 0, o_dir_fail_count = 0;
  std::vector<char> lbuf;  // one chunk of listing text
  std::unique_ptr<vrdir> irdir, ordir;
  queue* dir_queue = nullptr;  // directories waiting to be walked
};

/// What one thread that writes files owns: its counters, its data buffer
/// and what it remembers between files. The command thread's is part of
/// cdir_cmder_owned; each copier thread of the pool has its own, added into
/// the command thread's when the message's files are done.
struct cdir_copier {
  int64_t file_open_count = 0, o_file_fail_count = 0, total_read = 0, total_write = 0;
  std::vector<char> dbuf;  // file data, list chunks and results
  // Last destination directory known to exist, so that the files of one
  // directory do not each create their parents again.
  std::string made_dir;
  // The kernel can copy between our local files (cleared at the first pair
  // it refuses).
  bool copy_range = true;

  /// dbuf, made `bs` bytes long on first use: a copier that only ever has
  /// the kernel copy never touches one.
  char* buf(int64_t bs);
  /// Adds the counters into `to` and clears them.
  void move_counts(cdir_copier* to);
};

/// A write list chunk posted to the destination's multi-file object whose
/// results are still to be collected (w_list.cpp).
struct cdir_pending_list;
struct cdir_pending_free {
  void operator()(cdir_pending_list* p) const;
};

/// The thread that reads a big file's next block while the command thread
/// writes the one before (w_block.cpp); started at the job's first big file
/// with a remote side, ended by cdir_ahead_free (idle by then: it only
/// works while the command thread waits for it).
struct cdir_ahead;
void cdir_ahead_free(cdir_ahead* a);
struct cdir_ahead_release {
  void operator()(cdir_ahead* a) const { cdir_ahead_free(a); }
};

/// What the command thread alone writes: the transfers' objects and
/// buffers, the file counters, the listing file. Other threads read it only
/// once the command thread is idle (the report) or gone (close).
struct cdir_cmder_owned : cdir_copier {
  int64_t file_count = 0, file_total_size = 0;
  int64_t sync_del_file_count = 0, sync_del_file_fail_count = 0;
  std::string ebuf;        // base64 text of one small file
  std::vector<char> rbuf;  // CDIR_RR: write lists sent while read results fill dbuf
  std::unique_ptr<vmfile> imfile, omfile;
  std::unique_ptr<vbfile> ibfile, obfile;
  std::unique_ptr<cdir_ahead, cdir_ahead_release> ahead;
  bool ahead_failed = false;  // its thread could not start: blocks go one by one
  wyfile* list_file = nullptr;  // ls: the listing file
  std::string list_path;
  // Directories whose records wait for the end of the walk.
  std::vector<cdir_dir_touch> touch_later;
  // The destination's last write list chunks whose results are not
  // collected yet, oldest first: answered while the next directories are
  // read and sent.
  std::deque<std::unique_ptr<cdir_pending_list, cdir_pending_free>> pending;
  // Local copies: the copier threads beside this one, and their own state
  // (index 0 stands for the command thread itself and stays empty).
  std::unique_ptr<os_pool> pool;
  std::vector<cdir_copier> copiers;
};

/// What the progress display reads while the job runs. Written from the
/// command thread and whatever copies files for it, so every field is
/// atomic or behind `lock`.
struct cdir_progress_state {
  std::atomic<int64_t> seen{0};   // source files of the file-list messages begun
  std::atomic<int64_t> done{0};   // of those, finished one way or another
  std::atomic<int64_t> bytes{0};  // bytes written to the destination
  // Files of the current file-list message finished so far: at its end the
  // files it skipped or failed are counted done too.
  std::atomic<int64_t> msg_done{0};
  std::mutex lock;
  std::string name;  // relative to the source root
};

struct cdir_job {
  // Set at open, read-only while the threads run.
  std::string i_url, o_url;  // resolved URLs
  uint32_t work_mode = 0;
  uint32_t cmp_mode = 0;
  uint32_t dir_type = CDIR_LL;
  const cdir_path* path = nullptr;  // the procedures of dir_type
  int32_t sync_reason = 0;
  int32_t timeout = 0;
  uint8_t need_odir = 0;
  cdir_err* err = nullptr;
  cdir_endpoint src, dst;
  int64_t start_ms = 0;
  int64_t max_mfile_size = 0;
  int64_t bs = 0;
  int threads = 1;  // threads that write one list's files (local sides)
  bool dry = false;       // decide and log, change nothing
  bool dst_root_missing = false;  // dry run: the destination root is not there yet
  int64_t max_del = -1;   // sync's deletion limit, -1 none

  // Written by both threads (and the stop flags by a signal handler).
  std::atomic<uint32_t> error_stop{0};
  std::atomic<uint32_t> user_stop{0};
  std::atomic<int32_t> last_eno{0};
  std::atomic<int32_t> last_verr{0};
  // The command thread's failed files, and the entries the worker's source
  // listings left out.
  std::atomic<int64_t> i_file_fail_count{0};
  // Deletions asked for against max_del, and whether a guard held any back
  // (the run then ends with status 1).
  std::atomic<int64_t> del_asked{0};
  std::atomic<bool> del_held{false};
  cdir_progress_state prog;
  int32_t progress = CDIR_PROGRESS_OFF;
  std::atomic<bool> progress_end{false};
  os_thread* progress_thread = nullptr;

  cdir_worker_owned w;
  cdir_cmder_owned c;

  // The threads; started and ended by the caller's thread.
  os_thread* worker = nullptr;
  cmder* cmd = nullptr;
};

/// The cause of a local write that returned `written` bytes, fewer than
/// asked: the failure that stopped it, a full disk when it left none.
int cdir_short_write_verr(int64_t written);
/// Opens a local file for writing with `flags` (they must hold
/// OS_FILE_NOFOLLOW): a link standing at the path is removed first, never
/// written through, and a parent the first open made lets the next one
/// succeed. nullptr with the platform's cause on failure.
os_file2* cdir_open_no_link(const char* path, uint64_t flags);

/// Progress hooks; any thread. A file finished (written or failed),
/// `n` bytes written, the name now being transferred (a source path).
void cdir_progress_file_done(cdir_job* job);
void cdir_progress_bytes(cdir_job* job, int64_t n);
void cdir_progress_name(cdir_job* job, const std::string& src_path);
/// A job's progress so far; every field may be read while the job runs.
struct cdir_progress_snap {
  int64_t files_seen = 0;   // source files handed to the command thread
  int64_t files_done = 0;   // of those, written, judged current or failed
  int64_t bytes_done = 0;   // bytes written to the destination
  int64_t elapsed_ms = 0;
  std::string name;         // the file being transferred, or its directory
};
/// The progress line of `s` for a display `width` columns wide: files done
/// of seen, bytes done, `rate_bps`, elapsed time and as much of the name as
/// fits (control characters shown as "?"). Never longer than width - 1.
std::string cdir_progress_line(const cdir_progress_snap& s, double rate_bps, int width);

/// The job's progress now (any thread).
bool cdir_progress_of(cdir_job* job, cdir_progress_snap* out);
/// Starts the display the job was opened with, if any; stops it and erases
/// its line (the caller's thread, before the report).
void cdir_progress_start(cdir_job* job);
void cdir_progress_stop(cdir_job* job);
/// Sync: reserves one deletion against max_del. False once the limit is
/// reached: the file stays, and the first refusal says why.
bool cdir_del_allowed(cdir_job* job, const char* path);

/// True when the job must stop (a stopping error or a user stop).
bool cdir_need_exit(cdir_job* job);
/// Classifies a failure and records it; a stopping class sets error_stop.
void cdir_verr_check(cdir_job* job, int verr);
/// 0 when the destination file is taken as equal to the source, 1 when the
/// source must be written.
int cdir_cmp_file_stat(cdir_job* job, const char* name, const mstat_item* src, const mstat_item* dst);

/// The destination directory at the same place below the destination root
/// as `src_dir` is below the source root.
std::string cdir_dst_below(const cdir_job* job, const std::string& src_dir);
/// The destination directory a touch message names: false for the root and
/// for a directory without a record (nothing to touch).
bool cdir_touch_path(const cdir_job* job, const char* payload, const cdir_stat* st, std::string* path);

/// The procedures of one transfer path, picked once by dir_type when the
/// job opens.
struct cdir_path {
  const char* name;
  /// Writes the files of q (CDIR_MSG_FILE_LIST, after the comparison).
  int (*copy_list)(cdir_job* job, cdir_stat* q);
  /// CDIR_MSG_CREATE_DIRS: the subdirectories of st at the destination.
  int (*create_dirs)(cdir_job* job, cdir_stat* st);
  /// CDIR_MSG_TOUCH_DIR: the destination directory's record.
  int (*touch_dir)(cdir_job* job, const char* payload, const cdir_stat* st);
  /// Sync: removes the destination files of st that have no source file.
  int (*del_orphans)(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc, mstat_item* dst,
                     uint64_t ndst);
  /// CDIR_MSG_DEL_FILES: removes every file of st's destination directory.
  int (*del_files)(cdir_job* job, cdir_stat* st);
  /// CDIR_MSG_WALK_END, or nullptr.
  void (*walk_end)(cdir_job* job);
};
/// The path of `dir_type`; nullptr when this build has none.
const cdir_path* cdir_path_of(uint32_t dir_type);
/// The path of a dry run: decides and logs, writes nothing.
const cdir_path* cdir_dry_path();
/// A failed write or close of the listing file, `verr` its cause: logs it,
/// classifies it and stops the job, with the general class when the
/// error's own class would not stop it.
void cdir_list_write_failed(cdir_job* job, int verr);

// Tree walk (work.cpp)
/// The error number of a listing's end mark (the text after its "\r"): an
/// optional "-" and one to ten digits that fit 32 bits, and nothing else.
bool cdir_parse_end_mark(std::string_view s, int* veno);
/// True when `name`, from a listing, is one plain entry name: not empty,
/// not "." or "..", without "/" or the side's separator `sep`.
bool cdir_name_ok(const char* name, char sep);
cdir_stat* rdir_stat_alloc(cdir_job* job, const char* path, const cdir_stat* tmpl);
int cdir_worker(cdir_job* job);

// Message dispatch and per-directory work (w_cp_core.cpp)
void cdir_msg_proc(cdir_job* job, uint32_t id, const char* payload, cdir_stat* st);
int r_sync_file_list(cdir_job* job, cdir_stat* st, bool is_sync);

// Sync deletions (w_sync_core.cpp)
int l_sync_del_orphaned_file(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc,
                             mstat_item* dst, uint64_t ndst);

// Local destinations (v_fs.cpp)

/// Opens a destination file for writing, creating it and its parents. A
/// link standing there is replaced, never written through. A file that is
/// the source itself (the tree reached under a second name, a hard link) is
/// left alone, since truncating it would destroy the source: `src` is the
/// open local source's identity, or none; then `ipath` (a local source path,
/// or none) is looked up when the destination has contents to lose. The
/// file is truncated only after that check. A failure is logged, counted
/// and classified; nullptr then.
/// `cc` is the calling thread's state (counters, the directory it made
/// last); the same for the functions below that take one.
os_file_uptr cdir_open_dst(cdir_job* job, cdir_copier* cc, const std::string* ipath, const std::string& opath,
                           const os_file_id* src);
/// Files of size 0 and links at a local destination (`ipath` as above).
int cdir_create_file(cdir_job* job, cdir_copier* cc, const mstat_item* e, const std::string* ipath,
                     const std::string& opath);
/// A small file received from a remote source, written whole at the
/// destination with its record; no data: cdir_create_file. Counted into
/// `cc` (any thread's).
int cdir_write_file(cdir_job* job, cdir_copier* cc, const cdir_stat* item, const mstat_item* e, const uint8_t* data,
                    size_t len);
int cdir_l_create_dir(cdir_job* job, cdir_stat* st);
int cdir_l_touch_dir(cdir_job* job, const char* payload_path, const cdir_stat* st);
/// Applies the directory records that waited for the end of the walk.
void cdir_l_touch_later(cdir_job* job);

// Big files block by block (w_block.cpp), one per transfer path.
int cdir_copy_file(cdir_job* job, cdir_copier* cc, const mstat_item* e, const std::string& ipath,
                   const std::string& opath);
int cdir_rl_copy_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath);
int cdir_lr_up_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath);
int cdir_rr_up_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath);

// Lists on multi-file objects (w_list.cpp)

/// Takes the result records of one list operation in list order.
class cdir_list_results {
 public:
  virtual ~cdir_list_results() = default;
  /// Takes the whole records of one chunk of results, which answer at most
  /// `room` more lines of the chunk sent: the number of lines they
  /// answered, or -1 to end the exchange (a damaged answer, more results
  /// than lines or one that does not fit its line: refused(); or a stop
  /// seen between records). A refused chunk is checked whole before any of
  /// it is used, so nothing of it is.
  virtual int64_t take(const char* data, size_t len, uint64_t room) = 0;
  /// True once the results say they are complete without a count.
  virtual bool complete() const { return false; }
  /// The exchange ended with lines left unanswered, refused or timed out:
  /// counts them as failed.
  virtual void lost() {}
  bool refused() const { return refused_; }
  /// Results collected after their list's message: a stop for a failure
  /// does not end their collection (the connection still answers, and
  /// every line is to be counted); a user's stop does.
  bool finish_on_error_stop = false;

 protected:
  /// True when the taking must end: the job is stopping (see above).
  bool stop_taking(cdir_job* job) const;
  /// Logs why the results of `dir` are refused, classifies it (it stops
  /// the job) and marks them refused. Returns -1.
  int64_t refuse(cdir_job* job, const std::string& dir, const char* why);

 private:
  bool refused_ = false;
};
/// Runs list operation `cmd` on `m` for directory `dir`: the list goes in
/// chunks of whole lines of at most bs - 1 bytes, and after each chunk its
/// results are collected until every line of it has one (results are
/// matched to lines in order across result chunks). `buf` (bs bytes) holds
/// each chunk and its results. Fails on a failed post or collection, a line
/// longer than bs - 1, a stop, or more than the job's time-out between two
/// result chunks (-40). An empty list is done at once, except for
/// MFILE_CMD_DEL_FILES, which has none.
int cdir_list_exchange(cdir_job* job, vmfile* m, uint32_t cmd, const std::string& dir, std::string_view list,
                       cdir_list_results* res, std::vector<char>* buf);
/// The same for a write list whose last chunk is left pending: its results
/// are collected once later lists on the same object have been posted (a
/// few lists may wait at once), or by cdir_pending_collect. Results are
/// always collected in posting order.
int cdir_list_post(cdir_job* job, vmfile* m, const std::string& dir, std::string_view list,
                   std::shared_ptr<cdir_list_results> res, std::vector<char>* buf);
/// Collects the results of the pending chunks posted to `m` (any object
/// when `m` is null), oldest first, until only `leave` of them wait, and
/// after each sets the times of the directories whose touch waited for it.
/// A user's stop drops them uncollected; after a failed collection the
/// rest are counted lost unread. 0, or -1 when a collection failed
/// (counted as for any list).
int cdir_pending_collect(cdir_job* job, vmfile* m = nullptr, size_t leave = 0);
/// Lines of the pending chunks that their file-list messages leave to be
/// finished later (counted done for the progress when collected); 0 when
/// none or already left.
int64_t cdir_pending_leave_msg(cdir_job* job);
/// Defers setting the times of destination directory `path` until the
/// newest pending chunk's results are in. False when nothing is pending.
bool cdir_pending_touch(cdir_job* job, const std::string& path, const mstat_item& st);

/// One line of a write list: its file and the bytes of data it carries.
struct cdir_sent_line {
  const mstat_item* e;
  int64_t len;
};
/// A write list being gathered for one directory, sent whenever it fills a
/// chunk; `sent` names the file of each line in order.
struct cdir_small_batch {
  const cdir_stat* item = nullptr;
  std::string list, line;
  std::vector<cdir_sent_line> sent;
};
/// What happens to one small file received from a read list (the data
/// belongs to the caller), counted into `cc`. Negative for a failure already
/// counted. Without a batch it may run on a copier thread (`cc` that
/// thread's state), files of one answer at once.
using cdir_small_proc = int (*)(cdir_job* job, cdir_copier* cc, const cdir_stat* item, const mstat_item* e,
                                const uint8_t* data, size_t len, cdir_small_batch* batch);

/// Reads the small files of it[start..count) (sorted by size) from the
/// source multi-file object and hands each to `proc`; a read error record
/// counts in i_file_fail_count. `*out` is where the run of small files
/// ended. With a batch, only files whose write list line fits a chunk run.
int r_get_small_file_list_data(cdir_job* job, const cdir_stat* item, const mstat_item* it, uint64_t start,
                               uint64_t count, uint64_t* out, cdir_small_proc proc, cdir_small_batch* batch);
/// Sends the write list of `b` to the destination multi-file object and
/// counts its results.
int r_up_small_file_list(cdir_job* job, const cdir_stat* item, cdir_small_batch* b);
/// Reads the local small files of it[start..count) into write list lines of
/// `b`, sending as it fills; a file that cannot be read is left out.
int cdir_read_local_mfile_base64(cdir_job* job, const mstat_item* it, uint64_t start, uint64_t count,
                                 uint64_t* out, cdir_small_batch* b);
/// The relay's per-file procedure: the file's write list line into `b`.
int cdir_relay_proc(cdir_job* job, cdir_copier* cc, const cdir_stat* item, const mstat_item* e, const uint8_t* data,
                    size_t len, cdir_small_batch* b);
/// Sends what the relay gathered.
int cdir_relay_flush(cdir_job* job, cdir_small_batch* b);
/// The directories of a destination behind a multi-file object.
int r_create_dir_list(cdir_job* job, cdir_stat* st);
int r_touch_dir(cdir_job* job, const char* payload, const cdir_stat* st);
/// Sync's deletions on a destination behind a multi-file object.
int r_sync_del_orphaned_file(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc, mstat_item* dst,
                             uint64_t ndst);
int r_del_files(cdir_job* job, cdir_stat* st);

/// Sorting and searching stat lists.
void cdir_sort_by_name(mstat_item* items, uint64_t n);
void cdir_sort_by_size(mstat_item* items, uint64_t n);
const mstat_item* cdir_find_name(const mstat_item* items, uint64_t n, const char* name);

