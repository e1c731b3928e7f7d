// libFuzzer target: INI text from a file is hostile input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libconf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  conf_ptr h(conf_load_str(text.c_str()));
  if (!h) return 0;
  std::vector<std::string> secs, keys;
  conf_get_sections(h.get(), &secs);
  for (const auto& s : secs) {
    conf_get_keys(h.get(), s.c_str(), &keys);
    for (const auto& k : keys) {
      conf_get_str(h.get(), s.c_str(), k.c_str(), nullptr);
      conf_get_int(h.get(), s.c_str(), k.c_str(), 0);
    }
  }
  if (!secs.empty()) {
    conf_set_str(h.get(), secs[0].c_str(), "fuzz", "a;b");
    conf_rename_section(h.get(), secs[0].c_str(), "renamed");
    conf_del_section(h.get(), "renamed");
  }
  return 0;
}
