// Size, rate, count and duration texts, the progress line, time stamps and
// the monotonic millisecond clock. Every text goes into a caller-owned buffer
// and is cut to fit it; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

/// Milliseconds of the monotonic clock: never goes back and is unrelated to
/// the wall clock, so differences of two readings time waits and reports.
/// Never fails.
int64_t os_clock_ms();

/// Local wall-clock time stamp of type 0 to 8 into buf:
///  0 "YYYY-MM-DD hh:mm:ss", 1 ... ".mmm", 2 ... ".uuuuuu", 3 ... ".nnnnnnnnn",
///  4 "hh:mm:ss", 5 "hh:mm:ss.mmm", 6 "YYYYMMDDhhmmss", 7 ... "mmm",
///  8 ... "uuuuuu" (fractions cut, not rounded).
/// Returns the text's length. Another type logs "invalid type=%d" at error
/// level, leaves buf empty (when len > 0) and returns -2.
int os_get_time_type2(int type, char* buf, size_t len);

/// Byte count as a short size with a unit letter for powers of 1024:
/// below 1024 the plain number ("1023"), else one decimal and a letter of
/// "KMGTPEZY" ("1.5K", "1024.0K", "1.0M"). Returns buf.
const char* str_human_size(uint64_t n, char* buf, size_t len);

/// Reads a size text: a decimal number ("1.5" allowed) and an optional
/// suffix of up to two letters, each multiplying (case ignored, first match
/// wins): c 1, w 2, b 512, kB/kD/KB/KD 1000, k/K 1024, MB/MD 10^6, M 2^20,
/// GB/GD 10^9, G 2^30, TB 10^12, T 2^40, PB 10^15, P 2^50. The product is
/// truncated. Returns 0 for anything that is not a size: nullptr, empty, a
/// leading blank/tab/line end/sign, more than 256 characters, three trailing
/// letters, an unknown suffix, a malformed number, or a product that does
/// not fit 64 bits.
uint64_t str_size_parse(const char* s);

/// Transfer rate in bytes per second (thresholds strict): "%0.3fGB/S",
/// "%0.2fMB/S", "%0.1fKB/S" or "%0.0fB/S" (1024 prints "1024B/S").
/// Callers give a buffer of 16. Returns buf.
const char* str_rate(double bytes_per_s, char* buf, size_t len);

/// Large count in decimal units: "%llu B" below 1000, "%0.2f Q" (thousands)
/// below 10^4, "%0.2f W" (ten-thousands) below 10^8, else "%0.2f Y"
/// (hundred-millions). Callers give a buffer of 32. Returns buf.
const char* str_count(uint64_t n, char* buf, size_t len);

/// Elapsed time: "mm:ss.fff", "hh:mm:ss.fff" from an hour, "d_hh:mm:ss.fff"
/// from a day (3723.25 gives "01:02:03.250"). Negative or NaN values are
/// shown as 0. Callers give a buffer of 128. Returns buf.
const char* str_duration(double seconds, char* buf, size_t len);

/// Display modes of the progress line.
enum : int32_t {
  SPEED_SHOW_BYTES = 1,   // amounts are bytes: sizes and rates
  SPEED_SHOW_COUNT = 2,   // amounts are counts
  SPEED_SHOW_COUNT2 = 3,  // as 2
  SPEED_SHOW_BAR = 4,     // a bar of 50 characters
};

/// Progress object of a running transfer. Fill it with speed_show_init, add
/// amounts with speed_show_add, display with speed_show_imp2.
struct speed_show {
  int32_t mode = SPEED_SHOW_BYTES;
  const char* suffix = nullptr;  // appended to every line; may be nullptr
  uint64_t total = 0;            // expected total, 0 when none is given
  uint64_t done = 0;             // amount so far
  uint64_t since_last = 0;       // amount since the last display
  int64_t start_ms = 0;          // os_clock_ms() at init
  int64_t last_ms = 0;           // time of the last display, 0 before the first
  double max_rate = 0;           // highest current rate seen
  double cur_rate = 0;           // rate since the previous display
  double avg_rate = 0;           // rate since the start
  int32_t last_len = 0;          // length of the last line written
};

/// Starts a progress object now. `suffix` must outlive it. Never fails.
void speed_show_init(speed_show* s, int32_t mode, uint64_t total, const char* suffix);
/// Counts `n` more units done.
void speed_show_add(speed_show* s, uint64_t n);

/// Updates the rates as of `now_ms` and writes the next progress line into
/// buf (leading "\r", no line end, padded with blanks to the previous line's
/// length, cut to fit). Returns the line's length, or -1 for an unknown
/// mode, which logs "mode error\n" at level 2 (a programming error that ends
/// the process unless the log is told otherwise).
int speed_show_line(speed_show* s, int64_t now_ms, char* buf, size_t len);

/// speed_show_line at the current clock, written to standard error.
/// Returns the line's length or -1 as speed_show_line.
int speed_show_imp2(speed_show* s);
