// Deletion of a file at the next system start, on both platform families.
#ifndef KIV_HANDOFF_RESTART_DELETION_H_
#define KIV_HANDOFF_RESTART_DELETION_H_

namespace kiv {

// What a scheduling did.
enum class [[nodiscard]] RestartDeletion{
    kListedNt,          // on the NT family's list of operations at the next start
    kWrittenToWininit,  // 95 family: NUL=<short path> in WININIT.INI's [Rename]
    kNoShortPath,       // 95 family: the short path could not be had (the file
                        // is gone, or its name is too long); nothing written
    kWininitUnchanged,  // 95 family: WININIT.INI could not be edited
    kRefused,           // NT family: MoveFileExA refused it
};

inline bool IsScheduled(RestartDeletion outcome) {
  return outcome == RestartDeletion::kListedNt || outcome == RestartDeletion::kWrittenToWininit;
}

// NT family: MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT.
// 95 family: NUL=<short path> as the first entry of [Rename] in the Windows
// directory's WININIT.INI, through the profile-section editor.
RestartDeletion ScheduleRestartDeletion(const char* path);

}  // namespace kiv

#endif  // KIV_HANDOFF_RESTART_DELETION_H_
