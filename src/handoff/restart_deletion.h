// Deletion of a file at the next system start, on both platform families.
#ifndef KIV_HANDOFF_RESTART_DELETION_H_
#define KIV_HANDOFF_RESTART_DELETION_H_

namespace kiv {

// NT family: MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT.
// 95 family: NUL=<short path> as the first entry of [Rename] in the Windows
// directory's WININIT.INI, through the profile-section editor.
// True when the deletion was registered (on the 95 family: when the short
// path was obtained, as WININIT.INI's own outcome is not told).
bool ScheduleRestartDeletion(const char* path);

}  // namespace kiv

#endif  // KIV_HANDOFF_RESTART_DELETION_H_
