// The uninstall mode: walk the log from the last record back to the first,
// undo each record, then remove the registration (registration.h), the
// uninstall file and its directory.
//
// What the mode needs of the hand-off (a temporary copy scheduling its own
// deletion, telling a waiting confirmation the outcome, the restart deletion
// of a held file) comes in as HandoffHooks, which the entry fills: the walk
// never depends on how it was started.
#ifndef KIV_RUN_UNINSTALL_RUN_H_
#define KIV_RUN_UNINSTALL_RUN_H_

#include <stdint.h>

#include "base/exit_codes.h"
#include "run/command_line.h"

namespace kiv {

struct HandoffHooks {
  // Called first, on every way through the run: a temporary copy of the
  // program schedules itself for deletion at the next start.
  void (*starting)();
  // The outcome is known (the walk is over, or the file proved damaged);
  // called before the uninstall file is deleted.
  void (*walked)(RunOutcome outcome);
  // Schedules a file held open for deletion at the next start; true when it
  // was. Used for the uninstall file when it is still held after the walk,
  // and for product files (renamed aside first where they can be).
  bool (*schedule_deletion)(const char* path);
};

// The uninstall file at path is proved sound as a whole before anything is
// changed; a damaged one shows the damaged-file message and changes nothing.
// The outcome is kDamaged, kDone, kRestartNeeded or kIncomplete. A complete
// walk (kDone, kRestartNeeded) then removes the registration, the uninstall
// file and its directory, and says so; an incomplete one leaves all three,
// so that the next run finishes what is left, and its box names the first
// record that could not be undone.
RunOutcome UninstallRun(const char* path, const HandoffHooks& hooks, const RunOptions& options);

// True when a File record of the (sound) uninstall file puts back saved
// content at target, in any spelling of it (platform::IdentifyFile; a file
// that is not there yet by its full path). A report written there would
// destroy the only copy of what the product replaced.
bool RestoresFile(const char* uninstall_file, const char* target);

// The report of a run that walks nothing and ends with exit_code: a
// confirmation that found its own file (path) damaged, or a switch that
// means nothing (word, the unknown one; null when it is the outcome's own
// text that names it). The file's display name is given when it can be read.
void ReportNoWalk(const char* report, const char* path, RunOutcome outcome, const char* word,
                  uint32_t exit_code);

}  // namespace kiv

#endif  // KIV_RUN_UNINSTALL_RUN_H_
