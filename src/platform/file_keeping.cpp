// Shared and kept files; see file_keeping.h.
#include "platform/file_keeping.h"

#include "platform/named_calls.h"
#include "platform/win32.h"

#include <windows.h>

namespace kiv::platform {

constexpr char kSharedDlls[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

bool SharedCount(const char* path, uint32_t* count, bool set) {
  RegKey opened;
  if (!RegOpenFullAccess(HKEY_LOCAL_MACHINE, kSharedDlls, &opened)) return false;
  const HKEY key = static_cast<HKEY>(opened);
  DWORD type = REG_DWORD;
  DWORD size = sizeof(*count);
  LONG rc = !set     ? named::RegQueryValueExists(key, path, &type, reinterpret_cast<BYTE*>(count),
                                                  &size)
            : *count ? named::RegSetData(key, path, REG_DWORD, count, size)
                     : named::RegDeleteValue(key, path);
  RegCloseKey(key);
  if (set && *count == 0 && rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(rc));
  return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(*count);
}

void* OpenProductFileForReading(const char* path) {
  HANDLE file = named::CreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

}  // namespace kiv::platform
