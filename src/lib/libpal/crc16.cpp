#include "crc16.h"

uint16_t crc16(const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}
