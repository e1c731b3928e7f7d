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

/// A list answer built from the honest one of the list sent: `edit` gets
/// the records of the honest answer, one per line, and returns the bytes.
ScriptedServer::ListAnswer edited(ScriptedServer* srv, int code,
                                  std::function<std::string(const std::vector<std::string>&)> edit) {
  return [srv, code, edit](int c, const std::string& base, const std::string& list) {
    if (c != code) return srv->honest(c, base, list);
    std::vector<std::string> recs;
    for (const std::string& line : ScriptedServer::lines(list)) recs.push_back(srv->honest(c, base, line + "\n"));
    return edit(recs);
  };
}

std::string join_all(const std::vector<std::string>& v, size_t from = 0, size_t to = SIZE_MAX) {
  std::string s;
  for (size_t i = from; i < v.size() && i < to; i++) s += v[i];
  return s;
}

struct ResultCase {
  const char* what;
  std::function<std::string(const std::vector<std::string>&)> edit;
  const char* log;
};

// Three small files in one read list; every answer below breaks it as a
// whole before any file is written, and each file counts as failed.
TEST(WysdHostile, ReadResultsThatDoNotFitTheListAreRefused) {
  const std::vector<ResultCase> cases = {
      {"one result too many", [](auto& r) { return join_all(r) + data_rec("zzzzz"); }, "more results than files"},
      {"more data than asked for",
       [](auto& r) { return data_rec("123456") + join_all(r, 1); }, "more data than the file's size"},
      {"a record past the block", [](auto& r) { return join_all(r, 0, 2) + r[2].substr(0, 6); },
       "damaged data record"},
      {"both failure flags",
       [](auto& r) { return join_all(r, 0, 2) + std::string("\xc0\0\0\x04\0\0\0\x01", 8); }, "damaged data record"},
  };
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.what);
    Hostile h;
    h.srv.set_listing("/src", rec_file("a.txt", 5) + rec_file("b.txt", 5) + rec_file("c.txt", 5), "");
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) h.srv.set_file(std::string("/src/") + n, "12345");
    h.srv.set_answer(edited(&h.srv, WYSD_IOCTL2_MFILE_READ_LIST, c.edit));
    RunResult r = h.tarn({"mode=cp", "if=" + h.srv.url("src"), "of=" + h.local("dst")});
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[/src] list results refused: " + std::string(c.log)), std::string::npos) << r.err;
    EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 3) << r.err;
    EXPECT_EQ(report_value(r.err, "file_open_count"), 0);
    EXPECT_TRUE(wytest::scan(h.local("dst")).empty()) << "something was written";
    h.expect_outside_untouched(c.what);
  }
}

// Fewer results than files, then none: the wait ends after the time-out
// and the file without a result counts as failed.
TEST(WysdHostile, AReadListAnsweredShortFailsTheRestAfterTheTimeOut) {
  Hostile h;
  h.srv.set_listing("/src", rec_file("a.txt", 5) + rec_file("b.txt", 5) + rec_file("c.txt", 5), "");
  for (const char* n : {"a.txt", "b.txt", "c.txt"}) h.srv.set_file(std::string("/src/") + n, "12345");
  h.srv.set_answer(edited(&h.srv, WYSD_IOCTL2_MFILE_READ_LIST, [](auto& r) { return join_all(r, 0, 2); }));
  RunResult r = h.tarn({"mode=cp", "if=" + h.srv.url("src"), "of=" + h.local("dst")});
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("read_timeout"), std::string::npos) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 1) << r.err;
  EXPECT_EQ(report_value(r.err, "file_open_count"), 2) << r.err;
  EXPECT_EQ(wytest::scan(h.local("dst")).size(), 2u);
  h.expect_outside_untouched("short");
}

// ---------------------------------------------------------------------------
// The destination is the server (uploads).

TEST(WysdHostile, DestinationListingsWithNamesOutOfTheirDirectoryAreRefused) {
  for (const std::string& bad : {std::string("../x"), std::string(".."), std::string("a/b")}) {
    SCOPED_TRACE(bad);
    Hostile h;
    write_file(h.local("src/a.txt"), "aaaaa");
    h.srv.set_listing("/dst", rec_file("a.txt", 1) + rec_file(bad, 1), "");
    RunResult r = h.tarn({"mode=sync", "if=" + h.local("src"), "of=" + h.srv.url("dst")});
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[/dst] listing refused: it names [" + bad + "]"), std::string::npos) << r.err;
    EXPECT_EQ(report_value(r.err, "o_dir_fail_count"), 1) << r.err;
    EXPECT_EQ(report_value(r.err, "sync_del_file_count"), 0);
    // Neither a write nor a deletion went out for it.
    EXPECT_TRUE(h.srv.ops().empty());
  }
}

