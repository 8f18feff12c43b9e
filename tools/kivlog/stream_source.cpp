#include "stream_source.h"

#include <stdint.h>

#include "file_ops.h"

namespace kivlog {

namespace {

// Seeks and tells with 64-bit offsets: a file over 2 GiB must show its whole
// size, for the reader to refuse it as too large.
bool Seek(FILE* file, int64_t offset, int origin) {
#ifdef _WIN32
  return _fseeki64(file, offset, origin) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), origin) == 0;
#endif
}

int64_t Tell(FILE* file) {
#ifdef _WIN32
  return _ftelli64(file);
#else
  return static_cast<int64_t>(ftello(file));
#endif
}

}  // namespace

StreamSource::StreamSource(const std::string& path) : file_(OpenFile(path, "rb")) {}

bool StreamSource::Size(uint64_t* size) {
  if (!file_ || !Seek(file_, 0, SEEK_END)) return false;
  const int64_t end = Tell(file_);
  if (end < 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

uint32_t StreamSource::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
  if (!file_ || count == 0 || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  if (!Seek(file_, static_cast<int64_t>(offset), SEEK_SET)) return 0;
  return static_cast<uint32_t>(fread(buffer, 1, count, file_));
}

void StreamSource::Close() {
  if (file_) fclose(file_);
  file_ = nullptr;
}

bool HeldSource::is_open() const { return file_.is_open(); }

bool HeldSource::Size(uint64_t* size) { return file_.Size(size); }

uint32_t HeldSource::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
  return count == 0 ? 0 : file_.ReadAt(offset, buffer, count);
}

}  // namespace kivlog
