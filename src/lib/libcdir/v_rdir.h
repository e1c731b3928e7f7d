// Endpoint objects: a directory reader, a multi-file object and a big-file
// object per side. The engine sees one interface; behind it is the local
// implementation or a remote one over a server connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "librdir.h"

struct cdir_job;
struct cdir_rdir_param;
struct cdir_mfile_param;

/// Directory reader of one side.
class vrdir {
 public:
  virtual ~vrdir() = default;
  virtual bool local() const = 0;
  /// Starts listing `path`. 0 or negative.
  virtual int enum_dir(const char* path) = 0;
  /// One attempt at the next chunk of listing text (not terminated): its
  /// length, 0 when nothing is there yet, negative on failure.
  virtual int read_chunk(char* buf, size_t cap) = 0;
  /// Entries the listing whose file-stream end record was read last left
  /// out (the local reader's count; a remote reader reports none).
  virtual int skip_count() { return 0; }
  /// Asks a wait in progress to end (remote connections).
  virtual void stop() {}
};

/// Multi-file object of one side.
class vmfile {
 public:
  virtual ~vmfile() = default;
  virtual bool local() const = 0;
  /// Posts list operation `cmd` (MFILE_CMD_*) for directory `dir`.
  virtual int add_list(uint32_t cmd, const char* dir, const char* chunk) = 0;
  /// One attempt at the next chunk of results: length, 0 for none yet, or
  /// negative on failure.
  virtual int ret_chunk(char* buf, size_t cap) = 0;
  virtual void stop() {}
};

/// Big-file object of one side: moves one file block by block.
class vbfile {
 public:
  virtual ~vbfile() = default;
  virtual bool local() const = 0;
  /// Opens `path` for reading and reads the first block. Count or negative.
  virtual int open_read(const char* path, char* buf, size_t len) = 0;
  virtual int read(int64_t off, char* buf, size_t len) = 0;
  /// Opens `path` for writing and writes the first block at `off`.
  virtual int open_write(const char* path, int64_t off, const char* data, size_t len) = 0;
  virtual int write(int64_t off, const char* data, size_t len) = 0;
  /// Closes the open file, setting `st` on it first when given.
  virtual int close_file(const mstat_item* st) = 0;
  virtual void stop() {}
};

/// Opens the reader of one side on `url` (its path `path`). A destination
/// reader creates the whole path first. nullptr on failure, the cause in
/// the job's error record and classified.
std::unique_ptr<vrdir> vrdir_open(cdir_job* job, const char* url, const char* path, bool is_dst,
                                  const cdir_rdir_param& p);
std::unique_ptr<vmfile> vmfile_open(cdir_job* job, const char* url, const cdir_mfile_param& p);
std::unique_ptr<vbfile> vbfile_init(cdir_job* job, const char* url);

/// Next non-empty chunk of listing text into `buf`, NUL-terminated (at most
/// `cap` - 1 bytes of text). Waits up to the job's time-out; fails on a stop,
/// a failed read, or the time-out (-40, classified).
int vrdir_read_item_list(cdir_job* job, vrdir* r, char* buf, size_t cap);
/// The same for list results of a multi-file object.
int vmfile_list_ret(cdir_job* job, vmfile* m, char* buf, size_t cap);

/// True when `url` names a remote directory.
bool cdir_url_is_remote(const char* url);
