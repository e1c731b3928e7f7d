// Fuzz target for the parsers that read listing and list-result bytes from a
// peer: directory records (str_2_stat), list lines, write results and
// read-list data records.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "librdir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  mstat_ptr h(mstat_new());
  if (h) {
    str_2_stat(text, h.get());
    uint64_t n = 0;
    mstat_item* it = mstat_get_item(h.get(), &n);
    for (uint64_t i = 0; i < n; i++) {
      // Every stored text must be readable to its terminator.
      std::string_view name(it[i].name);
      if (it[i].link) name = it[i].link;
      (void)name;
    }
  }
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t e = text.find('\n', pos);
    std::string_view line = text.substr(pos, e == std::string_view::npos ? std::string_view::npos : e - pos);
    rdir_line l;
    libmfile_dir_scanf(line, &l);
    libmfile_write_scanf(line, &l);
    int32_t kind, value;
    libmfile_write_get_info(line, &kind, &value);
    if (e == std::string_view::npos) break;
    pos = e + 1;
  }
  size_t off = 0;
  while (off < size) {
    mfile_data d;
    int k = libmfile_read_get_data_len_err(data + off, size - off, &d);
    if (k <= 0) break;
    off += static_cast<size_t>(k);
  }
  return 0;
}
