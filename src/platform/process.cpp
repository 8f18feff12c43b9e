// This process and the system it runs on: its module, command line and
// resources, a process started, calls looked up at run time, the clock;
// see win32.h.
#include "platform/win32.h"

#include <windows.h>

namespace kiv::platform {

namespace {
// Constant-initialised: valid before any start-up code runs.
HINSTANCE g_instance = nullptr;
}  // namespace

void SetInstance(void* instance) { g_instance = static_cast<HINSTANCE>(instance); }

const char* CommandLine() { return GetCommandLineA(); }

int StartupShowCode() {
  STARTUPINFOA info;
  info.cb = sizeof(info);
  GetStartupInfoA(&info);
  return (info.dwFlags & STARTF_USESHOWWINDOW) ? info.wShowWindow : SW_SHOWDEFAULT;
}

bool ModuleFileName(char* buffer, uint32_t capacity) {
  // Windows 95 and XP fill the buffer without a NUL when the name is cut,
  // later systems cut and terminate: either way a full buffer means "cut".
  DWORD n = GetModuleFileNameA(g_instance, buffer, capacity);
  if (n == 0 || n >= capacity) {
    if (capacity) buffer[0] = '\0';
    return false;
  }
  return true;
}

bool LoadStringResource(uint32_t id, char* buffer, uint32_t capacity) {
  int n = LoadStringA(g_instance, id, buffer, static_cast<int>(capacity));
  return n > 0 && static_cast<uint32_t>(n) + 1 < capacity;
}

uint32_t TickCount() { return GetTickCount(); }

bool StartProcess(char* command_line, int show_code, bool inherit_handles) {
  STARTUPINFOA info = {};
  info.cb = sizeof(info);
  info.dwFlags = STARTF_USESHOWWINDOW;
  info.wShowWindow = static_cast<WORD>(show_code);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, inherit_handles ? TRUE : FALSE, 0,
                      nullptr, nullptr, &info, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

void* LookUp(const char* dll, const char* name) {
  HMODULE module = GetModuleHandleA(dll);
  return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

void HardenDllSearch() {
  // Windows 95 and NT 4 lack it and must still load us.
  auto set_dirs = LookUpAs<BOOL(WINAPI*)(DWORD)>("kernel32.dll", "SetDefaultDllDirectories");
  if (set_dirs) set_dirs(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
}

LocalTime Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  // The bias is UTC minus local time, in minutes; the zone's standard or
  // daylight part is added as the call says which is in force.
  TIME_ZONE_INFORMATION zone;
  const DWORD which = GetTimeZoneInformation(&zone);
  LONG bias = zone.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  if (which == TIME_ZONE_ID_INVALID) bias = 0;
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, static_cast<int16_t>(-bias)};
}

uint32_t LastError() { return GetLastError(); }

bool WindowsDirectory(char* buffer, uint32_t capacity) {
  UINT n = GetWindowsDirectoryA(buffer, capacity);
  return n != 0 && n < capacity;
}

bool IsWindows95Family() {
  OSVERSIONINFOA info;
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(&info)) return false;
  return info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

}  // namespace kiv::platform
