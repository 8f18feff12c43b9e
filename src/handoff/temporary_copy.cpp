#include "handoff/temporary_copy.h"

#include "handoff/restart_deletion.h"
#include "platform/win32.h"

namespace kiv {

namespace {

// Tries this many names before giving up: each one that already exists,
// file or directory, is passed over, never reused.
constexpr uint32_t kDirectoryAttempts = 64;

uint32_t ReadFromFile(void* file, void* buffer, uint32_t count) {
  return platform::ReadFileBytes(file, buffer, count);
}

bool CopyHead(const char* from, const char* to) {
  platform::FileHandle in = platform::OpenFileDenyingWrites(from);
  if (!in) return false;
  platform::FileHandle out = platform::CreateFileForWriting(to);
  uint64_t size = 0;
  bool ok = out != nullptr && platform::FileSize(in, &size);
  const uint32_t count =
      size < kTemporaryCopyLimit ? static_cast<uint32_t>(size) : kTemporaryCopyLimit;
  // A head that cannot be read whole is no copy of the program.
  uint32_t delivered = 0;
  ok = ok && platform::CopyIntoFile(out, count, ReadFromFile, in, &delivered) && delivered == count;
  platform::CloseFile(in);
  if (out && !platform::CloseFile(out)) ok = false;
  return ok;
}

// Cuts path at its last backslash, in place.
void CutAtLastBackslash(TemporaryPath* path) {
  const int32_t last = LastBackslash(path->c_str(), platform::IsLeadByte);
  path->Truncate(last < 0 ? 0 : static_cast<uint32_t>(last));
}

}  // namespace

bool MakeTemporaryCopy(const char* own, TemporaryPath* copy, platform::HeldDirectory* held) {
  // The launched copy runs in this directory; the root keeps it off the
  // product's directories, which it is about to remove.
  platform::SetCurrentDirectoryPath("\\");
  TemporaryPath temp;
  if (!platform::TempDirectory(temp.data(), temp.capacity())) return false;
  if (platform::IsWindows95Family()) {
    // Unique number 0: the call picks a free name and creates the file.
    if (!platform::TempFileName(temp.c_str(), kTempPrefix, 0, copy->data(), copy->capacity())) {
      return false;
    }
    if (!CopyHead(own, copy->c_str())) {
      platform::DeleteFilePath(copy->c_str());
      return false;
    }
    return true;
  }
  // Unique numbers from the tick count; GetTempFileNameA only forms the name
  // for a number that is not zero, and the directory's creation tells whether
  // the name was free.
  const uint32_t seed = platform::TickCount();
  bool made = false;
  for (uint32_t i = 0; i < kDirectoryAttempts && !made; ++i) {
    uint32_t unique = (seed + i * 0x9E37u) & 0xFFFFu;
    if (unique == 0) unique = 1;
    made =
        platform::TempFileName(temp.c_str(), kTempPrefix, unique, copy->data(), copy->capacity()) &&
        platform::CreatePrivateDirectory(copy->c_str());
  }
  if (!made) return false;
  // Between its creation and this hold another program of the user could
  // have renamed it away and put its own in its place; the hold proves or
  // takes over what stands there now, and keeps it until the launch.
  if (!held->Hold(copy->c_str())) {
    platform::RemoveDirectoryPath(copy->c_str());
    return false;
  }
  if (!copy->Append("\\") || !copy->Append(kCopyName) || !CopyHead(own, copy->c_str())) {
    held->Release();
    RemoveTemporaryCopy(copy->c_str());
    return false;
  }
  return true;
}

void RemoveTemporaryCopy(const char* copy) {
  TemporaryPath directory;
  if (!directory.Assign(copy)) return;
  platform::DeleteFilePath(directory.c_str());
  if (platform::IsWindows95Family()) return;  // flat: the directory is the user's
  CutAtLastBackslash(&directory);
  platform::RemoveDirectoryPath(directory.c_str());
}

void ScheduleOwnTemporaryCopyDeletion() {
  LongString own;
  TemporaryPath temp;
  if (!platform::ModuleFileName(own.data(), own.capacity()) ||
      !platform::TempDirectory(temp.data(), temp.capacity())) {
    return;
  }
  if (platform::IsWindows95Family()) {
    // Unscheduled, the copy stays behind as one more temporary file: nothing
    // here could do better, and the uninstall goes on either way.
    if (IsFlatTemporaryCopyPath(own.c_str(), temp.c_str())) {
      static_cast<void>(ScheduleRestartDeletion(own.c_str()));
    }
    return;
  }
  uint32_t name_start = 0;
  if (!IsTemporaryCopyPath(own.c_str(), temp.c_str(), &name_start)) return;
  // The file first: at the next start the directory is empty by its turn. A
  // directory whose file stays could not go, so it is listed only after its
  // file was.
  if (!IsScheduled(ScheduleRestartDeletion(own.c_str()))) return;
  own.Truncate(name_start - 1);
  // The last step: a refusal leaves an empty directory, and nothing follows.
  static_cast<void>(ScheduleRestartDeletion(own.c_str()));
}

}  // namespace kiv
