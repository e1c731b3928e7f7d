// libFuzzer target: URLs come from command lines, configuration files and
// peers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pal_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  url_t u;
  std::string buf(URL_BUF_SIZE, '\0');
  url_parser(&u, buf.data(), buf.size(), text.c_str());
  char small[64];
  url_parser(&u, small, sizeof small, text.c_str());

  char out[URL_BUF_SIZE];
  url_query_get_value(text.c_str(), "k", out, sizeof out);
  str_unescape_url_args(text.c_str(), out, sizeof out);
  str_escape_url_args(text.c_str(), out, sizeof out);

  char url[URL_BUF_SIZE];
  str_cpy(url, sizeof url, text.c_str());
  url_set_query(url, sizeof url, "k", "v w", URL_SET_ALWAYS);
  url_set_query(url, sizeof url, "k", "", URL_DEL_EXIST);

  char path[PATH_BUF_SIZE];
  str_cpy(path, sizeof path, text.c_str());
  path_clean(path);
  path_is_absolute(text.c_str());
  str_version_to_u64(text.c_str());
  return 0;
}
