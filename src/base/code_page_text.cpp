#include "base/code_page_text.h"

namespace kiv {

bool IsNamedCodePage(uint32_t code_page) {
  switch (code_page) {
    case 874:
    case 932:
    case 936:
    case 949:
    case 950:
    case kCodePageUtf8: return true;
    default: return code_page >= 1250 && code_page <= 1258;
  }
}

bool LeadsDoubleByte(uint32_t code_page, uint8_t byte) {
  switch (code_page) {
    case 932: return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:
    case 949:
    case 950: return byte >= 0x81 && byte <= 0xFE;
    default: return false;
  }
}

namespace {

// The second bytes each double-byte code page gives its lead bytes.
bool IsSecondByte(uint32_t code_page, uint8_t byte) {
  switch (code_page) {
    case 932: return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
    case 936: return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFE);
    case 949:
      return (byte >= 0x41 && byte <= 0x5A) || (byte >= 0x61 && byte <= 0x7A) ||
             (byte >= 0x81 && byte <= 0xFE);
    case 950: return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xFE);
    default: return false;
  }
}

}  // namespace

bool TextCheck::Utf8Byte(uint8_t byte) {
  if (pending_ > 0) {
    if (byte < low_ || byte > high_) return false;
    --pending_;
    low_ = 0x80;
    high_ = 0xBF;
    return true;
  }
  if (byte < 0x80) return true;
  // C0 and C1 could only spell ASCII again; F5 to FF lie past U+10FFFF.
  if (byte < 0xC2 || byte > 0xF4) return false;
  if (byte < 0xE0) {
    pending_ = 1;
  } else if (byte < 0xF0) {
    pending_ = 2;
    if (byte == 0xE0) low_ = 0xA0;   // below: an overlong form
    if (byte == 0xED) high_ = 0x9F;  // above: U+D800 to U+DFFF
  } else {
    pending_ = 3;
    if (byte == 0xF0) low_ = 0x90;   // below: an overlong form
    if (byte == 0xF4) high_ = 0x8F;  // above: past U+10FFFF
  }
  return true;
}

bool TextCheck::DoubleByte(uint8_t byte) {
  if (pending_ > 0) {
    pending_ = 0;
    return IsSecondByte(code_page_, byte);
  }
  if (LeadsDoubleByte(code_page_, byte)) pending_ = 1;
  return true;
}

bool TextCheck::Feed(const uint8_t* bytes, uint32_t count) {
  if (!sound_) return false;
  const bool utf8 = code_page_ == kCodePageUtf8;
  const bool double_byte = LeadsDoubleByte(code_page_, 0x81);
  if (!utf8 && !double_byte) return true;
  for (uint32_t i = 0; i < count; ++i) {
    if (!(utf8 ? Utf8Byte(bytes[i]) : DoubleByte(bytes[i]))) {
      sound_ = false;
      return false;
    }
  }
  return true;
}

bool IsWellFormed(uint32_t code_page, const uint8_t* text, uint32_t count) {
  TextCheck check(code_page);
  return check.Feed(text, count) && check.Complete();
}

uint32_t Utf8ToUtf16(const char* text, uint16_t* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  out[0] = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  uint32_t length = 0;
  while (p[length] != 0) ++length;
  if (!IsWellFormed(kCodePageUtf8, p, length)) return 0;
  uint32_t n = 0;
  for (uint32_t i = 0; i < length;) {
    const uint8_t b = p[i];
    const uint32_t bytes = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t letter = bytes == 1 ? b : b & (0x7Fu >> bytes);
    for (uint32_t k = 1; k < bytes; ++k) letter = letter << 6 | (p[i + k] & 0x3Fu);
    i += bytes;
    const uint32_t units = letter > 0xFFFF ? 2 : 1;
    if (capacity - n <= units) {  // room for the letter and the NUL
      out[0] = 0;
      return 0;
    }
    if (units == 2) {
      letter -= 0x10000;
      out[n++] = static_cast<uint16_t>(0xD800 + (letter >> 10));
      out[n++] = static_cast<uint16_t>(0xDC00 + (letter & 0x3FF));
    } else {
      out[n++] = static_cast<uint16_t>(letter);
    }
  }
  out[n] = 0;
  return n;
}

}  // namespace kiv
