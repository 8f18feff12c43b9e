// See named_calls.h. Every W function is looked up once, when the code page
// is set, in the DLL the stub already imports from.
#include "platform/named_calls.h"

#include "base/code_page_text.h"
#include "base/path_rules.h"
#include "platform/win32.h"

namespace kiv::platform {

namespace {

// Constant-initialised: valid before any start-up code runs.
uint32_t g_code_page = 0;  // 0: the A calls, with the system's code page
bool g_wide = false;       // the NT family: the W calls
bool g_unspellable = false;  // a name could not be converted (TakeUnspellable)

// The W calls, in the order of their names below.
enum WideCall {
  kCreateFileW,
  kGetFileAttributesW,
  kDeleteFileW,
  kRemoveDirectoryW,
  kCreateDirectoryW,
  kMoveFileExW,
  kGetFullPathNameW,
  kGetShortPathNameW,
  kWritePrivateProfileStringW,
  kGetPrivateProfileStringW,
  kFindFirstFileW,
  kFindNextFileW,
  kRegOpenKeyExW,
  kRegSetValueExW,
  kRegDeleteValueW,
  kRegQueryValueExW,
  kRegDeleteKeyW,
  kRemoveFontResourceW,
  kMessageBoxW,
  kCharUpperBuffW,
  kWideCallCount
};
// Each DLL's name, then its calls' names, an empty name ending its list.
constexpr char kWideCallNames[] =
    "kernel32.dll\0CreateFileW\0GetFileAttributesW\0DeleteFileW\0RemoveDirectoryW\0"
    "CreateDirectoryW\0MoveFileExW\0GetFullPathNameW\0GetShortPathNameW\0"
    "WritePrivateProfileStringW\0GetPrivateProfileStringW\0FindFirstFileW\0FindNextFileW\0\0"
    "advapi32.dll\0RegOpenKeyExW\0RegSetValueExW\0RegDeleteValueW\0RegQueryValueExW\0"
    "RegDeleteKeyW\0\0"
    "gdi32.dll\0RemoveFontResourceW\0\0"
    "user32.dll\0MessageBoxW\0CharUpperBuffW\0";
void* g_wide_calls[kWideCallCount] = {};

// The W call found for the function <windows.h> declares as name, with its
// type: KIV_WIDE(MessageBoxW)(nullptr, text, caption, style).
#define KIV_WIDE(name) reinterpret_cast<decltype(&::name)>(g_wide_calls[k##name])

const char* After(const char* text) {
  while (*text != '\0') ++text;
  return text + 1;
}

bool FindWideCalls() {
  const char* dll = kWideCallNames;
  int slot = 0;
  while (slot < kWideCallCount) {
    const char* name = After(dll);
    for (; *name != '\0' && slot < kWideCallCount; name = After(name)) {
      g_wide_calls[slot] = LookUp(dll, name);
      if (g_wide_calls[slot++] == nullptr) return false;
    }
    dll = name + 1;
  }
  return true;
}

}  // namespace

namespace named {

int ToUtf16(const char* text, WCHAR* out, int capacity) {
  if (g_code_page == kCodePageUtf8) {
    const int n = static_cast<int>(Utf8ToUtf16(text, reinterpret_cast<uint16_t*>(out),
                                               static_cast<uint32_t>(capacity)));
    if (n > 0 || text[0] == '\0') return n;
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return -1;
  }
  // CP_ACP is 0: a file that names no code page is in the system's.
  const int n = MultiByteToWideChar(g_code_page, g_code_page != 0 ? MB_ERR_INVALID_CHARS : 0,
                                    text, -1, out, capacity);
  return n - 1;
}

}  // namespace named

namespace {

// A field holds at most 1,023 bytes, so at most 1,023 UTF-16 units; in the
// system's code page each unit takes at most two bytes.
constexpr int kWideCapacity = 1100;
constexpr int kAnsiCapacity = 2 * kWideCapacity;

// What a name is to the call, for its length: text (no limit), or a path
// to a file or a directory. A path the plain call cannot take whole (MAX_PATH
// units with its NUL; a directory's MAX_PATH - 12, so that a 8.3 name still
// fits below it) goes in the "\\?\" form on the NT family; the 95 family,
// which has no such form, takes none: the name is refused as one it cannot
// spell, never cut.
constexpr int kText = 0;
constexpr int kFilePath = MAX_PATH;
constexpr int kDirectoryPath = MAX_PATH - 12;

// One name, converted for the call it goes to: with no code page named the
// text itself (the A call); else its letters for the W call on the NT
// family, or in the system's code page for the A call on the 95 family. A
// null text stays null (an absent argument).
class Name {
 public:
  // False, with LastError ERROR_NO_UNICODE_TRANSLATION and the run told
  // (TakeUnspellable), when the text does not convert. system_code_page:
  // the A call's letters on both families.
  bool Take(const char* text, int path_limit = kText, bool system_code_page = false) {
    if (Convert(text, path_limit, system_code_page)) return true;
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    g_unspellable = true;
    return false;
  }
  // Take, telling nobody.
  bool Convert(const char* text, int path_limit = kText, bool system_code_page = false) {
    arg_ = text;
    if (text == nullptr || g_code_page == 0) return true;
    wide_length_ = named::ToUtf16(text, wide_, kWideCapacity);
    if (wide_length_ < 0) return false;
    if (g_wide && !system_code_page) {
      if (path_limit != kText && wide_length_ >= path_limit) Lengthen(text);
      arg_ = wide_;
      return true;
    }
    arg_ = ansi_;
    return ToSystemCodePage(path_limit);
  }
  // What the call Pick gives takes: the A call's text or, as the same
  // pointer, the W call's letters.
  const char* arg() const { return static_cast<const char*>(arg_); }
  // The letters, to change in place.
  WCHAR* wide() { return wide_; }
  // The units without the NUL.
  int wide_length() const { return wide_length_; }

