// Bounded string helpers and whole-file text I/O.
//
// Limits that users and peers can see (a URL cut at 8192 bytes, a path at
// 4096) are kept with these helpers; everything else is std::string.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

/// Buffer sizes of the texts other programs may see cut: URLs, query strings
/// and log lines hold 8191 characters, paths 4095 (plus the NUL).
constexpr size_t URL_BUF_SIZE = 8192;
constexpr size_t PATH_BUF_SIZE = 4096;

/// Copies `src` into `dst` of `size` bytes, cutting silently so that the
/// result always ends in NUL. A null `src` copies "". Returns the number of
/// characters copied (0 when `dst` is null or `size` is 0, nothing written).
size_t str_cpy(char* dst, size_t size, const char* src);
/// Same for a text with a length (may hold no NUL).
size_t str_ncpy(char* dst, size_t size, std::string_view src);

/// Formatted write into `buf` of `size` bytes. Returns the length written.
/// When the text does not fit, the cut text (NUL-terminated) stays in `buf`,
/// "need_size=%u buf_size=%u fmt=[%s]\n" is logged at error level and the
/// result is -1. A null `buf` or a zero `size` gives -1.
int str_snprintf(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int str_vsnprintf(char* buf, size_t size, const char* fmt, va_list ap) __attribute__((format(printf, 3, 0)));

/// printf into a new std::string (never cut).
std::string str_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/// printf appended to `out` (never cut). Returns the number of bytes added.
size_t str_appendf(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/// Reads the whole file `path` into `out` (replacing its content, bytes as
/// they are). Returns 0, or -1 with the system's errno left for the caller
/// (`out` is then unspecified).
int os_file_read_all(const char* path, std::string* out);
/// Creates or truncates `path` and writes `data` to it. Returns 0, or -1 with
/// the system's errno left for the caller (the file may then be partly
/// written).
int os_file_write_all(const char* path, const std::string& data);
/// Creates `path` with permission bits `mode` and writes `data` to it. Never
/// opens an existing file or follows a link at `path` (errno EEXIST or
/// ELOOP then), so a secret cannot land in a file someone else prepared.
/// Returns 0, or -1 with errno; a partly written file is removed.
int os_file_create_new(const char* path, const std::string& data, unsigned mode);
/// Writes `data` to standard output and flushes. Returns 0 or -1 (errno set).
int os_stdout_write(std::string_view data);
