#include "platform/file_stream.h"

#ifdef _WIN32
#include <share.h>
#endif

namespace kiv {

namespace {
constexpr uint32_t kMaxOffset = 0x7FFFFFFFu;  // the runtime's seek is a signed long
}  // namespace

bool FileStream::OpenRead(const char* path) {
  Close();
  file_ = fopen(path, "rb");
  return file_ != nullptr;
}

bool FileStream::OpenReadDenyWrite(const char* path) {
  Close();
#ifdef _WIN32
  file_ = _fsopen(path, "rb", _SH_DENYWR);
#else
  file_ = fopen(path, "rb");
#endif
  return file_ != nullptr;
}

bool FileStream::OpenWrite(const char* path) {
  Close();
  file_ = fopen(path, "wb");
  return file_ != nullptr;
}

bool FileStream::OpenUpdate(const char* path) {
  Close();
  file_ = fopen(path, "r+b");
  return file_ != nullptr;
}

void FileStream::Adopt(FILE* file) {
  Close();
  file_ = file;
}

bool FileStream::Seek(uint32_t offset) {
  if (!file_ || offset > kMaxOffset) return false;
  return fseek(file_, static_cast<long>(offset), SEEK_SET) == 0;
}

bool FileStream::Skip(uint32_t count) {
  if (!file_) return false;
  // Relative seeks in steps a signed long can hold.
  while (count > 0) {
    uint32_t step = count > kMaxOffset ? kMaxOffset : count;
    if (fseek(file_, static_cast<long>(step), SEEK_CUR) != 0) return false;
    count -= step;
  }
  return true;
}

bool FileStream::SeekEnd(uint64_t* size) {
#ifdef _WIN32
  if (!file_ || fseek(file_, 0, SEEK_END) != 0) return false;
  const long end = ftell(file_);
#else
  // The host's 64-bit file positions: a file of 4 GiB and more is told whole.
  if (!file_ || fseeko(file_, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file_);
#endif
  if (end < 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

uint32_t FileStream::Position() {
  if (!file_) return 0;
  long pos = ftell(file_);
  return pos < 0 ? 0 : static_cast<uint32_t>(pos);
}

uint32_t FileStream::Read(void* buffer, uint32_t count) {
  if (!file_ || count == 0) return 0;
  return static_cast<uint32_t>(fread(buffer, 1, count, file_));
}

uint32_t FileStream::Write(const void* buffer, uint32_t count) {
  if (!file_ || count == 0) return 0;
  return static_cast<uint32_t>(fwrite(buffer, 1, count, file_));
}

bool FileStream::Close() {
  if (!file_) return false;
  bool flushed = fflush(file_) == 0;
  bool closed = fclose(file_) == 0;
  file_ = nullptr;
  return flushed && closed;
}

}  // namespace kiv
