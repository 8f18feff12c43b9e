// Unattended runs on the 95 family: the whole prefix reports Windows 98, so
// the copy is flat in the temporary directory and pending deletions go
// through WININIT.INI. The switch grammar and the report's lines do not
// depend on the family; the NT suite has them.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "unattended_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Family, PrefixIsTheWindows95Family) {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
}

TEST(Silent95, FirstProcessEndsWithZeroOnlyOnceTheProductIsGone) {
  SilentRunEndsAfterTheProductIsGone("unattended\\Silent");
}

TEST(Silent95, DamagedFileGives1603AndChangesNothing) {
  for (const Damage& damage : kDamages) {
    for (bool uninstall_mode : {false, true}) DamagedFileFailsSilently(damage, uninstall_mode);
  }
}

TEST(Silent95, HeldProductFileGives3010AndGoesThroughWininit) {
  HeldProductFileNeedsARestart([](const std::string& held) {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof(windows));
    char held_short[MAX_PATH];
    ASSERT_NE(GetShortPathNameA(held.c_str(), held_short, sizeof(held_short)), 0u);
    const std::string wininit = ReadFileBytes(std::string(windows) + "\\WININIT.INI");
    EXPECT_NE(wininit.find(std::string("NUL=") + held_short), std::string::npos) << wininit;
  }, "cannot tell (no Restart Manager)", /*directory_goes=*/false);
}

TEST(OneAtATime95, SecondSilentStartGives1618AndTheFirstCompletes) {
  SecondRunWhileTheFirstWalksIsRefused("unattended\\Busy", " /S", false, kExitAlreadyRunning, {});
}

TEST(Restart95, KilledUninstallStartedAgainFinishes) {
  KilledUninstallStartedAgainFinishes("unattended\\Killed");
}

// The 95 family renames a running program aside as well, and WININIT.INI
// deletes the renamed file; it deletes no directory, so the product's
// directory stays.
TEST(Silent, RunningProgramIsRenamedAsideAndItsPathIsFree) {
  RunningProgramIsRenamedAsideForTheRestart(/*reinstall=*/true, /*directories_go=*/false);
}

TEST(Silent, RunningProgramGoesAtTheRestartItsDirectoryStays) {
  RunningProgramIsRenamedAsideForTheRestart(/*reinstall=*/false, /*directories_go=*/false);
}

// The 95 family shows no link: the plan and the run see the same files.
// Program Manager records are left out here (see PlanForeseesTheRun).
TEST(Plan95, ChangesNothingAndForeseesTheRunRecordForRecord) {
  PlanForeseesTheRun(/*links_seen=*/false, /*program_manager=*/false);
}

TEST(Plan95, SilentPlanEndsWithTheRunsCode) { PlanExitCodesAreTheRunsCodes(); }

TEST(Report95, NameCannotWriteALineOfItsOwn) { ReportCannotBeMadeToShowAnotherOutcome(); }

TEST(Report95, FileNamingItsCodePageGetsAUtf8Report) {
  ReportOfAFileNamingItsCodePageIsUtf8(/*nt_family=*/false);
}

TEST(OneAtATime95, LockNamesTakenByOtherObjectsLeaveNoRunUnlocked) {
  LockNamesTakenByOtherObjectsLeaveNoRunUnlocked(/*nt_family=*/false);
}

class IniFold95 : public testing::TestWithParam<IniFoldCase> {};

TEST_P(IniFold95, LineIsComparedAsTheProfileFunctionsDo) {
  IniLineIsComparedAsTheProfileFunctionsDo(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, IniFold95, testing::ValuesIn(kIniFoldCases),
                         [](const testing::TestParamInfo<IniFoldCase>& info) {
                           return std::string(info.param.name);
                         });

class Fold95 : public testing::TestWithParam<FoldCase> {};

TEST_P(Fold95, PlanAndRunAgreeOnTheNamesOfAUtf8File) { PlanAndRunAgreeOnTheNamesOfAUtf8File(GetParam()); }

// Only the letters the 95 family's code page (1252) can spell.
INSTANTIATE_TEST_SUITE_P(Cases, Fold95, testing::Values(kFoldCases[1]),
                         [](const testing::TestParamInfo<FoldCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kiv::e2e
