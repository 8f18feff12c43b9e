// Files by handle: the uninstall file, restored files and the temporary
// copy, straight through the Win32 file calls (no C runtime stream). Apart
// from the other platform files so that kivlog.exe, which reads uninstall
// files the same way, links these without the rest of the stub's calls.
#include <windows.h>

#include "platform/win32.h"

namespace kiv::platform {

namespace {
FileHandle FromWin32(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }
}  // namespace

FileHandle OpenFileDenyingWrites(const char* path) {
  return FromWin32(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle CreateFileForWriting(const char* path) {
  return FromWin32(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool FileSize(FileHandle file, uint64_t* size) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  // 0xFFFFFFFF is also a valid low word: only GetLastError tells.
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  *size = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

bool SeekFile(FileHandle file, uint64_t offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(NO_ERROR);
  const DWORD low =
      SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

uint32_t ReadFileBytes(FileHandle file, void* buffer, uint32_t count) {
  uint32_t done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!ReadFile(file, static_cast<uint8_t*>(buffer) + done, count - done, &got, nullptr) ||
        got == 0) {
      break;
    }
    done += got;
  }
  return done;
}

uint32_t WriteFileBytes(FileHandle file, const void* buffer, uint32_t count) {
  uint32_t done = 0;
  while (done < count) {
    DWORD put = 0;
    if (!WriteFile(file, static_cast<const uint8_t*>(buffer) + done, count - done, &put, nullptr)) {
      break;
    }
    if (put == 0) {
      SetLastError(ERROR_HANDLE_DISK_FULL);  // a short write that says nothing
      break;
    }
    done += put;
  }
  return done;
}

bool CloseFile(FileHandle file) { return CloseHandle(file) != FALSE; }

void* AllocateBuffer(uint32_t size) {
  void* buffer = HeapAlloc(GetProcessHeap(), 0, size);
  if (!buffer) SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // HeapAlloc sets none
  return buffer;
}
void FreeBuffer(void* buffer) {
  if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
}

bool CopyIntoFile(FileHandle out, uint32_t length, ChunkReader read, void* context,
                  uint32_t* delivered) {
  // Per call the system's cost dwarfs the copy, so few large calls are what
  // make a copy run at the system's own speed: a mebibyte a call (as much
  // memory as the stub needs for anything else, and given back at once).
  // The buffer comes from the heap for the copy: a static one would be
  // stored in the file as data.
  constexpr uint32_t kLargeChunk = 1u << 20;
  constexpr uint32_t kSmallChunk = 4096;
  uint8_t fallback[kSmallChunk];
  void* heap = AllocateBuffer(kLargeChunk);
  uint8_t* chunk = heap ? static_cast<uint8_t*>(heap) : fallback;
  const uint32_t size = heap ? kLargeChunk : kSmallChunk;
  *delivered = 0;
  bool written = true;
  while (length > 0 && written) {
    const uint32_t n = length < size ? length : size;
    const uint32_t got = read(context, chunk, n);
    for (uint32_t i = got; i < n; ++i) chunk[i] = 0;
    *delivered += got;
    written = WriteFileBytes(out, chunk, n) == n;
    length -= n;
  }
  if (heap) FreeBuffer(heap);
  return written;
}

}  // namespace kiv::platform
