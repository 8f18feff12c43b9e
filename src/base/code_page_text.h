// What the stub knows of the code pages an uninstall file may name for its
// text: which it takes, which bytes lead a double-byte letter in each, and
// whether a string is well formed in it. The conversion itself is the
// system's (MultiByteToWideChar); these rules decide before anything changes
// whether the file's text can be converted at all.
//
// Pure: no <windows.h>, no allocation, no state.
#ifndef KIV_BASE_CODE_PAGE_TEXT_H_
#define KIV_BASE_CODE_PAGE_TEXT_H_

#include <stdint.h>

namespace kiv {

inline constexpr uint32_t kCodePageUtf8 = 65001;

// The code pages a file may name: the Windows ANSI code pages 874, 932, 936,
// 949, 950 and 1250 to 1258, and 65001 (UTF-8). Any other number is a fault.
bool IsNamedCodePage(uint32_t code_page);

// True when byte opens a two-byte letter in code_page (932, 936, 949, 950),
// whose second byte may then be 0x5C and is no backslash. UTF-8 and the
// single-byte pages have no such bytes: a 0x5C byte there is always '\'.
bool LeadsDoubleByte(uint32_t code_page, uint8_t byte);

// Proves text well formed in one code page, in pieces as it is read.
//   UTF-8: the shortest form of every letter, nothing above U+10FFFF, no
//   surrogate (U+D800 to U+DFFF) encoded on its own.
//   932, 936, 949, 950: every lead byte followed by a second byte in the
//   code page's range for it (never NUL: a string cannot end inside a letter).
//   Single-byte pages: every byte stands for a letter.
class TextCheck {
 public:
  explicit TextCheck(uint32_t code_page) : code_page_(code_page) {}
  // False from the first byte that cannot continue well-formed text on;
  // stays false.
  bool Feed(const uint8_t* bytes, uint32_t count);
  // The text so far is well formed and ends at a letter's end.
  bool Complete() const { return sound_ && pending_ == 0; }

 private:
  bool Utf8Byte(uint8_t byte);
  bool DoubleByte(uint8_t byte);

  uint32_t code_page_;
  bool sound_ = true;
  uint8_t pending_ = 0;  // bytes still owed to the letter under way
  uint8_t low_ = 0x80;   // the next byte's range, UTF-8: narrower after
  uint8_t high_ = 0xBF;  // E0, ED, F0 and F4 (overlong forms, surrogates)
};

// text[0, count) is well formed in code_page, as TextCheck judges it.
bool IsWellFormed(uint32_t code_page, const uint8_t* text, uint32_t count);

// NUL-terminated UTF-8 text as UTF-16 into out (capacity units, its NUL
// included), a letter past U+FFFF as its surrogate pair. Done here, not by
// the system: Windows NT 4 takes no MB_ERR_INVALID_CHARS with UTF-8, and the
// 95 family knows no UTF-8 at all. Returns the units written without the
// NUL; 0 when the text is not well formed or does not fit (out is then
// empty).
uint32_t Utf8ToUtf16(const char* text, uint16_t* out, uint32_t capacity);

}  // namespace kiv

#endif  // KIV_BASE_CODE_PAGE_TEXT_H_
