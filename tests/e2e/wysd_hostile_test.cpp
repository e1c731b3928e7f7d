// tarn against a server that lies: listings with names that reach out of
// the directory they list, damaged records, and list results that claim
// more or fewer entries than were sent or do not fit what was sent. Each is
// refused: the run fails and says why, the refusal is counted, nothing is
// written for it, and nothing outside the destination changes.
#include <set>

#include "fake_wysd.h"
#include "wysd_client.h"
#include "wytest_tree.h"

using namespace wysdtest;
using wytest::read_file;
using wytest::report_value;
using wytest::RunResult;
using wytest::write_file;

namespace {

/// A run's place: the local tree (source or destination), a sentinel
/// directory beside it that nothing may touch, and the fake server.
struct Hostile {
  TempDir t;
  ScriptedServer srv;
  std::string sentinel_before;
  Hostile() {
    write_file(t / "outside/keep", "keep");
    sentinel_before = outside_state(t / "outside");
  }
  std::string local(const std::string& rel) const { return t / rel; }
  RunResult tarn(const std::vector<std::string>& args) { return wytest::tarn(args); }
  /// Nothing outside the local tree changed, and nothing new is beside it.
  void expect_outside_untouched(const std::string& what) {
    EXPECT_EQ(outside_state(t / "outside"), sentinel_before) << what;
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(t.path())) names.insert(e.path().filename().string());
    for (const std::string& n : names)
      EXPECT_TRUE(n == "outside" || n == "src" || n == "dst") << what << ": [" << n << "] appeared beside the tree";
  }
};

/// The listing case: the root listing carries `files` and `dirs`.
struct ListingCase {
  const char* what;
  std::string files, dirs;
  const char* log;  // what the log must say
};

// ---------------------------------------------------------------------------
// The source is the server (downloads).

// The fake's honest answers carry a whole copy, through a link at the
// destination that the client did not make, which it replaces rather than
// follows: the fake is sound, so the refusals below are the client's.
TEST(WysdHostile, AnHonestFakeSourceIsCopiedAndALinkInTheWayIsReplaced) {
  Hostile h;
  h.srv.set_listing("/src", rec_file("a.txt", 5) + rec_file("b.txt", 3), rec_dir("d"));
  h.srv.set_listing("/src/d", rec_file("x", 4), "");
  h.srv.set_file("/src/a.txt", "aaaaa");
  h.srv.set_file("/src/b.txt", "bbb");
  h.srv.set_file("/src/d/x", "xxxx");
  fs::create_directories(h.local("dst"));
  ASSERT_EQ(symlink(h.local("outside").c_str(), h.local("dst/d").c_str()), 0);
  for (const char* mode : {"cp", "copy_diff_size_date"}) {
    RunResult r = h.tarn({"mode=" + std::string(mode), "if=" + h.srv.url("src"), "of=" + h.local("dst")});
    EXPECT_EQ(r.status, 0) << mode << "\n" << r.err;
    EXPECT_EQ(read_file(h.local("dst/a.txt")), "aaaaa") << mode;
    EXPECT_EQ(read_file(h.local("dst/b.txt")), "bbb") << mode;
    EXPECT_EQ(read_file(h.local("dst/d/x")), "xxxx") << mode;
    EXPECT_FALSE(fs::is_symlink(h.local("dst/d"))) << mode;
    EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 0) << mode;
    EXPECT_EQ(report_value(r.err, "i_dir_fail_count"), 0) << mode;
    h.expect_outside_untouched(mode);
  }
}

TEST(WysdHostile, SourceListingsWithNamesOutOfTheirDirectoryAreRefused) {
  const std::string ok = rec_file("fine.txt", 4);
  const std::vector<ListingCase> cases = {
      {"parent file", ok + rec_file("../escape", 4), "", "listing refused: it names [../escape]"},
      {"deep parent file", rec_file("../../outside/keep", 4) + ok, "", "listing refused: it names [../../outside/keep]"},
      {"slash in a file", ok + rec_file("sub/x", 4), "", "listing refused: it names [sub/x]"},
      {"absolute file", ok + rec_file("/tmp/escape", 4), "", "listing refused: it names [/tmp/escape]"},
      {"dot-dot directory", ok, rec_dir(".."), "listing refused: it names [..]"},
      {"dot directory", ok, rec_dir("."), "listing refused: it names [.]"},
      {"empty file name", ok + rec_file("", 4), "", "listing refused: it names []"},
      {"NUL in a name", ok + rec_file(std::string("ok\0/../../escape", 16), 4), "", "NUL in listing"},
      {"ten fields", ok + "short\t\t802\t20\t1a4\t4\t0\t0\t0\t0\n", "", "ret=10 error: ret!=11"},
      {"bad number", ok + "bad\t\t80z\t20\t1a4\t4\t0\t0\t0\t0\t0\n", "", "vrdir_str_2_stat failed"},
  };
  for (const ListingCase& c : cases) {
    SCOPED_TRACE(c.what);
    Hostile h;
    h.srv.set_listing("/src", c.files, c.dirs);
    h.srv.set_file("/src/fine.txt", "good");
    h.srv.set_file("/src/../escape", "evil");
    h.srv.set_file("/src/sub/x", "evil");
    RunResult r = h.tarn({"mode=cp", "if=" + h.srv.url("src"), "of=" + h.local("dst")});
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(c.log), std::string::npos) << r.err;
    EXPECT_EQ(report_value(r.err, "i_dir_fail_count"), 1) << r.err;
    EXPECT_EQ(report_value(r.err, "file_open_count"), 0);
    // Nothing of the listing was used: no read list went out.
    EXPECT_TRUE(h.srv.ops().empty());
    EXPECT_TRUE(wytest::scan(h.local("dst")).empty()) << "something was written";
    h.expect_outside_untouched(c.what);
  }
}

// A subdirectory's listing is checked as the root's is; the root's files,
// posted after its subdirectories were listed, are not written either.
TEST(WysdHostile, ASubdirectoryListingIsRefusedToo) {
  Hostile h;
  h.srv.set_listing("/src", rec_file("a.txt", 1), rec_dir("d"));
  h.srv.set_listing("/src/d", "", rec_dir("../../outside"));
  h.srv.set_file("/src/a.txt", "a");
  RunResult r = h.tarn({"mode=cp", "if=" + h.srv.url("src"), "of=" + h.local("dst")});
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("[/src/d] listing refused: it names [../../outside]"), std::string::npos) << r.err;
  EXPECT_EQ(report_value(r.err, "i_dir_fail_count"), 1);
  EXPECT_FALSE(fs::exists(h.local("dst/a.txt")));
  EXPECT_TRUE(wytest::scan(h.local("dst/d")).empty());
  h.expect_outside_untouched("subdirectory");
}

}  // namespace
