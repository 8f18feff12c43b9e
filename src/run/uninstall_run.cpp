#include "run/uninstall_run.h"

#include "base/fixed_string.h"
#include "platform/win32.h"
#include "run/delete_with_retry.h"
#include "run/record_actions.h"
#include "uninstall_file/log_reader.h"

namespace kiv {

namespace {

void PumpAndWait(uint32_t pause_ms) { platform::PumpMessagesAndWait(pause_ms); }

constexpr RetryHooks kRetryHooks = {platform::DeleteFilePath, platform::PathExists,
                                    platform::TickCount, PumpAndWait};

// Runs the walk; false when a record's type or header is not valid.
bool Walk(LogReader& reader) {
  for (;;) {
    const uint16_t type = reader.NextRecord();
    switch (type) {
      case static_cast<uint16_t>(RecordType::kEndOfLog): return true;
      case static_cast<uint16_t>(RecordType::kDirectory): UndoDirectory(reader); break;
      case static_cast<uint16_t>(RecordType::kFile): UndoFile(reader); break;
      case static_cast<uint16_t>(RecordType::kIniEntry): UndoIniEntry(reader); break;
      case static_cast<uint16_t>(RecordType::kRegistryValue): UndoRegistryValue(reader); break;
      case static_cast<uint16_t>(RecordType::kUnused5): break;
      case static_cast<uint16_t>(RecordType::kFont): UndoFont(reader); break;
      case static_cast<uint16_t>(RecordType::kShellItem): UndoShellItem(reader); break;
      case static_cast<uint16_t>(RecordType::kShellGroup): UndoShellGroup(reader); break;
      default: return false;
    }
  }
}

// Removes the directory that held path (the part before its last backslash).
void RemoveContainingDirectory(const char* path) {
  LongString directory;
  if (!directory.Assign(path)) return;
  const int32_t last = LastBackslash(directory.c_str(), platform::IsLeadByte);
  if (last < 0) return;
  directory.Truncate(static_cast<uint32_t>(last));
  platform::RemoveDirectoryPath(directory.c_str());
}

}  // namespace

RunOutcome UninstallRun(const char* path, const RunHooks& hooks) {
  // A temporary copy made by the confirmation mode cannot delete itself
  // while it runs: it goes at the next start, on every way out of the walk.
  hooks.starting();
  {
    LogReader reader(path, platform::IsLeadByte);
    if (!reader.usable() || reader.CheckChain().damage != Damage::kNone) {
      platform::ShowDamagedMessage();
      return RunOutcome::kDamaged;
    }
    ProtectedFiles protect;
    protect.Add(path);
    LongString own;
    if (platform::ModuleFileName(own.data(), own.capacity())) protect.Add(own.c_str());
    if (!Walk(reader)) {
      // Only a file that changed after the check can come here.
      platform::ShowDamagedMessage();
      return RunOutcome::kDamaged;
    }
  }  // the reader closes the uninstall file here, before it is deleted

  if (DeleteWithRetry(path, kRetryHooks) == DeleteOutcome::kStillHeld) {
    // Still held open: it goes at the next start. Scheduled only now, so a
    // product reinstalled before that start keeps its new uninstall file
    // whenever this run could delete the old one itself. Unscheduled, the
    // file stays for the user to delete: every record is undone all the
    // same, and the run reports its success.
    hooks.file_held(path);
  }
  RemoveContainingDirectory(path);
  platform::ShowSuccessMessage();
  return RunOutcome::kFinished;
}

}  // namespace kiv
