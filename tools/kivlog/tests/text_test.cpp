// Times and code pages: the conversions every manifest string and saved time
// goes through.
#include <gtest/gtest.h>

#include "code_page.h"
#include "file_time.h"
#include "rules.h"
#include "screen_text.h"

#include <string>
#include <vector>

namespace kivlog {
namespace {

struct TimeRow {
  const char* name;
  const char* text;
  uint64_t file_time;
};

// 2020-01-01T00:00:00Z is 13,222,310,400 s after 1601-01-01.
const TimeRow kTimes[] = {
    {"first_instant", "1601-01-01T00:00:00Z", 0},
    {"new_year_2020", "2020-01-01T00:00:00Z", 132223104000000000ull},
    {"leap_day", "2020-02-29T12:00:00Z", 132274512000000000ull},
    {"full_fraction", "2020-01-01T00:00:00.1234567Z", 132223104001234567ull},
    {"last_second_of_9999", "9999-12-31T23:59:59.9999999Z", 2650467743999999999ull},
};

TEST(UtcTime, ParsesAndFormatsBothWays) {
  for (const auto& row : kTimes) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ParseUtcTime(row.text), row.file_time);
    EXPECT_EQ(FormatUtcTime(row.file_time), row.text);
  }
  // A short fraction counts from the left, and formats to seven digits.
  EXPECT_EQ(ParseUtcTime("2020-01-01T00:00:00.5Z"), 132223104005000000ull);
  EXPECT_EQ(FormatUtcTime(132223104005000000ull), "2020-01-01T00:00:00.5000000Z");
  // Past the year 9999 there is no four-digit form.
  EXPECT_EQ(FormatUtcTime(2650467744000000000ull), std::nullopt);
}

TEST(UtcTime, RefusesAnythingButTheOneForm) {
  const char* const kBad[] = {
      "2019-02-29T00:00:00Z",           // no leap day in 2019
      "1900-02-29T00:00:00Z",           // nor in 1900
      "2020-04-31T00:00:00Z",           // April has 30 days
      "2020-13-01T00:00:00Z",           // month
      "2020-01-01T24:00:00Z",           // hour
      "2020-01-01T00:60:00Z",           // minute
      "2020-01-01T00:00:60Z",           // no leap seconds
      "1600-12-31T23:59:59Z",           // before FILETIME's epoch
      "2020-01-01T00:00:00",            // no zone
      "2020-01-01T00:00:00+00:00",      // only Z
      "2020-01-01T00:00:00z",           // small z
      "2020-01-01 00:00:00Z",           // blank for T
      "2020-01-01T00:00:00.Z",          // empty fraction
      "2020-01-01T00:00:00.12345678Z",  // eight fraction digits
      "2020-1-01T00:00:00Z",            // one-digit month
      "2020-01-01T00:00:00Z ",          // trailing blank
      "",
  };
  for (const char* text : kBad) EXPECT_EQ(ParseUtcTime(text), std::nullopt) << text;
}

TEST(UtcTime, UnixTimesBecomeFileTimes) {
  EXPECT_EQ(FileTimeFromUnix(0, 0), 116444736000000000ull);
  EXPECT_EQ(FileTimeFromUnix(1577836800, 123456789), 132223104001234567ull);
  EXPECT_EQ(FileTimeFromUnix(-kUnixEpochInFileTimeSeconds, 0), 0u);
  EXPECT_EQ(FileTimeFromUnix(-kUnixEpochInFileTimeSeconds - 1, 0), std::nullopt);
  EXPECT_EQ(FileTimeFromUnix(INT64_MAX, 0), std::nullopt);
}

