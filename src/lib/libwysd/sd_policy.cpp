// Attribute sets of every request and its response. Requests are parsed by
// the server with the request set; responses by the client with the
// response set, which always starts with "errno" and "errno_str".
#include "libwysd.h"

namespace {

// clang-format off
#define WY_RSP_HEAD {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}
// clang-format on

const blobmsg_policy login_req[] = {{"user", BLOBMSG_TYPE_STRING}, {"passwd", BLOBMSG_TYPE_STRING}};
const blobmsg_policy login_rsp[] = {WY_RSP_HEAD, {"os_type", BLOBMSG_TYPE_INT32}};
const blobmsg_policy info_req[] = {{"param", BLOBMSG_TYPE_STRING}};
const blobmsg_policy info_rsp[] = {WY_RSP_HEAD, {"info", BLOBMSG_TYPE_STRING}};
const blobmsg_policy ioctl2_req[] = {{"fd", BLOBMSG_TYPE_INT64},
                                     {"cmd", BLOBMSG_TYPE_INT32},
                                     {"data", BLOBMSG_TYPE_RAW},
                                     {"olen", BLOBMSG_TYPE_INT32}};
const blobmsg_policy ioctl2_rsp[] = {WY_RSP_HEAD, {"data", BLOBMSG_TYPE_RAW}};
const blobmsg_policy open_req[] = {{"path", BLOBMSG_TYPE_STRING}, {"mode", BLOBMSG_TYPE_INT64}};
const blobmsg_policy open_rsp[] = {WY_RSP_HEAD, {"fd", BLOBMSG_TYPE_INT64}};
const blobmsg_policy close_req[] = {{"fd", BLOBMSG_TYPE_INT64}};
const blobmsg_policy plain_rsp[] = {WY_RSP_HEAD};
const blobmsg_policy read_req[] = {{"fd", BLOBMSG_TYPE_INT64}, {"len", BLOBMSG_TYPE_INT32}};
const blobmsg_policy read_rsp[] = {WY_RSP_HEAD,
                                   {"len", BLOBMSG_TYPE_INT32},
                                   {"flags", BLOBMSG_TYPE_INT32},
                                   {"data", BLOBMSG_TYPE_RAW}};
const blobmsg_policy pread_req[] = {
    {"fd", BLOBMSG_TYPE_INT64}, {"len", BLOBMSG_TYPE_INT32}, {"offset", BLOBMSG_TYPE_INT64}};
const blobmsg_policy write_req[] = {{"fd", BLOBMSG_TYPE_INT64},
                                    {"flags", BLOBMSG_TYPE_INT32},
                                    {"len", BLOBMSG_TYPE_INT32},
                                    {"data", BLOBMSG_TYPE_RAW}};
const blobmsg_policy write_rsp[] = {WY_RSP_HEAD, {"len", BLOBMSG_TYPE_INT32}};
const blobmsg_policy pwrite_req[] = {{"fd", BLOBMSG_TYPE_INT64},
                                     {"flags", BLOBMSG_TYPE_INT32},
                                     {"len", BLOBMSG_TYPE_INT32},
                                     {"offset", BLOBMSG_TYPE_INT64},
                                     {"data", BLOBMSG_TYPE_RAW}};
const blobmsg_policy seek_req[] = {
    {"fd", BLOBMSG_TYPE_INT64}, {"offset", BLOBMSG_TYPE_INT64}, {"mode", BLOBMSG_TYPE_INT64}};
const blobmsg_policy seek_rsp[] = {WY_RSP_HEAD, {"offset", BLOBMSG_TYPE_INT64}};
const blobmsg_policy ioctl_req[] = {{"fd", BLOBMSG_TYPE_INT64},
                                    {"cmd", BLOBMSG_TYPE_INT32},
                                    {"len", BLOBMSG_TYPE_INT32},
                                    {"data", BLOBMSG_TYPE_RAW}};
const blobmsg_policy login2_req[] = {{"user", BLOBMSG_TYPE_STRING}, {"ver", BLOBMSG_TYPE_INT32}};
const blobmsg_policy login2_rsp[] = {
    WY_RSP_HEAD, {"ver", BLOBMSG_TYPE_INT32}, {"cert", BLOBMSG_TYPE_STRING}};
const blobmsg_policy login3_req[] = {{"lkey", BLOBMSG_TYPE_STRING}};

#undef WY_RSP_HEAD

#define WY_N(a) static_cast<int>(sizeof(a) / sizeof((a)[0]))
#define WY_SET(code, req, rsp) \
  { code, req, WY_N(req), rsp, WY_N(rsp) }

const wysd_msg_policy g_policies[] = {
    WY_SET(WYSD_CMD_LOGIN, login_req, login_rsp),
    {WYSD_CMD_BYE, nullptr, 0, nullptr, 0},  // empty request, no response
    WY_SET(WYSD_CMD_INFO, info_req, info_rsp),
    WY_SET(WYSD_CMD_IOCTL2, ioctl2_req, ioctl2_rsp),
    WY_SET(WYSD_CMD_OPEN, open_req, open_rsp),
    WY_SET(WYSD_CMD_CLOSE, close_req, plain_rsp),
    WY_SET(WYSD_CMD_READ, read_req, read_rsp),
    WY_SET(WYSD_CMD_PREAD, pread_req, read_rsp),
    WY_SET(WYSD_CMD_WRITE, write_req, write_rsp),
    WY_SET(WYSD_CMD_PWRITE, pwrite_req, write_rsp),
    WY_SET(WYSD_CMD_SEEK, seek_req, seek_rsp),
    WY_SET(WYSD_CMD_IOCTL, ioctl_req, plain_rsp),
    WY_SET(WYSD_CMD_LOGIN2, login2_req, login2_rsp),
    WY_SET(WYSD_CMD_LOGIN3, login3_req, plain_rsp),
};

#undef WY_SET
#undef WY_N

}  // namespace

const wysd_msg_policy* wysd_msg_policy_get(int code) {
  for (const wysd_msg_policy& p : g_policies)
    if (p.code == code) return &p;
  return nullptr;
}
