// A connection lost in the middle of a run is repaired: tarn reconnects,
// learns from the server whether the lost request ran, replays it or takes
// its stored response, and the run ends with the trees equal. The relay
// between tarn and wysd cuts at the request chosen by each case.
#include <gtest/gtest.h>

#include <tuple>

#include "wytest_relay.h"
#include "wytest_tree.h"
#include "wytest_wysd.h"

using namespace wytest;

namespace {

/// What every kind of request needs, and little more: small files in two
/// directories, a link, and one big file of three blocks at bs=1M.
void make_small_tree(const std::string& root) {
  write_file(root + "/a.txt", pattern(100, 1));
  write_file(root + "/sub/b.dat", pattern(5000, 2));
  write_file(root + "/sub/deep/c", "c");
  write_file(root + "/big.bin", pattern((2 << 20) + 4097, 3));
  symlink("a.txt", (root + "/link").c_str());
  stamp_times(root);
}

struct Point {
  const char* name;
  bool push;  // tarn writes to the server (else it reads from it)
  int code;
  int cmd;
};

// Request codes and the controls a run sends.
const Point kPoints[] = {
    {"push_listing", true, 8, 10123},      // the destination's listing block (sync)
    {"push_write_list", true, 8, 10135},   // a small-file write list
    {"push_list_results", true, 8, 10132},
    {"push_block", true, 30, -1},          // a block of a big file
    {"push_file_stat", true, 20, 10039},   // a big file's stat before its close
    {"push_dir_times", true, 20, 10030},   // a directory's times at the end
    {"pull_listing", false, 8, 10123},
    {"pull_read_list", false, 8, 10133},
    {"pull_list_results", false, 8, 10132},
    {"pull_block", false, 29, -1},         // a block read of a big file
};

const char* action_name(Relay::Action a) {
  return a == Relay::kDropRequest ? "drop_request" : a == Relay::kCutAfterRequest ? "lose_response" : "cut_response";
}

class Repair : public ::testing::TestWithParam<Point> {};
INSTANTIATE_TEST_SUITE_P(At, Repair, ::testing::ValuesIn(kPoints),
                         [](const ::testing::TestParamInfo<Point>& i) { return std::string(i.param.name); });

TEST_P(Repair, ACutConnectionIsRepairedAndTheTreesEndEqual) {
  WYSD_REQUIRE_SERVER();
  const Point& pt = GetParam();
  for (Relay::Action a : {Relay::kDropRequest, Relay::kCutAfterRequest, Relay::kCutInResponse}) {
    SCOPED_TRACE(action_name(a));
    TempDir t;
    make_small_tree(t / "src");
    WysdServer srv;
    ASSERT_TRUE(srv.start(t.path())) << srv.log();
    Relay relay(srv.port());
    std::string remote = "wyp://127.0.0.1:" + std::to_string(relay.port()) + "/";
    // A pull reads what an untouched copy on the server holds.
    if (!pt.push) {
      ASSERT_EQ(tarn({"mode=cp", "if=" + t / "src", "of=" + t / "served"}).status, 0);
    }
    Relay::Cue cue;
    cue.action = a;
    cue.code = pt.code;
    cue.cmd = pt.cmd;
    cue.bytes = 20;
    relay.arm(cue);
    // A copy to a new destination never lists it; a sync does.
    std::string mode = pt.push && pt.cmd == 10123 ? "mode=sync" : "mode=cp";
    std::vector<std::string> args = pt.push ? std::vector<std::string>{mode, "if=" + t / "src", "of=" + remote + "dst", "bs=1M"}
                                            : std::vector<std::string>{mode, "if=" + remote + "served", "of=" + t / "dst", "bs=1M"};
    auto r = tarn_on(t / "src", args);
    EXPECT_FALSE(relay.armed()) << "the run never sent the request the case cuts";
    EXPECT_EQ(relay.cuts(), 1);
    ASSERT_EQ(r.status, 0) << r.err << srv.log();
    EXPECT_NE(r.err.find("fix ok"), std::string::npos) << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << r.err;
    EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 0) << r.err;
    // A sync copies files and the directories on their way, as locally.
    bool cp = mode == "mode=cp";
    expect_same(t / "src", t / "dst", cp);
    if (cp) {
      EXPECT_EQ(scan(t / "src").size(), scan(t / "dst").size());
    }
  }
}

}  // namespace
