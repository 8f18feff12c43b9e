// The Win32 calls that take a name, as the rest of src/platform/ makes them:
// each with the A function's arguments, its text in the code page the
// uninstall file names (win32.h: SetNamesCodePage).
//
// With no code page named each is the A call itself, unchanged. With one,
// on the NT family the name goes to the W call as UTF-16 (looked up at run
// time: the 95 family exports no working W calls); on the 95 family it goes
// to the A call in the system's code page, and only when it comes back from
// that code page as the same letters: a name the system cannot spell fails
// with ERROR_NO_UNICODE_TRANSLATION, never reaching a path through a letter
// put in its place.
//
// A path too long for the plain call (MAX_PATH units with its NUL; a
// directory to create or remove, MAX_PATH - 12) goes to the W call in the
// "\\?\" form when the system reads it as written (IsPathAsRead); on the 95
// family, which has no such form, a path past MAX_PATH bytes fails as a name
// it cannot spell, never cut.
//
// Only for src/platform/: it includes <windows.h>.
#ifndef KIV_PLATFORM_NAMED_CALLS_H_
#define KIV_PLATFORM_NAMED_CALLS_H_

#include <stdint.h>
#include <windows.h>

// <windows.h> maps these names to their A or W function; here they name
// ours, which pick.
#undef CreateFile
#undef GetFileAttributes
#undef DeleteFile
#undef RemoveDirectory
#undef CreateDirectory
#undef MoveFile
#undef MoveFileEx
#undef GetFullPathName
#undef GetShortPathName
#undef WritePrivateProfileString
#undef RegOpenKeyEx
#undef RegDeleteValue
#undef RegDeleteKey
#undef RemoveFontResource
#undef MessageBox

namespace kiv::platform::named {

HANDLE CreateFile(const char* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                  DWORD disposition, DWORD flags, HANDLE model);
DWORD GetFileAttributes(const char* path);
BOOL DeleteFile(const char* path);
BOOL RemoveDirectory(const char* path);
BOOL CreateDirectory(const char* path, SECURITY_ATTRIBUTES* security);
BOOL MoveFile(const char* from, const char* to);
BOOL MoveFileEx(const char* from, const char* to, DWORD flags);
// The result in the names' code page; 0 also when it does not convert or fit.
DWORD GetFullPathName(const char* path, DWORD capacity, char* buffer);
DWORD GetShortPathName(const char* path, char* buffer, DWORD capacity);
BOOL WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file);
// The first letter of the key's value as GetPrivateProfileString reads it,
// fallback (an ASCII letter) when it finds no such key; -1 when a name does
// not convert.
int ProfileFirstLetter(const char* section, const char* key, char fallback, const char* file);
LONG RegOpenKeyEx(HKEY root, const char* path, DWORD options, REGSAM access, HKEY* key);
// data: size bytes; a REG_SZ's text (its NUL included) is converted as the
// name is, any other type's bytes go as they are.
LONG RegSetData(HKEY key, const char* name, DWORD type, const void* data, DWORD size);
LONG RegDeleteValue(HKEY key, const char* name);
// RegQueryValueExA: by default asking for nothing but whether the value is
// there; else its type and data too (what data receives is no text, so it
// is never converted).
LONG RegQueryValueExists(HKEY key, const char* name, DWORD* type = nullptr, BYTE* data = nullptr,
                         DWORD* size = nullptr);
LONG RegDeleteKey(HKEY root, const char* path);
BOOL RemoveFontResource(const char* file);
int MessageBox(const char* text, const char* caption, UINT style);
// FindFirstFile and FindNextFile over pattern: visit gets each name in the
// names' code page (empty for one that does not convert). False when
// nothing could be listed.
bool ForEachFound(const char* pattern, void (*visit)(const char* name, void* context),
                  void* context);

// text, in the names' code page (the system's when none is named), as
// UTF-16 into out (capacity units, its NUL included): the units without the
// NUL, or -1 with LastError set when it does not convert or fit.
int ToUtf16(const char* text, WCHAR* out, int capacity);

// Text the system gave in its ANSI code page (a command line's path, the
// program's own name), into the names' code page; false when it does not
// convert or fit. With no names' code page set, a plain copy.
bool FromSystemCodePage(const char* text, char* buffer, uint32_t capacity);
// The reverse, for what only speaks the system's code page (Program
// Manager's DDE): false, with nothing to send, when the system's code page
// cannot spell it exactly.
bool ToSystemCodePage(const char* text, char* buffer, uint32_t capacity);

}  // namespace kiv::platform::named

#endif  // KIV_PLATFORM_NAMED_CALLS_H_
