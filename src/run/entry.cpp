// The process entry: picks the mode from the command line.
//   no remainder    -> confirmation mode (ask, unregister, hand off to a copy)
//   a remainder     -> uninstall mode on the uninstall file it names
#include <windows.h>

#include "handoff/confirmation.h"
#include "platform/win32.h"
#include "run/command_line.h"
#include "run/uninstall_run.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything can load a DLL by name from the directory we run in.
  kiv::platform::HardenDllSearch();
  kiv::platform::SetInstance(instance);
  const char* remainder =
      kiv::CommandLineRemainder(kiv::platform::CommandLine(), kiv::platform::IsLeadByte);
  if (*remainder != '\0') {
    kiv::UninstallRun(remainder);
    return 1;
  }
  return kiv::ConfirmationMode(kiv::platform::StartupShowCode());
}
