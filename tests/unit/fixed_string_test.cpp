#include "base/fixed_string.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

TEST(FixedString, AppendFitsExactlyOrLeavesTheContentsUnchanged) {
  FixedString<6> s;  // five characters and the NUL
  EXPECT_TRUE(s.Assign("abc"));
  EXPECT_TRUE(s.Append("de"));   // fits exactly
  EXPECT_STREQ(s.c_str(), "abcde");
  EXPECT_FALSE(s.Append("f"));   // one too many
  EXPECT_STREQ(s.c_str(), "abcde");
  EXPECT_FALSE(s.Assign("abcdef"));
  EXPECT_STREQ(s.c_str(), "abcde");
}

TEST(FormatS, ExpandsEachPlaceholderAndRefusesWhatDoesNotFit) {
  FixedString<32> out;
  EXPECT_TRUE(Format2(out, "[%s]=%s 100%%", "Rename", "x"));
  EXPECT_EQ(std::string(out.c_str()), "[Rename]=x 100%");

  FixedString<9> small;
  EXPECT_TRUE(Format1(small, "[%s]", "Rename"));  // 8 characters: fits exactly
  EXPECT_FALSE(Format1(small, "[%s]", "Renamed"));
  EXPECT_STREQ(small.c_str(), "");
  const char* none[] = {nullptr};
  EXPECT_FALSE(FormatS(out, "%s", none, 0));  // a placeholder without argument
}

TEST(LastBackslash, FindsTheLastOrNone) {
  EXPECT_EQ(LastBackslash("C:\\App\\a.txt"), 6);
  EXPECT_EQ(LastBackslash("Software\\A\\"), 10);  // a trailing one counts
  EXPECT_EQ(LastBackslash("\\Version"), 0);
  EXPECT_EQ(LastBackslash("Version"), -1);
  EXPECT_EQ(LastBackslash(""), -1);
}

TEST(EqualsIgnoreAsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase("[RENAME]", "[rename]", 8));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC9", "\xE9", 1));  // É and é in 1252
  EXPECT_FALSE(EqualsIgnoreAsciiCase("@", "`", 1));
}

}  // namespace
}  // namespace kiv