// Three small files in one write list; each answer below is refused, no
// file counts as written and each counts as failed.
TEST(WysdHostile, WriteResultsThatDoNotFitTheListAreRefused) {
  const std::vector<ResultCase> cases = {
      {"one result too many", [](auto& r) { return join_all(r) + "0\t5\n"; }, "more results than lines"},
      {"an unknown kind", [](auto& r) { return "7\t5\n" + join_all(r, 1); }, "damaged result"},
      {"not two numbers", [](auto& r) { return "0\tfive\n" + join_all(r, 1); }, "damaged result"},
      {"another file's size", [](auto& r) { return "0\t4\n" + join_all(r, 1); }, "a result that does not fit its line"},
  };
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.what);
    Hostile h;
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) write_file(h.local("src/") + n, "12345");
    h.srv.set_answer(edited(&h.srv, WYSD_IOCTL2_MFILE_WRITE_LIST, c.edit));
    RunResult r = h.tarn({"mode=cp", "if=" + h.local("src"), "of=" + h.srv.url("dst")});
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[/dst] list results refused: " + std::string(c.log)), std::string::npos) << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 3) << r.err;
    EXPECT_EQ(report_value(r.err, "file_open_count"), 0);
    EXPECT_EQ(report_value(r.err, "total_write"), 0);
  }
}

// Write lists of several directories are in flight at once. When the
// answer to the first is refused, the answers to the ones sent after it
// are never read (they could no longer be matched to their lines): each of
// their files counts as failed, none as written.
TEST(WysdHostile, ARefusedWriteAnswerFailsTheListsSentAfterIt) {
  Hostile h;
  for (const char* d : {"d1", "d2", "d3"})
    for (const char* n : {"a", "b"}) write_file(h.local("src/") + d + "/" + n, "12345");
  bool first = true;
  h.srv.set_answer([&](int c, const std::string& base, const std::string& list) {
    std::string honest = h.srv.honest(c, base, list);
    if (c != WYSD_IOCTL2_MFILE_WRITE_LIST || !first) return honest;
    first = false;
    return "7\t5\n" + honest.substr(honest.find('\n') + 1);
  });
  RunResult r = h.tarn({"mode=cp", "if=" + h.local("src"), "of=" + h.srv.url("dst")});
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("list results refused: damaged result"), std::string::npos) << r.err;
  int sent = 0;
  for (const auto& op : h.srv.ops())
    if (op.code == WYSD_IOCTL2_MFILE_WRITE_LIST) sent += static_cast<int>(ScriptedServer::lines(op.list).size());
  EXPECT_GT(sent, 2) << "no list was in flight behind the refused one";
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), sent) << r.err;
  EXPECT_EQ(report_value(r.err, "file_open_count"), 0) << r.err;
  EXPECT_EQ(report_value(r.err, "total_write"), 0) << r.err;
}

// Directory creation and deletion lists: more results than lines never
// count as deletions.
TEST(WysdHostile, CreationAndDeletionResultsBeyondTheirListsAreRefused) {
  {
    Hostile h;
    write_file(h.local("src/d/x"), "x");
    h.srv.set_answer(edited(&h.srv, WYSD_IOCTL2_MFILE_MKDIR_LIST, [](auto& r) { return join_all(r) + "0\t0\t"; }));
    RunResult r = h.tarn({"mode=cp", "if=" + h.local("src"), "of=" + h.srv.url("dst")});
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[/dst] list results refused: more results than lines"), std::string::npos) << r.err;
  }
  {
    Hostile h;
    write_file(h.local("src/a.txt"), "a");
    h.srv.set_listing("/dst", rec_file("a.txt", 1) + rec_file("o1", 1) + rec_file("o2", 1), "");
    h.srv.set_answer(edited(&h.srv, WYSD_IOCTL2_MFILE_DEL_LIST, [](auto& r) { return join_all(r) + "0\t0\t0\t"; }));
    RunResult r = h.tarn({"mode=sync", "if=" + h.local("src"), "of=" + h.srv.url("dst")});
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[/dst] list results refused: more results than lines"), std::string::npos) << r.err;
    EXPECT_EQ(report_value(r.err, "sync_del_file_count"), 0) << r.err;
    EXPECT_EQ(report_value(r.err, "sync_del_file_fail_count"), 2) << r.err;
  }
}

}  // namespace
