// The stub's exit codes, the one list of them: what the process tells
// whoever started it. A code keeps its meaning for good; a new outcome gets
// a new number. No <windows.h>, so the tests that start the stub compare
// against these very names.
#ifndef KIV_ENTRY_EXIT_CODES_H_
#define KIV_ENTRY_EXIT_CODES_H_

#include <stdint.h>

namespace kiv {

enum ExitCode : uint32_t {
  // The confirmation ended without action: its own file was damaged or the
  // user answered No. Nothing was changed.
  kExitNoAction = 0,
  // The uninstall mode was entered: handed to a temporary copy, run in this
  // process, or started on the file the command line names (also when that
  // file proved damaged and nothing was changed).
  kExitUninstallEntered = 1,
};

}  // namespace kiv

#endif  // KIV_ENTRY_EXIT_CODES_H_
