// The INI line cutter: which lines go, which stay, and that the buffer is
// never read past its size.
#include "ini/ini_cutter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/ini_cut_case.h"

namespace kiv {
namespace {

using testing_support::CutCase;

// The fold of a single-byte code page's ASCII letters only.
uint32_t AsciiFold(const char* text, uint32_t length, char* out, uint32_t capacity) {
  if (length >= capacity) return 0;
  for (uint32_t i = 0; i < length; ++i) {
    const char c = text[i];
    out[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  }
  return length;
}

std::vector<CutCase> CutCases() {
  return {
      {"only_the_last_of_several_matching_lines", "[Fonts]", "font", "a.fon",
       "[Fonts]\r\nfont=a.fon\r\nfont=b.fon\r\nfont=a.fon\r\n",
       "[Fonts]\r\nfont=a.fon\r\nfont=b.fon\r\n"},
      {"shared_device_line_held_by_another_product_stays", "[386Enh]", "device", "vkd.386",
       "[386Enh]\r\ndevice=vkd.386\r\nother=1\r\ndevice=vkd.386\r\nlast=2\r\n",
       "[386Enh]\r\ndevice=vkd.386\r\nother=1\r\nlast=2\r\n"},
      {"matching_line_outside_the_section_stays", "[Mine]", "k", "v",
       "[Other]\r\nk=v\r\n[Mine]\r\nk=v\r\n[Last]\r\nk=v\r\n",
       "[Other]\r\nk=v\r\n[Mine]\r\n[Last]\r\nk=v\r\n"},
      {"line_before_any_section_stays", "[S]", "k", "v", "k=v\r\n[S]\r\nk=v\r\n", "k=v\r\n[S]\r\n"},
      {"section_on_the_first_line", "[S]", "k", "v", "[S]\r\nk=v\r\nother=1\r\n",
       "[S]\r\nother=1\r\n"},
      {"section_opened_again_later", "[S]", "k", "v", "[S]\r\nk=v\r\n[T]\r\nk=v\r\n[s]\r\nk=v\r\n",
       "[S]\r\nk=v\r\n[T]\r\nk=v\r\n[s]\r\n"},
      {"last_match_in_an_earlier_opening_of_the_section", "[S]", "k", "v",
       "[S]\r\nk=v\r\n[T]\r\nk=v\r\n[S]\r\nx=1\r\n", "[S]\r\n[T]\r\nk=v\r\n[S]\r\nx=1\r\n"},
      {"bare_line_feeds", "[S]", "k", "v", "[S]\nk=v\nx=1\nk=v\n", "[S]\nk=v\nx=1\n"},
      {"mixed_line_ends", "[S]", "k", "v", "[S]\r\nx=1\r\nk=v\nx=2\r\n", "[S]\r\nx=1\r\nx=2\r\n"},
      {"last_line_without_line_end", "[S]", "k", "v", "[S]\r\nx=1\r\nk=v", "[S]\r\nx=1\r\n"},
      {"last_line_with_a_lone_carriage_return", "[S]", "k", "v", "[S]\r\nx=1\r\nk=v\r",
       "[S]\r\nx=1\r\n"},
      {"key_case_ignored", "[S]", "Device", "v", "[S]\r\nDEVICE=v\r\nDevicf=v\r\n",
       "[S]\r\nDevicf=v\r\n"},
      {"value_case_matters", "[S]", "k", "Value", "[S]\r\nk=value\r\nk=Value\r\nk=VALUE\r\n",
       "[S]\r\nk=value\r\nk=VALUE\r\n"},
      {"blanks_around_the_equals_sign_ignored", "[S]", "k", "v w",
       "[S]\r\n k = v w \r\nk=v  w\r\n\tk\t=\tv w\r\nx=1\r\n",
       "[S]\r\n k = v w \r\nk=v  w\r\nx=1\r\n"},
      {"blanks_around_the_record_fields_ignored", "[S]", " k ", " v ", "[S]\r\nk=v\r\n", "[S]\r\n"},
      {"header_case_ignored", "[Section]", "k", "v", "[SECTION]\r\nk=v\r\n", "[SECTION]\r\n"},
      {"header_compared_over_its_length_only", "[S]", "k", "v", "[S] ; note\r\nk=v\r\n",
       "[S] ; note\r\n"},
      {"longer_header_opens_nothing", "[S]", "k", "v", "[Sx]\r\nk=v\r\n", "[Sx]\r\nk=v\r\n"},
      {"section_string_without_bracket_opens_nothing_bracketed", "S", "k", "v", "[S]\r\nk=v\r\n",
       "[S]\r\nk=v\r\n"},
      {"indented_bracket_does_not_close", "[S]", "k", "v", "[S]\r\n [x]\r\nk=v\r\n",
       "[S]\r\n [x]\r\n"},
      {"empty_section_string_opens_nothing", "", "k", "v", "k=v\r\n[S]\r\nk=v\r\n",
       "k=v\r\n[S]\r\nk=v\r\n"},
      {"value_with_an_equals_sign", "[S]", "k", "a=b", "[S]\r\nk=a=b\r\nk=a\r\n", "[S]\r\nk=a\r\n"},
      {"empty_value", "[S]", "k", "", "[S]\r\nk=\r\nk = \r\nk=x\r\nk\r\n",
       "[S]\r\nk=\r\nk=x\r\nk\r\n"},
      {"line_without_equals_sign_stays", "[S]", "k", "", "[S]\r\nk\r\n", "[S]\r\nk\r\n"},
      {"key_only_a_prefix_stays", "[S]", "k", "v", "[S]\r\nkk=v\r\nk=vv\r\n",
       "[S]\r\nkk=v\r\nk=vv\r\n"},
      {"blank_lines_kept", "[S]", "k", "v", "[S]\r\n\r\nk=v\r\n\n", "[S]\r\n\r\n\n"},
      {"file_shorter_than_the_section", "[LongSection]", "k", "v", "[Long", "[Long"},
      {"file_one_byte_shorter_than_the_section", "[S]", "k", "v", "[S", "[S"},
      {"file_exactly_the_section", "[S]", "k", "v", "[S]", "[S]"},
      {"empty_file", "[S]", "k", "v", "", ""},
  };
}

class CutIniLinesTable : public testing::TestWithParam<CutCase> {};

TEST_P(CutIniLinesTable, LeavesExactlyTheExpectedBytes) {
  const CutCase& c = GetParam();
  // The content sits alone in a heap block of its exact size, so a read past
  // its end shows under the address sanitizer.
  std::vector<char> buffer(c.before.begin(), c.before.end());
  uint32_t size = static_cast<uint32_t>(buffer.size());

  const IniCut cut = CutIniLines(buffer.data(), &size, c.section, c.key, c.value, AsciiFold);

  EXPECT_EQ(std::string(buffer.data(), size), c.after);
  EXPECT_EQ(cut, c.before == c.after ? IniCut::kNone : IniCut::kCut);
}

INSTANTIATE_TEST_SUITE_P(Cases, CutIniLinesTable, testing::ValuesIn(CutCases()),
                         [](const testing::TestParamInfo<CutCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(CutIniLines, EachCallCutsOneLineFromTheLastAndLeavesTheTailUntouched) {
  std::string text = "[S]\r\nk=v\r\nk=v\nx=1\r\n";
  std::vector<char> buffer(text.begin(), text.end());
  buffer.resize(buffer.size() + 4, '#');  // room the caller owns past the content
  uint32_t size = static_cast<uint32_t>(text.size());

  EXPECT_EQ(CutIniLines(buffer.data(), &size, "[S]", "k", "v", AsciiFold), IniCut::kCut);
  EXPECT_EQ(std::string(buffer.data(), size), "[S]\r\nk=v\r\nx=1\r\n");
  EXPECT_EQ(CutIniLines(buffer.data(), &size, "[S]", "k", "v", AsciiFold), IniCut::kCut);
  EXPECT_EQ(std::string(buffer.data(), size), "[S]\r\nx=1\r\n");
  EXPECT_EQ(CutIniLines(buffer.data(), &size, "[S]", "k", "v", AsciiFold), IniCut::kNone);
  EXPECT_EQ(std::string(buffer.end() - 4, buffer.end()), "####");
}

// A code page's fold as the cutter gets it: each byte into two (as UTF-16
// units are), the small letters of both halves of the code page capitalised
// (0xE0-0xFE as in 1252, ASCII too), and nothing at all for a name holding
// 0x81, a byte this code page cannot fold exactly.
uint32_t WideFold(const char* text, uint32_t length, char* out, uint32_t capacity) {
  if (2 * length > capacity) return 0;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t b = static_cast<uint8_t>(text[i]);
    if (b == 0x81) return 0;
    const bool small = (b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7);
    out[2 * i] = static_cast<char>(small ? b - 32 : b);
    out[2 * i + 1] = '\0';
  }
  return 2 * length;
}

struct FoldCase {
  const char* name;
  const char* section;
  const char* key;
  std::string before;
  IniCut cut;
  std::string after;
};

void PrintTo(const FoldCase& c, std::ostream* os) { *os << c.name; }

class FoldedNames : public testing::TestWithParam<FoldCase> {};

TEST_P(FoldedNames, AreComparedByTheFoldGiven) {
  const FoldCase& c = GetParam();
  std::vector<char> buffer(c.before.begin(), c.before.end());
  uint32_t size = static_cast<uint32_t>(buffer.size());

  EXPECT_EQ(CutIniLines(buffer.data(), &size, c.section, c.key, "v", WideFold), c.cut);
  EXPECT_EQ(std::string(buffer.data(), size), c.cut == IniCut::kCut ? c.after : c.before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FoldedNames,
    testing::ValuesIn(std::vector<FoldCase>{
        // Letters past ASCII fold as the code page folds them.
        {"small_and_capital_letter_in_the_key", "[S]", "cl\xE9", "[S]\r\nCL\xC9=v\r\nx=1\r\n",
         IniCut::kCut, "[S]\r\nx=1\r\n"},
        {"small_and_capital_letter_in_the_header", "[R\xE9glages]", "k",
         "[R\xC9GLAGES]\r\nk=v\r\n", IniCut::kCut, "[R\xC9GLAGES]\r\n"},
        // 0xD7 (a sign, not the capital of 0xF7) and 0xDF stay as they are.
        {"signs_are_no_letters", "[S]", "\xF7", "[S]\r\n\xD7=v\r\n\xDF=v\r\n", IniCut::kNone,
         ""},
        // A key in the section the fold cannot take might be the record's.
        {"key_inside_the_section_that_does_not_fold", "[S]", "k",
         "[S]\r\nk=v\r\nk\x81=v\r\n", IniCut::kCannotTell, ""},
        {"record_key_that_does_not_fold", "[S]", "k\x81", "[S]\r\nk\x81=v\r\n",
         IniCut::kCannotTell, ""},
        {"record_section_that_does_not_fold", "[S\x81]", "k", "[S\x81]\r\nk=v\r\n",
         IniCut::kCannotTell, ""},
        // Past the fold's room a name cannot be compared, however long.
        {"key_longer_than_the_fold_room", "[S]", "k",
         "[S]\r\nk=v\r\n" + std::string(kIniFoldRoom, 'k') + "=v\r\n", IniCut::kCannotTell,
         ""},
    }),
    [](const testing::TestParamInfo<FoldCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv
