// The allocator's policy and the memory a process holds: for a server whose
// connections each run on a thread of their own and end, so that what they
// freed goes back to the system once they are gone.
#pragma once

/// Makes every thread allocate from the one shared heap instead of a heap
/// of its own. The C library gives each new thread's heap back only from
/// its top, and only once that top outgrows a threshold that large
/// transient buffers keep raising; a single heap can be trimmed whole by
/// os_mem_release. Call it first in main, before any thread starts (a
/// thread that already has a heap keeps it). Returns 0, or -1 when the
/// allocator refused (nothing changed).
int os_mem_one_heap();

/// Hands the free pages of the heaps back to the system: whole pages inside
/// freed blocks, and the heap's unused top. What is in use stays. Costs a
/// walk over the free blocks under the heap's lock: call it when the
/// process has gone quiet, not per request. Returns 1 when it released
/// something, 0 when there was nothing to release.
int os_mem_release();

/// Resident memory of this process in KiB (VmRSS of /proc/self/status);
/// -1 when it cannot be read.
long os_mem_resident_kib();
