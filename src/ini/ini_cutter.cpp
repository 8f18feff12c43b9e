#include "ini/ini_cutter.h"

#include "base/fixed_string.h"

namespace kiv {

namespace {

// A piece of text by its bounds, [begin, end).
struct Span {
  const char* begin;
  const char* end;
  uint32_t length() const { return static_cast<uint32_t>(end - begin); }
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

Span Trim(Span s) {
  while (s.begin < s.end && IsBlank(s.begin[0])) ++s.begin;
  while (s.end > s.begin && IsBlank(s.end[-1])) --s.end;
  return s;
}

Span Whole(const char* s) {
  const char* end = s;
  while (*end) ++end;
  return {s, end};
}

bool SameText(Span a, Span b, bool fold_case) {
  if (a.length() != b.length()) return false;
  for (uint32_t i = 0; i < a.length(); ++i) {
    const char x = fold_case ? FoldAscii(a.begin[i]) : a.begin[i];
    const char y = fold_case ? FoldAscii(b.begin[i]) : b.begin[i];
    if (x != y) return false;
  }
  return true;
}

// line is the line's text without its line end.
bool IsEntry(Span line, Span key, Span value) {
  const char* equals = line.begin;
  while (equals < line.end && *equals != '=') ++equals;
  if (equals == line.end) return false;
  return SameText(Trim({line.begin, equals}), key, true) &&
         SameText(Trim({equals + 1, line.end}), value, false);
}

}  // namespace

uint32_t CutIniLines(char* buffer, uint32_t* size, const char* section, const char* key,
                     const char* value) {
  const Span header = Whole(section);
  const Span wanted_key = Trim(Whole(key));
  const Span wanted_value = Trim(Whole(value));
  const uint32_t used = *size;

  // Find the last matching line: [cut_start, cut_end), its line end included.
  bool found = false;
  uint32_t cut_start = 0;
  uint32_t cut_end = 0;
  bool in_section = false;
  uint32_t start = 0;
  while (start < used) {
    uint32_t next = start;  // one past the line's end, line feed included
    while (next < used && buffer[next] != '\n') ++next;
    uint32_t text_end = next;
    if (next < used) ++next;
    if (text_end > start && buffer[text_end - 1] == '\r') --text_end;
    const Span line = {buffer + start, buffer + text_end};

    if (header.length() > 0 && header.length() <= line.length() &&
        EqualsIgnoreAsciiCase(line.begin, header.begin, header.length())) {
      in_section = true;
    } else if (line.length() > 0 && line.begin[0] == '[') {
      in_section = false;
    } else if (in_section && IsEntry(line, wanted_key, wanted_value)) {
      found = true;
      cut_start = start;
      cut_end = next;
    }
    start = next;
  }
  if (!found) return 0;
  // Everything after the line moves down over it.
  for (uint32_t i = cut_end; i < used; ++i) buffer[cut_start + i - cut_end] = buffer[i];
  *size = used - (cut_end - cut_start);
  return 1;
}

}  // namespace kiv
