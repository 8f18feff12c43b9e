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

// The switches ahead of the path: silent, the report's path, the path that
// follows, and the first word that is no known switch ("" for none).
struct SwitchRow {
  const char* name;
  const char* remainder;
  bool silent;
  const char* log;
  const char* path;
  const char* unknown;
};

const SwitchRow kSwitchRows[] = {
    {"no_switches_path_taken_whole", "C:\\My App\\u.exe ", false, "", "C:\\My App\\u.exe ", ""},
    {"empty", "", false, "", "", ""},
    {"silent_alone", "/S", true, "", "", ""},
    {"silent_in_small_letters", "/s", true, "", "", ""},
    {"silent_then_path_with_blanks", "/S C:\\My App\\u.exe", true, "", "C:\\My App\\u.exe", ""},
    {"tab_between_switch_and_path", "/S\tC:\\u.exe", true, "", "C:\\u.exe", ""},
    {"log_plain", "/LOG=C:\\r.txt", false, "C:\\r.txt", "", ""},
    {"log_quoted_with_blanks", "/log=\"C:\\a b\\r.txt\" /S", true, "C:\\a b\\r.txt", "", ""},
    {"log_quoted_then_path", "/S /LOG=\"C:\\a b\\r.txt\" C:\\P Q\\u.exe", true, "C:\\a b\\r.txt",
     "C:\\P Q\\u.exe", ""},
    {"log_quoted_with_a_trail_byte_of_quote_value", "/LOG=\"C:\\\x81\"x.txt\" /S", true,
     "C:\\\x81\"x.txt", "", ""},
    {"last_log_wins", "/LOG=a.txt /LOG=b.txt", false, "b.txt", "", ""},
    {"relative_log_kept_as_written", "/LOG=r.txt", false, "r.txt", "", ""},
    {"path_keeps_its_quotes", "/S \"C:\\u.exe\"", true, "", "\"C:\\u.exe\"", ""},
    {"unknown_switch", "/X C:\\u.exe", false, "", "C:\\u.exe", "/X C:\\u.exe"},
    {"unknown_after_silent", "/S /VERYSILE", true, "", "", "/VERYSILE"},
    {"silent_as_others_spell_it", "/SILENT /verysilent /SuppressMsgBoxes /quiet /qn", true, "", "",
     ""},
    {"norestart_accepted", "/norestart C:\\u.exe", false, "", "C:\\u.exe", ""},
    {"quoted_whole_log", "/S \"/LOG=C:\\Logs\\q q.txt\" C:\\u.exe", true, "C:\\Logs\\q q.txt",
     "C:\\u.exe", ""},
    {"quoted_whole_silent", "\"/S\"", true, "", "", ""},
    {"quoted_whole_unknown", "\"/X y\" /S", true, "", "", "\"/X y\" /S"},
    {"quoted_whole_log_empty", "\"/LOG=\"", false, "", "", "\"/LOG=\""},
    {"quoted_whole_not_closed", "\"/LOG=C:\\a b", false, "", "b", "\"/LOG=C:\\a b"},
    {"quoted_path_is_no_switch", "\"C:\\u.exe\"", false, "", "\"C:\\u.exe\"", ""},
    {"silent_after_unknown_still_read", "/X /S", true, "", "", "/X /S"},
    {"first_unknown_is_named", "/X /Y", false, "", "", "/X /Y"},
    {"switches_run_together", "/S/LOG=x", false, "", "", "/S/LOG=x"},
    {"silent_word_longer", "/SILENTLY", false, "", "", "/SILENTLY"},
    {"log_without_path", "/LOG= /S", true, "", "", "/LOG= /S"},
    {"log_with_empty_quotes", "/LOG=\"\"", false, "", "", "/LOG=\"\""},
    {"log_quote_not_closed", "/LOG=\"C:\\a b", false, "", "b", "/LOG=\"C:\\a b"},
    {"log_text_after_closing_quote", "/LOG=\"a\"b", false, "", "", "/LOG=\"a\"b"},
    {"bare_slash", "/", false, "", "", "/"},
    {"log_quote_inside_unquoted_path", "/LOG=C:\\r\"2.txt /S", true, "", "",
     "/LOG=C:\\r\"2.txt /S"},
};

