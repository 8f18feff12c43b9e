// The process entry: picks the mode from the command line.
//   no path    -> confirmation mode: ask, then hand off to a temporary copy
//                 (or walk here when no copy can be made or started); with
//                 /PLAN, a plan of our own file, asking nothing and copying
//                 nothing
//   a path     -> uninstall mode on the uninstall file it names (the walk,
//                 then the registration once every record is undone)
// Switches (/S, /LOG=, /PLAN, /FORCE) come first, in either mode.
//
// This is the image's entry point itself: the stub links no C runtime
// start-up (-nostartfiles), which would bring in argument parsing, stdio
// and exit handling that nothing here uses. Nothing in the stub needs a
// static constructor or an exit handler, and none would run.
#include <windows.h>

#include "base/exit_codes.h"
#include "handoff/confirmation.h"
#include "handoff/restart_deletion.h"
#include "handoff/handoff_channel.h"
#include "handoff/run_lock.h"
#include "handoff/temporary_copy.h"
#include "platform/win32.h"
#include "run/command_line.h"
#include "run/desktop_policy.h"
#include "run/run_report.h"
#include "run/undo_step.h"
#include "run/uninstall_run.h"

// The error numbers the record actions tell apart, copied from <windows.h>
// into a header the host builds: checked here, where both are seen.
static_assert(kiv::kErrorFileNotFound == ERROR_FILE_NOT_FOUND &&
              kiv::kErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
              kiv::kErrorAccessDenied == ERROR_ACCESS_DENIED &&
              kiv::kErrorInvalidData == ERROR_INVALID_DATA &&
              kiv::kErrorSharingViolation == ERROR_SHARING_VIOLATION &&
              kiv::kErrorLockViolation == ERROR_LOCK_VIOLATION &&
              kiv::kErrorDirectoryNotEmpty == ERROR_DIR_NOT_EMPTY);

