// What a record's outcome means to the whole run, and what the run then does
// with the registration and the uninstall file: one rule, which the walk,
// its plan (/PLAN) and the report all read.
//
// The rule never loses the user's data: the uninstall file is deleted only
// when no record left content that was saved in it and not put back. And it
// never leaves a product that no run can take off the list: a walk that left
// something may be unlisted anyway, on request, and the uninstall file then
// stays beside what is left under another name (UnlistedFileName).
//
// Pure: no <windows.h>, host-tested.
#ifndef KIV_RUN_WALK_RULE_H_
#define KIV_RUN_WALK_RULE_H_

#include <stdint.h>

#include "base/exit_codes.h"
#include "base/fixed_string.h"
#include "run/undo_step.h"

namespace kiv {

// What a record leaves behind.
enum class Left : uint8_t {
  kNothing,      // done: removed, restored, already gone, or nothing asked
  kAtRestart,    // done when the system next starts (a held file)
  kHarmless,     // a deletion passed over or kept: a leftover the report names
  kRefused,      // a deletion the system refused (access denied, ...)
  kHoldingData,  // a restore not done: the uninstall file holds the only copy
};

// restores: the record puts back content saved in the log (a replaced file,
// an INI value, a registry value), as UndoStep::restores says.
constexpr Left LeftBy(Undone what, bool restores) {
  switch (what) {
    case Undone::kNoAction:
    case Undone::kRemoved:
    case Undone::kRemovedUncounted:
    case Undone::kRestored:
    case Undone::kAlreadyGone: return Left::kNothing;
    case Undone::kGoesAtRestart:
    case Undone::kGoesAtRestartInPlace: return Left::kAtRestart;
    case Undone::kFailed: return restores ? Left::kHoldingData : Left::kRefused;
    // What a record would put back over the uninstall file or the program
    // running the walk is an older copy of the program, never the user's.
    case Undone::kProtected: return Left::kHarmless;
    default: return restores ? Left::kHoldingData : Left::kHarmless;
  }
}

// How many records of each kind a walk left.
struct WalkCounts {
  uint32_t by_left[5] = {};
  constexpr void Add(Left left) { ++by_left[static_cast<uint32_t>(left)]; }
  constexpr uint32_t of(Left left) const { return by_left[static_cast<uint32_t>(left)]; }
};

// What becomes of the uninstall file at the end of a walk.
enum class FileFate : uint8_t {
  kDeleted,   // with its directory, if that is then empty
  kKept,      // at its path, for the run that finishes the walk
  kRenamed,   // kept beside what is left, at UnlistedFileName: off the list
};

struct WalkResult {
  // kDone, kRestartNeeded or kIncomplete; the exit code is
  // ExitCodeFor(outcome, ...).
  RunOutcome outcome;
  bool unregister;  // the registration goes
  FileFate file;
};

// unlist_anyway: the user (the last box) or a deployment tool (/FORCE) asked
// to take the product off the list even though something is left.
//  - Only done or harmless records: complete. The registration and the
//    uninstall file go; 0 (3010 when a held file goes at the next start).
//  - A refused deletion or a restore not done: incomplete, 1603. The
//    registration and the uninstall file stay, so the next run finishes.
//  - The same with unlist_anyway: the registration goes and the uninstall
//    file stays under another name, so nothing saved in it is lost; the run
//    ends as a complete one (0 or 3010), its report naming what is left.
constexpr WalkResult ResultOf(const WalkCounts& counts, bool unlist_anyway) {
  const RunOutcome finished =
      counts.of(Left::kAtRestart) > 0 ? RunOutcome::kRestartNeeded : RunOutcome::kDone;
  if (counts.of(Left::kRefused) + counts.of(Left::kHoldingData) == 0) {
    return {finished, true, FileFate::kDeleted};
  }
  if (unlist_anyway) return {finished, true, FileFate::kRenamed};
  return {RunOutcome::kIncomplete, false, FileFate::kKept};
}

// The name an uninstall file unlisted with something left is kept under: its
// own, with ".exe" at the end (any case) taken off, then ".left.exe" (so it
// still starts as a program, to finish the uninstall later). False when it
// does not fit.
inline bool UnlistedFileName(const char* path, PathString* out) {
  const uint32_t n = LengthWithin(path, PathString::capacity());
  const uint32_t keep = n >= 4 && EqualsIgnoreAsciiCase(path + n - 4, ".exe", 4) ? n - 4 : n;
  out->Clear();
  return out->AppendN(path, keep) && out->Append(".left.exe");
}

}  // namespace kiv

#endif  // KIV_RUN_WALK_RULE_H_
