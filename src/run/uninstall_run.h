// The uninstall mode: walk the log from the last record back to the first,
// undo each record, then remove the uninstall file and its directory.
//
// What the mode needs of the hand-off (a temporary copy scheduling its own
// deletion, the restart deletion of a held file) comes in as hooks, which
// the entry fills: the walk never depends on how it was started.
#ifndef KIV_RUN_UNINSTALL_RUN_H_
#define KIV_RUN_UNINSTALL_RUN_H_

namespace kiv {

struct RunHooks {
  // Called first, on every way through the run: a temporary copy of the
  // program schedules itself for deletion at the next start.
  void (*starting)();
  // The uninstall file at path could not be deleted (still held open).
  void (*file_held)(const char* path);
};

enum class RunOutcome {
  kDamaged,   // the file was not sound: the damaged-file message, nothing changed
  kFinished,  // every record undone, the file and its directory removed
};

// The uninstall file at path is proved sound as a whole before anything is
// changed; a damaged one shows the damaged-file message and changes nothing.
RunOutcome UninstallRun(const char* path, const RunHooks& hooks);

}  // namespace kiv

#endif  // KIV_RUN_UNINSTALL_RUN_H_
