// CRC-32 as zip, PNG and Ethernet compute it (reflected polynomial
// 0xEDB88320, register and result inverted): the checksum a kept file's
// record holds of its installed content. Bit by bit, with no table: the
// stub reads little with it (configuration files), and a table would cost
// it a kilobyte.
//
// Pure, portable: the stub, kivlog and the library compute it alike.
#ifndef KIV_BASE_CRC32_H_
#define KIV_BASE_CRC32_H_

#include <stdint.h>

namespace kiv {

// The CRC-32 of size bytes at data, continuing from crc, the result of the
// bytes before them (0 for none).
inline uint32_t Crc32(uint32_t crc, const void* data, uint32_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (uint32_t i = 0; i < size; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

}  // namespace kiv

#endif  // KIV_BASE_CRC32_H_
