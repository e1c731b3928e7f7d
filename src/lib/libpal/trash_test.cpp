// Removal through the freedesktop.org trash, with XDG_DATA_HOME pointed at a
// temporary directory on the same file system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "pal_file.h"
#include "wytest.h"

namespace {

using wytest::read_file;
using wytest::TempDir;
using wytest::write_file;

// Points XDG_DATA_HOME somewhere for one test and puts it back afterwards.
struct xdg_env {
  std::string old;
  bool had;
  explicit xdg_env(const std::string& dir) {
    const char* o = getenv("XDG_DATA_HOME");
    had = o != nullptr;
    if (had) old = o;
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
  }
  ~xdg_env() {
    if (had) setenv("XDG_DATA_HOME", old.c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
  }
};

bool volume_trash_exists() {
  return os_path_exists(("/tmp/.Trash-" + std::to_string(getuid())).c_str()) ||
         os_path_exists(("/.Trash-" + std::to_string(getuid())).c_str());
}

TEST(Trash, MovesIntoHomeTrashWithInfoAndUniqueNames) {
  TempDir t;
  xdg_env env(t / "xdg");
  ASSERT_EQ(os_mkdirs((t / "xdg/Trash").c_str()), 0);
  ASSERT_EQ(os_mkdirs((t / "work").c_str()), 0);
  std::string victim = t / "work/my file%.txt";

  write_file(victim, "first");
  ASSERT_EQ(os_win_remove_maybe_recycle(victim.c_str()), 0);
  EXPECT_FALSE(os_path_exists(victim.c_str()));
  EXPECT_EQ(read_file(t / "xdg/Trash/files/my file%.txt"), "first");
  std::string info = read_file(t / "xdg/Trash/info/my file%.txt.trashinfo");
  std::string esc = t / "work/my%20file%25.txt";
  std::regex want("\\[Trash Info\\]\nPath=" + esc + "\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
  EXPECT_TRUE(std::regex_match(info, want)) << info;

  write_file(victim, "second");
  ASSERT_EQ(os_win_remove_maybe_recycle(victim.c_str()), 0);
  EXPECT_EQ(read_file(t / "xdg/Trash/files/my file%.txt"), "first");
  EXPECT_EQ(read_file(t / "xdg/Trash/files/my file%.txt.2"), "second");
  EXPECT_TRUE(os_path_exists((t / "xdg/Trash/info/my file%.txt.2.trashinfo").c_str()));

  // A directory tree and a link go as they are.
  ASSERT_EQ(os_mkdirs((t / "work/tree/sub").c_str()), 0);
  write_file(t / "work/tree/sub/x", "x");
  ASSERT_EQ(os_win_remove_maybe_recycle((t / "work/tree").c_str()), 0);
  EXPECT_EQ(read_file(t / "xdg/Trash/files/tree/sub/x"), "x");
  ASSERT_EQ(symlink("/nonexistent", (t / "work/link").c_str()), 0);
  ASSERT_EQ(os_win_remove_maybe_recycle((t / "work/link").c_str()), 0);
  std::string target;
  ASSERT_EQ(os_readlink((t / "xdg/Trash/files/link").c_str(), &target), 0);
  EXPECT_EQ(target, "/nonexistent");
}

TEST(Trash, MissingPathCountsAsRemoved) {
  TempDir t;
  xdg_env env(t / "xdg");
  ASSERT_EQ(os_mkdirs((t / "xdg/Trash").c_str()), 0);
  EXPECT_EQ(os_win_remove_maybe_recycle((t / "nothing here").c_str()), 0);
  EXPECT_EQ(os_win_remove_maybe_recycle((t / "no/such/dir/file").c_str()), 0);
}

TEST(Trash, WithoutTrashTheFileIsRemoved) {
  if (volume_trash_exists()) GTEST_SKIP() << "this volume has a trash of its own";
  TempDir t;
  xdg_env env(t / "xdg-none");  // no Trash directory there: none is made
  write_file(t / "f", "x");
  ASSERT_EQ(os_win_remove_maybe_recycle((t / "f").c_str()), 0);
  EXPECT_FALSE(os_path_exists((t / "f").c_str()));
  EXPECT_FALSE(os_path_exists((t / "xdg-none").c_str()));

  // A tree goes entirely; a link inside it is removed, not followed.
  ASSERT_EQ(os_mkdirs((t / "keep").c_str()), 0);
  write_file(t / "keep/k", "k");
  ASSERT_EQ(os_mkdirs((t / "tree/a/b").c_str()), 0);
  write_file(t / "tree/a/b/f", "f");
  ASSERT_EQ(symlink((t / "keep").c_str(), (t / "tree/a/lk").c_str()), 0);
  ASSERT_EQ(os_win_remove_maybe_recycle((t / "tree").c_str()), 0);
  EXPECT_FALSE(os_path_exists((t / "tree").c_str()));
  EXPECT_EQ(read_file(t / "keep/k"), "k");
}

}  // namespace
