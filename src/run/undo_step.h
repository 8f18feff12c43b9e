// What the walk hands every record action, and what the action tells back:
// what became of the record (for the report and the exit code of a silent
// run) and, when a report is written, the record's names.
//
// Pure: no <windows.h>, so the host tests the actions that need no Windows.
#ifndef KIV_RUN_UNDO_STEP_H_
#define KIV_RUN_UNDO_STEP_H_

#include <stdint.h>

#include "base/fixed_string.h"

namespace kiv {

enum class Undone : uint8_t {
  kNoAction,       // a record that asks for nothing
  kRemoved,        // what the installer made is gone
  kRestored,       // what the installer replaced or changed is back
  kAlreadyGone,    // nothing was left to undo
  kKeptNotEmpty,   // a directory that holds what the product did not put there
  kGoesWithUninstallFile,  // a directory that holds nothing but the uninstall
                           // file: it goes right after the walk, with it
  kKeptReadOnly,   // a read-only file: never forced
  kGoesAtRestart,  // held open: renamed aside and scheduled for deletion at
                   // the next start; its path is free at once
  kGoesAtRestartInPlace,  // held open and not to be renamed: scheduled under
                          // its own path, which a reinstall before the next
                          // start would lose
  kProtected,      // names the uninstall file or the program running the walk
  kReport,         // names the report this run writes
  kThroughLink,    // a junction, mount point or symbolic link on its way
  kRefused,        // Program Manager did not take the command
  kUnsafeName,     // a Program Manager name its command syntax would misread
  kUnspellable,    // a name the system cannot spell (the 95 family, a name
                   // outside its code page): never acted on through a
                   // substitute letter
  kCannotTell,     // a plan only: a directory that holds what the plan can no
                   // longer tell gone or not (its table overflowed)
  kRemovedUncounted,  // a shared file removed because no valid count of its
                      // users was there (missing, not a REG_DWORD, or 0)
  kKeptShared,     // a shared file other products still use (others says
                   // how many): its count taken down by one
  kKeptChanged,    // a kept file whose content is not what was installed
  kCannotCompare,  // a line to cut from a configuration file whose names
                   // cannot be compared exactly with the record's: it stays
  kFailed,         // could not be undone: error holds the system's reason
};

// The system's error numbers the actions tell apart (winerror.h's values).
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidData = 13;  // also: a field that could not be read whole
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorLockViolation = 33;
inline constexpr uint32_t kErrorDirectoryNotEmpty = 145;

class PlanTable;
class ProtectedFiles;
class ScheduledFiles;

struct UndoStep {
  // In: the walk writes a report, so the action names its record in subject.
  bool describe = false;
  // In: the files no record may touch; null when there are none.
  const ProtectedFiles* protect = nullptr;
  // In: a file held open is scheduled for deletion at the next start through
  // this (true when scheduled); null: it stays, and that is a failure.
  bool (*schedule_held)(const char* path) = nullptr;
  // In: what this walk scheduled (renamed held files, then directories
  // that stay only because of them); null: not kept.
  ScheduledFiles* scheduled = nullptr;
  // In: a dry run (/PLAN). Each action asks what it always asks, decides
  // what it always decides, and says so; it only acts when plan is false.
  // The run and its plan cannot drift apart: they are one decision.
  bool plan = false;
  // In, with plan: what the plan counted gone so far, for what the run would
  // find gone by then (see PlanTable).
  PlanTable* planned = nullptr;
  // In: told the record's name once it is named, before the action acts on
  // it (what the progress window shows); null: nobody is told.
  void (*named)(const char* subject) = nullptr;

  // Out.
  Undone what = Undone::kNoAction;
  // The record puts back content the log saved (a replaced file, an INI or
  // registry value): not done, the uninstall file holds the only copy.
  bool restores = false;
  uint32_t error = 0;  // with kFailed
  uint32_t others = 0;  // with kKeptShared: the products still using it
  LongString subject;
  // A file something holds open, when the record is described: who holds
  // it (run/held_by.h); empty otherwise.
  ShortString held_by;

  void Reset() {
    what = Undone::kNoAction;
    restores = false;
    error = 0;
    others = 0;
    subject.Clear();
    held_by.Clear();
  }
  void Set(Undone done, uint32_t code = 0) {
    what = done;
    error = code;
  }
  // Names the record: the parts one after another, as far as they fit.
  void Describe(const char* a, const char* b = nullptr, const char* c = nullptr,
                const char* d = nullptr, const char* e = nullptr) {
    if (!describe) return;
    const char* parts[] = {a, b, c, d, e};
    for (const char* part : parts) {
      if (part != nullptr && !subject.Append(part)) break;
    }
    if (named) named(subject.c_str());
  }
};

}  // namespace kiv

#endif  // KIV_RUN_UNDO_STEP_H_
