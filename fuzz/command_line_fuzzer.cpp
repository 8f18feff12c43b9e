// The command-line remainder over any line, with and without a table of
// lead bytes.
//
// Input: one byte choosing the table (none, Shift JIS-like, every high
// byte), then the line, up to its first NUL.
//
// Invariants:
//  - the remainder lies within the line: between its start and its NUL, and
//    never before the end of a non-empty name;
//  - it starts at the NUL or at a byte above 32, right after a blank or
//    after the closing quote of a quoted name;
//  - an unquoted name is one run of bytes above 32 and is followed by blanks
//    up to the remainder; without a table, a quoted name ends at the first
//    quote after the opening one;
//  - whatever follows a plain program name is handed back whole, leading
//    blanks aside (inner and trailing blanks and quotes stay).
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_check.h"
#include "run/command_line.h"

namespace {

bool ShiftJisLike(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool AnyHighByte(uint8_t b) { return b >= 0x80; }

bool IsBlank(uint8_t b) { return b >= 1 && b <= 32; }

const char* SkipBlanks(const char* s) {
  while (IsBlank(static_cast<uint8_t>(*s))) ++s;
  return s;
}

// The remainder of line, which is copied to a heap block of exactly its
// length and NUL, so that a read past the NUL is caught.
std::string RemainderOf(const std::string& text, kiv::LeadByteTest test, size_t* at) {
  std::unique_ptr<char[]> line(new char[text.size() + 1]);
  memcpy(line.get(), text.c_str(), text.size() + 1);
  const char* rest = kiv::CommandLineRemainder(line.get(), test);
  KIV_FUZZ_CHECK(rest >= line.get() && rest <= line.get() + text.size());
  *at = static_cast<size_t>(rest - line.get());
  return std::string(rest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const kiv::LeadByteTest tables[] = {nullptr, ShiftJisLike, AnyHighByte};
  const kiv::LeadByteTest test = tables[data[0] % 3];
  const std::string line = kiv::fuzz::SplitFields(data + 1, size - 1, 2)[0];

  size_t at = 0;
  const std::string rest = RemainderOf(line, test, &at);
  const uint8_t first = static_cast<uint8_t>(line.c_str()[at]);
  KIV_FUZZ_CHECK(first == 0 || first > 32);
  if (!line.empty()) KIV_FUZZ_CHECK(at > 0);
  if (first != 0) {
    const uint8_t previous = static_cast<uint8_t>(line[at - 1]);
    KIV_FUZZ_CHECK(IsBlank(previous) || (previous == '"' && line[0] == '"'));
  }

  if (line.empty() || line[0] != '"') {
    // [bytes above 32][blanks] then the remainder.
    size_t name_end = 0;
    while (name_end < line.size() && static_cast<uint8_t>(line[name_end]) > 32) ++name_end;
    KIV_FUZZ_CHECK(at >= name_end);
    for (size_t i = name_end; i < at; ++i) KIV_FUZZ_CHECK(IsBlank(static_cast<uint8_t>(line[i])));
  } else if (test == nullptr) {
    const size_t close = line.find('"', 1);
    if (close == std::string::npos) {
      KIV_FUZZ_CHECK(rest.empty());
    } else {
      KIV_FUZZ_CHECK(rest == SkipBlanks(line.c_str() + close + 1));
    }
  }

  // Behind either kind of program name, the rest of the line comes back whole.
  const std::string expected = SkipBlanks(line.c_str());
  for (const char* name :
       {"\"C:\\Program Files\\Kiv App\\kivuninst.exe\" ", "C:\\WINDOWS\\TEMP\\STP1.TMP\t \t"}) {
    size_t ignored = 0;
    KIV_FUZZ_CHECK(RemainderOf(name + line, test, &ignored) == expected);
  }
  return 0;
}
