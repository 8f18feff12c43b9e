// FileSource over a Win32 file handle: what the stub and kivlog.exe read the
// uninstall file through. No C runtime stream is involved.
#include "base/file_source.h"

#include "platform/win32.h"

namespace kiv {

bool FileSource::Open(const char* path) {
  Close();
  at_ = kUnknown;
  handle_ = platform::OpenFileDenyingWrites(path);
  return handle_ != nullptr;
}

bool FileSource::Size(uint64_t* size) { return handle_ && platform::FileSize(handle_, size); }

uint32_t FileSource::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
  if (!handle_ || count == 0) return 0;
  if (offset != at_ && !platform::SeekFile(handle_, offset)) {
    at_ = kUnknown;
    return 0;
  }
  const uint32_t got = platform::ReadFileBytes(handle_, buffer, count);
  at_ = got == count ? offset + got : kUnknown;
  return got;
}

void FileSource::Close() {
  if (handle_) platform::CloseFile(handle_);
  handle_ = nullptr;
}

}  // namespace kiv
