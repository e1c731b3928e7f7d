// Helpers shared by the reader and the multi-file object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "libpal.h"
#include "librdir.h"

/// Owning handle of a queue buffer.
struct qbuf_closer {
  void operator()(qbuf* q) const { qbuf_close(q); }
};
using qbuf_ptr = std::unique_ptr<qbuf, qbuf_closer>;

/// End record of a listing stream: "\r%d". No record line can start with a
/// carriage return, since names holding one are never listed.
inline bool rdir_is_list_end(const void* data, size_t len) {
  return len > 0 && static_cast<const char*>(data)[0] == '\r';
}
/// End record of a command's results: the single "\n". Every other result
/// record is at least two bytes long.
inline bool mfile_is_ret_end(const void* data, size_t len) {
  return len == 1 && static_cast<const char*>(data)[0] == '\n';
}

/// A buffer capacity as the queue buffer takes it (its lengths are 32-bit).
inline uint32_t rdir_cap32(size_t cap) { return cap > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(cap); }

/// Waits and time-outs shared by the reader and the multi-file object (ms).
constexpr int RDIR_POST_TIMEOUT_MS = 1000;    // posting a command
constexpr int RDIR_RETRY_WAIT_MS = 500;       // each later attempt of a read
constexpr int RDIR_DEF_READ_TIMEOUT_MS = 3000;

/// Starts the owner's command thread `name` with message procedure `proc`.
/// nullptr ("cmder_init failed" logged, -8 in the error record) when it
/// cannot be made.
cmder* rdir_cmder_start(void* owner, const char* name, void (*proc)(uint32_t, void*, cmder_ctx*), cdir_err* err);

/// Lets the command thread finish what was posted (it uses its owner until
/// then), stops it and frees it. Null is ignored.
inline void rdir_cmder_stop(cmder* c) {
  if (!c) return;
  while (cmder_wait_idle(c) != 0) {
  }
  cmder_exit(c);
}
