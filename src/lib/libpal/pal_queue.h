// The blocking queue: a FIFO of pointers, many producers and one consumer,
// optionally bounded, with waits in milliseconds.
#pragma once

#include <cstdint>

/// Creation record of queue_create.
struct queue_param {
  void* user = nullptr;     // handed to release_proc
  uint32_t capacity = 0;    // most elements held at once; 0 = unbounded
  uint8_t intrusive = 0;    // 1: elements start with a queue_link of their own
  /// Called by queue_clear for every element still held (wrapped mode only).
  void (*release_proc)(void* user, void* elem) = nullptr;
};

/// The link an element of an intrusive queue starts with.
struct queue_link {
  queue_link* next;
};

struct queue;

/// Creates a queue. Returns it, or nullptr when it cannot be allocated.
queue* queue_create(const queue_param* p);

/// Appends `node`. A full bounded queue is waited on for `timeout_ms`
/// (negative: without end). Returns 0 when appended; -2 when the queue
/// stayed full for the time-out; -1 for a null queue or element, or when a
/// link node cannot be allocated. Any thread may push.
int queue_push_wait(queue* hq, void* node, int timeout_ms);

/// Takes the oldest element, waiting up to `timeout_ms` (0: not at all,
/// negative: without end) for one to arrive. Returns nullptr when none came
/// in time or for a null queue. Only one thread may pop a given queue.
void* queue_pop_wait(queue* hq, int timeout_ms);

/// Number of elements held (a snapshot).
int32_t queue_count(queue* hq);

/// Drops every element: in wrapped mode the release procedure (if any) gets
/// each one, the producer side's before the consumer side's; intrusive
/// elements are left alone. Returns 0, or -1 for a null queue. Call it only
/// while no thread pops.
int queue_clear(queue* hq);

/// Clears, wakes every thread waiting in a push or pop (the push returns
/// -1, the pop nullptr), waits until they have left the queue, and frees it.
/// Returns 0, or -1 for a null queue. No new call may start on the queue
/// once close has begun.
int queue_close(queue* hq);
