#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "pal_err.h"

namespace {

// The codes of the table, written out from the ranges so a slip in the
// table (a missing or stray code) shows up.
std::set<int> expected_codes() {
  std::set<int> c{0, 203, -600, -608, -609, -610, -619, -901, -902};
  auto range = [&](int hi, int lo) {
    for (int i = hi; i >= lo; --i) c.insert(i);
  };
  range(-1, -13);
  range(-18, -24);
  range(-26, -93);
  range(-95, -159);
  range(-200, -202);
  range(-225, -234);
  range(-250, -258);
  range(-300, -308);
  range(-350, -377);
  range(-400, -406);
  range(-436, -461);
  range(-464, -467);
  return c;
}

TEST(VerrTable, HoldsExactlyTheDocumentedCodesOnce) {
  std::set<int> seen;
  size_t n = 0;
  for (const verr_msg* e = verr_msg_table(); e->msg != nullptr; ++e, ++n) {
    EXPECT_TRUE(seen.insert(e->code).second) << "duplicate code " << e->code;
    size_t len = strlen(e->msg);
    ASSERT_GT(len, 1u) << e->code;
    EXPECT_EQ(e->msg[len - 1], '.') << e->code;
    if (e->code > 0) {
      EXPECT_EQ(e->code, 203);
    }
  }
  EXPECT_EQ(n, 258u);
  EXPECT_EQ(seen, expected_codes());
  EXPECT_EQ(expected_codes().size(), 258u);
}

TEST(VerrTable, MessagesAreDistinctExceptTheSplicePair) {
  std::map<std::string, int> by_msg;
  for (const verr_msg* e = verr_msg_table(); e->msg != nullptr; ++e) {
    auto [it, fresh] = by_msg.emplace(e->msg, e->code);
    if (!fresh) {
      EXPECT_EQ(it->second, -459) << e->msg;
      EXPECT_EQ(e->code, -460) << e->msg;
    }
  }
  EXPECT_STREQ(verr2str(-459), "Too many references: can't splice.");
  EXPECT_STREQ(verr2str(-460), "Too many references: can't splice.");
}

TEST(Verr2str, KnownAndUnknownCodes) {
  EXPECT_STREQ(verr2str(0), "Success.");
  EXPECT_STREQ(verr2str(-1), "General failure - DON'T USE THIS!!!.");
  EXPECT_STREQ(verr2str(-102), "File not found.");
  EXPECT_STREQ(verr2str(-152), "Disk is full.");
  EXPECT_STREQ(verr2str(-438),
               "Attempted socket operation with a non-socket handle. (This includes closed handles.).");
  EXPECT_STREQ(verr2str(-902), "An account is restricted in a certain way.");
  EXPECT_STRNE(verr2str(203), "Invalid error code");
  for (int bad : {-14, -25, -94, -160, -203, 1, 204, -462, -463, -468, -601, -903, 0x7fffffff})
    EXPECT_STREQ(verr2str(bad), "Invalid error code") << bad;
}

TEST(Verr2str, UnknownCodeLogsAtDebug) {
  testing::internal::CaptureStderr();
  verr2str(-14);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Invalid errno=-14 (0xfffffff2)"), std::string::npos) << err;
}

TEST(OsVerrGet, DocumentedErrnoRows) {
  const std::pair<int, int> rows[] = {
      {0, 0},           {ENOENT, -102},    {ENOTDIR, -103},      {EACCES, -38},
      {EPERM, -38},     {EEXIST, -105},    {ENOSPC, -152},       {EDQUOT, -152},
      {EROFS, -113},    {ETIMEDOUT, -40},  {ECONNREFUSED, -461}, {ECONNRESET, -454},
      {ENAMETOOLONG, -120}, {ENOTEMPTY, -125}, {EMFILE, -106},   {ENOMEM, -8},
      {EINTR, -39},     {EAGAIN, -52},     {EWOULDBLOCK, -52},   {ECANCELED, -70},
      {ELOOP, -156},    {EXDEV, -119},     {EIO, -257},          {ENXIO, -258},
      {EINVAL, -2},     {EBADF, -4},       {EPIPE, -301},        {ENOSYS, -12},
      {EADDRINUSE, -448}, {EHOSTUNREACH, -465}, {ENETUNREACH, -451}, {EINPROGRESS, -436},
      {ENOTSUP, -37},
  };
  for (auto [eno, verr] : rows) EXPECT_EQ(os_verr_get(eno), verr) << strerror(eno);
}

TEST(OsVerrGet, EveryErrnoGivesATableCodeOrTheGenericFailure) {
  std::set<int> codes = expected_codes();
  testing::internal::CaptureStderr();  // the unhandled ones warn
  for (int eno = 1; eno < 200; ++eno) {
    int v = os_verr_get(eno);
    EXPECT_LT(v, 0) << eno;
    EXPECT_TRUE(codes.count(v)) << eno << " -> " << v;
  }
  testing::internal::GetCapturedStderr();
}

TEST(OsVerrGet, UnhandledWarnsAndKeepsErrno) {
  testing::internal::CaptureStderr();
  errno = EACCES;
  EXPECT_EQ(os_verr_get(4095), -1);
  EXPECT_EQ(errno, EACCES);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unhandled eno=4095 (0xfff)"), std::string::npos) << err;
}

TEST(OsErrnoStr, TextsAndFallbacks) {
  char buf[256];
  EXPECT_STREQ(os_errno_str(0, buf, sizeof buf), "ok");
  EXPECT_STREQ(os_errno_str(ENOENT, buf, sizeof buf), "No such file or directory");
  EXPECT_STREQ(os_errno_str(99999, buf, sizeof buf), "unkown os_errno=99999 (0x1869f)");
  // Cut to the caller's buffer, never past it.
  char small[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_STREQ(os_errno_str(ENOENT, small, sizeof small), "No s");
  // The per-thread buffer when none is given.
  EXPECT_STREQ(os_errno_str(EACCES, nullptr, 0), "Permission denied");
}

TEST(OsErrnoStr, LastErrnoLeavesErrnoAlone) {
  errno = 0;
  EXPECT_STREQ(os_last_errno_str(), "ok");
  errno = ENOTDIR;
  EXPECT_STREQ(os_last_errno_str(), "Not a directory");
  EXPECT_EQ(errno, ENOTDIR);
  // Each thread has its own buffer: another thread's text does not replace ours.
  const char* mine = os_errno_str(ENOENT, nullptr, 0);
  std::thread([] { os_errno_str(EPERM, nullptr, 0); }).join();
  EXPECT_STREQ(mine, "No such file or directory");
}

TEST(VerrLast, IsProcessWide) {
  verr_last_set(0);
  EXPECT_EQ(verr_last_get(), 0);
  std::thread([] { verr_last_set(-102); }).join();
  EXPECT_EQ(verr_last_get(), -102);
  verr_last_set(0);
}

}  // namespace
