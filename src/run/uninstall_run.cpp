#include "run/uninstall_run.h"

#include "base/fixed_string.h"
#include "base/path_rules.h"
#include "base/decimal_text.h"
#include "base/exit_codes.h"
#include "platform/win32.h"
#include "run/delete_with_retry.h"
#include "run/plan_table.h"
#include "run/record_actions.h"
#include "run/registration.h"
#include "run/run_report.h"
#include "run/walk_rule.h"
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
  WalkCounts left;  // records by what they left (run/walk_rule.h)
  // The first record that left what keeps the product listed, named as the
  // report names it.
  ShortString first_left;
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
    const Left left = LeftBy(step.what, step.restores);
    if (step.what != Undone::kNoAction) tally.left.Add(left);
    if ((left == Left::kRefused || left == Left::kHoldingData) &&
        tally.left.of(Left::kRefused) + tally.left.of(Left::kHoldingData) == 1) {
      // As much of the name as fits the box's line.
      tally.first_left.AppendN(step.subject.c_str(),
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

constexpr char kLeftMessage[] =
    "Some items could not be removed. The first of them:\r\n%s\r\n\r\n"
    "Remove the product from the list anyway? Its uninstall file, with what it saved, "
    "then stays as\r\n%s\r\n\r\nNo: it stays listed; start its uninstall again to finish.";

// The end of a walk that left something that keeps the product listed, in
// place of the success box: true when the user takes it off the list anyway.
bool AskUnlistAnyway(const WalkTally& tally, const char* kept_as) {
  // Room for both names whole: a box that cannot be made would leave the
  // user no way to take the product off the list.
  FixedString<sizeof(kLeftMessage) + ShortString::capacity() + PathString::capacity()> text;
  return Format2(text, kLeftMessage, tally.first_left.c_str(), kept_as) &&
         platform::ShowMessage(text.c_str(), platform::kBoxYesNo | platform::kIconExclamation |
                                                 platform::kDefaultSecond) ==
             platform::BoxAnswer::kYes;
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
       "undo (or find already undone): ", tally.left.of(Left::kNothing)},
      {" items\r\nkeep or pass over: ", tally.left.of(Left::kHarmless)},
      {" items\r\nremove when Windows restarts: ", tally.left.of(Left::kAtRestart)},
      {" items\r\nfail to undo: ",
       tally.left.of(Left::kRefused) + tally.left.of(Left::kHoldingData)},
  };
  for (const auto& line : lines) {
    if (!text.Append(line.before) || !AppendNumber(text, line.count)) return;
  }
  if (!text.Append(" items")) return;
  if (!tally.first_left.empty() &&
      (!text.Append("\r\n\r\nThe first that would fail:\r\n") ||
       !text.Append(tally.first_left.c_str()))) {
    return;
  }
  const uint32_t shown = text.length();
  if (report != nullptr && (!text.Append("\r\n\r\nThe report: ") || !text.Append(report))) {
    text.Truncate(shown);  // shown without the path that did not fit
  }
  platform::ShowMessage(text.c_str(), platform::kBoxOk | platform::kIconInformation);
}

RunOutcome Damaged(const HandoffHooks& hooks, RunReport& report, bool silent, bool plan) {
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

bool RestoresFile(const char* uninstall_file, const char* target) {
  LogReader reader(uninstall_file, platform::IsLeadByte);
  if (reader.CheckChain().damage != Damage::kNone) return false;
  // The log's names are in the code page the file names: so is target,
  // for the question.
  LongString names_target;
  if (reader.code_page() != 0 &&
      (!platform::SetNamesCodePage(reader.code_page()) ||
       !platform::SystemTextToNames(target, names_target.data(), names_target.capacity()))) {
    platform::SetNamesCodePage(0);
    return false;
  }
  if (reader.code_page() != 0) target = names_target.c_str();
  ProtectedFiles table;
  table.Add(target, Undone::kReport);
  bool found = false;
  for (uint16_t type = reader.NextRecord(); !found && type != 0 &&
                                            (type == kCodePageType || IsValidType(type));
       type = reader.NextRecord()) {
    PathString file;
    found = type == static_cast<uint16_t>(RecordType::kFile) &&
            reader.ReadString(file.data(), file.capacity()) && reader.ReadFlag() &&
            table.PassOver(file.c_str()) == Undone::kReport;
  }
  platform::SetNamesCodePage(0);
  return found;
}

RunOutcome UninstallRun(const char* path, const HandoffHooks& hooks, const RunOptions& options) {
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
    WalkResult result = ResultOf(tally.left, options.unlist_anyway);
    outcome = result.outcome;
    if (options.plan) {
      // Nothing to remove, tell or delete: the registration, the uninstall
      // file and any waiting process stay as they were.
      report.End(OutcomeText(outcome, true),
                 ExitCodeFor(outcome, options.silent, Mode::kUninstall));
      ShowPlan(tally, report.open() ? options.report : nullptr);
      return outcome;
    }
    // Where the uninstall file stays if the product leaves the list with
    // something left: beside it, under a name that is not the registered one.
    PathString kept_as;
    if (!UnlistedFileName(path, &kept_as)) kept_as.Assign(path);
    // A walk that left something keeps the product listed, for the run that
    // finishes it; the user may take it off the list all the same.
    if (result.file == FileFate::kKept && AskUnlistAnyway(tally, kept_as.c_str())) {
      result = ResultOf(tally.left, true);
      outcome = result.outcome;
    }
    if (result.unregister) RemoveRegistration(reader.display_name());
    const uint32_t exit_code = ExitCodeFor(outcome, options.silent, Mode::kUninstall);
    if (result.file != FileFate::kDeleted) {
      bool told = false;
      if (result.file == FileFate::kRenamed) {
        // Closed first: the walk holds the file against a rename. A waiting
        // confirmation runs from it, which on the 95 family holds it too
        // until told; then it may end while we try again.
        reader.Close();
        const uint32_t start = platform::TickCount();
        while (!platform::MoveFilePath(path, kept_as.c_str())) {
          if (!told) hooks.walked(outcome);
          told = true;
          if (platform::TickCount() - start >= kDeleteRetryMs) {
            kept_as.Assign(path);  // it stays where it is, off the list all the same
            break;
          }
          PumpAndWait(kDeleteRetryPauseMs);
        }
      }
      LongString text;
      if (!text.Assign(result.file == FileFate::kKept ? OutcomeText(outcome)
                                                      : "not everything undone; off the list "
                                                        "anyway, the uninstall file kept as ") ||
          (result.file == FileFate::kRenamed && !text.Append(kept_as.c_str()))) {
        text.Assign(OutcomeText(RunOutcome::kIncomplete));
      }
      report.End(text.c_str(), exit_code);
      if (!told) hooks.walked(outcome);
      return outcome;  // the uninstall file stays, with what it saved
    }
    report.End(OutcomeText(outcome), exit_code);
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
