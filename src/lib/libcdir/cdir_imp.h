// The copy job's insides, shared by the engine's units.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
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
};

/// Files of at most this size travel in multi-file lists on a remote side.
constexpr int64_t SMALL_FILE_MAX = 524288;

/// One side of a job: its URL and the URL's path.
struct cdir_endpoint {
  std::string url;
  std::string path;
};

/// One directory being walked, and the data of one message.
struct cdir_stat {
  std::string path;   // source directory
  std::string opath;  // matching destination directory; empty without one
  mstat* hstat_file = nullptr;
  mstat* hstat_dir = nullptr;
  mstat* hstat_ofile = nullptr;  // destination files (file-list messages)
  mstat* hstat_odir = nullptr;   // destination subdirectories (file-list messages)
  mstat_item own{};              // own record in the parent's listing; zero for the root
  std::string own_link;
  uint8_t odir_exists = 0;
  // Error number the source listing ended with: a directory that was not
  // listed completely never has destination files deleted on its account.
  int32_t veno = 0;
};

/// Releases the item's lists and the item.
void cdir_stat_free(cdir_stat* st);

struct cdir_job {
  std::string i_url, o_url;  // resolved URLs
  uint32_t work_mode = 0;
  uint32_t cmp_mode = 0;
  uint32_t dir_type = CDIR_LL;
  int32_t sync_reason = 0;
  int32_t timeout = 0;
  uint8_t need_odir = 0;
  cdir_err* err = nullptr;
  wyfile* list_file = nullptr;
  std::string list_path;
  int32_t last_eno = 0;
  int32_t last_verr = 0;
  cdir_endpoint src, dst;
  int64_t start_ms = 0;

  int64_t file_count = 0, dir_count = 0, file_open_count = 0;
  // Also counted by the worker: entries its source listings left out.
  std::atomic<int64_t> i_file_fail_count{0};
  int64_t file_total_size = 0, i_dir_fail_count = 0, o_file_fail_count = 0, o_dir_fail_count = 0;
  int64_t sync_del_file_count = 0, sync_del_file_fail_count = 0, total_read = 0, total_write = 0;

  int64_t max_mfile_size = 0;
  std::vector<char> lbuf;    // one chunk of listing text
  int64_t bs = 0;
  std::vector<char> dbuf;    // file data, list chunks and results
  std::vector<char> ebuf;    // base64 text of small files
  std::vector<char> rbuf;    // CDIR_RR: one reformatted record

  std::atomic<uint32_t> error_stop{0};
  std::atomic<uint32_t> user_stop{0};

  std::unique_ptr<vrdir> irdir, ordir;
  std::unique_ptr<vmfile> imfile, omfile;
  std::unique_ptr<vbfile> ibfile, obfile;

  os_thread* worker = nullptr;
  cmder* cmd = nullptr;
  queue* dir_queue = nullptr;

  // Last destination directory known to exist, so that the files of one
  // directory do not each create their parents again.
  std::string made_dir;
  // The kernel can copy between our local files (cleared at the first pair
  // it refuses).
  bool copy_range = true;
};

/// True when the job must stop (a stopping error or a user stop).
bool cdir_need_exit(cdir_job* job);
/// Classifies a failure and records it; a stopping class sets error_stop.
void cdir_verr_check(cdir_job* job, int verr);
/// 0 when the destination file is taken as equal to the source, 1 when the
/// source must be written.
int cdir_cmp_file_stat(cdir_job* job, const char* name, const mstat_item* src, const mstat_item* dst);
/// The verr code of the calling thread's last system error (-1 when none).
int cdir_sys_verr();
/// A failed write or close of the listing file, `eno` its system error:
/// logs it, classifies it and stops the job, with the general class when
/// the error's own class would not stop it.
void cdir_list_write_failed(cdir_job* job, int eno);

// Tree walk (work.cpp)
cdir_stat* rdir_stat_alloc(cdir_job* job, const char* path, const cdir_stat* tmpl);
int cdir_worker(cdir_job* job);

// Message dispatch and per-directory work (w_cp_core.cpp)
void cdir_msg_proc(cdir_job* job, uint32_t id, const char* payload, cdir_stat* st);
int r_sync_file_list(cdir_job* job, cdir_stat* st, uint32_t dir_type, bool is_sync);

// Sync deletions (w_sync_core.cpp)
int l_sync_del_orphaned_file(cdir_job* job, cdir_stat* st, mstat_item* src, uint64_t nsrc,
                             mstat_item* dst, uint64_t ndst);
int cdir_del_files(cdir_job* job, cdir_stat* st);

// Transfer paths (v_fs.cpp)
int cdir_ll_copy_list(cdir_job* job, cdir_stat* q);
int cdir_copy_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath);
int cdir_create_file(cdir_job* job, const mstat_item* e, const std::string& opath);
int cdir_l_create_dir(cdir_job* job, cdir_stat* st);
int cdir_l_touch_dir(cdir_job* job, const char* payload_path, const cdir_stat* st);

/// Sorting and searching stat lists.
void cdir_sort_by_name(mstat_item* items, uint64_t n);
void cdir_sort_by_size(mstat_item* items, uint64_t n);
const mstat_item* cdir_find_name(const mstat_item* items, uint64_t n, const char* name);
/// `dir` joined with `name` by the native separator.
std::string cdir_join(const std::string& dir, const char* name);
