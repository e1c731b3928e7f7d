// The progress line of a running transfer.
#include <cstdio>
#include <cstring>

#include "fmt_put.h"
#include "liblog.h"
#include "pal_fmt.h"

WY_LOG_TAG("pal");

void speed_show_init(speed_show* s, int32_t mode, uint64_t total, const char* suffix) {
  *s = speed_show{};
  s->mode = mode;
  s->total = total;
  s->suffix = suffix;
  s->start_ms = os_clock_ms();
}

void speed_show_add(speed_show* s, uint64_t n) {
  s->done += n;
  s->since_last += n;
}

int speed_show_line(speed_show* s, int64_t now_ms, char* buf, size_t len) {
  if (buf == nullptr || len == 0) return -1;
  buf[0] = '\0';
  if (s->last_ms == 0) s->last_ms = now_ms;
  double total_s = (double)(now_ms - s->start_ms) / 1000;
  double since_s = (double)(now_ms - s->last_ms) / 1000;
  // The first display comes right after the start: count it as one second
  // rather than dividing by zero.
  if (total_s == 0) total_s = 1;
  if (since_s == 0) since_s = 1;
  s->avg_rate = (double)s->done / total_s;
  s->cur_rate = (double)s->since_last / since_s;
  s->since_last = 0;
  s->last_ms = now_ms;
  if (s->cur_rate > s->max_rate) s->max_rate = s->cur_rate;

  char pct[32] = "";
  double pct_val = 0;
  if (s->total > 0) {
    if (s->done < s->total) {
      pct_val = (double)s->done / (double)s->total * 100;
      snprintf(pct, sizeof pct, "%.2f%% ", pct_val);
    } else {
      pct_val = 100;
      snprintf(pct, sizeof pct, "100%% ");
    }
  }

  char a[64], b[64], c[64];
  int n;
  switch (s->mode) {
    case SPEED_SHOW_BYTES:
      n = fmt_put(buf, len, "\r%sall=%llubytes (%s) avg=%s now=%s", pct, (unsigned long long)s->done,
                  str_human_size(s->done, a, sizeof a), str_rate(s->avg_rate, b, sizeof b),
                  str_rate(s->cur_rate, c, sizeof c));
      break;
    case SPEED_SHOW_BAR: {
      char bar[51];
      int fill = (int)(pct_val / 2);
      if (fill > 50) fill = 50;
      memset(bar, ' ', 50);
      memset(bar, '=', (size_t)fill);
      bar[50] = '\0';
      n = fmt_put(buf, len, "\r%s %s [%s] %s", str_human_size(s->total, a, sizeof a),
                  str_rate(s->cur_rate, b, sizeof b), bar, pct);
      break;
    }
    case SPEED_SHOW_COUNT:
    case SPEED_SHOW_COUNT2: {
      uint64_t cur = s->cur_rate > 0 ? (uint64_t)s->cur_rate : 0;
      n = fmt_put(buf, len, "\r%sall=%llu (%s) speed=%llu B/S (%s)", pct, (unsigned long long)s->done,
                  str_count(s->done, a, sizeof a), (unsigned long long)cur, str_count(cur, b, sizeof b));
      break;
    }
    default:
      LOGC("mode error\n");
      return -1;
  }
  if (s->suffix != nullptr) n += fmt_put(buf + n, len - n, "%s", s->suffix);
  // Each line overwrites the last through its leading "\r": blank out what
  // a longer previous line would leave behind.
  while (n < s->last_len && (size_t)n + 1 < len) buf[n++] = ' ';
  buf[n] = '\0';
  s->last_len = n;
  return n;
}

int speed_show_imp2(speed_show* s) {
  char line[1024];
  int n = speed_show_line(s, os_clock_ms(), line, sizeof line);
  if (n < 0) return n;
  fputs(line, stderr);
  fflush(stderr);
  return n;
}
