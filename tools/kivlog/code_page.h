// Text in the uninstall file is 8-bit, in the target system's ANSI code page;
// manifests and the tool's output are UTF-8. These convert between the two for
// the code pages the tool knows.
//
// Pure: no I/O, no platform calls, so the manifest parser stays pure too.
#ifndef KIVLOG_CODE_PAGE_H_
#define KIVLOG_CODE_PAGE_H_

#include <stdint.h>

#include <string>

namespace kivlog {

// 0 means "no code page named": only ASCII may be stored, since the bytes of
// any other character depend on the system that runs the uninstall.
inline constexpr uint32_t kAsciiOnly = 0;
inline constexpr uint32_t kWindows1252 = 1252;
inline constexpr uint32_t kUtf8 = 65001;

bool IsKnownCodePage(uint32_t code_page);

// UTF-8 (already valid, as the JSON parser guarantees) to the code page's
// bytes. On a character the code page cannot hold, returns false and leaves a
// short description of it (e.g. "'ł' (U+0142)") in *bad.
bool EncodeAnsi(const std::string& utf8, uint32_t code_page, std::string* out, std::string* bad);

// The code page's bytes to UTF-8, for display. Never fails: bytes that do not
// decode become U+FFFD. kAsciiOnly decodes as Windows-1252.
std::string DecodeAnsi(const std::string& bytes, uint32_t code_page);

}  // namespace kivlog

#endif  // KIVLOG_CODE_PAGE_H_
