// Seeded runs with connections cut at random byte offsets, on every kind of
// pair with a remote side, for cp and sync. A run ends with the trees equal,
// or with an error and a non-zero status after which one more run of the
// same command makes them equal; whatever happens, no destination file
// carries its source's size and time with other contents, sync deletes
// nothing the source has, and the source is never changed.
//
// WY_FAULT_RUNS sets the number of seeded runs over all six cases (204 by
// default); the sanitizer builds run fewer.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "wytest_faults.h"

using namespace wytest;

namespace {

struct CutCase {
  Scheme scheme;
  Kind kind;
  bool sync;
};

std::string case_name(const ::testing::TestParamInfo<CutCase>& i) {
  return std::string(scheme_name(i.param.scheme)) + "_" + kind_name(i.param.kind) + (i.param.sync ? "_sync" : "_cp");
}

/// What the runs of one case came to.
struct Tally {
  std::mutex mu;
  int runs = 0, cuts = 0, repairs = 0, second_runs = 0, uncut = 0;
  std::map<std::string, int> why;  // first run's ending -> count
};

void one_run(const CutCase& c, uint32_t seed, Tally* tally) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  TempDir t;
  make_fault_tree(t / "src", seed);
  if (c.sync) make_stale_copy(t / "src", t / "dst");
  FaultPair pair(c.scheme, c.kind, t.path());
  ASSERT_TRUE(pair.ok());
  // One cut anywhere in the run, or (one seed in four) a cut every few
  // hundred KB: the tree moves about 1.5 MB in all.
  bool often = seed % 4 == 0;
  uint64_t mean = often ? 300000 : 900000;
  int n = often ? 4 : 1;
  uint32_t k = 0;
  for (FaultSite* s : pair.sites()) s->relay().random_cuts(seed * 2 + k++, mean, n);
  std::vector<std::string> args = {c.sync ? "mode=sync" : "mode=cp", "if=" + pair.src("src"), "of=" + pair.dst("dst"),
                                   "bs=128K"};
  std::set<std::string> before = names_below(t / "dst");
  auto tarn_once = [&] {
    std::string digest = tree_digest(t / "src");
    RunResult r = run_bounded(WY_TARN_BIN, args, 120000, [](pid_t, int64_t) {}, env_no_trash(t));
    EXPECT_FALSE(r.hung) << "tarn hung\n" << r.err;
    EXPECT_EQ(tree_digest(t / "src"), digest) << "the source tree changed";
    return r;
  };
  RunResult r = tarn_once();
  int cuts = pair.cuts();
  expect_nothing_false(t / "src", t / "dst", before);
  bool second = !clean(r);
  if (second) {
    EXPECT_GT(cuts, 0) << "a run without a cut failed\n" << r.err << pair.logs();
    pair.calm();
    before = names_below(t / "dst");
    RunResult again = tarn_once();
    expect_nothing_false(t / "src", t / "dst", before);
    EXPECT_TRUE(clean(again)) << "the second run did not end clean\n" << again.err << pair.logs();
  }
  // A sync copies files and the directories on their way; a cp gives
  // directories their times too.
  expect_same(t / "src", t / "dst", !c.sync);
  if (c.sync) {
    EXPECT_FALSE(fs::exists(t / "dst/orphan.txt"));
    EXPECT_TRUE(fs::exists(t / "dst/gone/deep/orphan")) << "an orphan directory stays with its contents";
  }
  std::lock_guard<std::mutex> g(tally->mu);
  tally->runs++;
  tally->cuts += cuts;
  tally->uncut += cuts == 0;
  tally->repairs += occurrences(r.err, "fix ok");
  if (second) {
    tally->second_runs++;
    tally->why[ending(r)]++;
    // WY_FAULT_LOGS names a directory that keeps the log of every first
    // run that needed a second, to see why.
    if (const char* dir = getenv("WY_FAULT_LOGS"))
      write_file(std::string(dir) + "/" + case_name({c, 0}) + "_" + std::to_string(seed) + ".log", r.err);
  }
}

class Cuts : public ::testing::TestWithParam<CutCase> {};

const CutCase kCases[] = {
    {Scheme::Plain, Kind::LR, false}, {Scheme::Plain, Kind::LR, true}, {Scheme::Plain, Kind::RL, false},
    {Scheme::Plain, Kind::RL, true},  {Scheme::Plain, Kind::RR, false}, {Scheme::Plain, Kind::RR, true},
    {Scheme::Tls, Kind::LR, false},   {Scheme::Tls, Kind::LR, true},    {Scheme::Tls, Kind::RL, false},
    {Scheme::Tls, Kind::RL, true},    {Scheme::Tls, Kind::RR, false},   {Scheme::Tls, Kind::RR, true},
};
INSTANTIATE_TEST_SUITE_P(Seeded, Cuts, ::testing::ValuesIn(kCases), case_name);

TEST_P(Cuts, EveryRunEndsEqualOrFailsClearlyAndTheNextRunEndsEqual) {
  WYSD_REQUIRE_SERVER();
  const CutCase& c = GetParam();
  const int total = env_count("WY_FAULT_RUNS", 204);
  const int cases = static_cast<int>(std::size(kCases));
  int index = 0;
  while (index < cases && !(kCases[index].scheme == c.scheme && kCases[index].kind == c.kind &&
                            kCases[index].sync == c.sync))
    index++;
  const int runs = (total + cases - 1) / cases;
  Tally tally;
  // The runs wait on time-outs and the repair's pause far more than they
  // compute, so a few go at once.
  const int workers = std::min(3, runs);
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; w++) {
    pool.emplace_back([&, w] {
      for (int i = w; i < runs; i += workers) one_run(c, static_cast<uint32_t>(1000 * index + i + 1), &tally);
    });
  }
  for (auto& th : pool) th.join();
  EXPECT_EQ(tally.runs, runs);
  std::string why;
  for (auto& [w, n] : tally.why) why += "\n  " + std::to_string(n) + "x " + w;
  std::printf("%s: runs=%d cuts=%d runs_without_cut=%d repairs=%d second_runs=%d%s\n", case_name({c, 0}).c_str(),
              tally.runs, tally.cuts, tally.uncut, tally.repairs, tally.second_runs, why.c_str());
  // The cuts must have landed in the runs, not past their end.
  EXPECT_GT(tally.cuts, runs / 2);
}

}  // namespace