// What each quiet switch leaves of the run's faces: a question and a last
// box only without any; the progress window also in the passive modes
// (installers' /SILENT shows progress, their /VERYSILENT nothing).
TEST(SwitchGrammar, QuietSwitchesPickQuestionWindowAndLastBox) {
  const struct {
    const char* remainder;
    bool boxes;   // the question and the last box
    bool window;  // the progress window of the walk
  } rows[] = {
      {"C:\\u.exe", true, true},
      {"/S", false, false},
      {"/VERYSILENT", false, false},
      {"/SUPPRESSMSGBOXES", false, false},
      {"/QUIET", false, false},
      {"/qn", false, false},
      {"/PASSIVE", false, true},
      {"/passive C:\\u.exe", false, true},
      {"/SILENT", false, true},
      {"/QB", false, true},
      {"/qb-", false, true},
      {"/QB!", false, true},
      {"\"/PASSIVE\"", false, true},
      {"/S /PASSIVE", false, true},  // a passive word asks for the window whatever else is there
      {"/PASSIVE /LOG=C:\\r.txt", false, true},
  };
  for (const auto& row : rows) {
    const Switches s = ParseSwitches(row.remainder, ShiftJisLike);
    EXPECT_EQ(s.unknown, nullptr) << row.remainder;
    EXPECT_EQ(!s.run.silent, row.boxes) << row.remainder;
    EXPECT_EQ(!s.run.silent || s.run.progress, row.window) << row.remainder;
  }
  // Near misses are unknown and show no window.
  for (const char* word : {"/QBX", "/PASSIVELY", "/Q", "/QB+"}) {
    const Switches s = ParseSwitches(word, ShiftJisLike);
    EXPECT_STREQ(s.unknown, word);
    EXPECT_FALSE(s.run.progress) << word;
  }
}

class SwitchGrammar : public testing::TestWithParam<SwitchRow> {};

TEST_P(SwitchGrammar, ReadsSwitchesBeforeThePath) {
  const SwitchRow& row = GetParam();
  const Switches s = ParseSwitches(row.remainder, ShiftJisLike);
  EXPECT_EQ(s.run.silent, row.silent);
  EXPECT_EQ(std::string(s.log.c_str()), row.log);
  EXPECT_EQ(std::string(s.path), row.path);
  EXPECT_EQ(std::string(s.unknown ? s.unknown : ""), row.unknown);
}

