// The client's connection to a wysd server: connect with the URL's options,
// log in, choose the packing, learn the server's version, run file requests
// and controls, reconnect, and repair a lost response by replaying the
// request. Every request function maps its status into the connection's
// error record (wysd_cli_set_last_error), which therefore always describes
// the last request.
//
// Handles: a connection (kind 0, wysd_cli_ctx) or a remote file (kind 1,
// wysd_cli_file); functions that take either accept a `void*` whose first
// field is the kind.
#pragma once

#include <cstdint>
#include <string>

#include "pal_err.h"

struct wysd_cli_ctx;

/// A remote file (handle kind 1), owned by its connection's list of open
/// files until closed.
struct wysd_cli_file {
  int32_t type = 1;
  wysd_cli_ctx* conn = nullptr;  // not owned
  std::string path;
  uint32_t flags = 0;        // open flags, passed to the server unchanged
  int64_t fd = 0;            // the server's descriptor
  uint64_t offset = 0;       // the client's idea of the position
  bool rd_timeout_pending = false;  // on a Windows server: send the per-file
  bool wr_timeout_pending = false;  // time-out before the first read/write
};

/// Once per process: TLS library and response policies. Later calls log
/// "==>" at verbose level. Returns 0.
int wysd_cli_init();
/// Connects to the server of `url` ("wyp://" or "wyps://", user, password,
/// host, port, path, and the options of the query: connect_timeout,
/// read_timeout, write_timeout in seconds, pack, proxy_url in base64,
/// proxy, mblock-size, rdir-size, sock-bufsize, ssl-cipher, ssl-fp), runs
/// the TLS handshake for "wyps://", logs in, selects the packing and
/// queries the version. Returns the connection, or nullptr with the cause
/// in `err` (kept by the connection as its error record, so it must outlive
/// the connection; may be null). A failed handshake, or a certificate other
/// than the one "ssl-fp" pins, gives -1 "ssl_cli_connect failed: <cause>"
/// before any request was sent.
wysd_cli_ctx* wysd_cli_connect(const char* url, cdir_err* err);
/// Closes every open file, says bye and frees the connection. Returns the
/// status of the bye request. Null is ignored (0).
int wysd_cli_exit_imp(wysd_cli_ctx* ctx);
/// The connection of a handle, and the server descriptor of a file handle
/// in *fd (0 for a connection). Null for a null or invalid handle ("invalid
/// handle" logged for an unknown kind).
wysd_cli_ctx* cli_get_ctx(void* handle, int64_t* fd);
/// Maps a client status into the connection's error record.
void wysd_cli_set_last_error(wysd_cli_ctx* ctx, int status);
/// The connection's error record (never null while it lives).
cdir_err* wysd_cli_err(wysd_cli_ctx* ctx);
/// The information text of the server into `buf` (cut to `size`). Returns
/// a client status.
int cli_info(wysd_cli_ctx* ctx, char* buf, size_t size);
/// The server's version text as learnt at connect ("" before).
const char* wysd_cli_srv_ver(const wysd_cli_ctx* ctx);
/// Switches automatic reconnection with command replay on: a new server
/// context, its id kept. Returns 0 or -1.
int wysd_cli_set_auto_reconnect(wysd_cli_ctx* ctx);
/// Switches it off (before the final close controls).
void wysd_cli_clear_auto_reconnect(wysd_cli_ctx* ctx);
/// Reconnects to the kept host and port and logs in again. 0 or -1.
int wysd_cli_reconnect(wysd_cli_ctx* ctx);
/// Reconnects, reopens `file` (may be null) at its offset and selects the
/// packing again. 0 or -1.
int wysd_cli_restart_work(wysd_cli_ctx* ctx, wysd_cli_file* file);
/// Stops every wait of the connection's stream at once (another thread
/// may call it); a reconnect clears it.
void wysd_cli_stop(wysd_cli_ctx* ctx);
/// Lets the stream wait again after wysd_cli_stop, once whatever was
/// waiting has given up (to send the close requests of a stopped job).
void wysd_cli_resume(wysd_cli_ctx* ctx);

/// Opens a remote file with the open flags of pal_file.h. Null on failure.
wysd_cli_file* wysd_cli_open(wysd_cli_ctx* ctx, const char* path, uint32_t flags);
/// Closes a remote file (the request is sent while the stream exists),
/// takes it out of the connection's list and frees it. 0 or -1 (the handle
/// is gone either way).
int wysd_cli_close(wysd_cli_file* f);
/// Reads up to `count` bytes at `offset` (-1: at the current position) in
/// chunks of the block size. After a failed chunk larger than 204800 bytes
/// (unless a reply of 2 MiB already came) the block size drops to 204800,
/// the connection and the file are restarted and the chunk is read again,
/// once in a row. Bytes read (fewer at the end), or -1.
int64_t wysd_cli_read(wysd_cli_file* f, void* buf, int64_t count, int64_t offset);
/// Writes `count` bytes at `offset` (-1: current position). Bytes written or -1.
int64_t wysd_cli_write(wysd_cli_file* f, const void* data, int64_t count, int64_t offset);
/// Moves to `offset`. The new offset or -1.
int64_t wysd_cli_seek(wysd_cli_file* f, uint64_t offset);
/// File control `code` on a handle; `len` -1 means strlen(data) + 1. 0 or -1.
int wysd_cli_ioctl(void* handle, int code, const void* data, int32_t len);
/// Connection control `code`; the result (at most `cap` bytes) into `out`
/// (may be null) with its length in *out_len (may be null). `len` as above.
/// 0 or -1.
int wysd_cli_ioctl2(void* handle, int code, const void* data, int32_t len, void* out, int32_t cap,
                    int32_t* out_len);
/// Connection control whose payload is `a`, a tab and `b` ("\t" + b when a
/// is null, a alone when b is null), with its NUL. 0 or -1.
int wysd_cli_text_ctl(wysd_cli_ctx* ctx, int code, const char* a, const char* b);
/// Opens the server's directory reader (needs server 1.7.8). 0 or -1.
int wysd_cli_rdir_open(wysd_cli_ctx* ctx, const char* path, uint32_t flags, int32_t param);
/// Opens the server's multi-file object (needs server 1.7.8). 0 or -1.
int wysd_cli_mfile_open(wysd_cli_ctx* ctx, int32_t p1, int32_t p2);
/// Per-file time-outs (milliseconds). 0 or -1.
int wysd_cli_set_fd_read_timeout(wysd_cli_file* f, int32_t ms);
int wysd_cli_set_fd_write_timeout(wysd_cli_file* f, int32_t ms);
