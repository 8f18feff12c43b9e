// Whole files through the 16-bit-era calls, and profile entries; see
// win32.h.
#include "platform/win32.h"

#include "platform/named_calls.h"

#include <windows.h>

// <windows.h> maps WriteProfileString to WriteProfileStringA (the WIN.INI
// call); without this our wrapper would be defined under that name and the
// callers, who never see the macro, would not find it.
#undef WriteProfileString

namespace kiv::platform {

static_assert(kNoWholeFile == HFILE_ERROR);
WholeFile WholeFileOpenReadWrite(const char* path) { return _lopen(path, OF_READWRITE); }
WholeFile WholeFileCreate(const char* path) { return _lcreat(path, 0); }

bool WholeFileSeekEnd(WholeFile file, uint32_t* size) {
  const LONG end = _llseek(file, 0, FILE_END);
  *size = static_cast<uint32_t>(end);
  return end >= 0;
}

bool WholeFileSeekStart(WholeFile file) { return _llseek(file, 0, FILE_BEGIN) == 0; }

uint32_t WholeFileRead(WholeFile file, void* buffer, uint32_t count) {
  UINT n = _lread(file, buffer, count);
  if (n == static_cast<UINT>(HFILE_ERROR)) return 0;
  if (n < count) SetLastError(ERROR_HANDLE_EOF);  // the file ended early: no error said so
  return n;
}

uint32_t WholeFileWrite(WholeFile file, const void* buffer, uint32_t count) {
  UINT n = _lwrite(file, static_cast<LPCCH>(buffer), count);
  if (n == static_cast<UINT>(HFILE_ERROR)) return 0;
  if (n < count) SetLastError(ERROR_HANDLE_DISK_FULL);
  return n;
}

void WholeFileClose(WholeFile file) { _lclose(file); }

bool WholeFileTruncateHere(WholeFile file) {
  // On Win32 an HFILE is the file's handle.
  return SetEndOfFile(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(file))) != FALSE;
}

bool WriteProfileString(const char* section, const char* key, const char* value, const char* file) {
  return named::WritePrivateProfileString(section, key, value, file) != FALSE;
}

bool ProfileKeyExists(const char* section, const char* key, const char* file) {
  // No value is both "0" and "1" at its start: the key is missing exactly
  // when each fallback comes back. A name that does not convert is there
  // for all this can tell: the write then refuses it.
  const int a = named::ProfileFirstLetter(section, key, '0', file);
  return a != '0' || named::ProfileFirstLetter(section, key, '1', file) != '1';
}

}  // namespace kiv::platform
