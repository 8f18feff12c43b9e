// The product's uninstall registration: the keys under which Windows lists
// the product, named after its display name. They go only once a walk has
// undone every record, so a run that failed leaves the product listed and
// its uninstall command working for the run that finishes it.
#ifndef KIV_HANDOFF_REGISTRATION_H_
#define KIV_HANDOFF_REGISTRATION_H_

namespace kiv {

inline constexpr char kUninstallKeyFormat[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";

// Deletes the registration keys of display_name (a name the reader proved
// sound: not empty, no backslash), in this order: its two subkeys, then
// the key itself.
void RemoveRegistration(const char* display_name);

}  // namespace kiv

#endif  // KIV_HANDOFF_REGISTRATION_H_
