// Test helper shared by the record channel's tests and the log outputs'
// tests that feed it.
#pragma once

#include <cstdint>
#include <string>

#include "libbsv.h"
#include "libpal.h"

/// The message of the next record a reader's ring holds, "<none>" when it
/// holds none or a record that does not decode.
inline std::string ring_msg(rbuf* ring) {
  uint8_t buf[4096];
  int n = rbuf_read(ring, buf, sizeof buf, 0);
  bsv_log_view v;
  if (n <= 0 || bsv_rec_decode(buf, static_cast<size_t>(n), &v) != 0) return "<none>";
  return v.msg;
}
