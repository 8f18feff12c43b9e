// The process entry: picks the mode from the command line.
//   no path    -> confirmation mode (ask, unregister, hand off to a copy)
//   a path     -> uninstall mode on the uninstall file it names
// Switches (/S, /LOG=) may come first, in either mode.
//
// This is the image's entry point itself: the stub links no C runtime
// start-up (-nostartfiles), which would bring in argument parsing, stdio
// and exit handling that nothing here uses. Nothing in the stub needs a
// static constructor or an exit handler, and none would run.
#include <windows.h>

#include "entry/exit_codes.h"
#include "handoff/confirmation.h"
#include "handoff/restart_deletion.h"
#include "handoff/handoff_channel.h"
#include "handoff/run_lock.h"
#include "handoff/temporary_copy.h"
#include "platform/win32.h"
#include "run/command_line.h"
#include "run/uninstall_run.h"

namespace {

constexpr char kBusyMessage[] = "An uninstall of this product is already running.";
constexpr char kUnknownSwitchMessage[] =
    "Unknown switch: %s\r\n\r\n"
    "/S\tno message; the exit code tells the outcome\r\n"
    "/LOG=file\ta report of the run";

// The hand-off this process came with, if it is the copy of a confirmation.
kiv::Handoff g_handoff;

bool ScheduleDeletion(const char* path) {
  return kiv::IsScheduled(kiv::ScheduleRestartDeletion(path));
}

void TellWaitingConfirmation(kiv::RunOutcome outcome) {
  kiv::SendOutcome(g_handoff, kiv::ExitCodeOf(outcome, true));
}

// What the uninstall mode needs of the hand-off.
constexpr kiv::RunHooks kRunHooks = {kiv::ScheduleOwnTemporaryCopyDeletion, TellWaitingConfirmation,
                                     ScheduleDeletion};

void ShowUnknownSwitch(const char* word) {
  kiv::ShortString shown;
  shown.AppendN(word, kiv::WordLength(word) < 64 ? kiv::WordLength(word) : 64);
  kiv::LongString text;
  if (kiv::Format1(text, kUnknownSwitchMessage, shown.c_str())) {
    kiv::platform::ShowMessage(text.c_str(), kiv::platform::kBoxOk | kiv::platform::kIconError);
  }
}

void ShowBusy() {
  kiv::platform::ShowMessage(kBusyMessage, kiv::platform::kBoxOk | kiv::platform::kIconExclamation);
}

uint32_t UninstallMode(const char* path, const kiv::RunOptions& options) {
  g_handoff = kiv::TakeHandoff();
  void* lock = nullptr;
  const kiv::LockTaken taken = kiv::TakeRunLock(path, g_handoff.lock, &lock);
  // A hand-off whose lock is not the lock of this file proves nothing: its
  // pipe is nobody's to write.
  if (lock == nullptr || lock != g_handoff.lock) g_handoff.outcome_pipe = nullptr;
  if (taken == kiv::LockTaken::kBusy) {
    ShowBusy();
    return options.silent ? kiv::kExitAlreadyRunning : kiv::kExitUninstallEntered;
  }
  return kiv::ExitCodeOf(kiv::UninstallRun(path, kRunHooks, options), options.silent);
}

uint32_t ConfirmationFlow(const kiv::RunOptions& options) {
  kiv::LongString own;
  if (!kiv::platform::ModuleFileName(own.data(), own.capacity())) own.Clear();
  // What the copy is to read, proven before anything changes: the
  // registration never goes unless the walk can start with these switches.
  kiv::HandoffRemainder remainder;
  if (!kiv::MakeHandoffRemainder(options.silent, options.report, own.c_str(),
                                 kiv::platform::IsLeadByte, &remainder)) {
    ShowUnknownSwitch(options.report ? options.report : own.c_str());
    return kiv::kExitUnknownSwitch;
  }
  void* lock = nullptr;
  if (!own.empty() && kiv::TakeRunLock(own.c_str(), nullptr, &lock) == kiv::LockTaken::kBusy) {
    ShowBusy();
    return options.silent ? kiv::kExitAlreadyRunning : kiv::kExitNoAction;
  }
  uint32_t walk_code = kiv::kExitFailed;
  switch (kiv::ConfirmationMode(own.c_str(), kiv::platform::StartupShowCode(),
                                {options.silent, remainder.c_str(), lock}, &walk_code)) {
    case kiv::Confirmation::kDeclined: return kiv::kExitNoAction;
    case kiv::Confirmation::kDamaged: {
      const uint32_t code = options.silent ? kiv::kExitFailed : kiv::kExitNoAction;
      kiv::ReportDamaged(options.report, own.c_str(), code);
      return code;
    }
    case kiv::Confirmation::kHandedOff:
      return options.silent ? walk_code : kiv::kExitUninstallEntered;
    case kiv::Confirmation::kRunHere:
      // Our own file, running, cannot be deleted: the run's held-file hook
      // schedules it for the next start.
      if (own.empty()) return options.silent ? kiv::kExitFailed : kiv::kExitUninstallEntered;
      return kiv::ExitCodeOf(kiv::UninstallRun(own.c_str(), kRunHooks, options), options.silent);
  }
  return kiv::kExitUninstallEntered;
}

uint32_t Run() {
  // Before anything can load a DLL by name from the directory we run in.
  kiv::platform::HardenDllSearch();
  kiv::platform::SetInstance(GetModuleHandleA(nullptr));
  const char* remainder =
      kiv::CommandLineRemainder(kiv::platform::CommandLine(), kiv::platform::IsLeadByte);
  const kiv::Switches switches = kiv::ParseSwitches(remainder, kiv::platform::IsLeadByte);
  if (switches.silent) kiv::platform::SuppressMessages();
  if (switches.unknown) {
    ShowUnknownSwitch(switches.unknown);
    return kiv::kExitUnknownSwitch;
  }
  // The report's path made full here: the copy runs in another directory.
  kiv::LongString report;
  if (!switches.log.empty() &&
      !kiv::platform::FullPathName(switches.log.c_str(), report.data(), report.capacity())) {
    // The copy runs in another directory: a path that cannot be made full
    // here would name another file there.
    ShowUnknownSwitch(switches.log.c_str());
    return kiv::kExitUnknownSwitch;
  }
  const kiv::RunOptions options = {switches.silent, report.empty() ? nullptr : report.c_str()};
  if (*switches.path != '\0') return UninstallMode(switches.path, options);
  return ConfirmationFlow(options);
}

}  // namespace

// The name the linker takes as a GUI program's entry point. The system calls
// it with a stack only 4-byte aligned on i686, so it realigns; it never
// returns (ExitProcess). The program is compiled whole (-fwhole-program):
// this is the one name the linker must still see.
extern "C" __attribute__((force_align_arg_pointer, externally_visible)) void WinMainCRTStartup() {
  ExitProcess(static_cast<UINT>(Run()));
}
