// The product's uninstall registration: the keys under which Windows lists
// the product, named after its display name. They go only once a walk has
// undone every record, so a run that failed leaves the product listed and
// its uninstall command working for the run that finishes it.
#ifndef KIV_RUN_REGISTRATION_H_
#define KIV_RUN_REGISTRATION_H_

#include <stdint.h>

#include "uninstall_file/names.h"

namespace kiv {

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

// Deletes the registration keys of display_name (a name the reader proved
// sound: not empty, no backslash), in this order: its two subkeys, then
// the key itself.
void RemoveRegistration(const char* display_name);

}  // namespace kiv

#endif  // KIV_RUN_REGISTRATION_H_
