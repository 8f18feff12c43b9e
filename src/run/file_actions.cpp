// Directory and File records: remove what the installer created, put back
// what it replaced.
#include "platform/file_stream.h"
#include "platform/fixed_string.h"
#include "platform/win32.h"
#include "run/record_actions.h"

namespace kiv {

namespace {
constexpr uint32_t kCopyBufferSize = 4096;
}  // namespace

void UndoDirectory(LogReader& reader) {
  ShortString path;
  if (!reader.ReadString(path.data(), path.capacity())) return;
  platform::RemoveDirectoryPath(path.c_str());
}

void UndoFile(LogReader& reader) {
  ShortString path;
  if (!reader.ReadString(path.data(), path.capacity())) return;
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
  FileStream out;
  if (!out.OpenWrite(path)) {
    reader.Skip(left);
    return;
  }
  // One fixed buffer, whatever the length: a saved file is never held whole.
  uint8_t chunk[kCopyBufferSize];
  while (left > 0) {
    const uint32_t n = left < kCopyBufferSize ? left : kCopyBufferSize;
    const uint32_t got = reader.ReadBytes(chunk, n);
    // Content the log does not deliver is written as zeros, so the file
    // always has its saved length.
    for (uint32_t i = got; i < n; ++i) chunk[i] = 0;
    out.Write(chunk, n);
    left -= n;
  }
  out.Close();
  if (have_time) platform::SetFileTimes(path, saved_time);
}

}  // namespace kiv
