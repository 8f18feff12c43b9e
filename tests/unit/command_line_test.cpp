#include "run/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

// A code page in which 0x81..0x9F are lead bytes, as in Shift JIS.
bool ShiftJisLike(uint8_t b) { return b >= 0x81 && b <= 0x9F; }

struct Row {
  const char* name;
  const char* line;
  const char* remainder;
};

const Row kRows[] = {
    {"quoted_name_alone", "\"C:\\My App\\uninst.exe\"", ""},
    {"quoted_name_then_path", "\"C:\\TEMP\\STP1.tmp\" C:\\My App\\uninst.exe",
     "C:\\My App\\uninst.exe"},
    {"no_closing_quote", "\"C:\\My App\\uninst.exe C:\\x", ""},
    {"lead_byte_takes_a_quote_inside_quotes", "\"C:\\\x81\"x\\u.exe\" rest", "rest"},
    {"lead_byte_at_the_end_inside_quotes", "\"C:\\\x81", ""},
    {"control_characters_after_the_name", "u.exe \t\x01\x1F path", "path"},
    {"quote_right_after_the_closing_quote", "\"u.exe\"\"C:\\x\"", "\"C:\\x\""},
    {"character_right_after_the_closing_quote", "\"u.exe\"C:\\x", "C:\\x"},
    {"inner_and_trailing_blanks_kept", "u.exe C:\\a b\\c d.exe  ", "C:\\a b\\c d.exe  "},
    {"unquoted_name_with_a_blank_in_its_path", "C:\\My App\\uninst.exe", "App\\uninst.exe"},
    {"quote_inside_unquoted_name_means_nothing", "u\"x y", "y"},
    {"empty_line", "", ""},
    {"only_blanks_after_the_name", "u.exe   ", ""},
};

class Remainder : public testing::TestWithParam<Row> {};

TEST_P(Remainder, IsCutAsTheShellWouldStartUs) {
  EXPECT_EQ(std::string(CommandLineRemainder(GetParam().line, ShiftJisLike)), GetParam().remainder);
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(Rows, Remainder, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

TEST(Remainder, WithoutALeadByteTableAQuoteEndsTheName) {
  EXPECT_EQ(std::string(CommandLineRemainder("\"C:\\\x81\"x\\u.exe\" rest", nullptr)),
            "x\\u.exe\" rest");
}

}  // namespace
}  // namespace kiv
