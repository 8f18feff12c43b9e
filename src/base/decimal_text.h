// Numbers in decimal, for the report's and the boxes' texts. Pure.
#ifndef KIV_BASE_DECIMAL_TEXT_H_
#define KIV_BASE_DECIMAL_TEXT_H_

#include <stdint.h>

namespace kiv {

// value in decimal, at least min_digits long (zeros in front, at most 10),
// NUL-terminated inside buffer; returns where the digits start. One body for
// every caller (the stub counts its bytes).
[[gnu::noinline]] inline const char* DecimalText(uint32_t value, char (&buffer)[11],
                                                 uint32_t min_digits = 1) {
  uint32_t n = sizeof(buffer) - 1;
  buffer[n] = '\0';
  do {
    buffer[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (n > 0 && (value != 0 || sizeof(buffer) - 1 - n < min_digits));
  return buffer + n;
}

}  // namespace kiv

#endif  // KIV_BASE_DECIMAL_TEXT_H_