TEST(CodePage, EncodesWhatEachCodePageHolds) {
  struct Row {
    const char* name;
    const char* utf8;
    uint32_t code_page;
    const char* bytes;  // nullptr: refused
  };
  const Row kRows[] = {
      {"ascii_without_code_page", "C:\\App", kAsciiOnly, "C:\\App"},
      {"accent_without_code_page", "Caf\xC3\xA9", kAsciiOnly, nullptr},
      {"latin1_in_1252", "Caf\xC3\xA9", kWindows1252, "Caf\xE9"},
      {"euro_in_1252", "\xE2\x82\xAC", kWindows1252, "\x80"},
      {"y_diaeresis_in_1252", "\xC5\xB8", kWindows1252, "\x9F"},
      {"polish_l_not_in_1252", "\xC5\x81", kWindows1252, nullptr},
      {"cjk_not_in_1252", "\xE6\x97\xA5", kWindows1252, nullptr},
      {"utf8_kept", "\xE6\x97\xA5", kUtf8, "\xE6\x97\xA5"},
      {"unassigned_1252_byte_as_c1", "\xC2\x81\xC2\x9D", kWindows1252, "\x81\x9D"},
      {"polish_in_1250",
       "\xC5\x81\xC3\xB3"
       "d\xC5\xBA",
       1250,
       "\xA3\xF3"
       "d\x9F"},                                                               // Łódź
      {"cyrillic_in_1251", "\xD0\x9F\xD1\x80\xD0\xB8", 1251, "\xCF\xF0\xE8"},  // При
      {"c1_taken_in_1251", "\xC2\x81", 1251, nullptr},                         // 0x81 is Ѓ there
      {"greek_in_1253", "\xCE\xA9", 1253, "\xD9"},
      {"turkish_in_1254", "\xC4\xB0", 1254, "\xDD"},
      {"hebrew_in_1255", "\xD7\x90", 1255, "\xE0"},
      {"arabic_in_1256", "\xD8\xB9", 1256, "\xDA"},
      {"baltic_in_1257", "\xC4\x81", 1257, "\xE2"},
      {"vietnamese_in_1258", "\xC4\x90", 1258, "\xD0"},
      {"thai_in_874", "\xE0\xB8\x81", 874, "\xA1"},
      // The second byte of these is 0x5C, the backslash.
      {"japanese_in_932", "C:\\\xE8\xA1\xA8\\\xE3\x82\xBD", 932, "C:\\\x95\x5C\\\x83\x5C"},
      {"chinese_in_936", "\xE4\xB8\xAD", 936, "\xD6\xD0"},
      {"korean_in_949", "\xED\x95\x9C", 949, "\xC7\xD1"},
      {"chinese_in_950", "\xE5\x8A\x9F", 950, "\xA5\x5C"},
      // No look-alikes: a macron a is not an a in 1252, a Cyrillic letter
      // not a Latin one.
      {"no_best_fit_in_1252", "\xC4\x81", kWindows1252, nullptr},
      {"latin_l_stroke_not_in_1251", "\xC5\x82", 1251, nullptr},
      {"emoji_not_in_932", "\xF0\x9F\x98\x80", 932, nullptr},
      {"hangul_not_in_932", "\xED\x95\x9C", 932, nullptr},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::string out, bad;
    const bool ok = EncodeAnsi(row.utf8, row.code_page, &out, &bad);
    EXPECT_EQ(ok, row.bytes != nullptr);
    if (row.bytes) {
      EXPECT_EQ(out, row.bytes);
      EXPECT_EQ(DecodeAnsi(out, row.code_page), row.utf8);
    } else {
      // The refused character is named, with its code point.
      EXPECT_NE(bad.find("(U+"), std::string::npos) << bad;
    }
  }
}

TEST(CodePage, TheRefusedCharacterIsNamedWithItsPlace) {
  std::string out, bad;
  EXPECT_FALSE(EncodeAnsi("\xD0\x9C\xD0\xBE\xD1\x81\xC5\x82", 1251, &out, &bad));  // Mosł
  EXPECT_EQ(bad, "'\xC5\x82' (U+0142) at character 4");
  EXPECT_FALSE(EncodeAnsi("ab\xE2\x82\xAC", kAsciiOnly, &out, &bad));
  EXPECT_EQ(bad, "'\xE2\x82\xAC' (U+20AC) at character 3");
}

TEST(CodePage, DoubleByteTextDecodesWholeAndBadBytesBecomeReplacements) {
  // A lone lead byte at the end, and a byte that no 932 character uses.
  EXPECT_EQ(DecodeAnsi("\x95\x5C\x95", 932), "\xE8\xA1\xA8\xEF\xBF\xBD");
  EXPECT_EQ(DecodeAnsi("a\xA0z", 932), "a\xEF\xBF\xBDz");
  EXPECT_TRUE(IsDoubleByteCodePage(950));
  EXPECT_FALSE(IsDoubleByteCodePage(1251));
  for (uint32_t cp : {874u, 932u, 936u, 949u, 950u, 1250u, 1258u, 65001u})
    EXPECT_TRUE(IsKnownCodePage(cp)) << cp;
  for (uint32_t cp : {437u, 1200u, 1249u, 1259u, 20127u}) EXPECT_FALSE(IsKnownCodePage(cp)) << cp;
}

TEST(CodePage, Every1252ByteDecodesAndEncodesBack) {
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    std::string again, bad;
    ASSERT_TRUE(EncodeAnsi(DecodeAnsi(byte, kWindows1252), kWindows1252, &again, &bad)) << b;
    EXPECT_EQ(again, byte) << b;
  }
  EXPECT_EQ(DecodeAnsi("\x80", kWindows1252), "\xE2\x82\xAC");
}

