// FileSource over a Win32 file handle: what the stub and kivlog.exe read the
// uninstall file through. No C runtime stream is involved.
#include "base/file_source.h"

#include "platform/win32.h"

namespace kiv {

bool FileSource::Open(const char* path) {
  Close();
  handle_ = platform::OpenFileDenyingWrites(path);
  return handle_ != nullptr;
}

bool FileSource::Size(uint64_t* size) { return handle_ && platform::FileSize(handle_, size); }

uint32_t FileSource::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
  if (!handle_ || count == 0 || !platform::SeekFile(handle_, offset)) return 0;
  return platform::ReadFileBytes(handle_, buffer, count);
}

void FileSource::Close() {
  if (handle_) platform::CloseFile(handle_);
  handle_ = nullptr;
}

}  // namespace kiv
