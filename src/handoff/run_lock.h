// One uninstall per uninstall file at a time, and the hand-over between the
// two processes of a run.
//
// The lock is a named object that stands while any process holds a handle
// to it, named after the uninstall file's full path (its short form, in
// capitals, so every spelling of one file meets). The confirmation takes it
// before the file check and the question; the copy it starts inherits the
// handle, so the lock passes to the copy with no gap, and it ends with the
// last of the two processes. A process that is stopped drops it with its
// handles, so a run that was killed never blocks the next one.
//
// The copy learns that it is the heir from an environment variable the
// confirmation sets for it alone. For a silent run the variable also names
// the write end of a pipe: the copy writes its outcome there once the walk
// is over, and the confirmation, waiting on the read end, ends with it. A
// copy that dies closes its end, which ends the wait as well.
#ifndef KIV_HANDOFF_RUN_LOCK_H_
#define KIV_HANDOFF_RUN_LOCK_H_

#include <stdint.h>

#include "base/fixed_string.h"

namespace kiv {

inline constexpr char kHandoffVariable[] = "KIV_UNINSTALL_HANDOFF";

// The lock's name for a path already made full, short and capitals.
void RunLockName(const char* canonical, ShortString* name);

// Takes the lock for the uninstall file at path. heir: this process was
// started by the hand-off, whose lock it holds already. False when another
// run holds it.
bool TakeRunLock(const char* path, bool heir);

// The confirmation's side of the hand-over.
class HandoffSender {
 public:
  HandoffSender() = default;
  ~HandoffSender() { Abandon(); }
  HandoffSender(const HandoffSender&) = delete;
  HandoffSender& operator=(const HandoffSender&) = delete;

  // Sets the variable for the process about to be started; with
  // wait_for_outcome, makes the pipe it will report on. False when the pipe
  // or the variable cannot be made.
  bool Prepare(bool wait_for_outcome);
  // The copy has started: our write end is closed (so its death ends the
  // wait) and the variable removed.
  void Started();
  // No copy was started: everything made is dropped.
  void Abandon();
  // Waits until the copy reports (or ends without a word: if_silent).
  uint32_t WaitForOutcome(uint32_t if_silent);

 private:
  void* read_ = nullptr;
  void* write_ = nullptr;
};

// The copy's side: whether it is the heir, and where its outcome goes.
struct Handoff {
  bool heir = false;
  void* outcome_pipe = nullptr;
};
// Reads and removes the variable.
Handoff TakeHandoff();
// Tells the waiting confirmation the outcome, once; closes the pipe.
void SendOutcome(Handoff& handoff, uint32_t code);

}  // namespace kiv

#endif  // KIV_HANDOFF_RUN_LOCK_H_
