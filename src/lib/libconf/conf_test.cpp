#include "libconf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "iniparser.h"
#include "wytest.h"

namespace {

using wytest::read_file;
using wytest::TempDir;
using wytest::write_file;

std::string get(conf_handle* h, const char* sec, const char* key) {
  const char* v = conf_get_str(h, sec, key, "<none>");
  return v ? v : "<null>";
}

std::vector<std::string> sections(conf_handle* h) {
  std::vector<std::string> v;
  EXPECT_LE(0, conf_get_sections(h, &v));
  return v;
}

std::vector<std::string> keys(conf_handle* h, const char* sec) {
  std::vector<std::string> v;
  EXPECT_LE(0, conf_get_keys(h, sec, &v));
  return v;
}

const char kBom[] = "\xEF\xBB\xBF";

// Everything a hand-edited file throws at the parser at once, plus enough
// entries to make the store grow past its first 128 slots.
std::string sample_file() {
  std::string s = std::string(kBom) +
                  "; top comment\n"
                  "# second\n"
                  "\n"
                  "[server]\n"
                  "; the port\n"
                  "port = 6688 ; inline note\n"
                  "name = \"a;b # c\"\n"
                  "empty = ''\n"
                  "none =\n"
                  "path = /very/long\\\n"
                  "/continued\n"
                  "port = 7000\n"
                  "\n"
                  "[Server]\n"
                  "x=1\n"
                  "; before dup\n"
                  "[server]\n"
                  "extra=yes\n"
                  "[broken] ; note\n"
                  "after=1\n"
                  "\n"
                  "[bulk]\n";
  for (int i = 0; i < 200; ++i) s += "k" + std::to_string(i) + " = v" + std::to_string(i) + "\n";
  s += "; tail note\n";
  return s;
}

void check_sample(conf_handle* h) {
  EXPECT_EQ("7000", get(h, "server", "port"));  // the later duplicate wins
  EXPECT_EQ("a;b # c", get(h, "server", "name"));
  EXPECT_EQ("", get(h, "server", "empty"));
  EXPECT_EQ("", get(h, "server", "none"));
  EXPECT_EQ("/very/long/continued", get(h, "server", "path"));
  EXPECT_EQ("yes", get(h, "server", "extra"));
  EXPECT_EQ("1", get(h, "server", "after"));  // the broken header was skipped
  EXPECT_EQ("1", get(h, "Server", "x"));
  EXPECT_EQ("<none>", get(h, "server", "x"));  // names keep their case
  EXPECT_EQ("<none>", get(h, "SERVER", "port"));
  EXPECT_EQ("v0", get(h, "bulk", "k0"));
  EXPECT_EQ("v127", get(h, "bulk", "k127"));
  EXPECT_EQ("v199", get(h, "bulk", "k199"));
  EXPECT_EQ((std::vector<std::string>{"server", "Server", "bulk"}), sections(h));
  EXPECT_EQ((std::vector<std::string>{"port", "name", "empty", "none", "path", "extra", "after"}),
            keys(h, "server"));
  EXPECT_EQ(200u, keys(h, "bulk").size());
}

std::string expected_save() {
  std::string s = std::string(kBom) +
                  "; top comment\n"
                  "# second\n"
                  "\n"
                  "[server]\n"
                  "; the port\n"
                  "port=7000\n"
                  "name=\"a;b # c\"\n"
                  "empty=\n"
                  "none=\n"
                  "path=/very/long/continued\n"
                  "extra=yes\n"
                  "after=1\n"
                  "\n"
                  "[Server]\n"
                  "x=1\n"
                  "\n"
                  "[bulk]\n";
  for (int i = 0; i < 200; ++i) s += "k" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
  s += "; tail note\n";
  return s;
}

TEST(ConfIniTest, FileRoundTripKeepsValuesAndComments) {
  TempDir dir;
  std::string p = write_file(dir / "sample.ini", sample_file());
  conf_ptr h(conf_load(p.c_str()));
  ASSERT_TRUE(h);
  check_sample(h.get());

  ASSERT_EQ(0, conf_save(h.get()));
  EXPECT_EQ(expected_save(), read_file(p));

  // The saved file loads to the same content and saves to the same bytes.
  conf_ptr again(conf_load(p.c_str()));
  ASSERT_TRUE(again);
  check_sample(again.get());
  ASSERT_EQ(0, conf_save(again.get()));
  EXPECT_EQ(expected_save(), read_file(p));
}

TEST(ConfIniTest, ByteOrderMarkIsOptionalOnLoad) {
  conf_ptr with(conf_load_str((std::string(kBom) + "[a]\nk=v\n").c_str()));
  conf_ptr without(conf_load_str("[a]\nk=v\n"));
  ASSERT_TRUE(with && without);
  EXPECT_EQ("v", get(with.get(), "a", "k"));
  EXPECT_EQ("v", get(without.get(), "a", "k"));
  EXPECT_EQ(sections(with.get()), sections(without.get()));
}

TEST(ConfIniTest, LineLengthLimits) {
  std::string ok(1022 - 2, 'v');  // "k=" plus 1020 characters: 1022
  conf_ptr a(conf_load_str(("[s]\nk=" + ok + "\nz=1\n").c_str()));
  ASSERT_TRUE(a);
  EXPECT_EQ(ok, get(a.get(), "s", "k"));
  EXPECT_EQ("1", get(a.get(), "s", "z"));

  conf_ptr last(conf_load_str(("[s]\nk=" + ok).c_str()));  // last line without LF
  ASSERT_TRUE(last);
  EXPECT_EQ(ok, get(last.get(), "s", "k"));

  EXPECT_EQ(nullptr, conf_load_str(("[s]\nk=" + ok + "v\nz=1\n").c_str()));
  EXPECT_EQ(nullptr, conf_load_str(("[s]\nk=" + ok + "v").c_str()));
}

TEST(ConfIniTest, ContinuationAtEndAndPairsBeforeSections) {
  conf_ptr h(conf_load_str("top = 1\n[s]\na = x \\\n y\nb = dropped\\\n"));
  ASSERT_TRUE(h);
  EXPECT_EQ("x  y", get(h.get(), "s", "a"));  // joined as read, no separator added
  EXPECT_EQ("<none>", get(h.get(), "s", "b"));
  EXPECT_EQ("1", get(h.get(), "", "top"));
  EXPECT_EQ((std::vector<std::string>{"s"}), sections(h.get()));
}

TEST(ConfIniTest, GetInt) {
  conf_ptr h(conf_load_str("[n]\na = 42\nb =  -17xyz\nc = abc\nd = NOT_FOUND\ne = 99999999999\n"));
  ASSERT_TRUE(h);
  EXPECT_EQ(42, conf_get_int(h.get(), "n", "a", 5));
  EXPECT_EQ(-17, conf_get_int(h.get(), "n", "b", 5));
  EXPECT_EQ(0, conf_get_int(h.get(), "n", "c", 5));
  EXPECT_EQ(5, conf_get_int(h.get(), "n", "d", 5));
  EXPECT_EQ(5, conf_get_int(h.get(), "n", "missing", 5));
  EXPECT_EQ(INT32_MAX, conf_get_int(h.get(), "n", "e", 5));
  EXPECT_EQ(5, conf_get_int(nullptr, "n", "a", 5));
}

TEST(ConfIniTest, SetDeleteRename) {
  conf_ptr h(conf_load_str("; c1\n[a]\nk1=1\nk2=2\n; c2\n[b]\nx=9\n"));
  ASSERT_TRUE(h);
  ASSERT_EQ(0, conf_set_str(h.get(), "a", "k1", "one"));
  ASSERT_EQ(0, conf_set_str(h.get(), "c", "new", "v"));
  EXPECT_EQ("one", get(h.get(), "a", "k1"));
  EXPECT_EQ("v", get(h.get(), "c", "new"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), sections(h.get()));

  EXPECT_EQ(0, conf_del_key(h.get(), "a", "k2"));
  EXPECT_EQ(-1, conf_del_key(h.get(), "a", "k2"));
  EXPECT_EQ((std::vector<std::string>{"k1"}), keys(h.get(), "a"));

  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, conf_rename_section(h.get(), "a", "b"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("nsec=b exist error"));
  EXPECT_EQ("one", get(h.get(), "a", "k1"));
  EXPECT_EQ("9", get(h.get(), "b", "x"));
  EXPECT_EQ(-2, conf_rename_section(h.get(), "zz", "yy"));
  ASSERT_EQ(0, conf_rename_section(h.get(), "a", "A2"));
  EXPECT_EQ("one", get(h.get(), "A2", "k1"));
  EXPECT_EQ("<none>", get(h.get(), "a", "k1"));

  testing::internal::CaptureStderr();
  EXPECT_EQ(0, conf_rename_key(h.get(), "b", "x", "y"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("noimpl"));
  EXPECT_EQ("9", get(h.get(), "b", "x"));

  EXPECT_EQ(0, conf_del_section(h.get(), "b"));
  EXPECT_EQ(-2, conf_del_section(h.get(), "b"));
  EXPECT_EQ("<none>", get(h.get(), "b", "x"));
  EXPECT_EQ((std::vector<std::string>{"A2", "c"}), sections(h.get()));

  testing::internal::CaptureStdout();
  EXPECT_EQ(0, conf_dump(h.get()));
  EXPECT_EQ("; c1\n[A2]\nk1=one\n\n[c]\nnew=v\n\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(-1, conf_save(h.get()));  // made from text: nowhere to save
}

TEST(ConfIniTest, SavedValuesReadBackUnchanged) {
  TempDir dir;
  std::string p = write_file(dir / "v.cfg", "");
  conf_ptr h(conf_load(p.c_str()));
  ASSERT_TRUE(h);
  const char* values[] = {"a;b", "x#y", " lead", "trail ", "C:\\dir\\", "\"\"", "''", "it's \"q\"", "plain=eq"};
  for (size_t i = 0; i < std::size(values); ++i)
    ASSERT_EQ(0, conf_set_str(h.get(), "v", ("k" + std::to_string(i)).c_str(), values[i]));
  ASSERT_EQ(0, conf_set_str(h.get(), "v", "after", "still here"));
  ASSERT_EQ(0, conf_save(h.get()));
  EXPECT_EQ(0, read_file(p).rfind(kBom, 0));

  conf_ptr back(conf_load(p.c_str()));
  ASSERT_TRUE(back);
  for (size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(values[i], get(back.get(), "v", ("k" + std::to_string(i)).c_str())) << values[i];
  EXPECT_EQ("still here", get(back.get(), "v", "after"));

  // Texts the file could not carry back are refused, not written.
  EXPECT_EQ(-1, conf_set_str(h.get(), "v", "bad=key", "x"));
  EXPECT_EQ(-1, conf_set_str(h.get(), "v", "k", "line\n[evil]\nx=1"));
  EXPECT_EQ(-1, conf_set_str(h.get(), "se]c", "k", "x"));
  EXPECT_EQ(-1, conf_set_str(h.get(), "v", "", "x"));
}

TEST(ConfIniTest, FileNamesAndFailures) {
  TempDir dir;
  std::string body = "[s]\nk=v\n";
  EXPECT_EQ(nullptr, conf_load(write_file(dir / "a.txt", body).c_str()));
  for (const char* name : {"b.INI", "c.wyi", "d.Inf", "e.cfg"}) {
    conf_ptr h(conf_load(write_file(dir / name, body).c_str()));
    ASSERT_TRUE(h) << name;
    EXPECT_EQ("v", get(h.get(), "s", "k"));
  }
  EXPECT_EQ(nullptr, conf_load((dir / "missing.ini").c_str()));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.ini"));

  // A ".dat" file loads only through a decode hook.
  std::string coded = body + "!";
  for (char& c : coded) c ^= 0x5a;
  std::string dat = write_file(dir / "f.dat", coded);
  EXPECT_EQ(nullptr, conf_load(dat.c_str()));
  conf_set_decode_hook([](char* buf, size_t len) {
    for (size_t i = 0; i < len; ++i) buf[i] ^= 0x5a;
    return 0;
  });
  conf_ptr h(conf_load(dat.c_str()));
  conf_set_decode_hook(nullptr);
  ASSERT_TRUE(h);
  EXPECT_EQ("v", get(h.get(), "s", "k"));

  // Saving into a directory that has gone fails and says so.
  std::string sub = dir / "sub";
  std::filesystem::create_directory(sub);
  std::string p = sub + "/x.ini";
  write_file(p, body);
  conf_ptr gone(conf_load(p.c_str()));
  ASSERT_TRUE(gone);
  std::filesystem::remove_all(sub);
  EXPECT_EQ(-1, conf_save(gone.get()));
}

// A backend that fills only the slots it needs: the rest must fail loudly.
class mem_ops : public conf_ops {
 public:
  const char* name() const override { return "mem"; }
  int probe(const char* file) const override { return std::string(file).ends_with(".mem") ? 0 : 1; }
  std::unique_ptr<conf_backend> open(const char*, bool) const override { return std::make_unique<conf_backend>(); }
};

TEST(ConfRegistryTest, BackendsAndEmptySlots) {
  static const mem_ops mem;
  conf_close(conf_load_str(""));  // makes sure the INI backend is in
  int slot = conf_register(&mem);
  ASSERT_GE(slot, 1);
  conf_ptr h(conf_load("x.mem"));
  ASSERT_TRUE(h);
  std::vector<std::string> v;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, conf_get_sections(h.get(), &v));
  EXPECT_EQ(-1, conf_save(h.get()));
  EXPECT_STREQ("d", conf_get_str(h.get(), "s", "k", "d"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("assert failed"));

  int more = 0;
  while (conf_register(&mem) >= 0 && more < 10) ++more;
  EXPECT_EQ(4 - slot - 1, more);  // four slots in all
  EXPECT_EQ(-1, conf_register(nullptr));
}

TEST(ConfDictTest, WildcardMatch) {
  EXPECT_TRUE(ini_wild_match("*.ini", "/etc/a.INI"));
  EXPECT_FALSE(ini_wild_match("*.ini", "a.ini.bak"));
  EXPECT_TRUE(ini_wild_match("a?c", "abc"));
  EXPECT_FALSE(ini_wild_match("a?c", "ac"));
  EXPECT_TRUE(ini_wild_match("f[0-9][!x].cfg", "f7y.cfg"));
  EXPECT_FALSE(ini_wild_match("f[0-9][!x].cfg", "f7X.cfg"));
  EXPECT_FALSE(ini_wild_match("f[0-9].cfg", "fa.cfg"));
  EXPECT_TRUE(ini_wild_match("[]a]", "]"));
  EXPECT_FALSE(ini_wild_match("[ab", "a"));
  EXPECT_TRUE(ini_wild_match("\\*x", "*x"));
  EXPECT_FALSE(ini_wild_match("\\*x", "ax"));
  EXPECT_TRUE(ini_wild_match("**", ""));
}

TEST(ConfDictTest, HashAndGrowth) {
  // Jenkins one-at-a-time reference values (python, bytes as signed char):
  // "a" 0xca2e9442, the fox sentence 0x519e91f5, "\xff" 0xae65a494.
  EXPECT_EQ(0xca2e9442u, dictionary_hash("a"));
  EXPECT_EQ(0x519e91f5u, dictionary_hash("The quick brown fox jumps over the lazy dog"));
  EXPECT_EQ(0xae65a494u, dictionary_hash("\xff"));

  dictionary d;
  ASSERT_EQ(0, dictionary_set(&d, "s\tfirst", "v", nullptr));
  const char* v = dictionary_get(&d, "s\tfirst", nullptr);
  for (int i = 1; i < 300; ++i) ASSERT_EQ(0, dictionary_set(&d, "s\tk" + std::to_string(i), "v", nullptr));
  EXPECT_EQ(300, d.n);
  EXPECT_EQ(512u, d.slots.size());
  EXPECT_STREQ("v", v);  // borrowed values stay put while the store grows
  EXPECT_EQ(v, dictionary_get(&d, "s\tfirst", nullptr));
  // A freed slot is reused from the entry count onwards, wrapping to 0.
  ASSERT_EQ(0, dictionary_unset(&d, "s\tfirst"));
  for (int i = 300; i < 512; ++i) ASSERT_EQ(0, dictionary_set(&d, "s\tk" + std::to_string(i), "w", nullptr));
  ASSERT_EQ(0, dictionary_set(&d, "last", nullptr, nullptr));
  EXPECT_EQ("last", *d.slots[0].key);
  EXPECT_EQ(512, d.n);
}

}  // namespace
