// tarn's command line: the usage text, the words added to it, and the
// manual page that must name every word the parse accepts.
#include "args.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "wytest.h"

namespace {

std::string source_root() { return WY_SOURCE_DIR; }

parse_result parse(std::vector<std::string> words, cdir_param* p, std::string* bad) {
  words.insert(words.begin(), "tarn");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  return tarn_parse_args(static_cast<int>(argv.size()), argv.data(), p, bad);
}

TEST(TarnArgs, UsageKeepsItsLinesAndAddsTheNewWordsAfter) {
  const std::string fixed =
      "tarn v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files\n"
      "\n"
      "usage: tarn [mode=..] [if=dir] [of=dir] [bs=N]\n"
      "\tmode=[mode=cp|sync|ls|rm|...] Specifying the working mode\n"
      "\tls_mode=[cp|sync] Enumerate available modes\n"
      "\tdbg=[sync_reason]  print dbg info ..\n"
      "\tbs=BYTES    read and write BYTES bytes at a time\n"
      "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n";
  std::string u = tarn_usage();
  ASSERT_EQ(u.compare(0, fixed.size(), fixed), 0) << u;
  std::string added = u.substr(fixed.size());
  for (const char* w : {"\tdry=", "\tmax_del=", "\tprogress="})
    EXPECT_NE(added.find(w), std::string::npos) << w << " missing from\n" << added;
  EXPECT_EQ(u.find("olist"), std::string::npos) << "the usage text never named olist";
}

TEST(TarnArgs, NewWordsTakeOnlyWhatTheyMean) {
  cdir_param p;
  std::string bad;
  ASSERT_EQ(parse({"dry=1", "max_del=12", "progress=0"}, &p, &bad), PARSE_OK);
  EXPECT_EQ(p.dry_run, 1);
  EXPECT_EQ(p.max_del, 12);
  EXPECT_EQ(p.progress, CDIR_PROGRESS_OFF);
  // Tests run with standard error away from a terminal: forced on, the
  // display writes whole lines.
  ASSERT_EQ(parse({"progress=1", "max_del=0"}, &p, &bad), PARSE_OK);
  EXPECT_EQ(p.progress, CDIR_PROGRESS_LINES);
  EXPECT_EQ(p.max_del, 0);
  cdir_param d;
  ASSERT_EQ(parse({"mode=sync"}, &d, &bad), PARSE_OK);
  EXPECT_EQ(d.dry_run, 0);
  EXPECT_EQ(d.max_del, -1) << "no limit unless one is given";
  EXPECT_EQ(d.progress, CDIR_PROGRESS_OFF) << "no terminal, not asked for";

  // A typo must never become a real run or another limit.
  for (const char* w : {"dry=yes", "dry=", "dry=2", "max_del=", "max_del=-1", "max_del=1k", "max_del=ten",
                        "progress=on"}) {
    cdir_param q;
    EXPECT_EQ(parse({w}, &q, &bad), PARSE_BAD_VALUE) << w;
    EXPECT_EQ(bad, w);
    EXPECT_EQ(q.dry_run, 0) << w;
  }
}

TEST(TarnArgs, ManualPageNamesEveryWordModeAndStatus) {
  std::string page = wytest::man_page_text(source_root() + "/man/tarn.1");
  ASSERT_FALSE(page.empty());
  for (const tarn_word* w = tarn_words; w->key; w++)
    EXPECT_NE(page.find(std::string(" ") + w->key + "="), std::string::npos) << w->key << "= is not in tarn.1";
  for (const char* const* w = tarn_bare_words; *w; w++)
    EXPECT_NE(page.find(std::string(" ") + *w + " "), std::string::npos) << *w << " is not in tarn.1";
  for (const char* const* m = cdir_listed_modes; *m; m++)
    EXPECT_NE(page.find(*m), std::string::npos) << *m;
  // Every mode the parse takes, the listed ones and the short ones.
  for (const char* m : {"cp", "sync", "ls"}) {
    cdir_param p;
    std::string bad;
    ASSERT_EQ(parse({std::string("mode=") + m}, &p, &bad), PARSE_OK) << m;
    EXPECT_NE(page.find(std::string(" ") + m + " "), std::string::npos) << m;
  }
  size_t status = page.find("EXIT STATUS");
  ASSERT_NE(status, std::string::npos);
  for (int s = 0; s <= 7; s++)
    EXPECT_NE(page.find(" " + std::to_string(s) + " ", status), std::string::npos) << "status " << s;
  for (const char* env : {"WY_ENV_CONF_DIR", "WY_PROXY_FILE", "WY_CACHE", "http_proxy", "WY_ENV_LOG_LEVEL", "WYDBGLOG"})
    EXPECT_NE(page.find(env), std::string::npos) << env;
}

// The pages go where man finds them, beside the programs.
TEST(TarnArgs, InstallPutsTheProgramsAndPagesInPlace) {
  wytest::TempDir t;
  std::string cmd = "cmake --install '" + std::string(WY_BUILD_DIR) + "' --prefix '" + t.path() + "' >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  for (const char* f : {"bin/tarn", "bin/wysd", "share/man/man1/tarn.1", "share/man/man8/wysd.8"})
    EXPECT_EQ(access((t / f).c_str(), F_OK), 0) << f;
  EXPECT_EQ(wytest::read_file(t / "share/man/man1/tarn.1"), wytest::read_file(source_root() + "/man/tarn.1"));
}

}  // namespace
