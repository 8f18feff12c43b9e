// Directory and File records: remove what the installer created, put back
// what it replaced.
#include "platform/fixed_string.h"
#include "platform/win32.h"
#include "run/record_actions.h"

namespace kiv {

namespace {
// Saved content moves in units this large, straight from the uninstall file
// to the restored one: per call the system's cost dwarfs the copy, so few
// large calls are what make a restore run at copy speed. The buffer is taken
// from the heap for the restore (a static one would be stored in the file
// as initialised data) and a small one on the stack stands in when the heap
// has none.
constexpr uint32_t kRestoreChunk = 65536;
constexpr uint32_t kFallbackChunk = 4096;
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
  platform::FileHandle out = platform::CreateFileForWriting(path);
  if (!out) {
    reader.Skip(left);
    return;
  }
  // One fixed buffer, whatever the length: a saved file is never held whole.
  uint8_t fallback[kFallbackChunk];
  uint8_t* chunk = static_cast<uint8_t*>(platform::AllocateBuffer(kRestoreChunk));
  const uint32_t size = chunk ? kRestoreChunk : kFallbackChunk;
  if (!chunk) chunk = fallback;
  while (left > 0) {
    const uint32_t n = left < size ? left : size;
    const uint32_t got = reader.ReadBytes(chunk, n);
    // Content the log does not deliver is written as zeros, so the file
    // always has its saved length.
    for (uint32_t i = got; i < n; ++i) chunk[i] = 0;
    platform::WriteFileBytes(out, chunk, n);
    left -= n;
  }
  if (chunk != fallback) platform::FreeBuffer(chunk);
  platform::CloseFile(out);
  if (have_time) platform::SetFileTimes(path, saved_time);
}

}  // namespace kiv
