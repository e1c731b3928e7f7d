// Attribute-message parser on hostile bytes: every policy of the protocol,
// plain and with the response convention, then every accessor on what the
// parse accepted.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "liblog.h"
#include "libwysd.h"

namespace {

// Reads every result the way handlers do, so a result pointing outside the
// input shows up under the address sanitizer.
unsigned touch(const blob_attr* a, int type) {
  unsigned sum = static_cast<unsigned>(blobmsg_namelen(a));
  const auto* p = static_cast<const uint8_t*>(blobmsg_data(a));
  int32_t n = blobmsg_data_len(a);
  for (int32_t i = 0; i < n; i++) sum += p[i];
  if (type == BLOBMSG_TYPE_INT32) sum += blobmsg_get_u32(a);
  if (type == BLOBMSG_TYPE_INT64) sum += static_cast<unsigned>(blobmsg_get_u64(a));
  if (type == BLOBMSG_TYPE_STRING) sum += static_cast<unsigned>(strlen(blobmsg_get_string(a)));
  return sum;
}

void run(const blobmsg_policy* pol, int n, const uint8_t* data, int32_t len) {
  const blob_attr* tb[8];
  if (n <= 0 || n > 8) return;
  volatile unsigned sink = 0;
  if (blobmsg_parse(pol, n, tb, data, len) == 0) {
    for (int i = 0; i < n; i++)
      if (tb[i] != nullptr) sink = sink + touch(tb[i], pol[i].type);
  }
  if (n >= 2 && cli_blobmsg_parse(pol, n, tb, data, len) == 0) {
    for (int i = 0; i < n; i++)
      if (tb[i] != nullptr) sink = sink + touch(tb[i], pol[i].type);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (log2_set_console(nullptr, 0), true);
  (void)quiet;
  if (size > (1u << 20)) return 0;
  // An exactly sized copy: a read one byte past the input is caught.
  auto buf = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  if (size > 0) memcpy(buf.get(), data, size);
  int32_t len = static_cast<int32_t>(size);
  static const int codes[] = {WYSD_CMD_LOGIN,  WYSD_CMD_INFO, WYSD_CMD_IOCTL2, WYSD_CMD_OPEN,
                              WYSD_CMD_CLOSE,  WYSD_CMD_READ, WYSD_CMD_PREAD,  WYSD_CMD_WRITE,
                              WYSD_CMD_PWRITE, WYSD_CMD_SEEK, WYSD_CMD_IOCTL,  WYSD_CMD_LOGIN2,
                              WYSD_CMD_LOGIN3};
  for (int code : codes) {
    const wysd_msg_policy* p = wysd_msg_policy_get(code);
    run(p->req, p->req_n, buf.get(), len);
    run(p->rsp, p->rsp_n, buf.get(), len);
  }
  static const blobmsg_policy any[] = {
      {"a", BLOBMSG_TYPE_UNSPEC}, {"errno", BLOBMSG_TYPE_UNSPEC}, {"data", BLOBMSG_TYPE_UNSPEC}};
  run(any, 3, buf.get(), len);
  return 0;
}
