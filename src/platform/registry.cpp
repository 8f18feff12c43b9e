// The registry and fonts; see win32.h.
#include "platform/win32.h"

#include "platform/named_calls.h"

#include <windows.h>

namespace kiv::platform {

RegKey RootKey(uint32_t index) {
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u + index));
}

namespace {
// The registry calls return their reason; it goes where LastError finds it.
bool Registry(LONG rc) {
  if (rc == ERROR_SUCCESS) return true;
  SetLastError(static_cast<DWORD>(rc));
  return false;
}
}  // namespace

bool RegOpenFullAccess(RegKey root, const char* path, RegKey* key) {
  HKEY out = nullptr;
  const bool opened =
      Registry(named::RegOpenKeyEx(static_cast<HKEY>(root), path, 0, KEY_ALL_ACCESS, &out));
  *key = out;
  return opened;
}

bool RegSetString(RegKey key, const char* name, const char* data, uint32_t size) {
  return Registry(named::RegSetString(static_cast<HKEY>(key), name, data, size));
}

bool RegDeleteValueNamed(RegKey key, const char* name) {
  return Registry(named::RegDeleteValue(static_cast<HKEY>(key), name));
}

bool RegValueExists(RegKey key, const char* name) {
  return named::RegQueryValueExists(static_cast<HKEY>(key), name) ==
         ERROR_SUCCESS;
}

bool RegQueryCounts(RegKey key, uint32_t* subkeys, uint32_t* values) {
  DWORD sub = 0;
  DWORD val = 0;
  const bool ok = Registry(RegQueryInfoKeyA(static_cast<HKEY>(key), nullptr, nullptr, nullptr,
                                            &sub, nullptr, nullptr, &val, nullptr, nullptr,
                                            nullptr, nullptr));
  *subkeys = ok ? sub : 0;
  *values = ok ? val : 0;
  return ok;
}

void RegClose(RegKey key) { RegCloseKey(static_cast<HKEY>(key)); }

bool RegDeleteKeyPath(RegKey root, const char* path) {
  return Registry(named::RegDeleteKey(static_cast<HKEY>(root), path));
}

bool RemoveFont(const char* file) { return named::RemoveFontResource(file) != FALSE; }

}  // namespace kiv::platform
