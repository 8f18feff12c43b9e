#include "handoff/temporary_copy.h"

#include "handoff/restart_deletion.h"
#include "platform/file_stream.h"
#include "platform/win32.h"

namespace kiv {

namespace {

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

}  // namespace

bool MakeTemporaryCopy(const char* own, TemporaryPath* copy) {
  // The launched copy runs in this directory; the root keeps it off the
  // product's directories, which it is about to remove.
  platform::SetCurrentDirectoryPath("\\");
  TemporaryPath directory;
  if (!platform::TempDirectory(directory.data(), directory.capacity())) return false;
  if (!platform::TempFileName(directory.c_str(), kTempPrefix, copy->data(), copy->capacity())) {
    return false;
  }
  if (!CopyHead(own, copy->c_str())) {
    platform::DeleteFilePath(copy->c_str());
    return false;
  }
  return true;
}

void ScheduleOwnTemporaryCopyDeletion() {
  WideBuffer own;
  TemporaryPath directory;
  if (!platform::ModuleFileName(own.data(), own.capacity()) ||
      !platform::TempDirectory(directory.data(), directory.capacity())) {
    return;
  }
  if (IsTemporaryCopyPath(own.c_str(), directory.c_str())) {
    ScheduleRestartDeletion(own.c_str());
  }
}

}  // namespace kiv
