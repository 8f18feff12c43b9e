// Directory and File records: remove what the installer created, put back
// what it replaced.
#include "base/fixed_string.h"
#include "platform/win32.h"
#include "run/record_actions.h"

namespace kiv {

namespace {
uint32_t ReadFromLog(void* reader, void* buffer, uint32_t count) {
  return static_cast<LogReader*>(reader)->ReadBytes(buffer, count);
}

// The table in force during a walk; owned by the uninstall mode's frame.
const ProtectedFiles* g_protected = nullptr;

// The full path in its short form, so that long and 8.3 spellings meet.
// False when path names nothing that exists.
bool CanonicalPath(const char* path, PathString* out) {
  PathString full;
  return platform::FullPathName(path, full.data(), full.capacity()) &&
         platform::ShortPathName(full.c_str(), out->data(), out->capacity());
}

// The logged path is itself a link: it goes as a link, or stays.
void RemoveLoggedLink(const char* path, UndoStep& step) {
  step.Set(platform::RemoveLinkItself(path) ? Undone::kRemoved : Undone::kThroughLink);
}

bool SameId(const platform::FileId& a, const platform::FileId& b) {
  return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}

}  // namespace

ProtectedFiles::ProtectedFiles() { g_protected = this; }
ProtectedFiles::~ProtectedFiles() { g_protected = nullptr; }

void ProtectedFiles::Add(const char* path) {
  if (count_ == kMaxFiles) return;
  Entry& e = entries_[count_];
  if (!CanonicalPath(path, &e.canonical)) return;
  e.has_id = platform::GetFileId(path, &e.id);
  ++count_;
}

bool ProtectedFiles::Holds(const char* path) const {
  if (count_ == 0) return false;
  PathString canonical;
  if (!CanonicalPath(path, &canonical)) return false;
  platform::FileId id;
  const bool has_id = platform::GetFileId(path, &id);
  for (uint32_t i = 0; i < count_; ++i) {
    const Entry& e = entries_[i];
    if (platform::SameTextIgnoringCase(canonical.c_str(), e.canonical.c_str()) ||
        (has_id && e.has_id && SameId(id, e.id))) {
      return true;
    }
  }
  return false;
}

bool IsProtectedFile(const char* path) { return g_protected && g_protected->Holds(path); }

bool PathCrossesReparsePoint(const char* path, bool include_last) {
  PathString part;
  if (!part.Assign(path)) return true;
  char* text = part.data();
  if (text[0] == '\0') return false;
  // Each directory on the way, from the first below the root: cut at each
  // backslash in turn ("C:" is no part to look at).
  for (uint32_t i = 1; text[i] != '\0'; ++i) {
    if (text[i] != '\\' || text[i - 1] == ':') continue;
    text[i] = '\0';
    const bool link = platform::IsReparsePoint(text);
    text[i] = '\\';
    if (link) return true;
  }
  return include_last && platform::IsReparsePoint(text);
}

void UndoDirectory(LogReader& reader, UndoStep& step) {
  ShortString path;
  if (!reader.ReadString(path.data(), path.capacity()))
    return step.Set(Undone::kFailed, kErrorInvalidData);
  step.Describe(path.c_str());
  if (PathCrossesReparsePoint(path.c_str(), false)) return step.Set(Undone::kThroughLink);
  if (platform::IsReparsePoint(path.c_str())) return RemoveLoggedLink(path.c_str(), step);
  if (platform::RemoveDirectoryPath(path.c_str())) return step.Set(Undone::kRemoved);
  const uint32_t error = platform::LastError();
  if (!platform::PathExists(path.c_str())) return step.Set(Undone::kAlreadyGone);
  // The NT family says so; the 95 family refuses with "access denied".
  if (error == kErrorDirectoryNotEmpty || !platform::DirectoryIsEmpty(path.c_str())) {
    return step.Set(Undone::kKeptNotEmpty);
  }
  step.Set(Undone::kFailed, error);
}

void UndoFile(LogReader& reader, UndoStep& step) {
  ShortString path;
  if (!reader.ReadString(path.data(), path.capacity()))
    return step.Set(Undone::kFailed, kErrorInvalidData);
  step.Describe(path.c_str());
  if (PathCrossesReparsePoint(path.c_str(), false)) return step.Set(Undone::kThroughLink);
  const bool restore = reader.ReadFlag();
  if (platform::IsReparsePoint(path.c_str())) {
    // What is to be put back is a file; a link in its place is not written
    // through, nor taken away for it.
    if (restore) return step.Set(Undone::kThroughLink);
    return RemoveLoggedLink(path.c_str(), step);
  }
  if (restore) {
    if (IsProtectedFile(path.c_str())) return step.Set(Undone::kProtected);
    return RestoreFile(reader, path.c_str(), step);
  }
  // No delete can reach the protected files, whatever name or link it takes:
  // the walk holds the uninstall file open without delete sharing, and the
  // running program is mapped. So they are asked about only when a delete
  // failed; the costly question (full short path, file index) stays off the
  // path of the thousands of files that go.
  if (platform::DeleteFilePath(path.c_str())) return step.Set(Undone::kRemoved);
  const uint32_t error = platform::LastError();
  if (!platform::PathExists(path.c_str())) return step.Set(Undone::kAlreadyGone);
  if (IsProtectedFile(path.c_str())) return step.Set(Undone::kProtected);
  if (platform::IsReadOnlyFile(path.c_str())) return step.Set(Undone::kKeptReadOnly);
  // In use: open without delete sharing, or a running program (which the NT
  // family refuses as "access denied").
  const bool held = error == kErrorSharingViolation || error == kErrorLockViolation ||
                    error == kErrorAccessDenied;
  if (held && step.schedule_held && step.schedule_held(path.c_str())) {
    return step.Set(Undone::kGoesAtRestart);
  }
  step.Set(Undone::kFailed, error);
}

void RestoreFile(LogReader& reader, const char* path, UndoStep& step) {
  uint8_t time_bytes[kSavedTimeSize];
  const bool have_time = reader.ReadBytes(time_bytes, kSavedTimeSize) == kSavedTimeSize;
  const uint64_t saved_time =
      LoadU32(time_bytes) | (static_cast<uint64_t>(LoadU32(time_bytes + 4)) << 32);
  uint32_t left = reader.ReadU32();

  platform::DeleteFilePath(path);
  // A link put at path after the check is not written through.
  if (platform::IsReparsePoint(path)) {
    reader.Skip(left);
    return step.Set(Undone::kThroughLink);
  }
  platform::FileHandle out = platform::CreateFileForWriting(path);
  if (!out) {
    const uint32_t error = platform::LastError();
    reader.Skip(left);
    if (platform::IsReadOnlyFile(path)) return step.Set(Undone::kKeptReadOnly);
    return step.Set(Undone::kFailed, error);
  }
  // Straight from the log to the file, a chunk at a time: a saved file is
  // never held whole. Content the log does not deliver is written as zeros,
  // so the file always has its saved length.
  const bool written = platform::CopyIntoFile(out, left, ReadFromLog, &reader) == left;
  const uint32_t error = platform::LastError();
  if (!platform::CloseFile(out) || !written) return step.Set(Undone::kFailed, error);
  if (have_time) platform::SetFileTimes(path, saved_time);
  step.Set(Undone::kRestored);
}

}  // namespace kiv