 private:
  // A long path, text, in the "\\?\" form: "C:\dir" as "\\?\C:\dir",
  // "\\server\share" as "\\?\UNC\server\share". That form takes every
  // letter as written, so only a path the system reads as written goes so
  // (IsPathAsRead: what the check holds a long path of the file to); any
  // other stays as it is, for the plain call to refuse as too long.
  void Lengthen(const char* text) {
    WCHAR* w = wide_;
    if (w[2] == '?' || wide_length_ + 6 >= kWideCapacity ||
        !IsPathAsRead(reinterpret_cast<const uint8_t*>(text),
                      static_cast<uint32_t>(lstrlenA(text)), g_code_page)) {
      return;
    }
    const bool drive = w[1] == ':';
    const int shift = drive ? 4 : 6;
    for (int i = wide_length_; i >= 0; --i) w[i + shift] = w[i];
    for (int i = 0; i < shift + (drive ? 0 : 1); ++i) w[i] = "\\\\?\\UNC"[i];
    wide_length_ += shift;
  }
  // The 95 family: the letters in the system's code page, and back again
  // to the very same letters, else nothing; a path only within MAX_PATH.
  bool ToSystemCodePage(int path_limit) {
    BOOL substituted = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, 0, wide_, -1, ansi_, kAnsiCapacity, nullptr,
                                      &substituted);
    if (n <= 0 || substituted || (path_limit != kText && n > MAX_PATH)) return false;
    WCHAR again[kWideCapacity];
    const int m = MultiByteToWideChar(CP_ACP, 0, ansi_, -1, again, kWideCapacity);
    if (m != wide_length_ + 1) return false;
    for (int i = 0; i < m; ++i) {
      if (again[i] != wide_[i]) return false;
    }
    return true;
  }

