// Internal to the format units.
#pragma once

#include <cstddef>

/// snprintf that never overruns: cuts the text to fit buf and then logs
/// "need_size=%u buf_size=%u fmt=[%s]\n". Returns the length written.
int fmt_put(char* buf, size_t len, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
