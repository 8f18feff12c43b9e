// The stub's exit codes, the one list of them: what the process tells
// whoever started it. A code keeps its meaning for good; a new outcome gets
// a new number. No <windows.h>, so the tests that start the stub compare
// against these very names.
//
// A run without /S ends with 0 or 1, as it always has; a silent run (/S)
// ends with the codes deployment tools know from the system installer. A
// switch the program does not know ends every run with 1639.
#ifndef KIV_ENTRY_EXIT_CODES_H_
#define KIV_ENTRY_EXIT_CODES_H_

#include <stdint.h>

namespace kiv {

enum ExitCode : uint32_t {
  // Without /S: the confirmation ended without action: its own file was
  // damaged, the user answered No, or another uninstall of it was running.
  // Nothing was changed.
  kExitNoAction = 0,
  // Without /S: the uninstall mode was entered: handed to a temporary copy,
  // run in this process, or started on the file the command line names (also
  // when that file proved damaged and nothing was changed).
  kExitUninstallEntered = 1,

  // With /S: every record was undone (or found already undone).
  kExitDone = 0,
  // With /S: as kExitDone, but a product file held open goes only at the
  // next start of the system.
  kExitRestartNeeded = 3010,
  // With /S: the uninstall file was damaged or unreadable (nothing changed),
  // a record could not be undone (the report names it), or the walking copy
  // ended before it could tell its outcome.
  kExitFailed = 1603,
  // With /S: another uninstall of the same uninstall file is running;
  // nothing changed.
  kExitAlreadyRunning = 1618,
  // Any run: a switch the program does not know; nothing changed.
  kExitUnknownSwitch = 1639,
};

}  // namespace kiv

#endif  // KIV_ENTRY_EXIT_CODES_H_
