// The confirmation mode: the program started with an empty command line.
// Asks the user, removes the product's uninstall registration and hands the
// rest to a temporary copy of itself started in the uninstall mode.
#ifndef KIV_HANDOFF_CONFIRMATION_H_
#define KIV_HANDOFF_CONFIRMATION_H_

#include "entry/exit_codes.h"

namespace kiv {

inline constexpr unsigned kPromptResourceId = 1;
inline constexpr char kUninstallKeyFormat[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";

enum class Confirmation {
  kDeclined,   // the file was damaged (the message shown) or the answer was No:
               // nothing changed
  kHandedOff,  // confirmed: registration removed, a temporary copy started
  kRunHere,    // confirmed, but no copy could be made or started: the
               // uninstall runs in this process, on its own file
};

Confirmation ConfirmationMode(int show_code);

}  // namespace kiv

#endif  // KIV_HANDOFF_CONFIRMATION_H_
