// The confirmation mode: the program started with an empty command line.
// Asks the user, removes the product's uninstall registration and hands the
// rest to a temporary copy of itself started in the uninstall mode.
#ifndef KIV_HANDOFF_CONFIRMATION_H_
#define KIV_HANDOFF_CONFIRMATION_H_

#include "run/exit_codes.h"

namespace kiv {

inline constexpr unsigned kPromptResourceId = 1;
inline constexpr char kUninstallKeyFormat[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";

// kExitNoAction when the file was damaged or the user declined (nothing
// changed), kExitUninstallEntered when the user confirmed.
ExitCode ConfirmationMode(int show_code);

}  // namespace kiv

#endif  // KIV_HANDOFF_CONFIRMATION_H_