namespace {

constexpr char kRunHereNote[] =
    "no temporary copy could be made or started: this process undoes the records itself";
constexpr char kBusyMessage[] = "An uninstall of this product is already running.";
constexpr char kUnknownSwitchMessage[] = "Unknown switch: %s\r\n\r\n%s";

// The hand-off this process came with, if it is the copy of a confirmation.
kiv::Handoff g_handoff;

bool ScheduleDeletion(const char* path) {
  return kiv::IsScheduled(kiv::ScheduleRestartDeletion(path));
}

// The waiting confirmation ends with the code a silent walk ends with.
void TellWaitingConfirmation(kiv::RunOutcome outcome) {
  kiv::SendOutcome(g_handoff, kiv::ExitCodeFor(outcome, true, kiv::Mode::kUninstall));
}

// What the uninstall mode needs of the hand-off.
constexpr kiv::HandoffHooks kHandoffHooks = {kiv::ScheduleOwnTemporaryCopyDeletion,
                                             TellWaitingConfirmation, ScheduleDeletion};

void ShowUnknownSwitch(const char* word) {
  kiv::ShortString shown;
  shown.AppendN(word, kiv::WordLength(word) < 64 ? kiv::WordLength(word) : 64);
  kiv::LongString text;
  if (kiv::Format2(text, kUnknownSwitchMessage, shown.c_str(), kiv::kSwitchHelp)) {
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
  kiv::RunOutcome outcome = kiv::RunOutcome::kBusy;
  if (taken == kiv::LockTaken::kBusy) {
    ShowBusy();
  } else {
    outcome = kiv::UninstallRun(path, kHandoffHooks, options);
  }
  return kiv::ExitCodeFor(outcome, options.silent, kiv::Mode::kUninstall);
}

uint32_t ConfirmationFlow(const kiv::RunOptions& options) {
  const auto exit_code = [&](kiv::RunOutcome outcome, kiv::Mode mode) {
    return kiv::ExitCodeFor(outcome, options.silent, mode);
  };
  kiv::LongString own;
  if (!kiv::platform::ModuleFileName(own.data(), own.capacity())) own.Clear();
  if (options.plan) {
    // A plan asks nothing, makes no copy and removes no registration: this
    // process walks its own file, changing nothing, unless a run of it is
    // under way.
    void* lock = nullptr;
    if (own.empty()) return exit_code(kiv::RunOutcome::kDamaged, kiv::Mode::kUninstall);
    if (kiv::TakeRunLock(own.c_str(), nullptr, &lock) == kiv::LockTaken::kBusy) {
      ShowBusy();
      return exit_code(kiv::RunOutcome::kBusy, kiv::Mode::kUninstall);
    }
    return exit_code(kiv::UninstallRun(own.c_str(), kHandoffHooks, options), kiv::Mode::kUninstall);
  }
  // What the copy is to read, proven before anything changes: the
  // registration never goes unless the walk can start with these switches.
  kiv::HandoffRemainder remainder;
  if (!kiv::MakeHandoffRemainder(options, own.c_str(), kiv::platform::IsLeadByte, &remainder)) {
    ShowUnknownSwitch(options.report ? options.report : own.c_str());
    return exit_code(kiv::RunOutcome::kUnknownSwitch, kiv::Mode::kConfirmation);
  }
  void* lock = nullptr;
  if (!own.empty() && kiv::TakeRunLock(own.c_str(), nullptr, &lock) == kiv::LockTaken::kBusy) {
    ShowBusy();
    return exit_code(kiv::RunOutcome::kBusy, kiv::Mode::kConfirmation);
  }
  uint32_t walk_code = kiv::kExitFailed;
  switch (kiv::ConfirmationMode(own.c_str(), kiv::platform::StartupShowCode(),
                                {options.silent, remainder.c_str(), lock}, &walk_code)) {
    case kiv::Confirmation::kDeclined:
      return exit_code(kiv::RunOutcome::kDeclined, kiv::Mode::kConfirmation);
    case kiv::Confirmation::kDamaged: {
      const uint32_t code = exit_code(kiv::RunOutcome::kDamaged, kiv::Mode::kConfirmation);
      kiv::ReportNoWalk(options.report, own.c_str(), kiv::RunOutcome::kDamaged, nullptr, code);
      return code;
    }
    case kiv::Confirmation::kHandedOff:
      // Silent, the copy's own code, which it chose by the same rule.
      return options.silent ? walk_code : exit_code(kiv::RunOutcome::kDone, kiv::Mode::kUninstall);
    case kiv::Confirmation::kRunHere: {
      // Our own file, running, cannot be deleted: the run's held-file hook
      // schedules it for the next start.
      kiv::RunOptions here = options;
      here.note = kRunHereNote;
      return exit_code(own.empty() ? kiv::RunOutcome::kDamaged
                                   : kiv::UninstallRun(own.c_str(), kHandoffHooks, here),
                       kiv::Mode::kUninstall);
    }
  }
  return exit_code(kiv::RunOutcome::kDone, kiv::Mode::kUninstall);
}

uint32_t Run() {
  // Before anything can load a DLL by name from the directory we run in.
  kiv::platform::HardenDllSearch();
  kiv::platform::SetInstance(GetModuleHandleA(nullptr));
  const char* remainder =
      kiv::CommandLineRemainder(kiv::platform::CommandLine(), kiv::platform::IsLeadByte);
  const kiv::Switches switches = kiv::ParseSwitches(remainder, kiv::platform::IsLeadByte);
  // Without /S the run asks and tells in boxes; where nobody could see them
  // one would wait for ever. Then no box is shown at all, and nothing is
  // done (below).
  const bool boxes_seen =
      switches.run.silent || kiv::BoxesCanBeSeen(kiv::platform::ReadDesktopFacts());
  if (switches.run.silent || !boxes_seen) kiv::platform::SuppressMessages();
  // The report's path made full here: the copy runs in another directory,
  // where a path that cannot be made full here would name another file.
  kiv::LongString report;
  bool report_full =
      switches.log.empty() ||
      kiv::platform::FullPathName(switches.log.c_str(), report.data(), report.capacity());
  // The file the run was started on, else our own: what a report of a run
  // that walks nothing names, and what /LOG alone names its report after.
  kiv::LongString own;
  if (!kiv::platform::ModuleFileName(own.data(), own.capacity())) own.Clear();
  const char* started_on =
      *switches.path && kiv::platform::PathExists(switches.path) ? switches.path : own.c_str();
  if (switches.log_default) {
    report_full = kiv::DefaultReportPath(started_on, &report);
    if (!report_full) report.Clear();
  }
  kiv::RunOptions options = switches.run;
  // A passive run asks nothing; where nobody could see its window (a
  // service's window station, session 0), it walks without one: a window
  // there would only raise the system's warning about it.
  if (options.progress && !kiv::BoxesCanBeSeen(kiv::platform::ReadDesktopFacts())) {
    options.progress = false;
  }
  options.report = report.empty() ? nullptr : report.c_str();
  const kiv::Mode mode = *switches.path ? kiv::Mode::kUninstall : kiv::Mode::kConfirmation;
  // A run that ends before any walk: its code, and its report.
  const auto end_without_walk = [&](kiv::RunOutcome outcome, const char* word) {
    const uint32_t code = kiv::ExitCodeFor(outcome, options.silent, mode);
    kiv::ReportNoWalk(options.report, started_on, outcome, word, code);
    return code;
  };
  const auto unknown_switch = [&](const char* word) {
    ShowUnknownSwitch(word);
    return end_without_walk(kiv::RunOutcome::kUnknownSwitch, word);
  };
  if (switches.unknown) return unknown_switch(switches.unknown);
  if (!report_full) return unknown_switch(switches.log_default ? "/LOG" : switches.log.c_str());
  // A word after the switches that is neither a switch nor a file (a
  // habit such as REBOOT=ReallySuppress) is no uninstall file to call
  // damaged: it is unknown. A path from a root (a full path, or one from
  // the current drive's) stays a path, found or not, and so does a quoted
  // one (taken whole, it names no file: damaged).
  if (*switches.path && *switches.path != '"' &&
      kiv::ReadPathStart(switches.path, kiv::platform::IsLeadByte) == kiv::PathStart::kRelative &&
      !kiv::platform::PathExists(switches.path)) {
    return unknown_switch(switches.path);
  }
  // A report over a file the log puts back would destroy the only copy of
  // what the product replaced: refused before anything changes, and written
  // nowhere.
  if (options.report && kiv::RestoresFile(started_on, options.report)) {
    ShowUnknownSwitch(options.report);
    return kiv::ExitCodeFor(kiv::RunOutcome::kUnknownSwitch, options.silent, mode);
  }
  if (!boxes_seen) return end_without_walk(kiv::RunOutcome::kNoDesktop, nullptr);
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
