#include "handoff/restart_deletion.h"

#include "ini/profile_editor.h"
#include "base/fixed_string.h"
#include "platform/win32.h"

namespace kiv {

RestartDeletion ScheduleRestartDeletion(const char* path) {
  if (!platform::IsWindows95Family()) {
    return platform::DeleteAtRestartNt(path) ? RestartDeletion::kListedNt
                                             : RestartDeletion::kRefused;
  }
  // WININIT.INI is processed before long names exist: it needs the 8.3 form.
  ShortString short_path;
  if (!platform::ShortPathName(path, short_path.data(), short_path.capacity())) {
    return RestartDeletion::kNoShortPath;
  }
  ShortString wininit;
  if (!platform::WindowsDirectory(wininit.data(), wininit.capacity()) ||
      !wininit.Append("\\WININIT.INI") ||
      !AddProfileEntry("Rename", "NUL", short_path.c_str(), wininit.c_str())) {
    return RestartDeletion::kWininitUnchanged;
  }
  return RestartDeletion::kWrittenToWininit;
}

}  // namespace kiv
