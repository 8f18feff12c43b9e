// Values as hex text and back: names that must stay short and free of
// backslashes, and handle values passed between the two processes of a run
// (a handle's value is the same in the process that inherits it).
//
// Pure: no <windows.h>, no allocation.
#ifndef KIV_BASE_HEX_TEXT_H_
#define KIV_BASE_HEX_TEXT_H_

#include <stdint.h>

#include "base/fixed_string.h"

namespace kiv {

inline constexpr char kHexDigits[] = "0123456789ABCDEF";
// As many hex digits as a 64-bit value has.
inline constexpr uint32_t kHexWidth = 2 * sizeof(uint64_t);

// Appends value as kHexWidth hex digits, capitals, the most significant
// first; false, changing nothing, when they do not fit.
template <uint32_t N>
bool AppendHex(uint64_t value, FixedString<N>* out) {
  char digits[kHexWidth + 1];
  for (uint32_t i = kHexWidth; i > 0; --i) {
    digits[i - 1] = kHexDigits[value & 15];
    value >>= 4;
  }
  digits[kHexWidth] = '\0';
  return out->Append(digits);
}

// The value of exactly kHexWidth hex digits (capitals) at text; false for
// anything else.
inline bool ReadHex(const char* text, uint64_t* value) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < kHexWidth; ++i) {
    uint32_t digit = 0;
    while (digit < 16 && kHexDigits[digit] != text[i]) ++digit;
    if (digit == 16) return false;
    v = (v << 4) | digit;
  }
  *value = v;
  return true;
}

// FNV-1a over count bytes, continuing from hash.
inline uint64_t HashBytes(const void* bytes, uint32_t count,
                          uint64_t hash = 0xCBF29CE484222325ull) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (uint32_t i = 0; i < count; ++i) hash = (hash ^ p[i]) * 0x100000001B3ull;
  return hash;
}

}  // namespace kiv

#endif  // KIV_BASE_HEX_TEXT_H_
