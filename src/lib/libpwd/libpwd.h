// libpwd: the login key a client sends instead of its password.
#pragma once

#include <cstddef>

/// Size of the key buffer: 40 lower-case hexadecimal characters and a NUL.
constexpr size_t LIBPWD_KEY_SIZE = 41;

/// Builds the login key: SHA-1 of the fixed prefix, `user`, `passwd` and
/// `cert` joined without separators (a null text counts as empty), written
/// as 40 lower-case hex digits into `lkey` of `lkey_size` bytes (at least
/// LIBPWD_KEY_SIZE). Returns 0, or -1 with an assertion logged (and `lkey`
/// left untouched) when `lkey` is null or too small or the digest fails.
int libpwd_build_key(const char* user, const char* passwd, const char* cert, char* lkey, size_t lkey_size);
