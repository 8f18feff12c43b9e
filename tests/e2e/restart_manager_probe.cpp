// A stand-in for the system's Restart Manager (rstrtmgr.dll) that checks the
// path it is asked about: a file that does not exist under that very name
// is refused with ERROR_FILE_NOT_FOUND; one that does is held by "Kiv probe"
// (process 4242). A test sees in the report whether the stub asked about the
// file or about a misread name, and that the stand-in was the one asked.
#include <windows.h>
#include <restartmanager.h>

namespace {

bool g_found = false;

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI RmStartSession(DWORD* session, DWORD, WCHAR* key) {
  *session = 1;
  if (key != nullptr) key[0] = 0;
  g_found = false;
  return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI RmRegisterResources(DWORD, UINT count, LPCWSTR* files, UINT,
                                                       RM_UNIQUE_PROCESS*, UINT, LPCWSTR*) {
  for (UINT i = 0; i < count; ++i) {
    if (GetFileAttributesW(files[i]) == INVALID_FILE_ATTRIBUTES) return ERROR_FILE_NOT_FOUND;
  }
  g_found = count > 0;
  return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI RmGetList(DWORD, UINT* needed, UINT* count,
                                             RM_PROCESS_INFO* info, DWORD* reasons) {
  *needed = g_found ? 1 : 0;
  if (reasons != nullptr) *reasons = 0;
  if (*count < *needed) return ERROR_MORE_DATA;
  *count = *needed;
  if (g_found) {
    info[0] = RM_PROCESS_INFO();
    info[0].Process.dwProcessId = 4242;
    lstrcpyW(info[0].strAppName, L"Kiv probe");
  }
  return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI RmEndSession(DWORD) { return ERROR_SUCCESS; }

}  // extern "C"