  const void* arg_ = nullptr;
  int wide_length_ = 0;
  WCHAR wide_[kWideCapacity];
  char ansi_[kAnsiCapacity];
};

// The call for the names Take converted: the W one on the NT family with a
// code page named, else the A one. Called through the A one's type: the W
// one takes the same arguments, a name as WCHAR letters in place of char.
template <typename Function>
Function Pick(Function a_call, WideCall w_call) {
  return g_wide ? reinterpret_cast<Function>(g_wide_calls[w_call]) : a_call;
}

// A result from a W call back into the names' code page; 0 when it does
// not convert exactly or fit.
DWORD FromWide(const WCHAR* wide, DWORD length, char* buffer, DWORD capacity) {
  if (length == 0 || length >= static_cast<DWORD>(kWideCapacity)) return 0;
  BOOL substituted = FALSE;
  const bool utf8 = g_code_page == kCodePageUtf8;
  // UTF-8 takes no default-letter argument: every letter has its bytes.
  const int n = WideCharToMultiByte(g_code_page, 0, wide, static_cast<int>(length), buffer,
                                    static_cast<int>(capacity) - 1, nullptr,
                                    utf8 ? nullptr : &substituted);
  if (n <= 0 || substituted) return 0;
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// Text the system gave in its code page into the names' code page; 0 when
// it is empty or does not convert exactly or fit.
DWORD FromSystem(const char* text, char* buffer, DWORD capacity) {
  WCHAR wide[kWideCapacity];
  const int m = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kWideCapacity);
  return FromWide(wide, static_cast<DWORD>(m - 1), buffer, capacity);
}

// text whole into buffer; false when it does not fit.
bool CopyWhole(const char* text, char* buffer, uint32_t capacity) {
  const uint32_t n = static_cast<uint32_t>(lstrlenA(text));
  if (n >= capacity) return false;
  for (uint32_t i = 0; i <= n; ++i) buffer[i] = text[i];
  return true;
}

}  // namespace

uint32_t FoldName(const char* text, char* out, uint32_t capacity) {
  Name name;
  if (!name.Convert(text)) return 0;
  if (g_wide) {
    if (name.wide_length() == 0) return 0;
    KIV_WIDE(CharUpperBuffW)(name.wide(), static_cast<DWORD>(name.wide_length()));
    return FromWide(name.wide(), static_cast<DWORD>(name.wide_length()), out, capacity);
  }
  // The letters the A calls get, in the system's code page.
  if (name.arg()[0] == '\0' || !CopyWhole(name.arg(), out, capacity)) return 0;
  return CharUpperBuffA(out, static_cast<DWORD>(lstrlenA(out)));
}

bool SetNamesCodePage(uint32_t code_page) {
  g_code_page = 0;
  g_wide = false;
  if (code_page == 0) return true;
  if (!IsWindows95Family()) {
    if (!FindWideCalls()) return false;
    g_wide = true;
  }
  g_code_page = code_page;
  return true;
}

uint32_t NamesCodePage() { return g_code_page; }

bool TakeUnspellable() {
  const bool was = g_unspellable;
  g_unspellable = false;
  return was;
}

