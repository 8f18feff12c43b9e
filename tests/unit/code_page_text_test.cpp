// Files that name the code page of their text: the record's place, the code
// pages taken, and text that is not well formed in the named code page.
#include "base/code_page_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_files.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"

namespace kiv {
namespace {

using testing_support::MemorySource;
using testing_support::VectorSink;

constexpr uint32_t kImage = 64;

TEST(TextCheck, JudgesEachCodePageByItsOwnRules) {
  const struct {
    const char* name;
    uint32_t code_page;
    std::string text;
    bool well_formed;
  } kRows[] = {
      {"ascii", 65001, "C:\\App", true},
      {"cyrillic_greek_japanese", 65001, "\xD0\x9F\xCE\xB1\xE8\xA1\xA8", true},
      {"outside_the_bmp", 65001, "\xF0\x9F\x98\x80", true},
      {"last_letter_u10ffff", 65001, "\xF4\x8F\xBF\xBF", true},
      {"past_u10ffff", 65001, "\xF4\x90\x80\x80", false},
      {"f5_lead", 65001, "\xF5\x80\x80\x80", false},
      {"overlong_slash_2", 65001, "\xC0\xAF", false},
      {"overlong_c1", 65001, "\xC1\xBF", false},
      {"overlong_3", 65001, "\xE0\x80\xAF", false},
      {"overlong_4", 65001, "\xF0\x8F\xBF\xBF", false},
      {"surrogate_high", 65001, "\xED\xA0\x80", false},
      {"surrogate_low", 65001, "\xED\xBF\xBF", false},
      {"last_before_surrogates", 65001, "\xED\x9F\xBF", true},
      {"lone_continuation", 65001, "a\x80", false},
      {"cut_letter_at_end", 65001, "\xE8\xA1", false},
      {"letter_cut_by_ascii", 65001, "\xE8" "a\xA8", false},
      // 表 is 95 5C: the 0x5C is a second byte.
      {"cp932_5c_second_byte", 932, "\x95\x5C", true},
      {"cp932_lead_at_end", 932, "A\x95", false},
      {"cp932_lead_then_control", 932, "\x95\x1F", false},
      {"cp932_half_width_kana", 932, "\xB1\xB2", true},
      {"cp949_bad_second", 949, "\xB0\x5C", false},
      {"cp950_5c_second", 950, "\xA5\x5C", true},
      {"cp936_5c_second", 936, "\x81\x5C", true},
      {"single_byte_any_byte", 1252, "\x81\x8D\xFF", true},
      {"single_byte_1251", 1251, "\xCF\xF0", true},
  };
  for (const auto& row : kRows) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(row.text.data());
    const uint32_t n = static_cast<uint32_t>(row.text.size());
    EXPECT_EQ(IsWellFormed(row.code_page, bytes, n), row.well_formed) << row.name;
    // Fed a byte at a time, as the check meets a string across the ends of
    // its window, the verdict is the same.
    TextCheck piecewise(row.code_page);
    for (uint32_t i = 0; i < n; ++i) piecewise.Feed(bytes + i, 1);
    EXPECT_EQ(piecewise.Complete(), row.well_formed) << row.name << " byte by byte";
  }
}

TEST(TextCheck, KnowsTheCodePagesAFileMayName) {
  for (uint32_t cp : {874u, 932u, 936u, 949u, 950u, 1250u, 1258u, 65001u}) {
    EXPECT_TRUE(IsNamedCodePage(cp)) << cp;
  }
  for (uint32_t cp : {0u, 437u, 850u, 1200u, 1249u, 1259u, 65000u, 65002u}) {
    EXPECT_FALSE(IsNamedCodePage(cp)) << cp;
  }
  EXPECT_TRUE(LeadsDoubleByte(932, 0x95));
  EXPECT_FALSE(LeadsDoubleByte(932, 0xB1));  // a half-width letter of its own
  EXPECT_FALSE(LeadsDoubleByte(65001, 0xE8));
  EXPECT_FALSE(LeadsDoubleByte(1252, 0x95));
}

// A file of one directory record and the display name, written with writer
// calls given as a function (the code-page record where each row puts it).
template <typename Make>
std::vector<uint8_t> File(Make make, const char* name) {
  VectorSink sink(kImage);
  LogWriter w(sink);
  make(w);
  w.Finish(name);
  return sink.bytes;
}

uint8_t g_code_page[4];
const uint8_t* CodePage(uint32_t cp) {
  StoreU32(g_code_page, cp);
  return g_code_page;
}

TEST(MarkedFile, TheRecordsPlaceAndTheTextDecideWhetherItIsSound) {
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    LeadByteTest system;  // the reader's own lead-byte test
    Damage want;
    uint32_t code_page;  // what the reader then says
  } kRows[] = {
      {"utf8_names",
       File([](LogWriter& w) {
         w.BeginInCodePage(65001);
         w.AddDirectory("C:\\\xD0\x9F\xCE\xB1\xE8\xA1\xA8\xF0\x9F\x98\x80");
       }, "\xD0\x9F \xF0\x9F\x98\x80"),
       nullptr, Damage::kNone, 65001},
      {"cp932_name_with_5c_second_byte_on_a_western_system",
       File([](LogWriter& w) {
         w.BeginInCodePage(932);
         w.AddDirectory("C:\\\x95\x5C");
       }, "\x95\x5C\x8E\xA6"),
       nullptr, Damage::kNone, 932},
      {"unmarked_keeps_the_system_judgement",
       File([](LogWriter& w) {
         w.Begin();
         w.AddDirectory("C:\\\x95\x5C");
       }, "\x95\x5C\x8E\xA6"),
       nullptr, Damage::kNameInvalid, 0},
      // E3 81 82 is あ in UTF-8; a 932 system reads E3 81 and 82 5C as two
      // letters and so misses the backslash: the file's code page finds it.
      {"utf8_backslash_a_932_system_would_miss",
       File([](LogWriter& w) {
         w.BeginInCodePage(65001);
         w.AddDirectory("C:\\a");
       }, "\xE3\x81\x82\\x"),
       [](uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); },
       Damage::kNameInvalid, 0},
      {"surrogate_in_a_path",
       File([](LogWriter& w) {
         w.BeginInCodePage(65001);
         w.AddDirectory("C:\\\xED\xA0\x80");
       }, "App"),
       nullptr, Damage::kTextMalformed, 0},
      {"overlong_in_registry_data",
       File([](LogWriter& w) {
         w.BeginInCodePage(65001);
         w.AddRegistryValue("HKEY_CURRENT_USER", "Software\\A\\v", "\xC0\xAF");
       }, "App"),
       nullptr, Damage::kTextMalformed, 0},
      {"malformed_display_name",
       File([](LogWriter& w) {
         w.BeginInCodePage(65001);
         w.AddDirectory("C:\\a");
       }, "App\xE8\xA1"),
       nullptr, Damage::kTextMalformed, 0},
      {"cp932_lead_byte_cut_by_the_nul",
       File([](LogWriter& w) {
         w.BeginInCodePage(932);
         w.AddDirectory("C:\\\x95");
       }, "App"),
       nullptr, Damage::kTextMalformed, 0},
      // In a single-byte code page every byte is a letter.
      {"cp1252_any_byte",
       File([](LogWriter& w) {
         w.BeginInCodePage(1252);
         w.AddDirectory("C:\\\x81\xFF");
       }, "Caf\xE9"),
       nullptr, Damage::kNone, 1252},
      {"record_after_a_directory",
       File([](LogWriter& w) {
         w.Begin();
         w.AddDirectory("C:\\a");
         w.AddRaw(kCodePageType, CodePage(65001), 4);
       }, "App"),
       nullptr, Damage::kCodePagePlace, 0},
      {"two_records",
       File([](LogWriter& w) {
         w.BeginInCodePage(65001);
         w.AddRaw(kCodePageType, CodePage(65001), 4);
       }, "App"),
       nullptr, Damage::kCodePagePlace, 0},
      {"code_page_437",
       File([](LogWriter& w) {
         w.Begin();
         w.AddRaw(kCodePageType, CodePage(437), 4);
       }, "App"),
       nullptr, Damage::kCodePageUnknown, 0},
      {"payload_cut_by_the_trailer",
       [] {
         VectorSink sink(kImage);
         LogWriter w(sink);
         w.Begin();
         w.AddRaw(kCodePageType, "\xE9\xFD", 2);
         w.FinishRaw(kImage + 6, w.last_record(), kSignature);
         return sink.bytes;
       }(),
       nullptr, Damage::kPayloadOutside, 0},
  };
  for (const auto& row : kRows) {
    MemorySource file(row.file);
    LogReader reader(file, row.system);
    EXPECT_EQ(reader.CheckChain().damage, row.want) << row.name;
    EXPECT_EQ(reader.code_page(), row.code_page) << row.name;
  }
}

