#include "screen_text.h"

#include <stdio.h>

#include <vector>

namespace kivlog {

namespace {

struct Hidden {
  uint32_t code_point;
  const char* name;
  bool bidirectional;  // else of no width
};

constexpr Hidden kHidden[] = {
    {0x061C, "ARABIC LETTER MARK", true},
    {0x200B, "ZERO WIDTH SPACE", false},
    {0x200C, "ZERO WIDTH NON-JOINER", false},
    {0x200D, "ZERO WIDTH JOINER", false},
    {0x200E, "LEFT-TO-RIGHT MARK", true},
    {0x200F, "RIGHT-TO-LEFT MARK", true},
    {0x202A, "LEFT-TO-RIGHT EMBEDDING", true},
    {0x202B, "RIGHT-TO-LEFT EMBEDDING", true},
    {0x202C, "POP DIRECTIONAL FORMATTING", true},
    {0x202D, "LEFT-TO-RIGHT OVERRIDE", true},
    {0x202E, "RIGHT-TO-LEFT OVERRIDE", true},
    {0x2060, "WORD JOINER", false},
    {0x2066, "LEFT-TO-RIGHT ISOLATE", true},
    {0x2067, "RIGHT-TO-LEFT ISOLATE", true},
    {0x2068, "FIRST STRONG ISOLATE", true},
    {0x2069, "POP DIRECTIONAL ISOLATE", true},
    {0xFEFF, "ZERO WIDTH NO-BREAK SPACE", false},
};

const Hidden* FindHidden(uint32_t code_point) {
  for (const Hidden& h : kHidden) {
    if (h.code_point == code_point) return &h;
  }
  return nullptr;
}

enum class Script { kNone, kLatin, kCyrillic, kGreek, kOtherLetter };

Script ScriptOf(uint32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return Script::kLatin;
  if (c < 0x80) return Script::kNone;  // digits, blanks, separators, punctuation
  if ((c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7) || (c >= 0x1E00 && c <= 0x1EFF)) {
    return Script::kLatin;
  }
  if ((c >= 0x370 && c <= 0x3FF && c != 0x37E && c != 0x387) || (c >= 0x1F00 && c <= 0x1FFF)) {
    return Script::kGreek;
  }
  if (c >= 0x400 && c <= 0x52F) return Script::kCyrillic;
  if (c < 0xC0 || (c >= 0x2000 && c <= 0x2BFF) || (c >= 0x3000 && c <= 0x303F) ||
      c == 0xFEFF || c == 0xFFFD) {
    return Script::kNone;  // Latin-1 symbols, general punctuation, symbols
  }
  return Script::kOtherLetter;
}

std::string CodePointText(uint32_t c) {
  char text[16];
  snprintf(text, sizeof(text), "U+%04X", c);
  return text;
}

}  // namespace

const char* HiddenCharacterName(uint32_t code_point) {
  const Hidden* h = FindHidden(code_point);
  return h ? h->name : nullptr;
}

uint32_t NextCodePoint(const std::string& text, size_t* at) {
  const uint8_t first = static_cast<uint8_t>(text[*at]);
  size_t count;
  uint32_t c, least;
  if (first < 0x80) {
    ++*at;
    return first;
  } else if (first >= 0xC2 && first <= 0xDF) {
    count = 1, c = first & 0x1F, least = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    count = 2, c = first & 0x0F, least = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    count = 3, c = first & 0x07, least = 0x10000;
  } else {
    ++*at;
    return 0xFFFD;
  }
  if (*at + count >= text.size()) {
    ++*at;
    return 0xFFFD;
  }
  for (size_t i = 1; i <= count; ++i) {
    const uint8_t next = static_cast<uint8_t>(text[*at + i]);
    if ((next & 0xC0) != 0x80) {
      ++*at;
      return 0xFFFD;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < least || c > 0x10FFFF) {
    ++*at;
    return 0xFFFD;
  }
  *at += count + 1;
  return c;
}

std::string MisleadingName(const std::string& utf8) {
  std::vector<std::string> found;
  std::vector<uint32_t> named;
  // The name part being read: its text, and a letter of each script in it.
  std::string part;
  uint32_t latin = 0, foreign = 0;
  Script foreign_script = Script::kNone;
  bool mixed_told = false;
  const auto end_part = [&] {
    if (!mixed_told && latin != 0 && foreign != 0) {
      found.push_back(std::string("mixes Latin letters with ") +
                      (foreign_script == Script::kCyrillic ? "Cyrillic" : "Greek") +
                      " ones in one word (\"" + part + "\": " + CodePointText(foreign) +
                      " is " + (foreign_script == Script::kCyrillic ? "Cyrillic" : "Greek") +
                      "), which look alike");
      mixed_told = true;
    }
    part.clear();
    latin = foreign = 0;
    foreign_script = Script::kNone;
  };
  for (size_t at = 0; at < utf8.size();) {
    const size_t start = at;
    const uint32_t c = NextCodePoint(utf8, &at);
    if (const Hidden* h = FindHidden(c)) {
      bool told = false;
      for (uint32_t n : named) told = told || n == c;
      if (!told) {
        named.push_back(c);
        found.push_back("holds " + CodePointText(c) + " " + h->name +
                        (h->bidirectional ? ", a bidirectional control that reorders the text "
                                            "around it on the screen"
                                          : ", a character of no width"));
      }
      continue;  // inside a word it hides, and does not end it
    }
    const Script script = ScriptOf(c);
    if (script == Script::kNone) {
      end_part();
      continue;
    }
    part.append(utf8, start, at - start);
    if (script == Script::kLatin && latin == 0) latin = c;
    if ((script == Script::kCyrillic || script == Script::kGreek) && foreign == 0) {
      foreign = c;
      foreign_script = script;
    }
  }
  end_part();
  if (found.empty()) return "";
  std::string message;
  for (size_t i = 0; i < found.size(); ++i) {
    message += (i == 0 ? "" : i + 1 == found.size() ? " and " : ", ") + found[i];
  }
  return message + ": the name shows other than it is (list shows such characters as \\u escapes)";
}

}  // namespace kivlog
