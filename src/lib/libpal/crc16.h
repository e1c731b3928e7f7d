// Internal: the 16-bit CRC behind thread-name tags.
#pragma once

#include <cstddef>
#include <cstdint>

/// CRC-16/ARC (polynomial 0x8005 reflected, initial value 0) of `len` bytes.
uint16_t crc16(const void* data, size_t len);
