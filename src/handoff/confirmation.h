// The confirmation mode: the program started with an empty command line.
// Asks the user and hands the rest to a temporary copy of itself started in
// the uninstall mode; the product's registration goes once that walk has
// undone every record (run/registration.h).
#ifndef KIV_HANDOFF_CONFIRMATION_H_
#define KIV_HANDOFF_CONFIRMATION_H_

#include <stdint.h>


namespace kiv {

inline constexpr unsigned kPromptResourceId = 1;

enum class Confirmation {
  kDeclined,   // the answer was No: nothing changed
  kDamaged,    // the file was damaged (the message shown): nothing changed
  kHandedOff,  // confirmed: a temporary copy started
  kRunHere,    // confirmed, but no copy could be made or started: the
               // uninstall runs in this process, on its own file
};

struct HandoffOptions {
  // No question (it counts as Yes); the copy runs silent too, and this
  // process waits for its outcome.
  bool silent = false;
  // What the copy's line holds after its own path: the switches and own's
  // path, proven to read back unchanged (MakeHandoffRemainder).
  const char* remainder = "";
  // The run lock's handle, which the copy inherits.
  void* lock = nullptr;
};

// own: the program's own file, the uninstall file (empty when its name could
// not be had: then it counts as damaged). *walk_code receives the copy's
// exit code when a silent run was handed off (kExitFailed when the copy
// ended without telling it).
Confirmation ConfirmationMode(const char* own, int show_code, const HandoffOptions& options,
                              uint32_t* walk_code);

}  // namespace kiv

#endif  // KIV_HANDOFF_CONFIRMATION_H_
