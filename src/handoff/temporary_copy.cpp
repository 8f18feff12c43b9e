#include "handoff/temporary_copy.h"

#include "handoff/restart_deletion.h"
#include "platform/file_stream.h"
#include "platform/win32.h"

namespace kiv {

namespace {

// Tries this many names before giving up: each one that already exists,
// file or directory, is passed over, never reused.
constexpr uint32_t kDirectoryAttempts = 64;

bool CopyHead(const char* from, const char* to) {
  FileStream in;
  FileStream out;
  if (!in.OpenRead(from) || !out.OpenWrite(to)) return false;
  uint32_t size = 0;
  if (!in.SeekEnd(&size) || !in.Seek(0)) return false;
  uint32_t left = size < kCopyLimit ? size : kCopyLimit;
  uint8_t chunk[kCopyChunk];
  while (left > 0) {
    const uint32_t n = left < kCopyChunk ? left : kCopyChunk;
    if (in.Read(chunk, n) != n || out.Write(chunk, n) != n) return false;
    left -= n;
  }
  return out.Close();
}

// Cuts path at its last backslash, in place.
void CutAtLastBackslash(TemporaryPath* path) {
  const int32_t last = LastBackslash(path->c_str(), platform::IsLeadByte);
  path->Truncate(last < 0 ? 0 : static_cast<uint32_t>(last));
}

}  // namespace

bool MakeTemporaryCopy(const char* own, TemporaryPath* copy) {
  // The launched copy runs in this directory; the root keeps it off the
  // product's directories, which it is about to remove.
  platform::SetCurrentDirectoryPath("\\");
  TemporaryPath temp;
  if (!platform::TempDirectory(temp.data(), temp.capacity())) return false;
  // Unique numbers from the tick count; GetTempFileNameA only forms the name
  // for a number that is not zero, and the directory's creation tells whether
  // the name was free.
  const uint32_t seed = platform::TickCount();
  bool made = false;
  for (uint32_t i = 0; i < kDirectoryAttempts && !made; ++i) {
    uint32_t unique = (seed + i * 0x9E37u) & 0xFFFFu;
    if (unique == 0) unique = 1;
    made = platform::TempFileName(temp.c_str(), kTempPrefix, unique, copy->data(),
                                  copy->capacity()) &&
           platform::CreatePrivateDirectory(copy->c_str());
  }
  if (!made) return false;
  if (!copy->Append("\\") || !copy->Append(kCopyName) || !CopyHead(own, copy->c_str())) {
    RemoveTemporaryCopy(copy->c_str());
    return false;
  }
  return true;
}

void RemoveTemporaryCopy(const char* copy) {
  TemporaryPath directory;
  if (!directory.Assign(copy)) return;
  platform::DeleteFilePath(directory.c_str());
  CutAtLastBackslash(&directory);
  platform::RemoveDirectoryPath(directory.c_str());
}

void ScheduleOwnTemporaryCopyDeletion() {
  WideBuffer own;
  TemporaryPath temp;
  if (!platform::ModuleFileName(own.data(), own.capacity()) ||
      !platform::TempDirectory(temp.data(), temp.capacity())) {
    return;
  }
  uint32_t name_start = 0;
  if (!IsTemporaryCopyPath(own.c_str(), temp.c_str(), &name_start)) return;
  // The file first: at the next start the directory is empty by its turn.
  ScheduleRestartDeletion(own.c_str());
  own.Truncate(name_start - 1);
  ScheduleRestartDeletion(own.c_str());
}

}  // namespace kiv
