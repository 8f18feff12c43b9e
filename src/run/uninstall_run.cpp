#include "run/uninstall_run.h"

#include "base/fixed_string.h"
#include "base/path_rules.h"
#include "base/decimal_text.h"
#include "base/exit_codes.h"
#include "platform/win32.h"
#include "run/delete_with_retry.h"
#include "run/plan_table.h"
#include "run/record_actions.h"
#include "run/run_report.h"
#include "uninstall_file/layout.h"
#include "uninstall_file/log_reader.h"

namespace kiv {

namespace {

void PumpAndWait(uint32_t pause_ms) { platform::PumpMessagesAndWait(pause_ms); }

// The uninstall file as the walk read it. Once the walk's outcome is told,
// a waiting deployment tool may install the product again at once, while
// this process still tries to delete the old file: only that file goes,
// never a new one at its path.
platform::FileStamp g_walked;
bool g_stamped = false;

bool DeleteWalkedFile(const char* path) {
  return g_stamped ? platform::DeleteFileIfStamped(path, g_walked) : platform::DeleteFilePath(path);
}

// Another file at the path counts as the walked one gone.
bool WalkedFileStands(const char* path) {
  return g_stamped ? platform::FileShowsStamp(path, g_walked) : platform::PathExists(path);
}

constexpr RetryHooks kRetryHooks = {DeleteWalkedFile, WalkedFileStands, platform::TickCount,
                                    PumpAndWait};

// What a plan counted gone, for the one walk of a process: zeros in static
// storage (.bss) that cost the file no bytes.
PlanTable g_planned;

struct WalkTally {
  uint32_t undone = 0;  // removed, restored, or found gone already
  uint32_t kept = 0;    // kept, passed over, refused, or (a plan) cannot tell
  uint32_t held = 0;    // product files that go at the next start
  uint32_t failed = 0;  // records that could not be undone
  ShortString first_failed;  // the first of them, named as the report names it
};

// Runs the walk; false when a record's type or header is not valid.
bool Walk(LogReader& reader, UndoStep& step, RunReport& report, WalkTally& tally) {
  for (;;) {
    const uint16_t type = reader.NextRecord();
    // The code page the file names was taken in by the check: no change.
    if (type == kCodePageType) continue;
    if (!IsValidType(type)) return false;
    step.Reset();
    platform::TakeUnspellable();
    // Every type of the layout has its case and none has a default: a type
    // added to the layout without an action here does not build.
    switch (static_cast<RecordType>(type)) {
      case RecordType::kEndOfLog: return true;
      case RecordType::kDirectory: UndoDirectory(reader, step); break;
      case RecordType::kFile: UndoFile(reader, step); break;
      case RecordType::kIniEntry: UndoIniEntry(reader, step); break;
      case RecordType::kRegistryValue: UndoRegistryValue(reader, step); break;
      case RecordType::kUnused5: break;
      case RecordType::kFont: UndoFont(reader, step); break;
      case RecordType::kShellItem: UndoShellItem(reader, step); break;
      case RecordType::kShellGroup: UndoShellGroup(reader, step); break;
    }
    // A name the system cannot spell is never tried through another: every
    // call that would have used it refused, and the record is passed over
    // (whatever the action made of the refusals).
    if (platform::TakeUnspellable()) step.Set(Undone::kUnspellable);
    switch (step.what) {
      case Undone::kNoAction: break;
      case Undone::kRemoved:
      case Undone::kRestored:
      case Undone::kAlreadyGone: ++tally.undone; break;
      case Undone::kGoesAtRestart:
      case Undone::kGoesAtRestartInPlace: ++tally.held; break;
      case Undone::kFailed: break;  // below
      default: ++tally.kept; break;
    }
    if (step.what == Undone::kFailed && tally.failed++ == 0) {
      // As much of the name as fits the box's line.
      tally.first_failed.AppendN(step.subject.c_str(),
                                 step.subject.length() < ShortString::capacity() - 1
                                     ? step.subject.length()
                                     : ShortString::capacity() - 1);
    }
    report.Record(NamesOf(type).type, step);
  }
}

// Removes the directory that held path (the part before its last separator);
// one that stays only because of files scheduled for the next start goes
// then too.
void RemoveContainingDirectory(const char* path, ScheduledFiles& scheduled,
                               bool (*schedule)(const char* path)) {
  LongString directory;
  if (!directory.Assign(path)) return;
  const int32_t last = LastSeparator(directory.c_str(), platform::IsLeadByte);
  if (last < 0) return;
  directory.Truncate(static_cast<uint32_t>(last));
  // As for a Directory record: never through a link, nor a link itself.
  if (PathCrossesReparsePoint(directory.c_str(), true)) return;
  if (!platform::RemoveDirectoryPath(directory.c_str())) {
    scheduled.ScheduleDirectoryAfterThem(directory.c_str(), schedule);
  }
}

const char* OutcomeText(RunOutcome outcome, bool plan = false) {
  if (plan) {
    switch (outcome) {
      case RunOutcome::kDone: return "plan: everything would be undone, nothing changed";
      case RunOutcome::kRestartNeeded:
        return "plan: everything would be undone, restart needed, nothing changed";
      case RunOutcome::kIncomplete: return "plan: not everything would be undone, nothing changed";
      default: break;
    }
  }
  switch (outcome) {
    case RunOutcome::kDamaged: return "the uninstall file was damaged, nothing changed";
    case RunOutcome::kDone: return "everything undone";
    case RunOutcome::kRestartNeeded: return "everything undone, restart needed";
    case RunOutcome::kIncomplete: return "not everything undone";
    case RunOutcome::kUnknownSwitch: return "unknown switch, nothing changed";
    case RunOutcome::kNoDesktop:
      return "no /S, and nobody could see a box here (a service or session 0), nothing changed";
    case RunOutcome::kDeclined:
    case RunOutcome::kBusy: break;  // no walk, no report
  }
  return "";
}

constexpr char kIncompleteMessage[] =
    "Some items could not be removed. The first of them:\r\n%s\r\n\r\n"
    "The product stays listed: start its uninstall again to finish.";

// The end of a walk in which a record failed, in place of the success box.
void ShowIncomplete(const char* first_failed) {
  LongString text;
  if (Format1(text, kIncompleteMessage, first_failed)) {
    platform::ShowMessage(text.c_str(), platform::kBoxOk | platform::kIconExclamation);
  }
}

// Appends value in decimal.
bool AppendNumber(LongString& text, uint32_t value) {
  char digits[11];
  return text.Append(DecimalText(value, digits));
}

// The one box that ends a plan: what it found, and where its report is.
void ShowPlan(const WalkTally& tally, const char* report) {
  LongString text;
  const struct {
    const char* before;
    uint32_t count;
  } lines[] = {
      {"Plan only: nothing was changed.\r\n\r\nAn uninstall now would\r\n"
       "undo (or find already undone): ", tally.undone},
      {" items\r\nkeep or pass over: ", tally.kept},
      {" items\r\nremove when Windows restarts: ", tally.held},
      {" items\r\nfail to undo: ", tally.failed},
  };
  for (const auto& line : lines) {
    if (!text.Append(line.before) || !AppendNumber(text, line.count)) return;
  }
  if (!text.Append(" items")) return;
  if (tally.failed > 0 && (!text.Append("\r\n\r\nThe first that would fail:\r\n") ||
                           !text.Append(tally.first_failed.c_str()))) {
    return;
  }
  const uint32_t shown = text.length();
  if (report != nullptr && (!text.Append("\r\n\r\nThe report: ") || !text.Append(report))) {
    text.Truncate(shown);  // shown without the path that did not fit
  }
  platform::ShowMessage(text.c_str(), platform::kBoxOk | platform::kIconInformation);
}

RunOutcome Damaged(const RunHooks& hooks, RunReport& report, bool silent, bool plan) {
  report.End(OutcomeText(RunOutcome::kDamaged), ExitCodeFor(RunOutcome::kDamaged, silent, Mode::kUninstall));
  if (!plan) hooks.walked(RunOutcome::kDamaged);
  platform::ShowDamagedMessage();
  return RunOutcome::kDamaged;
}

}  // namespace

void ReportNoWalk(const char* report_path, const char* path, RunOutcome outcome,
                  const char* word, uint32_t exit_code) {
  if (report_path == nullptr) return;
  // The file may still name its product. Held before the report is made, as
  // in the uninstall mode, so a report named like it cannot cut it.
  LogReader reader(path, platform::IsLeadByte);
  RunReport report(report_path);
  const bool named = reader.usable() && reader.CheckChain().damage == Damage::kNone;
  report.Begin(path, named || outcome == RunOutcome::kDamaged
                         ? (reader.usable() ? reader.display_name() : "")
                         : "");
  LongString text;
  if (word == nullptr || !text.Append("unknown switch ") ||
      !text.AppendN(word, WordLength(word) < 64 ? WordLength(word) : 64) ||
      !text.Append(", nothing changed")) {
    text.Assign(OutcomeText(outcome));
  }
  report.End(text.c_str(), exit_code);
}

RunOutcome UninstallRun(const char* path, const RunHooks& hooks, const RunOptions& options) {
  // A temporary copy made by the confirmation mode cannot delete itself
  // while it runs: it goes at the next start, on every way out of the walk.
  // A plan makes no copy and schedules nothing.
  if (!options.plan) hooks.starting();
  RunOutcome outcome = RunOutcome::kDone;
  // What the walk schedules for the next start, for the directories that
  // stay only because of it, the uninstall file's own among them.
  ScheduledFiles scheduled;
  {
    // The log is held against writes before the report is made: a report
    // named like the uninstall file cannot overwrite it.
    LogReader reader(path, platform::IsLeadByte);
    RunReport report(options.report);
    // The check judges a display name by the code page the file names, so
    // it runs even where the system's lead bytes found a backslash.
    if (reader.CheckChain().damage != Damage::kNone) {
      report.Begin(path, reader.usable() ? reader.display_name() : "", nullptr, options.plan);
      return Damaged(hooks, report, options.silent, options.plan);
    }
    // A file that names its code page: from here on every name is in it,
    // the paths the system gave us too.
    LongString names_path, names_report;
    const char* report_path = options.report;
    if (reader.code_page() != 0) {
      if (!platform::SetNamesCodePage(reader.code_page()) ||
          !platform::SystemTextToNames(path, names_path.data(), names_path.capacity()) ||
          (report_path != nullptr &&
           !platform::SystemTextToNames(report_path, names_report.data(),
                                        names_report.capacity()))) {
        platform::SetNamesCodePage(0);
        report.Begin(path, "", nullptr, options.plan);
        return Damaged(hooks, report, options.silent, options.plan);
      }
      path = names_path.c_str();
      if (report_path != nullptr) report_path = names_report.c_str();
    }
    report.Begin(path, reader.display_name(), options.note, options.plan);
    ProtectedFiles protect;
    protect.Add(path, Undone::kProtected);
    LongString own, names_own;
    if (platform::ModuleFileName(own.data(), own.capacity()) &&
        platform::SystemTextToNames(own.c_str(), names_own.data(), names_own.capacity())) {
      protect.Add(names_own.c_str(), Undone::kProtected);
    }
    if (report.open()) protect.Add(report_path, Undone::kReport);
    UndoStep step;
    // Every record named: the report lists them, and the box of a walk that
    // could not undo everything names the first that failed.
    step.describe = true;
    step.protect = &protect;
    // In every mode a held file goes at the next start: left in place, it
    // and its directory would stay for ever.
    step.schedule_held = hooks.schedule_deletion;
    step.scheduled = &scheduled;
    // A plan asks what the run would find and changes nothing.
    step.plan = options.plan;
    step.planned = &g_planned;
    WalkTally tally;
    const bool walked = Walk(reader, step, report, tally);
    // The uninstall file's directory and the directories above it go next.
    ReleaseDirectoriesOnTheWay();
    if (!walked) {
      // Only a file that changed after the check can come here.
      return Damaged(hooks, report, options.silent, options.plan);
    }
    if (tally.failed > 0) {
      outcome = RunOutcome::kIncomplete;
    } else if (tally.held > 0) {
      outcome = RunOutcome::kRestartNeeded;
    }
    if (options.plan) {
      // Nothing to remove, tell or delete: the registration, the uninstall
      // file and any waiting process stay as they were.
      report.End(OutcomeText(outcome, true),
                 ExitCodeFor(outcome, options.silent, Mode::kUninstall));
      ShowPlan(tally, report.open() ? options.report : nullptr);
      return outcome;
    }
    // The product is off the list only once it is gone: a walk that failed
    // leaves its registration, for the run that finishes it.
    if (outcome != RunOutcome::kIncomplete) hooks.unregister(reader.display_name());
    report.End(OutcomeText(outcome), ExitCodeFor(outcome, options.silent, Mode::kUninstall));
    if (outcome == RunOutcome::kIncomplete) {
      hooks.walked(outcome);
      ShowIncomplete(tally.first_failed.c_str());
      return outcome;  // the uninstall file stays, for the run that finishes
    }
    g_stamped = platform::ReadFileStamp(path, &g_walked);
  }  // the reader closes the uninstall file here, before it is deleted
  // Whoever waits for the outcome ends now, and lets go of the file.
  hooks.walked(outcome);

  if (DeleteWithRetry(path, kRetryHooks) == DeleteOutcome::kStillHeld) {
    // Still held open: it goes at the next start. Scheduled only now, so a
    // product reinstalled before that start keeps its new uninstall file
    // whenever this run could delete the old one itself. Unscheduled, the
    // file stays for the user to delete: every record is undone all the
    // same, and the run reports its success.
    static_cast<void>(hooks.schedule_deletion(path));
  }
  RemoveContainingDirectory(path, scheduled, hooks.schedule_deletion);
  if (outcome == RunOutcome::kRestartNeeded) {
    platform::ShowSuccessRestartMessage();
  } else {
    platform::ShowSuccessMessage();
  }
  return outcome;
}

}  // namespace kiv
