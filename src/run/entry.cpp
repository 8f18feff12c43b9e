// The process entry: picks the mode from the command line.
//   no remainder    -> confirmation mode (ask, unregister, hand off to a copy)
//   a remainder     -> uninstall mode on the uninstall file it names
//
// This is the image's entry point itself: the stub links no C runtime
// start-up (-nostartfiles), which would bring in argument parsing, stdio
// and exit handling that nothing here uses. Nothing in the stub needs a
// static constructor or an exit handler, and none would run.
#include <windows.h>

#include "handoff/confirmation.h"
#include "platform/win32.h"
#include "run/command_line.h"
#include "run/exit_codes.h"
#include "run/uninstall_run.h"

namespace {

kiv::ExitCode Run() {
  // Before anything can load a DLL by name from the directory we run in.
  kiv::platform::HardenDllSearch();
  kiv::platform::SetInstance(GetModuleHandleA(nullptr));
  const char* remainder =
      kiv::CommandLineRemainder(kiv::platform::CommandLine(), kiv::platform::IsLeadByte);
  if (*remainder != '\0') {
    kiv::UninstallRun(remainder);
    return kiv::kExitUninstallEntered;
  }
  return kiv::ConfirmationMode(kiv::platform::StartupShowCode());
}

}  // namespace

// The name the linker takes as a GUI program's entry point. The system calls
// it with a stack only 4-byte aligned on i686, so it realigns; it never
// returns (ExitProcess).
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
  ExitProcess(static_cast<UINT>(Run()));
}
