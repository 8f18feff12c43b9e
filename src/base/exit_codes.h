// The stub's exit codes, the one list of them, and the one rule that picks
// a process's code from what became of its run. A code keeps its meaning for
// good; a new outcome gets a new number. No <windows.h>, so the tests that
// start the stub compare against these very names.
//
// A run without /S ends with 0 or 1, as it always has; a silent run (/S)
// ends with the codes deployment tools know from the system installer. A
// switch the program does not know ends every run with 1639.
#ifndef KIV_BASE_EXIT_CODES_H_
#define KIV_BASE_EXIT_CODES_H_

#include <stdint.h>

namespace kiv {

enum ExitCode : uint32_t {
  // Without /S: the confirmation ended without action (its own file was
  // damaged, the user answered No, or another uninstall of it was running;
  // nothing was changed). With /S: every record was undone (or found
  // already undone).
  kExitSuccess = 0,
  // Without /S: the uninstall mode was entered: handed to a temporary copy,
  // run in this process, or started on the file the command line names (also
  // when that file proved damaged, or another run of it held the lock, and
  // nothing was changed).
  kExitUninstallEntered = 1,
  // With /S: as kExitSuccess, but a product file held open goes only at the
  // next start of the system.
  kExitRestartNeeded = 3010,
  // With /S: the uninstall file was damaged or unreadable (nothing changed),
  // a record could not be undone (the report names it), or the walking copy
  // ended before it could tell its outcome.
  kExitFailed = 1603,
  // With /S: another uninstall of the same uninstall file is running;
  // nothing changed.
  kExitAlreadyRunning = 1618,
  // Any run: a switch the program does not know, or one that could not be
  // handed on unchanged; nothing changed.
  kExitUnknownSwitch = 1639,
  // A run without /S where nobody could see its boxes (a service, session 0
  // of Vista and later, a window station no user sees): it asked nothing and
  // changed nothing, as the system installer's "cancelled".
  kExitNoDesktop = 1602,
};

// What became of a run.
enum class RunOutcome {
  kDeclined,       // the answer was No: nothing changed
  kDamaged,        // the file was not sound: nothing changed
  kDone,           // every record undone (or found undone already)
  kRestartNeeded,  // as kDone, but a held product file goes at the next start
  kIncomplete,     // the walk ended, but a record could not be undone
  kBusy,           // another run of the same file holds the lock: nothing changed
  kUnknownSwitch,  // a switch that means nothing here: nothing changed
  kNoDesktop,      // no /S, and no box could be seen: nothing changed
};

// Which mode the process ran: the one started with no path (it asks), or the
// one started on an uninstall file's path (the copy, or a direct start).
enum class Mode { kConfirmation, kUninstall };

// The process's exit code.
constexpr uint32_t ExitCodeFor(RunOutcome outcome, bool silent, Mode mode) {
  if (outcome == RunOutcome::kUnknownSwitch) return kExitUnknownSwitch;
  if (outcome == RunOutcome::kNoDesktop) return kExitNoDesktop;
  if (!silent) {
    const bool nothing_done = outcome == RunOutcome::kDeclined ||
                              outcome == RunOutcome::kDamaged || outcome == RunOutcome::kBusy;
    return nothing_done && mode == Mode::kConfirmation ? kExitSuccess : kExitUninstallEntered;
  }
  switch (outcome) {
    case RunOutcome::kDeclined:
    case RunOutcome::kDone: return kExitSuccess;
    case RunOutcome::kRestartNeeded: return kExitRestartNeeded;
    case RunOutcome::kBusy: return kExitAlreadyRunning;
    case RunOutcome::kDamaged:
    case RunOutcome::kIncomplete:
    case RunOutcome::kUnknownSwitch:
    case RunOutcome::kNoDesktop: return kExitFailed;
  }
  return kExitFailed;
}

}  // namespace kiv

#endif  // KIV_BASE_EXIT_CODES_H_
