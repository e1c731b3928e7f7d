// The INI key/value store: parallel slots scanned linearly, the hash
// compared before the text. Configuration files are small.
#include <new>

#include "iniparser.h"
#include "liblog.h"
#include "pal_str.h"

WY_LOG_TAG("conf");

namespace {

std::string_view cut(std::string_view k) { return k.substr(0, DICT_KEY_MAX); }

// Slot index of `key` (already cut), or -1.
long find_slot(const dictionary* d, std::string_view key) {
  if (d->n == 0) return -1;
  uint32_t h = dictionary_hash(key);
  for (size_t i = 0; i < d->slots.size(); ++i) {
    const auto& s = d->slots[i];
    if (s.key && s.hash == h && *s.key == key) return static_cast<long>(i);
  }
  return -1;
}

void clear_slot(dictionary* d, size_t i) {
  d->slots[i] = dictionary::slot{};
  d->n--;
}

bool in_section(const std::string& key, std::string_view sec) {
  return key.size() > sec.size() && key.compare(0, sec.size(), sec) == 0 && key[sec.size()] == '\t';
}

// Values read back by the parser exactly as stored: quote those the plain
// "key=value" form would change (an inline-comment character, blanks at
// either end, a trailing "\" that would continue the line, or a value that
// looks like quotes itself).
std::string ini_value(const std::string& v) {
  bool plain = v.find_first_of(";#") == std::string::npos && v != "\"\"" && v != "''";
  if (!v.empty()) {
    unsigned char f = v.front(), b = v.back();
    if (f == ' ' || f == '\t' || b == ' ' || b == '\t' || b == '\\' || f == '"' || f == '\'') plain = false;
  }
  if (plain) return v;
  if (v.find('"') == std::string::npos) return "\"" + v + "\"";
  if (v.find('\'') == std::string::npos) return "'" + v + "'";
  LOGW("value [%s] holds both quote characters; written as it is\n", v.c_str());
  return v;
}

}  // namespace

uint32_t dictionary_hash(std::string_view key) {
  uint32_t h = 0;
  for (char c : key) {
    h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
    h += h << 10;
    h ^= h >> 6;
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return h;
}

const char* dictionary_get(const dictionary* d, std::string_view key, const char* def) {
  long i = find_slot(d, cut(key));
  if (i < 0) return def;
  const auto& v = d->slots[i].val;
  return v ? v->c_str() : nullptr;
}

bool dictionary_has(const dictionary* d, std::string_view key) { return find_slot(d, cut(key)) >= 0; }

int dictionary_set(dictionary* d, std::string_view key, const char* val, const char* comment) {
  key = cut(key);
  try {
    if (long i = find_slot(d, key); i >= 0) {
      d->slots[i].val = val ? std::make_unique<std::string>(val) : nullptr;
      return 0;
    }
    dictionary::slot s;
    s.key = std::make_unique<std::string>(key);
    if (val) s.val = std::make_unique<std::string>(val);
    if (comment) s.comment = std::make_unique<std::string>(comment);
    s.hash = dictionary_hash(key);
    if (static_cast<size_t>(d->n) == d->slots.size()) d->slots.resize(d->slots.size() * 2);
    size_t i = static_cast<size_t>(d->n);
    while (d->slots[i].key) i = (i + 1) % d->slots.size();
    d->slots[i] = std::move(s);
    d->n++;
    return 0;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int dictionary_unset(dictionary* d, std::string_view key) {
  long i = find_slot(d, cut(key));
  if (i < 0) return -1;
  clear_slot(d, static_cast<size_t>(i));
  return 0;
}

int dictionary_secdel(dictionary* d, std::string_view sec) {
  sec = cut(sec);
  int gone = 0;
  for (size_t i = 0; i < d->slots.size(); ++i) {
    const auto& k = d->slots[i].key;
    if (k && (*k == sec || in_section(*k, sec))) {
      clear_slot(d, i);
      ++gone;
    }
  }
  return gone ? 0 : -2;
}

int dictionary_secrename(dictionary* d, std::string_view osec, std::string_view nsec) {
  osec = cut(osec);
  nsec = cut(nsec);
  if (dictionary_has(d, nsec)) {
    LOGE("nsec=%.*s exist error\n", static_cast<int>(nsec.size()), nsec.data());
    return -1;
  }
  int changed = 0;
  for (auto& s : d->slots) {
    if (s.key && (*s.key == osec || in_section(*s.key, osec))) {
      std::string k = std::string(nsec) + s.key->substr(osec.size());
      *s.key = std::string(cut(k));
      s.hash = dictionary_hash(*s.key);
      ++changed;
    }
  }
  return changed ? 0 : -2;
}

std::vector<std::string> dictionary_sections(const dictionary* d) {
  std::vector<std::string> out;
  for (const auto& s : d->slots) {
    if (!s.key || s.key->empty() || s.key->find('\t') != std::string::npos) continue;
    bool seen = false;
    for (const auto& o : out) seen = seen || o == *s.key;
    if (!seen) out.push_back(*s.key);
  }
  return out;
}

std::vector<std::string> dictionary_keys(const dictionary* d, std::string_view sec) {
  sec = cut(sec);
  std::vector<std::string> out;
  for (const auto& s : d->slots) {
    if (!s.key || !in_section(*s.key, sec)) continue;
    std::string name = s.key->substr(sec.size() + 1);
    if (name.empty()) continue;
    bool seen = false;
    for (const auto& o : out) seen = seen || o == name;
    if (!seen) out.push_back(std::move(name));
  }
  return out;
}

std::string dictionary_write(const dictionary* d) {
  std::string out;
  std::vector<const dictionary::slot*> sections;
  for (const auto& s : d->slots) {
    if (s.key && s.key->find('\t') == std::string::npos) sections.push_back(&s);
  }
  if (sections.empty()) {
    for (const auto& s : d->slots) {
      if (s.key) str_appendf(&out, "%s = %s\n", s.key->c_str(), s.val ? ini_value(*s.val).c_str() : "");
    }
    return out;
  }
  bool first = true;
  for (const auto* sec : sections) {
    if (sec->comment) {
      out += *sec->comment;
    } else if (!first) {
      out += '\n';
    }
    first = false;
    str_appendf(&out, "[%s]\n", sec->key->c_str());
    for (const auto& s : d->slots) {
      if (!s.key || !in_section(*s.key, *sec->key)) continue;
      if (s.comment) out += *s.comment;
      str_appendf(&out, "%s=%s\n", s.key->c_str() + sec->key->size() + 1,
                  s.val ? ini_value(*s.val).c_str() : "");
    }
  }
  out += d->trailing.empty() ? std::string("\n") : d->trailing;
  return out;
}
