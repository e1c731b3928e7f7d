// The command line: version, mode list, usage paths and exit statuses.
#include <gtest/gtest.h>

#include "wytest.h"

using namespace wytest;

namespace {

const char* kUsageHead = "tarn v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files\n\nusage: tarn ";

void expect_usage(const RunResult& r) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind(kUsageHead, 0), 0u) << r.err;
  EXPECT_NE(r.err.find("\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n"), std::string::npos);
  EXPECT_EQ(r.err.find("olist"), std::string::npos);
  // A usage error opens no job and logs nothing.
  EXPECT_EQ(r.err.find("<== ret"), std::string::npos) << r.err;
}

TEST(Cli, VersionAlone) {
  auto r = tarn({"-v"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1.0.1.0\n");
  // -v with another word is just a word without "=".
  expect_usage(tarn({"-v", "x"}));
}

TEST(Cli, UsageErrors) {
  expect_usage(tarn({}));                             // no if=
  expect_usage(tarn({"foo"}));                        // no "="
  expect_usage(tarn({"a=b=c"}));                      // key "a" is unknown
  expect_usage(tarn({"mode=rm", "if=/tmp"}));         // not in the mode table
  expect_usage(tarn({"mode=copy", "if=/tmp"}));       // prefix only for ls_mode
  expect_usage(tarn({"mode=Copy_overwrite", "if=/tmp"}));
  expect_usage(tarn({"mode=cp", "if=/tmp/x"}));       // cp needs of=
  expect_usage(tarn({"mode=sync", "if=/tmp/x", "--"}));
}

TEST(Cli, ListModes) {
  auto r = tarn({"ls_mode=cp"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n");
  r = tarn({"ls_mode=sync"});
  EXPECT_EQ(r.out, "supprots_mode:\nsync_diff_size_date\n");
  r = tarn({"ls_mode="});
  EXPECT_EQ(r.out, "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\nsync_diff_size_date\n");
  r = tarn({"--", "ls_mode=zzz"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "supprots_mode:\n");
  EXPECT_EQ(r.err, "");  // the list is all it prints: no log line
}

TEST(Cli, BadBlockSizesAreRefusedBeforeAnyJob) {
  TempDir t;
  write_file(t / "src/a", "hello");
  for (const char* bs : {"bs=", "bs=abc", "bs=0", "bs=4095", "bs=-4096", "bs=8388609", "bs=9G"}) {
    auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "dst", bs});
    EXPECT_EQ(r.status, 1) << bs;
    std::string want = std::string("error: invalid bs [") + (strchr(bs, '=') + 1) + "]\n";
    EXPECT_EQ(r.err.rfind(want, 0), 0u) << bs << ": " << r.err;
    EXPECT_NE(r.err.find(kUsageHead), std::string::npos);
    EXPECT_FALSE(fs::exists(t / "dst")) << bs;
  }
  for (const char* bs : {"bs=4096", "bs=4k", "bs=8388608", "bs=8M"}) {
    auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / ("dst_" + std::string(bs + 3)), bs});
    EXPECT_EQ(r.status, 0) << bs << r.err;
  }
}

TEST(Cli, ThreadsOutsideOneToSixteenAreRefusedBeforeAnythingIsWritten) {
  TempDir t;
  write_file(t / "src/a", "hello");
  for (const char* w : {"threads=", "threads=0", "threads=17", "threads=-1", "threads=2x", "threads=x"}) {
    auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "dst", w});
    EXPECT_EQ(r.status, 1) << w;
    std::string want = std::string("error: invalid value [") + w + "]\n";
    EXPECT_EQ(r.err.rfind(want, 0), 0u) << w << ": " << r.err;
    EXPECT_FALSE(fs::exists(t / "dst")) << w;
  }
  for (const char* w : {"threads=1", "threads=16"}) {
    auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / ("dst_" + std::string(w + 8)), w});
    EXPECT_EQ(r.status, 0) << w << r.err;
    EXPECT_EQ(read_file(t / ("dst_" + std::string(w + 8)) + "/a"), "hello");
  }
}

TEST(Cli, OpenFailuresNeverEndWithStatusZero) {
  TempDir t;
  write_file(t / "src/a", "hello");
  // Same URL text on both sides.
  auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "src"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("The source url and destination url cannot be the same"), std::string::npos);
  EXPECT_NE(r.err.find("main(): <== ret=1"), std::string::npos) << r.err;  // a job was tried
  // A source that does not exist: the class of "not found" is 2.
  r = tarn({"mode=cp", "if=" + t / "nope", "of=" + t / "dst"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("error: "), std::string::npos);
  // The destination is a file.
  write_file(t / "file", "x");
  r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "file"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("It is a file, must be a directory"), std::string::npos);
  EXPECT_EQ(read_file(t / "file"), "x");
}

TEST(Cli, RemoteUrlsFailCleanlyUntilTheClientExists) {
  TempDir t;
  write_file(t / "src/a", "hello");
  auto r = tarn({"mode=cp", "if=" + t / "src", "of=wyp://127.0.0.1:1/x"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("wyp://127.0.0.1:1/x"), std::string::npos) << r.err;
  r = tarn({"mode=cp", "if=wyps://127.0.0.1:1/x", "of=" + t / "dst"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(fs::exists(t / "dst"));
}

TEST(Cli, LevelOption) {
  TempDir t;
  write_file(t / "src/a", "hello");
  // At "err" the report (debug level) is not printed; an unknown level
  // silences everything but its own complaint.
  auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "d1", "level=err"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("file_count="), std::string::npos);
  r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "d2", "level=debug"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "error: invalid level [debug]\n");
  r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "d3", "level=dbg"});
  EXPECT_EQ(report_value(r.err, "file_count"), 1);
}

}  // namespace

namespace {

TEST(Cli, IniBesideTheProgramSetsUpTheLog) {
  TempDir t;
  write_file(t / "src/a", "hello");
  fs::create_directories(t / "bin");
  fs::copy_file(WY_TARN_BIN, t / "bin/tarn");
  chmod((t / "bin/tarn").c_str(), 0755);
  write_file(t / "bin/tarn.ini", "[log]\nlevel = err\nfile_dir = logs\nfile = tarn.log\nfile_mode = a\n");
  auto r = run(t / "bin/tarn", {"mode=cp", "if=" + t / "src", "of=" + t / "d1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("file_count="), std::string::npos) << r.err;
  // The command line's level comes last and wins over the file.
  r = run(t / "bin/tarn", {"mode=cp", "if=" + t / "src", "of=" + t / "d2", "level=dbg"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(report_value(r.err, "file_count"), 1);
  std::string log = read_file(t / "bin/logs/tarn.log");
  EXPECT_NE(log.find("file_count=1"), std::string::npos) << log;
  EXPECT_NE(log.find("DEBUG"), std::string::npos) << log;
}

}  // namespace
