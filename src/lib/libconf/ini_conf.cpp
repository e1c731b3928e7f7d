// The INI backend of libconf.
#include <atomic>
#include <cstring>

#include "iniparser.h"
#include "libconf.h"
#include "liblog.h"
#include "pal_err.h"
#include "pal_str.h"

WY_LOG_TAG("conf");

namespace {

std::atomic<conf_decode_hook> g_decode_hook{nullptr};

class ini_conf : public conf_backend {
 public:
  std::string path;  // empty for a handle made from text
  std::unique_ptr<dictionary> dict;
};

dictionary* dict_of(conf_backend* h) { return static_cast<ini_conf*>(h)->dict.get(); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool ini_wild_match(const char* p, const char* s) {
  for (; *p; ++p, ++s) {
    switch (*p) {
      case '*':
        while (p[1] == '*') ++p;
        for (const char* t = s;; ++t) {
          if (ini_wild_match(p + 1, t)) return true;
          if (*t == '\0') return false;
        }
      case '?':
        if (*s == '\0') return false;
        break;
      case '[': {
        if (*s == '\0') return false;
        const char* q = p + 1;
        bool neg = *q == '!';
        if (neg) ++q;
        bool hit = false;
        bool first = true;
        for (; *q && (first || *q != ']'); ++q, first = false) {
          if (q[1] == '-' && q[2] && q[2] != ']') {
            hit = hit || (lower(*s) >= lower(q[0]) && lower(*s) <= lower(q[2]));
            q += 2;
          } else {
            hit = hit || lower(*s) == lower(*q);
          }
        }
        if (*q != ']') return false;  // unterminated class: no match
        if (hit == neg) return false;
        p = q;
        break;
      }
      case '\\':
        if (p[1]) ++p;
        [[fallthrough]];
      default:
        if (lower(*p) != lower(*s)) return false;
    }
  }
  return *s == '\0';
}

namespace {

// Any of the "|"-separated alternatives of `pats` matches `name`.
bool wild_match_any(const char* pats, const char* name) {
  std::string all(pats);
  size_t start = 0;
  for (;;) {
    size_t bar = all.find('|', start);
    if (ini_wild_match(all.substr(start, bar - start).c_str(), name)) return true;
    if (bar == std::string::npos) return false;
    start = bar + 1;
  }
}

std::unique_ptr<conf_backend> make_handle(std::unique_ptr<dictionary> d, const char* path) {
  if (!d) return nullptr;
  auto h = std::make_unique<ini_conf>();
  h->dict = std::move(d);
  if (path) h->path = path;
  return h;
}

// A name the INI text could not carry back as it is (line ends would start
// new lines; "=" would split the key; "]" or TAB would change the section).
bool ini_storable(const char* sec, const char* key, const char* val) {
  if (strpbrk(sec, "\r\n]\t") || strpbrk(key, "\r\n=") || strpbrk(val, "\r\n")) return false;
  return key[0] != '\0' && !strchr(";#[", key[0]);
}

int ini_conf_rename_key(conf_backend*, const char*, const char*, const char*) {
  LOGW("noimpl\n");
  return 0;
}

int ini_conf_save(conf_backend* be) {
  auto* h = static_cast<ini_conf*>(be);
  if (h->path.empty()) return -1;
  std::string text = "\xEF\xBB\xBF" + dictionary_write(h->dict.get());
  if (os_file_write_all(h->path.c_str(), text) != 0) {
    LOGX(LV_DBG | LV_SYS, "fopen [%s] err: ", h->path.c_str());
    return -1;
  }
  return 0;
}

class ini_conf_ops : public conf_ops {
 public:
  const char* name() const override { return "ini"; }
  int kind() const override { return 0; }
  int probe(const char* file) const override {
    return file && wild_match_any("*.ini|*.wyi|*.inf|*.cfg|*.dat", file) ? 0 : 1;
  }
  std::unique_ptr<conf_backend> open(const char* path, bool create) const override {
    if (!WY_CHECK(path != nullptr)) return nullptr;
    std::string data;
    if (os_file_read_all(path, &data) != 0) {
      // Create only what is missing: an unreadable file that exists must
      // never be truncated.
      if (!create || os_last_verr() != -102 || os_file_write_all(path, std::string()) != 0) return nullptr;
      data.clear();
    }
    if (ini_wild_match("*.dat", path)) {
      conf_decode_hook hook = g_decode_hook.load();
      if (data.size() <= 1 || hook == nullptr || hook(data.data(), data.size()) != 0) return nullptr;
      data.back() = '\0';
      return make_handle(iniparser_load_all(data.c_str(), strlen(data.c_str())), path);
    }
    return make_handle(iniparser_load_all(data.data(), data.size()), path);
  }
  std::unique_ptr<conf_backend> open_str(const char* text) const override {
    if (!WY_CHECK(text != nullptr)) return nullptr;
    return make_handle(iniparser_load_all(text, strlen(text)), nullptr);
  }
  const char* get(conf_backend* h, const char* sec, const char* key, const char* def) const override {
    return dictionary_get(dict_of(h), std::string(sec) + '\t' + key, def);
  }
  int set(conf_backend* h, const char* sec, const char* key, const char* val) const override {
    if (!ini_storable(sec, key, val)) {
      LOGE("sec=[%s] key=[%s] cannot be stored in an ini file\n", sec, key);
      return -1;
    }
    dictionary* d = dict_of(h);
    if (!dictionary_has(d, sec) && dictionary_set(d, sec, nullptr, nullptr) != 0) return -1;
    return dictionary_set(d, std::string(sec) + '\t' + key, val, nullptr);
  }
  int get_sections(conf_backend* h, std::vector<std::string>* out) const override {
    *out = dictionary_sections(dict_of(h));
    return static_cast<int>(out->size());
  }
  int get_keys(conf_backend* h, const char* sec, std::vector<std::string>* out) const override {
    *out = dictionary_keys(dict_of(h), sec);
    return static_cast<int>(out->size());
  }
  int del_section(conf_backend* h, const char* sec) const override { return dictionary_secdel(dict_of(h), sec); }
  int del_key(conf_backend* h, const char* sec, const char* key) const override {
    return dictionary_unset(dict_of(h), std::string(sec) + '\t' + key);
  }
  int rename_section(conf_backend* h, const char* osec, const char* nsec) const override {
    return dictionary_secrename(dict_of(h), osec, nsec);
  }
  int rename_key(conf_backend* h, const char* sec, const char* okey, const char* nkey) const override {
    return ini_conf_rename_key(h, sec, okey, nkey);
  }
  int dump(conf_backend* h) const override { return os_stdout_write(dictionary_write(dict_of(h))) == 0 ? 0 : -1; }
  int save(conf_backend* h) const override { return ini_conf_save(h); }
};

}  // namespace

const conf_ops* ini_conf_get_ops() {
  static const ini_conf_ops ops;
  return &ops;
}

void conf_set_decode_hook(conf_decode_hook hook) { g_decode_hook.store(hook); }