TEST(CodePage, IllFormedUtf8DecodesToReplacementCharacters) {
  EXPECT_EQ(DecodeAnsi("a\xE9z", kUtf8), "a\xEF\xBF\xBDz");
  EXPECT_EQ(DecodeAnsi("\xE6\x97", kUtf8), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
  EXPECT_EQ(DecodeAnsi("\xC0\xAF", kUtf8), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(DecodeAnsi("Caf\xC3\xA9", kUtf8), "Caf\xC3\xA9");
}

// What makes a name show other than it is; "" where nothing does. Each row
// names what the message must hold (every part of it), or nothing.
struct ScreenRow {
  const char* name;
  const char* utf8;
  std::vector<std::string> told;
};

const ScreenRow kScreen[] = {
    {"latin", "C:\\Program Files\\Example App\\app.exe", {}},
    {"accented_latin", "Café Déjà Vu", {}},
    {"greek_product", "Ελληνικά Εργαλεία 2", {}},
    {"cyrillic_product", "Программа", {}},
    {"scripts_in_separate_words", "Example Программа Ελληνικά", {}},
    {"scripts_across_a_separator", "C:\\Apps\\Программа\\bin", {}},
    {"right_to_left_override", "Spoof\u202Egnp.exe", {"U+202E RIGHT-TO-LEFT OVERRIDE", "bidirectional"}},
    {"zero_width_space", "app\u200B.exe", {"U+200B ZERO WIDTH SPACE", "no width"}},
    {"byte_order_mark_inside", "a\uFEFFb", {"U+FEFF ZERO WIDTH NO-BREAK SPACE"}},
    {"cyrillic_a_in_a_latin_word", "C:\\P\u0430ypal\\x.exe",
     {"Cyrillic", "U+0430", "\"P\u0430ypal\""}},
    {"greek_omicron_in_a_latin_word", "Micr\u03BFsoft Office", {"Greek", "U+03BF"}},
    {"latin_o_in_a_cyrillic_word", "\u041Fpo\u0433\u0440\u0430\u043C\u043C\u0430", {"Cyrillic"}},
    // A hidden character joins the word around it, and each kind is told.
    {"all_at_once", "P\u200D\u0430y\u202Epal\u202E",
     {"U+200D ZERO WIDTH JOINER", "U+202E", "Cyrillic", " and "}},
};

TEST(ScreenText, NamesThatShowOtherThanTheyAre) {
  for (const ScreenRow& row : kScreen) {
    SCOPED_TRACE(row.name);
    const std::string message = MisleadingName(row.utf8);
    if (row.told.empty()) {
      EXPECT_EQ(message, "");
      continue;
    }
    for (const std::string& part : row.told) {
      EXPECT_NE(message.find(part), std::string::npos) << message;
    }
  }
}

TEST(ScreenText, EveryBidirectionalControlAndZeroWidthCharacterIsNamed) {
  const uint32_t hidden[] = {0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068,
                             0x2069, 0x200E, 0x200F, 0x061C, 0x200B, 0x200C, 0x200D, 0x2060,
                             0xFEFF};
  for (uint32_t c : hidden) {
    SCOPED_TRACE(c);
    ASSERT_NE(HiddenCharacterName(c), nullptr);
    // As UTF-8 between two letters.
    std::string text = "a";
    if (c < 0x800) {
      text += static_cast<char>(0xC0 | (c >> 6));
    } else {
      text += static_cast<char>(0xE0 | (c >> 12));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    text += static_cast<char>(0x80 | (c & 0x3F));
    text += "b";
    EXPECT_NE(MisleadingName(text).find(HiddenCharacterName(c)), std::string::npos);
  }
  // Their neighbours are not.
  for (uint32_t c : {0x2029u, 0x202Fu, 0x2065u, 0x206Au, 0x200Au, 0x2061u, 0x061Bu, 0xFEFEu}) {
    EXPECT_EQ(HiddenCharacterName(c), nullptr) << c;
  }
}

}  // namespace
}  // namespace kivlog

namespace kivlog {
namespace {

// kivlog reads where a record's path starts as the stub does
// (base/path_rules.h); these are the paths the two once disagreed on, and
// the current drive's root, which names no one place and kivlog refuses.
TEST(Rules, AFullPathIsWhatTheStubReadsAsOne) {
  EXPECT_TRUE(IsFullPath("\\\\?\\Volume{1b3d5f70-0000-0000-0000-100000000000}\\App"));
  EXPECT_TRUE(IsFullPath("\\\\?\\C:"));
  EXPECT_TRUE(IsFullPath("\\\\?\\UNC\\server\\share\\App"));
  EXPECT_TRUE(IsFullPath("C:/App"));
  EXPECT_FALSE(IsFullPath("\\App"));
  EXPECT_FALSE(IsFullPath("C:App"));
  EXPECT_FALSE(IsFullPath("\\\\server"));
}

}  // namespace
}  // namespace kivlog
