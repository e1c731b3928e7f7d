// Digests and encodings: SHA-1 (FIPS 180-1) and Base64 (RFC 4648, standard
// alphabet, "=" padding), both from mbedTLS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t SHA1_DIGEST_SIZE = 20;

/// SHA-1 of `len` bytes at `data` into `out` (20 bytes). Returns 0, or -1
/// (assertion logged) when `data` is null with a non-zero length or `out` is
/// null, or when the digest cannot be computed.
int hash_sha1(const void* data, size_t len, uint8_t out[SHA1_DIGEST_SIZE]);

/// Length of the Base64 text of `len` bytes, without the NUL.
constexpr size_t base64_encoded_len(size_t len) { return (len + 2) / 3 * 4; }

/// Base64 text of `len` bytes into `out` of `out_size` bytes, NUL-terminated.
/// Returns the text's length, or -1 when it (with its NUL) does not fit or
/// an argument is null; `out` then holds "" when `out_size` > 0.
int base64_encode(const void* data, size_t len, char* out, size_t out_size);
/// Base64 text of `len` bytes, appended to nothing: the whole result.
std::string base64_encode(const void* data, size_t len);

/// Decodes `len` characters of Base64 text into `out` of `out_size` bytes.
/// Returns the number of bytes written, or -1 when the text is not valid
/// Base64 or the decoded bytes would not fit `out_size` (nothing is written
/// past `out_size`).
int base64_decode(const char* text, size_t len, void* out, size_t out_size);
/// Decodes `text` into `out` (replacing it). Returns the byte count or -1.
int base64_decode(const std::string& text, std::string* out);

/// Fills `len` bytes with random bytes from the system's cryptographic
/// source. Returns 0, or -1 with errno when the source fails.
int os_random_bytes(void* out, size_t len);
