// The process entry: picks the mode from the command line.
//   no remainder    -> confirmation mode (ask, unregister, hand off to a copy)
//   a remainder     -> uninstall mode on the uninstall file it names
//
// This is the image's entry point itself: the stub links no C runtime
// start-up (-nostartfiles), which would bring in argument parsing, stdio
// and exit handling that nothing here uses. Nothing in the stub needs a
// static constructor or an exit handler, and none would run.
#include <windows.h>

#include "entry/exit_codes.h"
#include "handoff/confirmation.h"
#include "handoff/restart_deletion.h"
#include "handoff/temporary_copy.h"
#include "platform/win32.h"
#include "run/command_line.h"
#include "entry/exit_codes.h"
#include "run/uninstall_run.h"

namespace {

void ScheduleHeldFileDeletion(const char* path) {
  // Unscheduled, the file stays for the user to delete: every record is
  // undone all the same, and the run reports its success.
  static_cast<void>(kiv::ScheduleRestartDeletion(path));
}

// What the uninstall mode needs of the hand-off.
constexpr kiv::RunHooks kRunHooks = {kiv::ScheduleOwnTemporaryCopyDeletion,
                                     ScheduleHeldFileDeletion};

kiv::ExitCode Run() {
  // Before anything can load a DLL by name from the directory we run in.
  kiv::platform::HardenDllSearch();
  kiv::platform::SetInstance(GetModuleHandleA(nullptr));
  const char* remainder =
      kiv::CommandLineRemainder(kiv::platform::CommandLine(), kiv::platform::IsLeadByte);
  if (*remainder != '\0') {
    kiv::UninstallRun(remainder, kRunHooks);
    return kiv::kExitUninstallEntered;
  }
  switch (kiv::ConfirmationMode(kiv::platform::StartupShowCode())) {
    case kiv::Confirmation::kDeclined: return kiv::kExitNoAction;
    case kiv::Confirmation::kHandedOff: return kiv::kExitUninstallEntered;
    case kiv::Confirmation::kRunHere: {
      // Our own file, running, cannot be deleted: the run's held-file hook
      // schedules it for the next start.
      kiv::LongString own;
      if (kiv::platform::ModuleFileName(own.data(), own.capacity())) {
        kiv::UninstallRun(own.c_str(), kRunHooks);
      }
      return kiv::kExitUninstallEntered;
    }
  }
  return kiv::kExitUninstallEntered;
}

}  // namespace

// The name the linker takes as a GUI program's entry point. The system calls
// it with a stack only 4-byte aligned on i686, so it realigns; it never
// returns (ExitProcess).
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
  ExitProcess(static_cast<UINT>(Run()));
}
