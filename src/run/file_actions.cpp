// Directory and File records: remove what the installer created, put back
// what it replaced.
#include "base/fixed_string.h"
#include "base/path_rules.h"
#include "platform/file_keeping.h"
#include "platform/win32.h"
#include "run/directory_chain.h"
#include "run/held_by.h"
#include "run/keep_rule.h"
#include "run/record_actions.h"
#include "run/walk_rule.h"

namespace kiv {

// A Directory's or File's path is read whole, however long the file may let
// it be.
static_assert(PathString::capacity() >= kLongPathLimit);

namespace {
uint32_t ReadFromLog(void* reader, void* buffer, uint32_t count) {
  return static_cast<LogReader*>(reader)->ReadBytes(buffer, count);
}

// The logged path is itself a link: it goes as a link, or stays.
void RemoveLoggedLink(const char* path, UndoStep& step) {
  if (!platform::RemoveLinkItself(path, !step.plan)) return step.Set(Undone::kThroughLink);
  NotePlanned(step, Planned::kGone, path);
  step.Set(Undone::kRemoved);
}

// The spelling the plan's table keeps name by, into *out: read as the file
// calls read it, folded as they compare names. Its length; 0 when it cannot
// be folded exactly.
uint32_t PlannedSpelling(const char* name, bool is_path, PathString* out) {
  PathString read;
  uint32_t root = 0;
  const char* spelled =
      is_path && NormalizePath(name, platform::IsLeadByte, PathForm::kAsWritten, &read, &root)
          ? read.c_str()
          : name;
  return platform::FoldName(spelled, out->data(), out->capacity());
}

// Whether every entry of directory passes test, each asked by its full path
// (directory, a backslash, its name); an entry whose full path does not fit fails.
// *listed: whether the directory could be listed (false: so is the answer,
// and the system's reason is the last error).
bool EveryEntry(const char* directory, bool (*test)(const char* full, const void* context),
                const void* context, bool* listed) {
  struct Walk {
    const char* directory;
    bool (*test)(const char* full, const void* context);
    const void* context;
    bool all;
  } walk = {directory, test, context, true};
  *listed = platform::ForEachEntry(
      directory,
      [](const char* name, void* c) {
        auto* w = static_cast<Walk*>(c);
        PathString full;
        w->all = w->all && full.Assign(w->directory) && full.Append("\\") && full.Append(name) &&
                 w->test(full.c_str(), w->context);
      },
      &walk);
  return *listed && walk.all;
}

// The directory holds nothing but the uninstall file (or the program
// running the walk), and in a plan what the plan removed: the product's
// folder, which goes right after the walk.
bool HoldsOnlyTheUninstallFile(const UndoStep& step, const char* directory) {
  bool listed;
  return EveryEntry(
      directory,
      [](const char* full, const void* context) {
        const auto& s = *static_cast<const UndoStep*>(context);
        return PassedOver(s, full) == Undone::kProtected || IsPlanned(s, Planned::kGone, full);
      },
      &step, &listed);
}

// In a plan: why the run's RemoveDirectoryA would refuse directory when
// the walk comes to it, or 0 when it would remove it. Gone (or removed by
// the plan): ERROR_FILE_NOT_FOUND. Anything in it the plan did not remove:
// ERROR_DIR_NOT_EMPTY, and *cannot_tell when the plan's table overflowed
// (that entry may be one it lost count of). Else the removal's own refusal.
uint32_t PlannedRemovalRefusal(UndoStep& step, const char* directory, bool* cannot_tell) {
  *cannot_tell = false;
  if (!Stands(step, directory)) return kErrorFileNotFound;
  bool listed;
  const bool all_planned = EveryEntry(
      directory,
      [](const char* full, const void* context) {
        return IsPlanned(*static_cast<const UndoStep*>(context), Planned::kGone, full);
      },
      &step, &listed);
  if (!listed) return platform::LastError();
  if (!all_planned) {
    *cannot_tell = step.planned && step.planned->overflowed();
    return kErrorDirectoryNotEmpty;
  }
  return platform::DirectoryRemovalRefusal(directory);
}

}  // namespace

void NotePlanned(UndoStep& step, Planned kind, const char* name, bool is_path) {
  if (!step.plan || !step.planned) return;
  PathString spelling;
  const uint32_t n = PlannedSpelling(name, is_path, &spelling);
  // A name that cannot be folded exactly cannot be told from another:
  // the table has lost count, and says so rather than guess.
  if (n == 0) return step.planned->LoseCount();
  step.planned->Add(kind, spelling.c_str(), n);
}

bool IsPlanned(const UndoStep& step, Planned kind, const char* name, bool is_path) {
  if (!step.plan || !step.planned) return false;
  PathString spelling;
  const uint32_t n = PlannedSpelling(name, is_path, &spelling);
  if (n == 0) step.planned->LoseCount();
  return n > 0 && step.planned->Holds(kind, spelling.c_str(), n);
}

bool Stands(const UndoStep& step, const char* path) {
  return platform::PathExists(path) && !IsPlanned(step, Planned::kGone, path);
}

void ProtectedFiles::Add(const char* path, Undone pass_over) {
  if (count_ == kMaxFiles) return;
  Entry& e = entries_[count_];
  if (!platform::IdentifyFile(path, &e.identity)) return;
  e.pass_over = pass_over;
  ++count_;
}

Undone ProtectedFiles::PassOver(const char* path) const {
  if (count_ == 0) return Undone::kNoAction;
  platform::FileIdentity identity;
  if (!platform::IdentifyFile(path, &identity)) return Undone::kNoAction;
  for (uint32_t i = 0; i < count_; ++i) {
    if (platform::SameFile(identity, entries_[i].identity)) return entries_[i].pass_over;
  }
  return Undone::kNoAction;
}

void ScheduledFiles::Add(const char* path) {
  if (count_ < kMaxFiles && paths_[count_].Assign(path)) ++count_;
}

bool ScheduledFiles::Holds(const char* path) const {
  // Compared as the file calls compare names; one that cannot be folded is
  // none of them (its directory then stays, as one that is not empty).
  PathString folded, held;
  const uint32_t n = platform::FoldName(path, folded.data(), folded.capacity());
  for (uint32_t i = 0; n > 0 && i < count_; ++i) {
    if (platform::FoldName(paths_[i].c_str(), held.data(), held.capacity()) == n &&
        SameBytes(held.c_str(), folded.c_str())) {
      return true;
    }
  }
  return false;
}

bool ScheduledFiles::ScheduleDirectoryAfterThem(const char* directory,
                                                bool (*schedule)(const char* path),
                                                const UndoStep* step) {
  // The 95 family's WININIT.INI deletes files only.
  if (count_ == 0 || platform::IsWindows95Family()) return false;
  struct Them {
    const ScheduledFiles* scheduled;
    const UndoStep* step;
  } them = {this, step};
  bool listed;
  const bool only = EveryEntry(
      directory,
      [](const char* full, const void* context) {
        const auto* t = static_cast<const Them*>(context);
        return t->scheduled->Holds(full) ||
               (t->step && IsPlanned(*t->step, Planned::kGone, full));
      },
      &them, &listed);
  const bool plan = step && step->plan;
  if (!only || (!plan && !schedule(directory))) return false;
  Add(directory);  // its own directory may hold nothing else either
  return true;
}

namespace {

// A held file renamed out of its path, to a name of ours in its directory
// that no installer writes ("~kiv" and eight hex digits, ".del"), and that
// name scheduled: the path is free for a reinstall at once, and the next
// start deletes the renamed file only. False, with nothing renamed, when no
// rename is taken (a file held without delete sharing).
bool RenameAsideAndSchedule(const char* path, UndoStep& step) {
  const int32_t last = LastSeparator(path, platform::IsLeadByte);
  if (last < 0) return false;
  uint32_t seed = platform::TickCount();
  for (uint32_t attempt = 0; attempt < 8; ++attempt, seed = seed * 0x9E3779B1u + 1) {
    PathString aside;
    char hex[9];
    for (uint32_t i = 0; i < 8; ++i) hex[i] = "0123456789abcdef"[(seed >> (28 - 4 * i)) & 15];
    hex[8] = '\0';
    if (!aside.AppendN(path, static_cast<uint32_t>(last) + 1) || !aside.Append("~kiv") ||
        !aside.Append(hex) || !aside.Append(".del")) {
      return false;
    }
    if (!platform::MoveFilePath(path, aside.c_str())) {
      if (platform::PathExists(aside.c_str())) continue;  // taken: another name
      return false;
    }
    if (!step.schedule_held(aside.c_str())) {
      platform::MoveFilePath(aside.c_str(), path);  // put back: nothing half done
      return false;
    }
    if (step.scheduled) step.scheduled->Add(aside.c_str());
    return true;
  }
  return false;
}


}  // namespace

Undone PassedOver(const UndoStep& step, const char* path) {
  return step.protect ? step.protect->PassOver(path) : Undone::kNoAction;
}

namespace {

// The directories of the last record's path, held until the walk moves
// elsewhere (run/directory_chain.h). One walk at a time runs in a process.
DirectoryChain g_on_the_way;
constexpr DirectoryHolding kHolding = {platform::HoldDirectoryOnTheWay,
                                       platform::ReleaseDirectoryOnTheWay};

// A removal the run tried or the plan judged, refused with error (0: not
// refused, which only a plan leaves here): removed, or already gone (true,
// the step set); else false, for the caller to tell why it stays.
bool RemovalSettled(UndoStep& step, const char* path, uint32_t error) {
  if (error == 0) {
    NotePlanned(step, Planned::kGone, path);
    step.Set(Undone::kRemoved);
    return true;
  }
  if (Stands(step, path)) return false;
  step.Set(Undone::kAlreadyGone);
  return true;
}

}  // namespace

void ReleaseDirectoriesOnTheWay() { g_on_the_way.ReleaseAll(kHolding); }

bool PathCrossesReparsePoint(const char* path, bool include_last) {
  PathString read;
  uint32_t root = 0;
  if (!NormalizePath(path, platform::IsLeadByte, PathForm::kAsWritten, &read, &root)) {
    // Not a full path: read as the system would, from the current directory.
    PathString full;
    if (!platform::FullPathName(path, full.data(), full.capacity()) ||
        !NormalizePath(full.c_str(), platform::IsLeadByte, PathForm::kAsWritten, &read, &root)) {
      return true;
    }
  }
  // Each directory below the root, held from here to the action.
  if (g_on_the_way.CrossesLink(kHolding, read.c_str(), root, platform::IsLeadByte,
                               platform::IsReparsePoint)) {
    return true;
  }
  const char* text = read.c_str();
  return include_last && text[root] != '\0' && platform::IsReparsePoint(text);
}

void UndoDirectory(LogReader& reader, UndoStep& step) {
  PathString path;
  if (!reader.ReadString(path.data(), path.capacity()))
    return step.Set(Undone::kFailed, kErrorInvalidData);
  step.Describe(path.c_str());
  if (PathCrossesReparsePoint(path.c_str(), false)) return step.Set(Undone::kThroughLink);
  if (platform::IsReparsePoint(path.c_str())) return RemoveLoggedLink(path.c_str(), step);
  uint32_t error = 0;
  if (step.plan) {
    bool cannot_tell = false;
    error = PlannedRemovalRefusal(step, path.c_str(), &cannot_tell);
    if (cannot_tell) return step.Set(Undone::kCannotTell);
  } else if (platform::RemoveDirectoryPath(path.c_str())) {
    return step.Set(Undone::kRemoved);
  } else {
    error = platform::LastError();
  }
  if (RemovalSettled(step, path.c_str(), error)) return;
  // The NT family says so; the 95 family refuses with "access denied". A
  // plan has already looked at what would be left in it.
  if (error == kErrorDirectoryNotEmpty ||
      (!step.plan && !platform::DirectoryIsEmpty(path.c_str()))) {
    // Left only because of files renamed aside for the next start: it goes
    // then too, after them (the NT family's list keeps their order; the 95
    // family's WININIT.INI deletes no directory).
    if (step.scheduled && step.schedule_held &&
        step.scheduled->ScheduleDirectoryAfterThem(path.c_str(), step.schedule_held, &step)) {
      return step.Set(Undone::kGoesAtRestart);
    }
    return step.Set(HoldsOnlyTheUninstallFile(step, path.c_str()) ? Undone::kGoesWithUninstallFile
                                                                   : Undone::kKeptNotEmpty);
  }
  step.Set(Undone::kFailed, error);
}

namespace {

uint32_t ReadFromFile(void* file, void* buffer, uint32_t count) {
  return platform::ReadFileBytes(file, buffer, count);
}

// A kept file's content, read once through this buffer: static storage
// (.bss) costs the file no bytes.
uint8_t g_content[4096];

// Deletes a file the product installed: the deletion of a File record
// without a saved copy, and of a shared or kept file that goes.
void DeleteProductFile(const char* path, UndoStep& step);

}  // namespace

void UndoFile(LogReader& reader, UndoStep& step, RecordType type) {
  PathString path;
  uint8_t check[kContentCheckSize];
  if (!reader.ReadString(path.data(), path.capacity()) ||
      (type == RecordType::kKeptFile && reader.ReadBytes(check, sizeof(check)) != sizeof(check)))
    return step.Set(Undone::kFailed, kErrorInvalidData);
  step.Describe(path.c_str());
  const bool restore = type == RecordType::kFile && reader.ReadFlag();
  step.restores = restore;
  if (PathCrossesReparsePoint(path.c_str(), false)) return step.Set(Undone::kThroughLink);
  if (platform::IsReparsePoint(path.c_str())) {
    // What is to be put back is a file; a link in its place is not written
    // through, nor taken away for it.
    if (restore) return step.Set(Undone::kThroughLink);
    return RemoveLoggedLink(path.c_str(), step);
  }
  if (restore) {
    if (const Undone pass_over = PassedOver(step, path.c_str()); pass_over != Undone::kNoAction) {
      return step.Set(pass_over);
    }
    return RestoreFile(reader, path.c_str(), step);
  }
  if (type == RecordType::kKeptFile && Stands(step, path.c_str())) {
    // Read before anything is decided: a file that cannot be read is
    // neither judged nor deleted, and stays for the next run.
    platform::FileHandle file = platform::OpenProductFileForReading(path.c_str());
    if (!file) return step.Set(Undone::kFailed, platform::LastError());
    const bool same = ContentAsInstalled(check, ReadFromFile, file, g_content, sizeof(g_content));
    platform::CloseFile(file);
    if (!same) return step.Set(Undone::kKeptChanged);
  }
  SharedUse use = {true, false, 0};
  if (type == RecordType::kSharedFile) {
    uint32_t count = 0;
    const bool counted = platform::SharedCount(path.c_str(), &count, false);
    use = DecideShared(counted, count);
    if (!use.remove) {
      // Another product's file: only its count goes down.
      if (!step.plan && !platform::SharedCount(path.c_str(), &use.others, true)) {
        return step.Set(Undone::kFailed, platform::LastError());
      }
      step.others = use.others;
      return step.Set(Undone::kKeptShared);
    }
  }
  DeleteProductFile(path.c_str(), step);
  if (type != RecordType::kSharedFile || LeftBy(step.what, false) > Left::kAtRestart) return;
  // Gone, or going at the next start: its count goes too, as no product
  // uses it any more. A count that stays is not worth a failure: it only
  // names a file that is no longer there.
  if (!step.plan) platform::SharedCount(path.c_str(), &use.others, true);  // others is 0
  if (use.uncounted && step.what == Undone::kRemoved) step.Set(Undone::kRemovedUncounted);
}

namespace {

void DeleteProductFile(const char* path, UndoStep& step) {
  // No delete can reach the protected files, whatever name or link it takes:
  // the walk holds the uninstall file open without delete sharing, and the
  // running program is mapped. So they are asked about only when a delete
  // failed; the costly question (full short path, file index) stays off the
  // path of the thousands of files that go. A plan asks the system whether
  // the delete would go, and why not.
  uint32_t error = 0;
  bool renamable = false;
  if (step.plan) {
    error = IsPlanned(step, Planned::kGone, path)
                ? kErrorFileNotFound
                : platform::DeletionRefusal(path, &renamable);
  } else if (platform::DeleteFilePath(path)) {
    return step.Set(Undone::kRemoved);
  } else {
    error = platform::LastError();
  }
  if (RemovalSettled(step, path, error)) return;
  if (const Undone pass_over = PassedOver(step, path); pass_over != Undone::kNoAction) {
    return step.Set(pass_over);
  }
  if (platform::IsReadOnlyFile(path)) return step.Set(Undone::kKeptReadOnly);
  // In use: open without delete sharing, or a running program (which the NT
  // family refuses as "access denied").
  const bool held = error == kErrorSharingViolation || error == kErrorLockViolation ||
                    error == kErrorAccessDenied;
  if (held && step.describe) {
    platform::FileHolders holders;
    platform::AskWhoHolds(path, &holders);
    DescribeHolders(holders, &step.held_by);
  }
  if (held && step.schedule_held) {
    if (step.plan) {
      // A running program's file is renamed aside; one held without delete
      // sharing refuses the rename as it refuses the delete.
      if (step.scheduled) step.scheduled->Add(path);
      return step.Set(renamable ? Undone::kGoesAtRestart : Undone::kGoesAtRestartInPlace);
    }
    if (RenameAsideAndSchedule(path, step)) return step.Set(Undone::kGoesAtRestart);
    if (step.schedule_held(path)) {
      // Its directories, empty but for it, go after it, as after a file
      // renamed aside.
      if (step.scheduled) step.scheduled->Add(path);
      return step.Set(Undone::kGoesAtRestartInPlace);
    }
  }
  step.Set(Undone::kFailed, error);
}

}  // namespace

void RestoreFile(LogReader& reader, const char* path, UndoStep& step) {
  uint8_t fixed[kSavedFixedSize];
  const bool have_time = reader.ReadBytes(fixed, kSavedFixedSize) == kSavedFixedSize;
  const uint64_t saved_time = SavedTime(fixed);
  uint32_t left = have_time ? SavedLength(fixed) : 0;

  if (!step.plan) platform::DeleteFilePath(path);
  // A link put at path after the check is not written through.
  if (platform::IsReparsePoint(path)) {
    reader.Skip(left);
    return step.Set(Undone::kThroughLink);
  }
  platform::FileHandle out = nullptr;
  uint32_t refusal = 0;
  if (step.plan) {
    refusal = platform::WriteRefusal(path);
  } else if (out = platform::CreateProductFileForWriting(path); !out) {
    refusal = platform::LastError();
  }
  if (refusal != 0) {
    reader.Skip(left);
    // Its folder is gone: nothing of the product is left there, and nothing
    // is made to put the file back into.
    if (refusal == kErrorPathNotFound) return step.Set(Undone::kAlreadyGone);
    if (platform::IsReadOnlyFile(path)) return step.Set(Undone::kKeptReadOnly);
    return step.Set(Undone::kFailed, refusal);
  }
  if (step.plan) {
    reader.Skip(left);
    return step.Set(Undone::kRestored);
  }
  // Straight from the log to the file, a chunk at a time: a saved file is
  // never held whole. Content the log does not deliver is written as zeros,
  // so the file always has its saved length. Each failure's reason is read
  // at the call that failed.
  uint32_t delivered = 0;
  uint32_t error = 0;
  if (!platform::CopyIntoFile(out, left, ReadFromLog, &reader, &delivered)) {
    error = platform::LastError();
  } else if (delivered != left) {
    error = kErrorInvalidData;
  }
  if (!platform::CloseFile(out) && error == 0) error = platform::LastError();
  if (error != 0) return step.Set(Undone::kFailed, error);
  if (have_time) platform::SetFileTimes(path, saved_time);
  step.Set(Undone::kRestored);
}

}  // namespace kiv