void PrintTo(const SwitchRow& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(Rows, SwitchGrammar, testing::ValuesIn(kSwitchRows),
                         [](const testing::TestParamInfo<SwitchRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(SwitchGrammar, ALogPathLongerThanItsBufferIsRefused) {
  const std::string line = "/LOG=" + std::string(LongString::capacity(), 'a');
  const Switches s = ParseSwitches(line.c_str(), ShiftJisLike);
  ASSERT_NE(s.unknown, nullptr);
  EXPECT_TRUE(s.log.empty());
}

TEST(SwitchGrammar, LogAloneAsksForTheReportWhereTheProgramPutsIt) {
  Switches s = ParseSwitches("/S /log C:\\u.exe", ShiftJisLike);
  EXPECT_TRUE(s.log_default);
  EXPECT_TRUE(s.log.empty());
  EXPECT_EQ(std::string(s.path), "C:\\u.exe");
  s = ParseSwitches("/LOG /LOG=r.txt", ShiftJisLike);  // the last one counts
  EXPECT_FALSE(s.log_default);
  EXPECT_EQ(std::string(s.log.c_str()), "r.txt");
  s = ParseSwitches("/LOGS", ShiftJisLike);
  EXPECT_FALSE(s.log_default);
  EXPECT_NE(s.unknown, nullptr);
}

TEST(SwitchGrammar, TheUnknownWordEndsAtItsBlank) {
  const Switches s = ParseSwitches("/S /Q C:\\u.exe", ShiftJisLike);
  ASSERT_NE(s.unknown, nullptr);
  EXPECT_EQ(std::string(s.unknown, WordLength(s.unknown)), "/Q");
}

// /PLAN in any case, quoted whole, with or without /S, in both modes; a
// longer or shorter word is no plan.
TEST(SwitchGrammar, PlanIsADryRunSwitch) {
  const struct {
    const char* remainder;
    bool plan;
    bool silent;
    const char* path;
    bool unknown;
  } rows[] = {
      {"/PLAN", true, false, "", false},
      {"/plan /S C:\\u.exe", true, true, "C:\\u.exe", false},
      {"/S \"/Plan\" /LOG=r.json", true, true, "", false},
      {"/PLANS", false, false, "", true},
      {"/PLA", false, false, "", true},
      {"/PLAN=1", false, false, "", true},
      {"C:\\P\\u.exe /PLAN", false, false, "C:\\P\\u.exe /PLAN", false},
  };
  for (const auto& row : rows) {
    const Switches s = ParseSwitches(row.remainder, ShiftJisLike);
    EXPECT_EQ(s.run.plan, row.plan) << row.remainder;
    EXPECT_EQ(s.run.silent, row.silent) << row.remainder;
    EXPECT_EQ(std::string(s.path), row.path) << row.remainder;
    EXPECT_EQ(s.unknown != nullptr, row.unknown) << row.remainder;
  }
}

// /FORCE in any case, quoted whole or not, beside the other switches; only
// the word itself.
TEST(SwitchGrammar, ForceUnlistsAnyway) {
  const struct {
    const char* remainder;
    bool force;
    bool unknown;
  } rows[] = {
      {"/FORCE", true, false},
      {"/S /force C:\\u.exe", true, false},
      {"\"/Force\" /LOG=r.txt", true, false},
      {"/FORCED", false, true},
      {"/FORCE=1", false, true},
      {"/S", false, false},
  };
  for (const auto& row : rows) {
    const Switches s = ParseSwitches(row.remainder, ShiftJisLike);
    EXPECT_EQ(s.run.unlist_anyway, row.force) << row.remainder;
    EXPECT_EQ(s.unknown != nullptr, row.unknown) << row.remainder;
  }
  // The copy reads it as the first process was given it.
  RunOptions options;
  options.silent = true;
  options.unlist_anyway = true;
  options.report = "C:\\Logs\\r.txt";
  HandoffRemainder remainder;
  ASSERT_TRUE(MakeHandoffRemainder(options, "C:\\P\\u.exe", ShiftJisLike, &remainder));
  EXPECT_EQ(std::string(remainder.c_str()), "/S /FORCE /LOG=\"C:\\Logs\\r.txt\" C:\\P\\u.exe");
  // A passive run's copy shows the window too; without silent, progress
  // means nothing (every run with boxes shows it).
  options.progress = true;
  ASSERT_TRUE(MakeHandoffRemainder(options, "C:\\P\\u.exe", ShiftJisLike, &remainder));
  EXPECT_EQ(std::string(remainder.c_str()),
            "/PASSIVE /FORCE /LOG=\"C:\\Logs\\r.txt\" C:\\P\\u.exe");
  const Switches copy = ParseSwitches(remainder.c_str(), ShiftJisLike);
  EXPECT_TRUE(copy.run.silent && copy.run.progress);
  options.silent = false;
  ASSERT_TRUE(MakeHandoffRemainder(options, "C:\\P\\u.exe", ShiftJisLike, &remainder));
  EXPECT_EQ(std::string(remainder.c_str()), "/FORCE /LOG=\"C:\\Logs\\r.txt\" C:\\P\\u.exe");
}

// What the first process hands its copy is read back as it was meant, or
// refused before anything changes.
TEST(HandoffRemainder, ReadsBackAsTheSwitchesWereMeant) {
  const struct {
    bool silent;
    const char* report;
    const char* own;
    bool handed_on;
    bool plan = false;
  } rows[] = {
      {true, "C:\\Logs\\a b.json", "C:\\P\\u.exe", true, true},
      {false, nullptr, "C:\\My App\\uninst.exe", true},
      {true, "C:\\Logs\\a b.txt", "C:\\P\\u.exe", true},
      {true, "C:\\\x81\"x.txt", "C:\\u.exe", true},  // the quote is a second byte
      {true, "C:\\r\"2.txt", "C:\\u.exe", false},
      {false, "C:\\r.txt", "/C:\\u.exe", false},  // a path read as a switch
      {false, nullptr, "", true},
  };
  for (const auto& row : rows) {
    HandoffRemainder remainder;
    const bool handed_on =
        MakeHandoffRemainder({row.silent, row.plan, row.report}, row.own, ShiftJisLike, &remainder);
    EXPECT_EQ(handed_on, row.handed_on) << remainder.c_str();
    if (!handed_on) continue;
    const Switches s = ParseSwitches(remainder.c_str(), ShiftJisLike);
    EXPECT_EQ(s.run.silent, row.silent);
    EXPECT_EQ(s.run.plan, row.plan);
    EXPECT_EQ(std::string(s.log.c_str()), row.report ? row.report : "");
    EXPECT_EQ(std::string(s.path), row.own);
    EXPECT_EQ(s.unknown, nullptr);
  }
}

}  // namespace
}  // namespace kiv