namespace named {

HANDLE CreateFile(const char* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                  DWORD disposition, DWORD flags, HANDLE model) {
  Name name;
  if (!name.Take(path, kFilePath)) return INVALID_HANDLE_VALUE;
  return Pick(&CreateFileA, kCreateFileW)(name.arg(), access, share, security, disposition,
                                          flags, model);
}

DWORD GetFileAttributes(const char* path) {
  Name name;
  if (!name.Take(path, kFilePath)) return INVALID_FILE_ATTRIBUTES;
  return Pick(&GetFileAttributesA, kGetFileAttributesW)(name.arg());
}

BOOL DeleteFile(const char* path) {
  Name name;
  return name.Take(path, kFilePath) && Pick(&DeleteFileA, kDeleteFileW)(name.arg());
}

BOOL RemoveDirectory(const char* path) {
  Name name;
  return name.Take(path, kDirectoryPath) && Pick(&RemoveDirectoryA, kRemoveDirectoryW)(name.arg());
}

BOOL CreateDirectory(const char* path, SECURITY_ATTRIBUTES* security) {
  Name name;
  return name.Take(path, kDirectoryPath) &&
         Pick(&CreateDirectoryA, kCreateDirectoryW)(name.arg(), security);
}

namespace {
// MoveFileEx's flags for a plain MoveFile, which the 95 family has alone.
constexpr DWORD kPlainMove = ~0u;
}  // namespace

BOOL MoveFile(const char* from, const char* to) { return MoveFileEx(from, to, kPlainMove); }

BOOL MoveFileEx(const char* from, const char* to, DWORD flags) {
  Name a;
  Name b;
  if (!a.Take(from, kFilePath) || !b.Take(to, kFilePath)) return FALSE;
  if (flags == kPlainMove) {
    if (!g_wide) return MoveFileA(a.arg(), b.arg());
    flags = 0;  // MoveFileExW with no flags is MoveFileW: one lookup less
  }
  return Pick(&MoveFileExA, kMoveFileExW)(a.arg(), b.arg(), flags);
}

namespace {
// GetFullPathName (full) or GetShortPathName of path, into buffer.
DWORD PathName(const char* path, char* buffer, DWORD capacity, bool full) {
  if (g_code_page == 0) {
    return full ? GetFullPathNameA(path, capacity, buffer, nullptr)
                : GetShortPathNameA(path, buffer, capacity);
  }
  Name name;
  if (!name.Take(path, kFilePath)) return 0;
  if (!g_wide) {
    // The system's letters back into the file's: only ASCII ones are sure to
    // be the same; any other goes through the names' code page.
    char ansi[kAnsiCapacity];
    const DWORD n = full ? GetFullPathNameA(name.arg(), sizeof(ansi), ansi, nullptr)
                         : GetShortPathNameA(name.arg(), ansi, sizeof(ansi));
    return n != 0 && n < sizeof(ansi) ? FromSystem(ansi, buffer, capacity) : 0;
  }
  WCHAR wide[kWideCapacity];
  const WCHAR* letters = reinterpret_cast<const WCHAR*>(name.arg());
  const DWORD n = full ? KIV_WIDE(GetFullPathNameW)(letters, kWideCapacity, wide, nullptr)
                       : KIV_WIDE(GetShortPathNameW)(letters, wide, kWideCapacity);
  return FromWide(wide, n, buffer, capacity);
}
}  // namespace

DWORD GetFullPathName(const char* path, DWORD capacity, char* buffer) {
  return PathName(path, buffer, capacity, true);
}

DWORD GetShortPathName(const char* path, char* buffer, DWORD capacity) {
  return PathName(path, buffer, capacity, false);
}

BOOL WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file) {
  Name s;
  Name k;
  Name v;
  Name f;
  return s.Take(section) && k.Take(key) && v.Take(value) && f.Take(file) &&
         Pick(&WritePrivateProfileStringA, kWritePrivateProfileStringW)(s.arg(), k.arg(),
                                                                         v.arg(), f.arg());
}

int ProfileFirstLetter(const char* section, const char* key, char fallback, const char* file) {
  Name s;
  Name k;
  Name f;
  if (!s.Take(section) || !k.Take(key) || !f.Take(file)) return -1;
  const WCHAR wide_fallback[] = {static_cast<WCHAR>(fallback), 0};
  const char ansi_fallback[] = {fallback, '\0'};
  const void* fallback_arg = g_wide ? static_cast<const void*>(wide_fallback) : ansi_fallback;
  // Two letters' room either way: the A call's bytes or the W call's units.
  WCHAR got[2];
  Pick(&GetPrivateProfileStringA, kGetPrivateProfileStringW)(
      s.arg(), k.arg(), static_cast<const char*>(fallback_arg), reinterpret_cast<char*>(got), 2,
      f.arg());
  return g_wide ? got[0] : static_cast<uint8_t>(reinterpret_cast<const char*>(got)[0]);
}

LONG RegOpenKeyEx(HKEY root, const char* path, DWORD options, REGSAM access, HKEY* key) {
  Name name;
  if (!name.Take(path)) return ERROR_NO_UNICODE_TRANSLATION;
  return Pick(&RegOpenKeyExA, kRegOpenKeyExW)(root, name.arg(), options, access, key);
}

