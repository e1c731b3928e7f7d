// URLs and local paths: splitting a URL into its parts, editing its query,
// escaping query values, joining and cleaning paths, dotted versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pal_str.h"

/// A URL split by url_parser. Every text points into the caller's buffer
/// handed to url_parser and stays valid as long as that buffer does.
struct url_t {
  const char* scheme = "";    // before "://"; "name" for "///..."; "file" without "://"
  const char* user = "";      // may be empty
  const char* password = "";  // may be empty
  const char* host = "";      // brackets of "[v6]" removed
  int port = 0;               // 0 when none is given
  const char* path = "";      // "/" when empty (a "file" URL keeps it as given)
  const char* query = "";     // without the "?"
  const char* fragment = "";  // without the "#"
};

/// Splits `text` (at most 8191 characters are used) into `u`, storing the
/// parts one after another in `buf` of `buf_size` bytes (URL_BUF_SIZE is
/// always enough; with a smaller buffer the last parts are cut). Blanks and
/// surrounding quotes are trimmed and "\" is read as "/". Returns 0, or -1
/// with an assertion logged when an argument is null.
int url_parser(url_t* u, char* buf, size_t buf_size, const char* text);

/// The path part of the URL `text` into `out` of `out_size` bytes (cut to
/// fit). Returns 0, or -1 when the URL has no path or does not parse.
int url_get_path(const char* text, char* out, size_t out_size);

/// Query edit modes of url_set_query.
enum url_query_mode : int {
  URL_SET_ALWAYS = 1,     // "set_always": replace every item of the key, else append
  URL_SET_NOT_EXIST = 2,  // "set_not_exist": append only when the key is missing
  URL_SET_EXIST = 3,      // "set_exist": replace every item of the key, else nothing
  URL_DEL_EXIST = 4,      // "del_exist": remove every item of the key
};

/// Sets, adds or removes the query item `key` of the URL in `url` (a buffer
/// of `url_size` bytes, normally URL_BUF_SIZE, edited in place) according to
/// `mode`; the value is escaped with str_escape_url_args. Returns 0, or -1
/// with "url=[%s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n"
/// logged and `url` unchanged when: key or value is null, the key is empty
/// or holds one of ";/\"'?:@# &=", the escaped value is empty (modes 1-3),
/// the mode is unknown, or the result would not fit `url_size` bytes (or
/// 8191 characters).
int url_set_query(char* url, size_t url_size, const char* key, const char* val, int mode);
/// The same with the value written as "%d".
int url_set_query(char* url, size_t url_size, const char* key, int val, int mode);

/// Escapes a query value: bytes below 33, 127 and from 128 up and the
/// characters "#%&+;=?" become "%XX" (upper-case hex). Writes into `out` of
/// `out_size` bytes. Returns 0, or -1 (with `out` holding "") when the result
/// would not fit `out_size` or 8192 bytes, or an argument is null.
int str_escape_url_args(const char* in, char* out, size_t out_size);

/// Undoes query escaping: "%XX" (either case) becomes the byte; "%" before a
/// non-hex character is dropped and the character kept; "%", one hex digit
/// and a non-hex character are dropped together. Returns 0, or -1 when
/// `out_size` is not larger than the text's length or an argument is null.
int str_unescape_url_args(const char* in, char* out, size_t out_size);

/// Value of `key` in the query text `query` ("a=1&b=2"), blanks around key
/// and value trimmed, unescaped into `out` of `out_size` bytes. Returns 0,
/// or -1 when the key is absent (the walk also stops at an item without
/// "="), the value does not fit, or an argument is null.
int url_query_get_value(const char* query, const char* key, char* out, size_t out_size);

/// True for "X:..." (a drive), a leading "/", "\" or "~", and any text
/// holding "://" or ":\". False otherwise; a null path logs an assertion.
bool path_is_absolute(const char* path);

/// Joins `dir` and `name` with one "/" (none added when `dir` already ends
/// in "/" or "\"; an empty `dir` still gets it) into `out` of `out_size`
/// bytes (at most PATH_BUF_SIZE - 1 characters are kept; cut silently).
/// Returns `out`, or nullptr (assertion logged) for null arguments.
char* path_build(char* out, size_t out_size, const char* dir, const char* name);

/// Cleans a local path in place (`path` is NUL-terminated): trims blanks and
/// surrounding quotes, turns "\" into "/", drops a leading "file://",
/// collapses repeated "/", drops "." components that are followed by "/"
/// and never touches "..". Returns `path` (nullptr for null, logged).
char* path_clean(char* path);

/// A dotted version of one to four numbers ("1.7.8") as 16 bits per number,
/// the first in the top bits. 0 for a first number of 0, more than four
/// parts, or a null or malformed text.
uint64_t str_version_to_u64(const char* ver);
/// Compares two dotted versions: 0 equal, 1 when `a` is greater, -1 when
/// smaller.
int str_version_cmp(const char* a, const char* b);

/// `url` for a log line: the password of its user information and the
/// value of a "proxy_url" option (which may carry one) replaced by "***".
/// Any other text comes back unchanged.
std::string url_for_log(const char* url);
