#include "base/fixed_string.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

TEST(FixedString, AppendFitsExactlyOrLeavesTheContentsUnchanged) {
  FixedString<6> s;  // five characters and the NUL
  EXPECT_TRUE(s.Assign("abc"));
  EXPECT_TRUE(s.Append("de"));  // fits exactly
  EXPECT_STREQ(s.c_str(), "abcde");
  EXPECT_FALSE(s.Append("f"));  // one too many
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

bool NoLeadBytes(uint8_t) { return false; }
// The lead bytes of code page 932 (Shift JIS).
bool LeadBytesOf932(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

TEST(LastBackslash, FindsTheLastOrNone) {
  EXPECT_EQ(LastBackslash("C:\\App\\a.txt", NoLeadBytes), 6);
  EXPECT_EQ(LastBackslash("Software\\A\\", NoLeadBytes), 10);  // a trailing one counts
  EXPECT_EQ(LastBackslash("\\Version", NoLeadBytes), 0);
  EXPECT_EQ(LastBackslash("Version", NoLeadBytes), -1);
  EXPECT_EQ(LastBackslash("", NoLeadBytes), -1);
}

// In code page 932 the second byte of a letter can be 0x5C: 表 is 95 5C and
// ソ 83 5C. Neither is a separator.
TEST(LastBackslash, PassesOverTheSecondByteOfADoubleByteLetter) {
  EXPECT_EQ(LastBackslash("C:\\\x95\x5C\\\x83\x5C.txt", LeadBytesOf932), 5);
  EXPECT_EQ(LastBackslash("Software\\\x83\x5C", LeadBytesOf932), 8);
  EXPECT_EQ(LastBackslash("\x95\x5C", LeadBytesOf932), -1);
  // A lead byte cut off by the end: nothing follows it to take.
  EXPECT_EQ(LastBackslash("A\\\x95", LeadBytesOf932), 1);
  // In a single-byte code page the same bytes are two characters.
  EXPECT_EQ(LastBackslash("C:\\\x95\x5C", NoLeadBytes), 4);
}

TEST(EqualsIgnoreAsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase("[RENAME]", "[rename]", 8));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC9", "\xE9", 1));  // É and é in 1252
  EXPECT_FALSE(EqualsIgnoreAsciiCase("@", "`", 1));
}

}  // namespace
}  // namespace kiv
