// The uninstall mode: walk the log from the last record back to the first,
// undo each record, then remove the uninstall file and its directory.
#ifndef KIV_RUN_UNINSTALL_RUN_H_
#define KIV_RUN_UNINSTALL_RUN_H_

namespace kiv {

inline constexpr char kDamagedMessage[] = "The uninstall file was damaged.";
inline constexpr char kSuccessMessage[] = "Uninstall was succesful";

void ShowDamagedMessage();

// The uninstall file at path is proved sound as a whole before anything is
// changed; a damaged one shows the damaged-file message and changes nothing.
void UninstallRun(const char* path);

}  // namespace kiv

#endif  // KIV_RUN_UNINSTALL_RUN_H_
