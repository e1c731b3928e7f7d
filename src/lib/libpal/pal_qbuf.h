// Queue buffers: whole byte blocks from any number of writer threads to one
// reader (qbuf), over a block pool (lbuf); and the slot ring for in-process
// readers of log records (rbuf).
#pragma once

#include <cstddef>
#include <cstdint>

// ---- block pool ----

/// Parameters of lbuf_create (copied).
struct lbuf_param {
  void* user = nullptr;          // given to the block procedures
  uint32_t item_size = 0;        // size for lbuf_slab_malloc
  uint8_t single_thread = 0;     // 1: release without the lock (one thread only)
  void (*on_alloc)(void* block, void* user) = nullptr;    // after a block is made
  void (*on_release)(void* block, void* user) = nullptr;  // before a block is freed
};

struct lbuf;

/// Creates a pool. Returns it, or nullptr when out of memory.
lbuf* lbuf_create(const lbuf_param* p);
/// A block of `size` bytes (zeroed, aligned for any type) linked into the
/// pool. Returns it, or nullptr (logged) when out of memory or for a null pool.
void* lbuf_malloc(lbuf* pool, size_t size);
/// A block of the pool's item size; nullptr (assertion logged) when that size is 0.
void* lbuf_slab_malloc(lbuf* pool);
/// Unlinks and frees a block of this pool. Null blocks are ignored. Returns 0.
int lbuf_free(lbuf* pool, void* block);
/// Number of live blocks.
size_t lbuf_count(lbuf* pool);
/// Frees every live block. Returns 0.
int lbuf_clear(lbuf* pool);
/// Clears and frees the pool. Null is ignored. Returns 0.
int lbuf_close(lbuf* pool);

// ---- queue buffer ----

struct qbuf;

/// Message-end test of qbuf_read_imp: non-zero for a block that ends a message.
using qbuf_end_test = int (*)(const char* block, uint32_t len);

/// Creates a queue buffer. Returns it, or nullptr (callers log
/// "qbuf_init failed\n").
qbuf* qbuf_init();

/// How much of a block of whole records may go to a read with `room` bytes
/// left: the length of its longest prefix of whole records that fits (0
/// when not even the first does).
using qbuf_split = uint32_t (*)(const unsigned char* block, uint32_t len, uint32_t room);

/// Copies `len` bytes into a new block and queues it. Returns 0; -1 for no
/// memory or a failed queue; -2 on time-out (the queue is unbounded, so in
/// practice only memory makes it fail). Any thread may write. A block of
/// several records queued with their `split` may go to readers in parts
/// (never a record cut), so it can be longer than a reader's buffer as
/// long as each of its records fits.
int qbuf_write_timeout(qbuf* h, const void* data, uint32_t len, int timeout_ms, qbuf_split split = nullptr);

/// Reads whole blocks into buf (at most `len` bytes), splitting only those
/// queued with a split between their records: waits up to `timeout_ms` for
/// the first block, then takes what is already queued, and stops after a
/// block `end_test` accepts (setting *end to 1; it is set to 0 otherwise;
/// the rest of a split block is never tested). A block, or what is left of
/// one, longer than the space left stays pending (a split one after its
/// records that fit) for the next read; when it does not fit an empty buffer "len=%u
/// blen=%u len must >= blen" is logged and the read returns 0 after waiting
/// `timeout_ms` (at once for a negative one). Returns the bytes copied (0
/// when nothing came), or -1 for a null qbuf. One reader thread per qbuf.
int qbuf_read_imp(qbuf* h, char* buf, uint32_t len, int timeout_ms, qbuf_end_test end_test,
                  int* end);

/// Bytes waiting in the pending block or its rest (0 when none); for the
/// reader thread.
uint32_t qbuf_pending_len(qbuf* h);

/// Frees the qbuf with every block still queued. Null is ignored. Returns 0.
int qbuf_close(qbuf* h);

// ---- slot ring ----

struct rbuf;

/// Counters of a ring.
struct rbuf_stat {
  uint64_t written = 0;
  uint64_t written_bytes = 0;
  uint64_t dropped = 0;
  uint64_t dropped_bytes = 0;
};

/// A ring of `slots` slots of `slot_size` bytes each; every slot starts
/// with the record length, 16-bit, or 32-bit when `large` is set. Returns
/// nullptr for zero sizes, a slot too small for the length field, or no memory.
rbuf* rbuf_create(uint32_t slots, uint32_t slot_size, bool large);
/// Stores one record, overwriting (and counting as dropped) the oldest when
/// every slot is full. A record of length 0 or longer than a slot's room is
/// refused with an assertion and -1. Returns 0. Any thread may write.
int rbuf_write(rbuf* r, const void* data, uint32_t len);
/// Takes the oldest record into buf, waiting up to `timeout_ms` (negative:
/// without end) for one. Returns its length, 0 when none came, or -1 when
/// buf is too small (the record stays). Any thread may read.
int rbuf_read(rbuf* r, void* buf, uint32_t len, int timeout_ms);
/// The ring's counters.
rbuf_stat rbuf_get_stat(rbuf* r);
/// Frees the ring. Null is ignored.
void rbuf_close(rbuf* r);
