// A DLL an attacker would plant: when any process loads it, it leaves a
// marker file naming itself and the process, so a test can tell whether the
// stub ever loaded a DLL from a directory it should not search.
#include <windows.h>

namespace {

void Append(char* out, size_t capacity, const char* text) {
  size_t used = lstrlenA(out);
  while (*text && used + 1 < capacity) out[used++] = *text++;
  out[used] = '\0';
}

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == '/') base = p + 1;
  }
  return base;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char self[MAX_PATH] = {};
  char process[MAX_PATH] = {};
  GetModuleFileNameA(instance, self, sizeof(self));
  GetModuleFileNameA(nullptr, process, sizeof(process));
  char marker[MAX_PATH * 2] = "C:\\kivtest\\planted_markers\\";
  CreateDirectoryA("C:\\kivtest", nullptr);
  CreateDirectoryA(marker, nullptr);
  Append(marker, sizeof(marker), BaseName(self));
  Append(marker, sizeof(marker), "-in-");
  Append(marker, sizeof(marker), BaseName(process));
  Append(marker, sizeof(marker), ".txt");
  HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, self, lstrlenA(self), &written, nullptr);
    CloseHandle(file);
  }
  return TRUE;
}
