// Endpoint objects: a directory reader, a multi-file object and a big-file
// object per side. The engine sees one interface; behind it is the local
// implementation or a remote one over a server connection.
//
// Failures. An operation that fails returns a negative value after it has
// classified its cause once with cdir_verr_check and kept it as
// last_verr(); the engine never classifies that failure again. The engine
// logs the failure and counts it in the job's counters: an endpoint object
// never touches a counter. A failed operation leaves nothing open that the
// caller has to close, except where an operation says otherwise.
//
// Threads. The readers are used by the worker thread only, the multi-file
// and big-file objects by the command thread only. stop() may run on any
// thread, in a signal handler too: it only stores a flag.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "librdir.h"

struct cdir_job;
struct cdir_rdir_param;
struct cdir_mfile_param;

/// What every endpoint object has: its kind, the cause of its last failure
/// and the stop request.
class vobj {
 public:
  explicit vobj(cdir_job* job) : job_(job) {}
  virtual ~vobj() = default;
  vobj(const vobj&) = delete;
  vobj& operator=(const vobj&) = delete;
  /// True for the local implementation.
  virtual bool local() const = 0;
  /// The verr of the last failed operation; 0 while none failed.
  int last_verr() const { return verr_.load(std::memory_order_relaxed); }
  /// Asks a wait in progress to end. Signal-safe: stores flags only (a
  /// remote object also raises its connection's stop request).
  virtual void stop() { stop_.store(true, std::memory_order_relaxed); }

 protected:
  /// Records and classifies a failure; returns -1.
  int fail(int verr);
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }
  cdir_job* job_;

 private:
  std::atomic<int> verr_{0};
  std::atomic<bool> stop_{false};
};

/// Directory reader of one side.
class vrdir : public vobj {
 public:
  using vobj::vobj;
  /// Starts listing `path` (listings are read in the order they were
  /// started). 0 or negative.
  virtual int enum_dir(const char* path) = 0;
  /// One attempt at the next chunk of listing text (not terminated, at most
  /// `cap` bytes): its length, 0 when nothing is there yet, negative on
  /// failure.
  virtual int read_chunk(char* buf, size_t cap) = 0;
  /// Entries the listing whose file-stream end record was read last left
  /// out (the local reader's count; a remote reader reports none).
  virtual int skip_count() { return 0; }
};

/// Multi-file object of one side: runs list operations (MFILE_CMD_*) against
/// a base directory, in the order they were posted.
class vmfile : public vobj {
 public:
  using vobj::vobj;
  /// Posts list operation `cmd` for base directory `dir` with one chunk of
  /// whole list lines. 0 or negative.
  virtual int add_list(uint32_t cmd, const char* dir, const char* chunk) = 0;
  /// One attempt at the next chunk of results (whole result records, at most
  /// `cap` bytes): length, 0 for none yet, or negative on failure.
  virtual int ret_chunk(char* buf, size_t cap) = 0;
};

/// Big-file object of one side: moves one file block by block and sets the
/// times of destination directories. It holds at most one open file; a
/// failed read or write closes it.
class vbfile : public vobj {
 public:
  using vobj::vobj;
  /// Opens `path` for reading and reads the first block (at most `len`
  /// bytes) from offset 0. The count, or negative.
  virtual int64_t open_read(const char* path, char* buf, size_t len) = 0;
  /// Reads at `off` from the open file. The count (0 at the end), or negative.
  virtual int64_t read(int64_t off, char* buf, size_t len) = 0;
  /// Opens `path` for writing (created, truncated, its parents made) and
  /// writes the first block at `off`. The count written, or negative.
  virtual int64_t open_write(const char* path, int64_t off, const char* data, size_t len) = 0;
  /// Writes at `off` to the open file. The count written, or negative.
  virtual int64_t write(int64_t off, const char* data, size_t len) = 0;
  /// Closes the open file, first setting `st` on it when given (a written
  /// file gets its source's record only once it is whole). 0 or negative;
  /// the file is closed either way. Nothing open: 0.
  virtual int close_file(const mstat_item* st) = 0;
  /// Sets the access, write and creation times of `st` on the directory
  /// `path`, creating it when it is missing. 0 or negative.
  virtual int set_path_times(const char* path, const mstat_item& st) = 0;
};

/// Opens the reader of one side on `url` (its path `path`). A destination
/// reader creates the whole path first. nullptr on failure, the cause in
/// the job's error record and classified.
std::unique_ptr<vrdir> vrdir_open(cdir_job* job, const char* url, const char* path, bool is_dst,
                                  const cdir_rdir_param& p);
/// Opens the multi-file object of one side; nullptr as above.
std::unique_ptr<vmfile> vmfile_open(cdir_job* job, const char* url, const cdir_mfile_param& p);
/// Opens the big-file object of one side; nullptr as above.
std::unique_ptr<vbfile> vbfile_init(cdir_job* job, const char* url);

/// The remote implementations (v_remote.cpp): each owns a connection to
/// the server of `url`, set up, version-checked and with automatic
/// reconnection on.
std::unique_ptr<vrdir> vrdir_open_remote(cdir_job* job, const char* url, const char* path, bool is_dst,
                                         const cdir_rdir_param& p);
std::unique_ptr<vmfile> vmfile_open_remote(cdir_job* job, const char* url, const cdir_mfile_param& p);
std::unique_ptr<vbfile> vbfile_init_remote(cdir_job* job, const char* url);

/// Next non-empty chunk of listing text into `buf`, NUL-terminated (at most
/// `cap` - 1 bytes of text). Waits up to the job's time-out; fails on a stop,
/// a failed read (classified by the reader), or the time-out (-40,
/// classified here). Never returns an empty chunk.
int vrdir_read_item_list(cdir_job* job, vrdir* r, char* buf, size_t cap);
/// The same for list results of a multi-file object.
int vmfile_list_ret(cdir_job* job, vmfile* m, char* buf, size_t cap);

/// True when `url` names a remote directory.
bool cdir_url_is_remote(const char* url);
