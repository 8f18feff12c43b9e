// Text in a code page as the fuzz targets judge it, by decoding each letter
// to its value: an independent model of base/code_page_text (which checks
// byte ranges instead). Shared by the targets that read uninstall files and
// the one that drives the text rules directly.
#ifndef KIV_FUZZ_TEXT_MODEL_H_
#define KIV_FUZZ_TEXT_MODEL_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kiv::fuzz {

// UTF-8 as letter values; false for anything but the shortest form of a
// letter up to U+10FFFF that is no surrogate.
inline bool ModelDecodeUtf8(const std::string& text, std::vector<uint32_t>* letters) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const uint8_t b = p[i];
    size_t length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3
                               : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > n) return false;
    uint32_t value = length == 1 ? b : b & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      value = value << 6 | (p[i + k] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    if (letters != nullptr) letters->push_back(value);
    i += length;
  }
  return true;
}

// In UTF-8 as above; in a double-byte code page every lead byte with a
// second byte of its range; in any other code page anything.
inline bool ModelWellFormed(uint32_t code_page, const std::string& text) {
  if (code_page == 65001) return ModelDecodeUtf8(text, nullptr);
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  auto in = [](uint8_t b, uint8_t low, uint8_t high) { return b >= low && b <= high; };
  auto lead = [&](uint8_t b) {
    if (code_page == 932) return in(b, 0x81, 0x9F) || in(b, 0xE0, 0xFC);
    return (code_page == 936 || code_page == 949 || code_page == 950) && in(b, 0x81, 0xFE);
  };
  auto second = [&](uint8_t b) {
    switch (code_page) {
      case 932: return in(b, 0x40, 0x7E) || in(b, 0x80, 0xFC);
      case 936: return in(b, 0x40, 0x7E) || in(b, 0x80, 0xFE);
      case 949: return in(b, 0x41, 0x5A) || in(b, 0x61, 0x7A) || in(b, 0x81, 0xFE);
      default: return in(b, 0x40, 0x7E) || in(b, 0xA1, 0xFE);
    }
  };
  for (size_t i = 0; i < n; ++i) {
    if (!lead(p[i])) continue;
    if (i + 1 >= n || !second(p[i + 1])) return false;
    ++i;
  }
  return true;
}

// Letter values as UTF-16 units, past U+FFFF as a surrogate pair.
inline std::vector<uint16_t> ModelUtf16(const std::vector<uint32_t>& letters) {
  std::vector<uint16_t> units;
  for (uint32_t letter : letters) {
    if (letter > 0xFFFF) {
      units.push_back(static_cast<uint16_t>(0xD800 | (letter - 0x10000) >> 10));
      units.push_back(static_cast<uint16_t>(0xDC00 | (letter & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(letter));
    }
  }
  return units;
}

}  // namespace kiv::fuzz

#endif  // KIV_FUZZ_TEXT_MODEL_H_
