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

void UndoDirectory(LogReader& reader) {
  ShortString path;
  if (!reader.ReadString(path.data(), path.capacity())) return;
  if (PathCrossesReparsePoint(path.c_str(), true)) return;
  platform::RemoveDirectoryPath(path.c_str());
}

void UndoFile(LogReader& reader) {
  ShortString path;
  if (!reader.ReadString(path.data(), path.capacity())) return;
  if (IsProtectedFile(path.c_str()) || PathCrossesReparsePoint(path.c_str(), true)) return;
  if (!reader.ReadFlag()) {
    platform::DeleteFilePath(path.c_str());
    return;
  }
  RestoreFile(reader, path.c_str());
}

void RestoreFile(LogReader& reader, const char* path) {
  uint8_t time_bytes[kSavedTimeSize];
  const bool have_time = reader.ReadBytes(time_bytes, kSavedTimeSize) == kSavedTimeSize;
  const uint64_t saved_time =
      LoadU32(time_bytes) | (static_cast<uint64_t>(LoadU32(time_bytes + 4)) << 32);
  uint32_t left = reader.ReadU32();

  platform::DeleteFilePath(path);
  // A link put at path after the check is not written through.
  platform::FileHandle out =
      platform::IsReparsePoint(path) ? nullptr : platform::CreateFileForWriting(path);
  if (!out) {
    reader.Skip(left);
    return;
  }
  // Straight from the log to the file, a chunk at a time: a saved file is
  // never held whole. Content the log does not deliver is written as zeros,
  // so the file always has its saved length.
  platform::CopyIntoFile(out, left, ReadFromLog, &reader);
  platform::CloseFile(out);
  if (have_time) platform::SetFileTimes(path, saved_time);
}

}  // namespace kiv
