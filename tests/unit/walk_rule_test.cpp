// What a record's outcome means to the whole run, and what the run then does
// with the registration and the uninstall file.
#include "run/walk_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

// Every outcome, once as a deletion and once as a restore of saved content.
TEST(WalkRule, EveryOutcomeHasItsClass) {
  const struct {
    Undone what;
    Left as_deletion;
    Left as_restore;
  } rows[] = {
      {Undone::kNoAction, Left::kNothing, Left::kNothing},
      {Undone::kRemoved, Left::kNothing, Left::kNothing},
      {Undone::kRestored, Left::kNothing, Left::kNothing},
      // Its key, folder or file gone: nothing of the product is left there.
      {Undone::kAlreadyGone, Left::kNothing, Left::kNothing},
      {Undone::kKeptNotEmpty, Left::kHarmless, Left::kHoldingData},
      {Undone::kGoesWithUninstallFile, Left::kHarmless, Left::kHoldingData},
      // A read-only file is never forced: kept, or (to restore) not put back.
      {Undone::kKeptReadOnly, Left::kHarmless, Left::kHoldingData},
      {Undone::kGoesAtRestart, Left::kAtRestart, Left::kAtRestart},
      {Undone::kGoesAtRestartInPlace, Left::kAtRestart, Left::kAtRestart},
      // What would be put back over the uninstall file or the running
      // program is an older copy of the program, not the user's.
      {Undone::kProtected, Left::kHarmless, Left::kHarmless},
      // A restore passed over loses nothing only while the log is kept.
      {Undone::kReport, Left::kHarmless, Left::kHoldingData},
      {Undone::kThroughLink, Left::kHarmless, Left::kHoldingData},
      {Undone::kRefused, Left::kHarmless, Left::kHoldingData},
      {Undone::kUnsafeName, Left::kHarmless, Left::kHoldingData},
      {Undone::kUnspellable, Left::kHarmless, Left::kHoldingData},
      {Undone::kCannotTell, Left::kHarmless, Left::kHoldingData},
      // Another product's file, or one the user edited: kept, and the
      // product may still leave the list.
      {Undone::kRemovedUncounted, Left::kNothing, Left::kNothing},
      {Undone::kKeptShared, Left::kHarmless, Left::kHoldingData},
      {Undone::kKeptChanged, Left::kHarmless, Left::kHoldingData},
      {Undone::kCannotCompare, Left::kHarmless, Left::kHoldingData},
      {Undone::kFailed, Left::kRefused, Left::kHoldingData},
  };
  static_assert(sizeof(rows) / sizeof(rows[0]) == static_cast<uint32_t>(Undone::kFailed) + 1,
                "a row for every outcome");
  for (const auto& row : rows) {
    const int what = static_cast<int>(row.what);
    EXPECT_EQ(LeftBy(row.what, false), row.as_deletion) << "outcome " << what;
    EXPECT_EQ(LeftBy(row.what, true), row.as_restore) << "outcome " << what;
  }
}

// The run's result from what its records left; "unlist" is the last box's
// Yes or /FORCE.
TEST(WalkRule, TheRunsResultFollowsWhatIsLeft) {
  const struct {
    const char* name;
    uint32_t nothing, at_restart, harmless, refused, holding;
    bool unlist;
    RunOutcome outcome;
    bool unregister;
    FileFate file;
    uint32_t silent_code;
  } rows[] = {
      {"all done", 5, 0, 0, 0, 0, false, RunOutcome::kDone, true, FileFate::kDeleted, 0},
      {"an empty log", 0, 0, 0, 0, 0, false, RunOutcome::kDone, true, FileFate::kDeleted, 0},
      {"harmless leftovers", 3, 0, 2, 0, 0, false, RunOutcome::kDone, true, FileFate::kDeleted,
       0},
      {"a held file", 3, 1, 2, 0, 0, false, RunOutcome::kRestartNeeded, true,
       FileFate::kDeleted, 3010},
      {"a refused deletion", 3, 1, 0, 1, 0, false, RunOutcome::kIncomplete, false,
       FileFate::kKept, 1603},
      {"a restore not done", 3, 0, 0, 0, 1, false, RunOutcome::kIncomplete, false,
       FileFate::kKept, 1603},
      {"a refused deletion, unlisted", 3, 0, 0, 1, 0, true, RunOutcome::kDone, true,
       FileFate::kRenamed, 0},
      {"a restore not done, unlisted, held file", 0, 1, 0, 0, 2, true,
       RunOutcome::kRestartNeeded, true, FileFate::kRenamed, 3010},
      // Nothing left to keep: /FORCE changes nothing.
      {"all done, unlisted", 2, 0, 1, 0, 0, true, RunOutcome::kDone, true, FileFate::kDeleted, 0},
  };
  for (const auto& row : rows) {
    WalkCounts counts;
    const struct {
      Left left;
      uint32_t n;
    } adds[] = {{Left::kNothing, row.nothing},
                {Left::kAtRestart, row.at_restart},
                {Left::kHarmless, row.harmless},
                {Left::kRefused, row.refused},
                {Left::kHoldingData, row.holding}};
    for (const auto& add : adds) {
      for (uint32_t i = 0; i < add.n; ++i) counts.Add(add.left);
    }
    const WalkResult result = ResultOf(counts, row.unlist);
    EXPECT_EQ(result.outcome, row.outcome) << row.name;
    EXPECT_EQ(result.unregister, row.unregister) << row.name;
    EXPECT_EQ(result.file, row.file) << row.name;
    EXPECT_EQ(ExitCodeFor(result.outcome, true, Mode::kUninstall), row.silent_code) << row.name;
    // Without /S a run keeps its historical code, whatever it left.
    EXPECT_EQ(ExitCodeFor(result.outcome, false, Mode::kUninstall), kExitUninstallEntered)
        << row.name;
  }
}

TEST(WalkRule, TheUnlistedFileKeepsAProgramsName) {
  const struct {
    const char* path;
    const char* kept_as;
  } rows[] = {
      {"C:\\App\\unins000.exe", "C:\\App\\unins000.left.exe"},
      {"C:\\App\\UNINST.EXE", "C:\\App\\UNINST.left.exe"},
      {"C:\\App\\uninst", "C:\\App\\uninst.left.exe"},
      {"C:\\App.exe\\u.dat", "C:\\App.exe\\u.dat.left.exe"},
      {"exe", "exe.left.exe"},
  };
  for (const auto& row : rows) {
    PathString out;
    ASSERT_TRUE(UnlistedFileName(row.path, &out)) << row.path;
    EXPECT_EQ(std::string(out.c_str()), row.kept_as);
  }
  // One that would not fit is refused, with nothing half made.
  const std::string fits(PathString::capacity() - 1 - 9, 'a');  // then ".left.exe"
  PathString out;
  EXPECT_TRUE(UnlistedFileName((fits + ".exe").c_str(), &out));
  EXPECT_FALSE(UnlistedFileName((fits + "a.exe").c_str(), &out));
}

}  // namespace
}  // namespace kiv
