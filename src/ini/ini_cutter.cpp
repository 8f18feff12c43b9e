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

bool SameBytes(Span a, Span b) {
  if (a.length() != b.length()) return false;
  for (uint32_t i = 0; i < a.length(); ++i) {
    if (a.begin[i] != b.begin[i]) return false;
  }
  return true;
}

// A name folded once, to be compared with many; length is ~0u when it
// does not fold.
struct Folded {
  alignas(4) char bytes[kIniFoldRoom];  // a fold may write wider units
  uint32_t length = 0;

  Folded(IniFold fold, Span name) {
    if (name.length() > 0) {
      length = fold(name.begin, name.length(), bytes, sizeof(bytes));
      if (length == 0) length = ~0u;
    }
  }
  bool ok() const { return length != ~0u; }
};

// Whether name folds as wanted; *unsure when it cannot be folded.
bool FoldsAs(IniFold fold, Span name, const Folded& wanted, bool* unsure) {
  const Folded folded(fold, name);
  *unsure |= !folded.ok();
  return folded.length == wanted.length &&
         SameBytes({folded.bytes, folded.bytes + folded.length},
                   {wanted.bytes, wanted.bytes + wanted.length});
}

}  // namespace

IniCut CutIniLines(char* buffer, uint32_t* size, const char* section, const char* key,
                   const char* value, IniFold fold) {
  const Span header = Whole(section);
  const Folded wanted_header(fold, header);
  const Folded wanted_key(fold, Trim(Whole(key)));
  const Span wanted_value = Trim(Whole(value));
  if (!wanted_header.ok() || !wanted_key.ok()) return IniCut::kCannotTell;
  const uint32_t used = *size;

  // Find the last matching line: [cut_start, cut_end), its line end included.
  bool found = false;
  bool unsure = false;
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
        FoldsAs(fold, {line.begin, line.begin + header.length()}, wanted_header, &unsure)) {
      in_section = true;
    } else if (line.length() > 0 && line.begin[0] == '[') {
      in_section = false;
    } else if (in_section) {
      const char* equals = line.begin;
      while (equals < line.end && *equals != '=') ++equals;
      if (equals < line.end && FoldsAs(fold, Trim({line.begin, equals}), wanted_key, &unsure) &&
          SameBytes(Trim({equals + 1, line.end}), wanted_value)) {
        found = true;
        cut_start = start;
        cut_end = next;
      }
    }
    start = next;
  }
  if (unsure) return IniCut::kCannotTell;
  if (!found) return IniCut::kNone;
  // Everything after the line moves down over it.
  for (uint32_t i = cut_end; i < used; ++i) buffer[cut_start + i - cut_end] = buffer[i];
  *size = used - (cut_end - cut_start);
  return IniCut::kCut;
}

}  // namespace kiv
