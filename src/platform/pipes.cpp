// Between the two processes of a run: the pipe and the environment; see
// win32.h.
#include "platform/win32.h"

#include <windows.h>

namespace kiv::platform {

bool CreateInheritedPipe(void** read_end, void** write_end) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, nullptr, 0)) return false;
  HANDLE self = GetCurrentProcess();
  HANDLE inherited = nullptr;
  if (!DuplicateHandle(self, write, self, &inherited, 0, TRUE,
                       DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE)) {
    CloseHandle(read);
    CloseHandle(write);
    return false;
  }
  *read_end = read;
  *write_end = inherited;
  return true;
}

bool SetEnvironmentText(const char* name, const char* value) {
  return SetEnvironmentVariableA(name, value) != FALSE;
}

bool GetEnvironmentText(const char* name, char* buffer, uint32_t capacity) {
  const DWORD n = GetEnvironmentVariableA(name, buffer, capacity);
  return n != 0 && n < capacity;
}

}  // namespace kiv::platform
