// The confirmation mode: the program started with an empty command line.
// Asks the user, removes the product's uninstall registration and hands the
// rest to a temporary copy of itself started in the uninstall mode.
#ifndef KIV_HANDOFF_CONFIRMATION_H_
#define KIV_HANDOFF_CONFIRMATION_H_

#include <stdint.h>

#include "uninstall_file/names.h"

namespace kiv {

inline constexpr unsigned kPromptResourceId = 1;
inline constexpr char kUninstallKeyFormat[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";
// Where the product's registration lies: the per-user stubs (built with
// KIV_PER_USER=1, manifest asInvoker) remove it from HKEY_CURRENT_USER and
// never touch HKEY_LOCAL_MACHINE, where a per-machine product of the same
// name keeps its own; the per-machine stubs the other way round. Each stub
// acts in its own registry view: the x86_64 ones in the 64-bit view, the
// i686 ones in the 32-bit view on 64-bit Windows (the view their installer
// wrote); the Uninstall key under HKEY_CURRENT_USER is one key in both.
#if defined(KIV_PER_USER) && KIV_PER_USER
inline constexpr uint32_t kRegistrationRoot = kCurrentUserRoot;
#else
inline constexpr uint32_t kRegistrationRoot = kLocalMachineRoot;
#endif

enum class Confirmation {
  kDeclined,   // the answer was No: nothing changed
  kDamaged,    // the file was damaged (the message shown): nothing changed
  kHandedOff,  // confirmed: registration removed, a temporary copy started
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
