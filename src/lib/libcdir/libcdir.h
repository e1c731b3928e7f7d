// libcdir: the copy engine. One job copies, syncs or lists one directory
// tree between a source and a destination URL, each local or remote.
#pragma once

#include <cstdint>

#include "pal_err.h"

/// Endpoint kinds of a job (source, destination): local or remote.
enum : uint32_t { CDIR_LL = 0, CDIR_RL = 1, CDIR_LR = 2, CDIR_RR = 3 };

/// Work modes.
enum : uint32_t { CDIR_WORK_CP = 0, CDIR_WORK_SYNC = 1, CDIR_WORK_LS = 2, CDIR_WORK_RM = 3 };

/// Directory reader parameters, handed to the reader unchanged.
struct cdir_rdir_param {
  int32_t flags = 0;
  int32_t param = 5000;          // the reader's read time-out in ms
  const void* thread_opts = nullptr;
  cdir_err* err = nullptr;       // filled in by libcdir_open
};

/// Multi-file parameters, handed to the multi-file objects unchanged.
struct cdir_mfile_param {
  int32_t max_mfile_size = 524288;
  int32_t param2 = 5000;  // the object's result wait in ms
  cdir_err* err = nullptr;  // filled in by libcdir_open
};

/// Parameters of a job; owned by the caller and kept alive until
/// libcdir_close.
struct cdir_param {
  const char* i_url = nullptr;   // source directory URL; required
  const char* o_url = nullptr;   // destination directory URL; none for ls
  int32_t sync_reason = 0;       // bit 0: log why each file is or is not written
  uint32_t work_mode = CDIR_WORK_CP;
  uint32_t cmp_mode = 0;         // 0: the work mode's default
  int32_t timeout = 15000;       // ms: remote read time-out, longest wait for data
  int32_t bs = 2097152;          // block size: each transfer buffer and request
  const char* list_file = nullptr;  // ls: listing file, or none
  cdir_rdir_param irdir_param;
  cdir_mfile_param imfile_param;
  cdir_rdir_param ordir_param;
  cdir_err err;                  // where a failed open leaves its cause
  const void* thread_opts = nullptr;
  // Threads that write the files of one directory at once (the command
  // thread among them): 0 for one per processor up to CDIR_THREADS_AUTO_MAX,
  // 1 for the command thread alone. Local destinations only; a local
  // multi-file object writes its lists with as many.
  int32_t threads = 0;
  // Runs two local directories through the transfer path of this dir_type
  // (0-3), with local endpoint objects on the sides it takes as remote; -1
  // takes the path from the URLs. For tests of the remote paths without a
  // server; ignored when either URL is remote.
  int32_t force_dir_type = -1;
  // Dry run: walk and decide as a real run would, log what would be
  // written and deleted, change nothing on either side.
  int32_t dry_run = 0;
  // Sync deletes at most this many files; -1: no limit. Given at all (0
  // included), it also lets a sync whose source root lists nothing delete
  // at its destination.
  int64_t max_del = -1;
  // Live progress on standard error: CDIR_PROGRESS_*.
  int32_t progress = 0;
};

/// Most threads that threads=0 picks, and most that may be asked for: a
/// third thread creating files gained nothing on the machines we measured.
constexpr int32_t CDIR_THREADS_AUTO_MAX = 4;
constexpr int32_t CDIR_THREADS_MAX = 16;

/// Progress display of a job: none, one line redrawn in place about four
/// times a second (a terminal), or one whole line a second (a pipe or file).
enum : int32_t { CDIR_PROGRESS_OFF = 0, CDIR_PROGRESS_TTY = 1, CDIR_PROGRESS_LINES = 2 };


/// Smallest and largest block size a job accepts.
constexpr int32_t CDIR_BS_MIN = 4096;
constexpr int32_t CDIR_BS_MAX = 8388608;

struct cdir_job;

/// Opens a job and starts its threads. Returns nullptr on failure with the
/// cause in p->err (a failure without a cause of its own carries -1).
cdir_job* libcdir_open(cdir_param* p);
/// Waits for the process's current job to finish its walk and drain its
/// commands, logs the report and returns the exit status: 0, 6 for a user
/// stop, or the class of a stopping error.
int libcdir_wait_stop();
/// Stops and frees the job; the caller's error record is left as it was.
int libcdir_close(cdir_job* job);
/// Requests a user stop of the current job; safe from a signal handler.
int libcdir_stop();
/// The class of a verr code: -1 general, -2 not found/denied, -3 write
/// protect, -4 disk full, -5 device, -7 time-out, 0 any other (logged).
int libcdir_verr_2_eno(int verr);

/// Sets work_mode and cmp_mode of `p` from a transfer mode name. Returns 0,
/// or -1 (and leaves `p` alone) for a name not in the table.
int cdir_mode_lookup(const char* name, cdir_param* p);
/// The modes that `ls_mode` lists, in order, ended by nullptr.
extern const char* const cdir_listed_modes[];