// The walk meets the code-page record between the last record and the
// type-0 record: any reader that proves the whole chain reads its type, 9,
// and one that knows only types 0 to 8 (every stub before it) calls the file
// damaged before it acts on a name.
TEST(MarkedFile, EveryWalkOfTheChainMeetsTheRecordBeforeItsEnd) {
  VectorSink sink(kImage);
  LogWriter w(sink);
  ASSERT_TRUE(w.BeginInCodePage(65001));
  ASSERT_TRUE(w.AddDirectory("C:\\\xD0\x9F"));
  ASSERT_TRUE(w.Finish("App"));
  MemorySource file(sink.bytes);
  LogReader reader(file);
  ASSERT_EQ(reader.CheckChain().damage, Damage::kNone);
  std::vector<uint16_t> types;
  for (;;) {
    const uint16_t type = reader.NextRecord();
    types.push_back(type);
    if (type == 0 || type == LogReader::kUnreadableType) break;
  }
  EXPECT_EQ(types, (std::vector<uint16_t>{1, kCodePageType, 0}));
  EXPECT_GT(kCodePageType, 8);  // the last type the earlier stubs take
  // The file's text is read only after the check: the directory's name
  // comes back as written.
  MemorySource again(sink.bytes);
  LogReader walk(again);
  ASSERT_EQ(walk.CheckChain().damage, Damage::kNone);
  ASSERT_EQ(walk.NextRecord(), 1);
  char path[kStringLimit];
  ASSERT_TRUE(walk.ReadString(path, sizeof(path)));
  EXPECT_STREQ(path, "C:\\\xD0\x9F");
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

TEST(Utf8ToUtf16, GivesEachLetterItsUnitsAndRefusesWhatDoesNotFit) {
  uint16_t out[8];
  // П α 表 and U+1F600 as its surrogate pair.
  ASSERT_EQ(Utf8ToUtf16("\xD0\x9F\xCE\xB1\xE8\xA1\xA8\xF0\x9F\x98\x80", out, 8), 5u);
  const uint16_t want[] = {0x041F, 0x03B1, 0x8868, 0xD83D, 0xDE00, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], want[i]) << i;
  // Exactly fits: four units and the NUL in five; the pair is not split.
  EXPECT_EQ(Utf8ToUtf16("ab\xF0\x9F\x98\x80", out, 5), 4u);
  EXPECT_EQ(Utf8ToUtf16("abc\xF0\x9F\x98\x80", out, 5), 0u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80", out, 8), 0u);  // a surrogate on its own
  EXPECT_EQ(Utf8ToUtf16("", out, 8), 0u);
}

}  // namespace
}  // namespace kiv
