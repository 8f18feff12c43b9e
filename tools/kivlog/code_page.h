// Text in the uninstall file is 8-bit, in the target system's ANSI code page;
// manifests and the tool's output are UTF-8. These convert between the two for
// the Windows ANSI code pages: 874, 932, 936, 949, 950 and 1250 to 1258, and
// 65001 (UTF-8 stored as is). The conversion is the system's: iconv on the
// host, MultiByteToWideChar and WideCharToMultiByte on Windows.
//
// Pure in effect: no I/O and no state but the converters, so the manifest
// parser stays pure too.
#ifndef KIVLOG_CODE_PAGE_H_
#define KIVLOG_CODE_PAGE_H_

#include <stdint.h>

#include <string>

#include "uninstall_file/log_reader.h"

namespace kivlog {

// 0 means "no code page named": only ASCII may be stored, since the bytes of
// any other character depend on the system that runs the uninstall.
inline constexpr uint32_t kAsciiOnly = 0;
inline constexpr uint32_t kWindows1252 = 1252;
inline constexpr uint32_t kUtf8 = 65001;

bool IsKnownCodePage(uint32_t code_page);
// 932, 936, 949 and 950: a lead byte and a second byte that may be 0x5C, the
// backslash.
bool IsDoubleByteCodePage(uint32_t code_page);
// The reader's lead-byte test for the code page (null when it has no double-
// byte letters), so that a display name's 0x5C second bytes are no
// backslash. One code page at a time: each call replaces the last's table.
kiv::LeadByteTest LeadByteTestFor(uint32_t code_page);
// The code pages for messages: "874, 932, 936, 949, 950, 1250 to 1258 or 65001".
const char* KnownCodePagesText();

// UTF-8 (already valid, as the JSON parser guarantees) to the code page's
// bytes. On a character the code page cannot hold, returns false and leaves a
// short description of it and its place (e.g. "'ł' (U+0142) at character 4")
// in *bad. Nothing is replaced by a look-alike. In a single-byte code page
// the bytes 0x80 to 0x9F it leaves unassigned stand for the C1 control of
// the same value, as Windows has them.
bool EncodeAnsi(const std::string& utf8, uint32_t code_page, std::string* out, std::string* bad);

// The code page's bytes to UTF-8, for display. Never fails: bytes that do not
// decode become U+FFFD. kAsciiOnly decodes as Windows-1252.
std::string DecodeAnsi(const std::string& bytes, uint32_t code_page);

}  // namespace kivlog

#endif  // KIVLOG_CODE_PAGE_H_