LONG RegSetString(HKEY key, const char* name, const char* data, DWORD size) {
  Name n;
  Name d;
  if (!n.Take(name) || !d.Take(data)) return ERROR_NO_UNICODE_TRANSLATION;
  if (g_wide) {
    size = static_cast<DWORD>((d.wide_length() + 1) * sizeof(WCHAR));
  } else if (g_code_page != 0) {
    size = static_cast<DWORD>(lstrlenA(d.arg()) + 1);
  }
  return Pick(&RegSetValueExA, kRegSetValueExW)(key, n.arg(), 0, REG_SZ,
                                                reinterpret_cast<const BYTE*>(d.arg()), size);
}

LONG RegDeleteValue(HKEY key, const char* name) {
  Name n;
  if (!n.Take(name)) return ERROR_NO_UNICODE_TRANSLATION;
  return Pick(&RegDeleteValueA, kRegDeleteValueW)(key, n.arg());
}

LONG RegQueryValueExists(HKEY key, const char* name) {
  Name n;
  if (!n.Take(name)) return ERROR_NO_UNICODE_TRANSLATION;
  return Pick(&RegQueryValueExA, kRegQueryValueExW)(key, n.arg(), nullptr, nullptr, nullptr,
                                                    nullptr);
}

LONG RegDeleteKey(HKEY root, const char* path) {
  Name n;
  if (!n.Take(path)) return ERROR_NO_UNICODE_TRANSLATION;
  return Pick(&RegDeleteKeyA, kRegDeleteKeyW)(root, n.arg());
}

BOOL RemoveFontResource(const char* file) {
  Name n;
  return n.Take(file) && Pick(&RemoveFontResourceA, kRemoveFontResourceW)(n.arg());
}

int MessageBox(const char* text, const char* caption, UINT style) {
  Name t;
  Name c;
  if (t.Take(text) && c.Take(caption)) {
    return Pick(&MessageBoxA, kMessageBoxW)(nullptr, t.arg(), c.arg(), style);
  }
  // A text the 95 family cannot spell is still shown, as its bytes: the
  // question must be asked all the same.
  return MessageBoxA(nullptr, text, caption, style);
}

bool ToSystemCodePage(const char* text, char* buffer, uint32_t capacity) {
  Name name;
  return name.Take(text, kText, true) && CopyWhole(name.arg(), buffer, capacity);
}

bool FromSystemCodePage(const char* text, char* buffer, uint32_t capacity) {
  if (g_code_page == 0 || text[0] == '\0') return CopyWhole(text, buffer, capacity);
  return FromSystem(text, buffer, capacity) != 0;
}

bool ForEachFound(const char* pattern, void (*visit)(const char* name, void* context),
                  void* context) {
  Name name;
  if (!name.Take(pattern, kFilePath)) return false;
  // The A call's record or the W call's, as the call Pick gives fills it.
  union {
    WIN32_FIND_DATAA ansi;
    WIN32_FIND_DATAW wide;
  } found;
  HANDLE find = Pick(&FindFirstFileA, kFindFirstFileW)(name.arg(), &found.ansi);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    char converted[MAX_PATH * 4];
    const char* seen = found.ansi.cFileName;
    if (g_wide) {
      // Counted here: lstrlenW is no import both families are known to have.
      DWORD length = 0;
      while (length < MAX_PATH && found.wide.cFileName[length] != 0) ++length;
      seen = FromWide(found.wide.cFileName, length, converted, sizeof(converted)) ? converted : "";
    } else if (g_code_page != 0) {
      seen = FromSystem(found.ansi.cFileName, converted, sizeof(converted)) ? converted : "";
    }
    visit(seen, context);
  } while (Pick(&FindNextFileA, kFindNextFileW)(find, &found.ansi));
  FindClose(find);
  return true;
}

}  // namespace named

}  // namespace kiv::platform
