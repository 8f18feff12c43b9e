// Names in any script, on either family: ctest runs this suite in the NT
// prefix (e2e_unicode: the Unicode calls) and in the one that reports
// Windows 98 (e2e_unicode_win98: what its code page spells is undone, the
// rest passed over and reported). The cases of one family alone skip on the
// other.
#include "unicode_scenarios.h"

#include "platform/win32.h"

namespace kiv::e2e {
namespace {

bool NtFamily() { return !platform::IsWindows95Family(); }

TEST(Unicode, AUtf8ProductIsUndoneWhereTheSystemCanSpellIt) {
  UnicodeProductIsUndone(/*nt_family=*/NtFamily());
}

TEST(Unicode, ACodePage932FileIsUndoneOnA1252System) {
  if (!NtFamily()) GTEST_SKIP() << "the NT family's calls";
  CodePage932ProductIsUndone();
}

TEST(Unicode, TheRestartManagerIsAskedAboutAHeldFileByItsOwnName) {
  if (!NtFamily()) GTEST_SKIP() << "the NT family's calls";
  HeldFileWithAGreekNameIsAskedAbout();
}

TEST(Unicode, TheRestartManagerIsAskedAboutAHeldFilePastMaxPath) {
  if (!NtFamily()) GTEST_SKIP() << "the NT family's calls";
  HeldFileWithAGreekNameIsAskedAbout(/*past_max_path=*/true);
}

TEST(Unicode, APathOver260CharactersIsUndoneAsTheFamilyCan) {
  LongPathProductIsUndone(/*nt_family=*/NtFamily());
}

// Wine takes paths past MAX_PATH in the plain W calls too, so the nest above
// would go without the "\\?\\" form: which form a name goes in is shown
// here, by what GetFullPathNameW makes of it (it keeps that form).
TEST(Unicode, OnlyALongPathAsTheSystemReadsItGoesInTheLiteralForm) {
  if (!NtFamily()) GTEST_SKIP() << "the NT family's calls";
  std::string nest = "C:\\kivtest";
  while (FromUtf8(nest).size() < 300) nest += "\\Каталог";  // letters, not bytes
  const struct {
    const char* name;
    std::string path;
    std::string want;  // empty: anything but the literal form
  } kRows[] = {
      {"short", "C:\\kivtest\\Каталог", "C:\\kivtest\\Каталог"},
      {"long", nest, "\\\\?\\" + nest},
      {"long_share", "\\\\server\\share" + nest.substr(2),
       "\\\\?\\UNC\\server\\share" + nest.substr(2)},
      {"long_already_literal", "\\\\?\\" + nest, "\\\\?\\" + nest},
      {"long_with_a_dot_dot_part", nest + "\\..\\x", ""},
      {"long_with_a_slash", nest + "/x", ""},
  };
  ASSERT_TRUE(platform::SetNamesCodePage(65001));
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    char full[1100] = {};
    platform::FullPathName(row.path.c_str(), full, sizeof(full));
    if (row.want.empty()) {
      EXPECT_NE(std::string(full).rfind("\\\\?\\", 0), 0u) << full;
    } else {
      EXPECT_EQ(std::string(full), row.want);
    }
  }
  platform::SetNamesCodePage(0);
}

}  // namespace
}  // namespace kiv::e2e
