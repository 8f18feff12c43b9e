#include "code_page.h"

#include <stdio.h>

#include <map>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>
#endif

namespace kivlog {

namespace {

// Next code point of valid UTF-8 at s[*i]; moves *i past it. The parser
// has already rejected ill-formed UTF-8, so only the shape is followed here.
uint32_t NextCodePoint(const std::string& s, size_t* i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t lead = byte(*i);
  int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  uint32_t cp = extra == 0   ? lead
                : extra == 1 ? (lead & 0x1F)
                : extra == 2 ? (lead & 0x0F)
                             : (lead & 0x07);
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

std::string Describe(const std::string& utf8, size_t start, size_t end, uint32_t cp,
                     size_t position) {
  char code[16];
  snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(cp));
  return "'" + utf8.substr(start, end - start) + "' (" + code + ") at character " +
         std::to_string(position);
}

#ifdef _WIN32

std::wstring Utf16(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

// The whole of utf8 in the code page, or false when any character has no
// exact counterpart there (no best fit, no default character).
bool Encode(const std::string& utf8, uint32_t code_page, std::string* out) {
  out->clear();
  if (utf8.empty()) return true;
  const std::wstring wide = Utf16(utf8);
  BOOL used_default = FALSE;
  const int n =
      WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(),
                          static_cast<int>(wide.size()), nullptr, 0, nullptr, &used_default);
  if (n <= 0 || used_default) return false;
  out->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                      out->data(), n, nullptr, &used_default);
  return !used_default;
}

// The bytes in UTF-8, or false when they are not valid in the code page.
bool Decode(const std::string& bytes, uint32_t code_page, std::string* out) {
  out->clear();
  if (bytes.empty()) return true;
  const int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(),
                                    static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return false;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                      wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  out->assign(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out->data(), m, nullptr, nullptr);
  return true;
}

#else

// One iconv descriptor per direction and code page, opened on first use and
// closed at exit.
class Converters {
 public:
  Converters() = default;
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  ~Converters() {
    for (auto& [key, cd] : open_) {
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
  }
  iconv_t Get(uint32_t code_page, bool to_code_page) {
    auto it = open_.find({code_page, to_code_page});
    if (it != open_.end()) return it->second;
    const std::string name = "CP" + std::to_string(code_page);
    iconv_t cd =
        to_code_page ? iconv_open(name.c_str(), "UTF-8") : iconv_open("UTF-8", name.c_str());
    open_[{code_page, to_code_page}] = cd;
    return cd;
  }

 private:
  std::map<std::pair<uint32_t, bool>, iconv_t> open_;
};

iconv_t Converter(uint32_t code_page, bool to_code_page) {
  static Converters converters;
  return converters.Get(code_page, to_code_page);
}

// The whole of in, or false when any of it does not convert.
bool Convert(iconv_t cd, const std::string& in, std::string* out) {
  out->clear();
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  // Room enough: a character never takes more than four bytes either way.
  std::string buffer(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  char* dst = buffer.data();
  size_t room = buffer.size();
  // A result above 0 counts characters converted only approximately.
  if (iconv(cd, &src, &left, &dst, &room) != 0) return false;
  if (iconv(cd, nullptr, nullptr, &dst, &room) == static_cast<size_t>(-1)) return false;
  out->assign(buffer.data(), buffer.size() - room);
  return true;
}

bool Encode(const std::string& utf8, uint32_t code_page, std::string* out) {
  return Convert(Converter(code_page, true), utf8, out);
}

bool Decode(const std::string& bytes, uint32_t code_page, std::string* out) {
  return Convert(Converter(code_page, false), bytes, out);
}

#endif

// One character of a single-byte code page, with the C1 rule: a byte 0x80
// to 0x9F that the code page leaves unassigned stands for U+0080 to U+009F.
bool EncodeCharacter(const std::string& utf8_char, uint32_t cp, uint32_t code_page,
                     std::string* out) {
  if (Encode(utf8_char, code_page, out)) return true;
  if (IsDoubleByteCodePage(code_page) || cp < 0x80 || cp > 0x9F) return false;
  std::string decoded;
  const std::string byte(1, static_cast<char>(cp));
  if (Decode(byte, code_page, &decoded)) return false;  // the byte means another character
  *out = byte;
  return true;
}

}  // namespace

bool IsKnownCodePage(uint32_t code_page) {
  switch (code_page) {
    case kAsciiOnly:
    case kUtf8:
    case 874:
    case 932:
    case 936:
    case 949:
    case 950: return true;
    default: return code_page >= 1250 && code_page <= 1258;
  }
}

bool IsDoubleByteCodePage(uint32_t code_page) {
  return code_page == 932 || code_page == 936 || code_page == 949 || code_page == 950;
}

const char* KnownCodePagesText() { return "874, 932, 936, 949, 950, 1250 to 1258 or 65001"; }

bool EncodeAnsi(const std::string& utf8, uint32_t code_page, std::string* out, std::string* bad) {
  out->clear();
  if (code_page == kUtf8) {
    *out = utf8;
    return true;
  }
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) {
    *out = utf8;
    return true;
  }
  if (code_page != kAsciiOnly && Encode(utf8, code_page, out)) return true;
  // Character by character: the first one the code page cannot hold, and
  // where it stands.
  out->clear();
  size_t position = 0;
  for (size_t i = 0; i < utf8.size();) {
    const size_t start = i;
    const uint32_t cp = NextCodePoint(utf8, &i);
    ++position;
    std::string bytes;
    const bool ok = cp < 0x80 ? (bytes = std::string(1, static_cast<char>(cp)), true)
                    : code_page == kAsciiOnly
                        ? false
                        : EncodeCharacter(utf8.substr(start, i - start), cp, code_page, &bytes);
    if (!ok) {
      *bad = Describe(utf8, start, i, cp, position);
      return false;
    }
    *out += bytes;
  }
  return true;
}

std::string DecodeAnsi(const std::string& bytes, uint32_t code_page) {
  if (code_page == kAsciiOnly) code_page = kWindows1252;
  std::string out;
  if (code_page != kUtf8 && Decode(bytes, code_page, &out)) return out;
  // Piece by piece: what decodes as is, the rest as U+FFFD (or, in a
  // single-byte code page, an unassigned 0x80 to 0x9F as its C1 control).
  out.clear();
  for (size_t i = 0; i < bytes.size();) {
    if (code_page == kUtf8) {
      const size_t n = ValidUtf8At(bytes, i);
      if (n == 0) {
        AppendUtf8(0xFFFD, &out);
        ++i;
      } else {
        out.append(bytes, i, n);
        i += n;
      }
      continue;
    }
    const auto b = static_cast<uint8_t>(bytes[i]);
    std::string piece;
    if (IsDoubleByteCodePage(code_page) && b >= 0x80 && i + 1 < bytes.size() &&
        Decode(bytes.substr(i, 2), code_page, &piece)) {
      out += piece;
      i += 2;
    } else if (Decode(bytes.substr(i, 1), code_page, &piece)) {
      out += piece;
      ++i;
    } else {
      AppendUtf8(!IsDoubleByteCodePage(code_page) && b >= 0x80 && b <= 0x9F ? b : 0xFFFD, &out);
      ++i;
    }
  }
  return out;
}

namespace {
bool g_lead_bytes[256];
bool IsLeadByteInTable(uint8_t byte) { return g_lead_bytes[byte]; }
}  // namespace

kiv::LeadByteTest LeadByteTestFor(uint32_t code_page) {
  if (!IsDoubleByteCodePage(code_page)) return nullptr;
  // A lead byte is one that the converter takes for no letter alone but for
  // a letter with a second byte after it.
  for (int b = 0; b < 256; ++b) {
    g_lead_bytes[b] = false;
    std::string text;
    if (b < 0x80 || Decode(std::string(1, static_cast<char>(b)), code_page, &text)) continue;
    for (const char trail : {'\x41', '\x5C', '\x81', '\xA1'}) {
      const std::string pair{static_cast<char>(b), trail};
      if (Decode(pair, code_page, &text)) {
        g_lead_bytes[b] = true;
        break;
      }
    }
  }
  return IsLeadByteInTable;
}

}  // namespace kivlog
