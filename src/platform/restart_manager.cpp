// Who holds a file, as the Restart Manager says; see win32.h.
#include "platform/win32.h"

#include "platform/named_calls.h"

#include <windows.h>
#include <restartmanager.h>

namespace kiv::platform {

namespace {

using RmStart = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmRegister = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
using RmList = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
using RmEnd = DWORD(WINAPI*)(DWORD);

template <typename Function>
Function ProcOf(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// One session on one file; the result of the first call that failed.
DWORD ListHolders(HMODULE rm, const WCHAR* file, FileHolders* holders) {
  const auto start = ProcOf<RmStart>(rm, "RmStartSession");
  const auto add = ProcOf<RmRegister>(rm, "RmRegisterResources");
  const auto list = ProcOf<RmList>(rm, "RmGetList");
  const auto end = ProcOf<RmEnd>(rm, "RmEndSession");
  if (!start || !add || !list || !end) return ERROR_PROC_NOT_FOUND;
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  DWORD rc = start(&session, 0, key);
  if (rc != ERROR_SUCCESS) return rc;
  LPCWSTR files[] = {file};
  RM_PROCESS_INFO info[FileHolders::kMaxNamed];
  UINT needed = 0;
  UINT count = FileHolders::kMaxNamed;
  DWORD reasons = 0;
  rc = add(session, 1, files, 0, nullptr, 0, nullptr);
  if (rc == ERROR_SUCCESS) rc = list(session, &needed, &count, info, &reasons);
  if (rc == ERROR_SUCCESS) {
    holders->asked = FileHolders::Asked::kListed;
    holders->count = count < FileHolders::kMaxNamed ? count : FileHolders::kMaxNamed;
    for (uint32_t i = 0; i < holders->count; ++i) {
      FileHolders::Holder& holder = holders->holders[i];
      holder.process_id = info[i].Process.dwProcessId;
      // A name that does not fit is left out (a failed conversion may leave
      // a part of it without its NUL).
      // In the names' code page, as every other name the report writes.
      const uint32_t names = NamesCodePage();
      if (!WideCharToMultiByte(names != 0 ? names : CP_ACP, 0, info[i].strAppName, -1,
                               holder.name.data(),
                               static_cast<int>(holder.name.capacity()), nullptr, nullptr)) {
        holder.name.Clear();
      }
    }
  } else if (rc == ERROR_MORE_DATA) {
    // No room for every program: the list is not filled, only counted.
    holders->asked = FileHolders::Asked::kTooMany;
    holders->total = needed;
    rc = ERROR_SUCCESS;
  }
  end(session);
  return rc;
}

}  // namespace

void AskWhoHolds(const char* path, FileHolders* holders) {
  *holders = FileHolders();
  if (IsWindows95Family()) return;
  // By its full path: a DLL of that name anywhere else is never loaded.
  PathString dll;
  const UINT n = GetSystemDirectoryA(dll.data(), dll.capacity());
  if (n == 0 || n >= dll.capacity() || !dll.Append("\\rstrtmgr.dll")) return;
  HMODULE rm = LoadLibraryA(dll.c_str());
  if (!rm) return;  // before Vista
  // The path in the uninstall file's code page, as every other call takes
  // it, and as long as a record may log it (a buffer of MAX_PATH refused a
  // long path as a name that does not convert, error 1113).
  WCHAR wide[PathString::capacity()];
  const DWORD rc = named::ToUtf16(path, wide, PathString::capacity()) < 0
                       ? GetLastError()
                       : ListHolders(rm, wide, holders);
  if (rc == ERROR_PROC_NOT_FOUND) {
    holders->asked = FileHolders::Asked::kNoRestartManager;
  } else if (rc != ERROR_SUCCESS) {
    holders->asked = FileHolders::Asked::kFailed;
    holders->error = rc;
  }
  FreeLibrary(rm);
}

}  // namespace kiv::platform
