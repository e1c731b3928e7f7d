// Frame reader on hostile bytes: heads, bodies of any claimed length, the
// response convention on each message and the unpacking of its data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "liblog.h"
#include "libwysd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (log2_set_console(nullptr, 0), true);
  (void)quiet;
  if (size > (1u << 20)) return 0;
  wysd_cli_ctx ctx;
  if (net_mem_init(&ctx.nc, data, size) != 0) return 0;
  // The first byte picks the codec so both unpack paths see the data.
  if (sdcomp_select(&ctx.pack, size > 0 && (data[0] & 1) ? "lz4" : "none") != 0) return 0;
  std::vector<uint8_t> out(4096);
  for (int i = 0; i < 16; i++) {
    int32_t len = 0;
    int st = client_recv_response(&ctx, &len);
    if (st != WYSD_ST_OK) break;
    if (len < 4 || len + 4 > ctx.rbuf.cap) __builtin_trap();  // the reader's promise
    const wysd_msg_policy* p = wysd_msg_policy_get(WYSD_CMD_READ);
    const blob_attr* tb[5];
    if (client_parse_response(&ctx, len, p->rsp, p->rsp_n, tb) != WYSD_ST_OK) continue;
    int32_t want = static_cast<int32_t>(blobmsg_get_u32(tb[2]));
    int cap = want < 0 || want > 4096 ? 4096 : want;
    int r = sdcomp_unpack(&ctx.pack, blobmsg_data(tb[4]), blobmsg_data_len(tb[4]), out.data(), cap);
    if (r > cap) __builtin_trap();
  }
  net_close(&ctx.nc);
  return 0;
}
