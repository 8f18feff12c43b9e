// FileSource over stdio, for the host: the companion tool, tests, fuzzers.
#include "base/file_source.h"

#include <stdio.h>

namespace kiv {

namespace {
FILE* Stream(void* handle) { return static_cast<FILE*>(handle); }
}  // namespace

bool FileSource::Open(const char* path) {
  Close();
  handle_ = fopen(path, "rb");
  return handle_ != nullptr;
}

bool FileSource::Size(uint64_t* size) {
  if (!handle_ || fseeko(Stream(handle_), 0, SEEK_END) != 0) return false;
  const off_t end = ftello(Stream(handle_));
  if (end < 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

uint32_t FileSource::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
  if (!handle_ || count == 0 || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  if (fseeko(Stream(handle_), static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
  return static_cast<uint32_t>(fread(buffer, 1, count, Stream(handle_)));
}

void FileSource::Close() {
  if (handle_) fclose(Stream(handle_));
  handle_ = nullptr;
}

}  // namespace kiv
