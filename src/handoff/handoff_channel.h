// The hand-over between the two processes of a run.
//
// The copy learns that it is the heir from an environment variable the
// confirmation sets for it alone. The variable names the run lock's handle,
// which the copy inherits (run_lock.h): honoured only when that handle is
// the lock of the file the copy is to walk, so a variable set by anyone
// else skips no lock. For a silent run it also names the write end of a
// pipe: the copy writes its outcome there once the walk is over, and the
// confirmation, waiting on the read end, ends with it. A copy that dies
// closes its end, which ends the wait as well.
#ifndef KIV_HANDOFF_HANDOFF_CHANNEL_H_
#define KIV_HANDOFF_HANDOFF_CHANNEL_H_

#include <stdint.h>

namespace kiv {

inline constexpr char kHandoffVariable[] = "KIV_UNINSTALL_HANDOFF";

// The confirmation's side of the hand-over.
class HandoffSender {
 public:
  HandoffSender() = default;
  ~HandoffSender() { Abandon(); }
  HandoffSender(const HandoffSender&) = delete;
  HandoffSender& operator=(const HandoffSender&) = delete;

  // Sets the variable for the process about to be started, naming lock (the
  // run lock's inheritable handle); with wait_for_outcome, makes the pipe it
  // will report on. False when the pipe or the variable cannot be made.
  bool Prepare(void* lock, bool wait_for_outcome);
  // The copy has started: our write end is closed (so its death ends the
  // wait) and the variable removed.
  void Started();
  // No copy was started: everything made is dropped.
  void Abandon();
  // Waits until the copy reports; no_word when it ended without one.
  uint32_t WaitForOutcome(uint32_t no_word);

 private:
  void* read_ = nullptr;
  void* write_ = nullptr;
};

// The copy's side: the lock handle passed (null: no hand-off), and where its
// outcome goes.
struct Handoff {
  void* lock = nullptr;
  void* outcome_pipe = nullptr;
};
// Reads and removes the variable. A value of any other form is no hand-off.
Handoff TakeHandoff();
// Tells the waiting confirmation the outcome, once; closes the pipe.
void SendOutcome(Handoff& handoff, uint32_t code);

}  // namespace kiv

#endif  // KIV_HANDOFF_HANDOFF_CHANNEL_H_
