// What a walk may call complete, on the 95 family (the prefix reports
// Windows 98). Its file identities are spellings, so another drive letter
// for the same file is not looked at here.
#include "complete_walk_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(SavedContent95, AReportOverAFileTheLogPutsBackIsRefusedBeforeAnythingChanges) {
  ReportOverARestoredFileIsRefused(/*other_drive_row=*/false);
}

TEST(SavedContent95, ARefusedRestoreKeepsTheUninstallFileAndTheLastBoxUnlistsWithItKept) {
  RefusedRestoreKeepsWhatItSaved(/*by_switch=*/false);
}

TEST(SavedContent95, ForceUnlistsARefusedRestoreWithTheUninstallFileKept) {
  RefusedRestoreKeepsWhatItSaved(/*by_switch=*/true);
}

TEST(AlreadyGone95, AKeyAndAFolderTheUserDeletedAreGoneAndNothingIsMadeAnew) {
  for (bool silent : {true, false}) WhatIsGoneWithItsContainerIsAlreadyGone(silent);
}

TEST(AlreadyGone95, PlanAndRunAgreeOnAWinIniSectionKeptElsewhere) {
  WinIniSectionKeptElsewhereIsDecidedAlike();
}

}  // namespace
}  // namespace kiv::e2e
