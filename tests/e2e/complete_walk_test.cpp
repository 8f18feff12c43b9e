// What a walk may call complete, on the NT family.
#include "complete_walk_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(SavedContent, AReportOverAFileTheLogPutsBackIsRefusedBeforeAnythingChanges) {
  ReportOverARestoredFileIsRefused(/*other_drive_row=*/true);
}

TEST(SavedContent, ARefusedRestoreKeepsTheUninstallFileAndTheLastBoxUnlistsWithItKept) {
  RefusedRestoreKeepsWhatItSaved(/*by_switch=*/false);
}

TEST(SavedContent, ForceUnlistsARefusedRestoreWithTheUninstallFileKept) {
  RefusedRestoreKeepsWhatItSaved(/*by_switch=*/true);
}

TEST(AlreadyGone, AKeyAndAFolderTheUserDeletedAreGoneAndNothingIsMadeAnew) {
  for (bool silent : {true, false}) WhatIsGoneWithItsContainerIsAlreadyGone(silent);
}

TEST(AlreadyGone, PlanAndRunAgreeOnAWinIniSectionKeptElsewhere) {
  WinIniSectionKeptElsewhereIsDecidedAlike();
}

}  // namespace
}  // namespace kiv::e2e
