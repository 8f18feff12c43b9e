#include "code_page.h"

#include <stdio.h>

namespace kivlog {

namespace {

// Windows-1252 bytes 0x80 to 0x9F; the rest of the code page is ISO 8859-1.
// The five bytes Windows leaves unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the C1 control of the same value, as Windows' own conversion does.
constexpr uint16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Next code point of valid UTF-8 at s[*i]; moves *i past it. The parser
// has already rejected ill-formed UTF-8, so only the shape is followed here.
uint32_t NextCodePoint(const std::string& s, size_t* i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t lead = byte(*i);
  int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  uint32_t cp = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
  ++*i;
  for (int k = 0; k < extra && *i < s.size(); ++k, ++*i) cp = (cp << 6) | (byte(*i) & 0x3F);
  return cp;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool Encode1252(uint32_t cp, char* byte) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
    *byte = static_cast<char>(cp);
    return true;
  }
  for (uint32_t i = 0; i < 32; ++i) {
    if (k1252High[i] == cp) {
      *byte = static_cast<char>(0x80 + i);
      return true;
    }
  }
  return false;
}

std::string Describe(const std::string& utf8, size_t start, size_t end, uint32_t cp) {
  char code[16];
  snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(cp));
  return "'" + utf8.substr(start, end - start) + "' (" + code + ")";
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
size_t ValidUtf8At(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t lead = byte(i);
  size_t n;
  uint32_t min;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  size_t j = i;
  uint32_t cp = NextCodePoint(s, &j);
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

bool IsKnownCodePage(uint32_t code_page) {
  return code_page == kAsciiOnly || code_page == kWindows1252 || code_page == kUtf8;
}

bool EncodeAnsi(const std::string& utf8, uint32_t code_page, std::string* out, std::string* bad) {
  out->clear();
  if (code_page == kUtf8) {
    *out = utf8;
    return true;
  }
  for (size_t i = 0; i < utf8.size();) {
    size_t start = i;
    uint32_t cp = NextCodePoint(utf8, &i);
    char byte;
    bool ok = code_page == kWindows1252 ? Encode1252(cp, &byte) : cp < 0x80;
    if (!ok) {
      *bad = Describe(utf8, start, i, cp);
      return false;
    }
    if (cp < 0x80) byte = static_cast<char>(cp);
    out->push_back(byte);
  }
  return true;
}

std::string DecodeAnsi(const std::string& bytes, uint32_t code_page) {
  std::string out;
  for (size_t i = 0; i < bytes.size();) {
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    if (code_page == kUtf8) {
      size_t n = ValidUtf8At(bytes, i);
      if (n == 0) {
        AppendUtf8(0xFFFD, &out);
        ++i;
      } else {
        out.append(bytes, i, n);
        i += n;
      }
      continue;
    }
    AppendUtf8(b >= 0x80 && b < 0xA0 ? k1252High[b - 0x80] : b, &out);
    ++i;
  }
  return out;
}

}  // namespace kivlog
