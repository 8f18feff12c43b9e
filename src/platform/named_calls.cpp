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

// One name, converted for the call: wide() on the NT family, ansi() on the
// 95 family. A null text stays null (an absent argument).
class Name {
 public:
  explicit Name(const char* text, int path_limit = kText, bool system_code_page = false) {
    if (text == nullptr) {
      null_ = true;
      return;
    }
    if (!ToWide(text)) return;
    if (g_wide && !system_code_page) {
      if (path_limit != kText && wide_length_ >= path_limit) Lengthen(text);
      ok_ = true;
      return;
    }
    ok_ = ToSystemCodePage(path_limit);
  }
  // Converted, telling nobody.
  bool converted() const { return ok_ || null_; }
  // Converted; otherwise LastError holds ERROR_NO_UNICODE_TRANSLATION.
  bool ok() const {
    if (!ok_ && !null_) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      g_unspellable = true;
    }
    return ok_ || null_;
  }
  // The letters to change in place (a null text has none).
  WCHAR* letters() { return wide_; }
  const WCHAR* wide() const { return null_ ? nullptr : wide_; }
  const char* ansi() const { return null_ ? nullptr : ansi_; }
  // The units without the NUL.
  int wide_length() const { return wide_length_; }

 private:
  bool ToWide(const char* text) {
    wide_length_ = named::ToUtf16(text, wide_, kWideCapacity);
    return wide_length_ >= 0;
  }
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

  bool null_ = false;
  bool ok_ = false;
  int wide_length_ = 0;
  WCHAR wide_[kWideCapacity];
  char ansi_[kAnsiCapacity];
};

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

}  // namespace

uint32_t FoldName(const char* text, char* out, uint32_t capacity) {
  if (g_code_page != 0) {
    Name name(text);
    if (!name.converted()) return 0;
    if (g_wide) {
      if (name.wide_length() == 0) return 0;
      KIV_WIDE(CharUpperBuffW)(name.letters(), static_cast<DWORD>(name.wide_length()));
      return FromWide(name.letters(), static_cast<DWORD>(name.wide_length()), out, capacity);
    }
    text = name.ansi();  // the letters the A calls get, in the system's code page
  }
  const uint32_t n = static_cast<uint32_t>(lstrlenA(text));
  if (n == 0 || n >= capacity) return 0;
  for (uint32_t i = 0; i <= n; ++i) out[i] = text[i];
  CharUpperBuffA(out, n);
  return n;
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
  if (g_code_page == 0) {
    return CreateFileA(path, access, share, security, disposition, flags, model);
  }
  Name name(path, kFilePath);
  if (!name.ok()) return INVALID_HANDLE_VALUE;
  return g_wide ? KIV_WIDE(CreateFileW)(name.wide(), access, share, security, disposition, flags,
                                      model)
                : CreateFileA(name.ansi(), access, share, security, disposition, flags, model);
}

DWORD GetFileAttributes(const char* path) {
  if (g_code_page == 0) return GetFileAttributesA(path);
  Name name(path, kFilePath);
  if (!name.ok()) return INVALID_FILE_ATTRIBUTES;
  return g_wide ? KIV_WIDE(GetFileAttributesW)(name.wide()) : GetFileAttributesA(name.ansi());
}

BOOL DeleteFile(const char* path) {
  if (g_code_page == 0) return DeleteFileA(path);
  Name name(path, kFilePath);
  if (!name.ok()) return FALSE;
  return g_wide ? KIV_WIDE(DeleteFileW)(name.wide()) : DeleteFileA(name.ansi());
}

BOOL RemoveDirectory(const char* path) {
  if (g_code_page == 0) return RemoveDirectoryA(path);
  Name name(path, kDirectoryPath);
  if (!name.ok()) return FALSE;
  return g_wide ? KIV_WIDE(RemoveDirectoryW)(name.wide()) : RemoveDirectoryA(name.ansi());
}

BOOL CreateDirectory(const char* path, SECURITY_ATTRIBUTES* security) {
  if (g_code_page == 0) return CreateDirectoryA(path, security);
  Name name(path, kDirectoryPath);
  if (!name.ok()) return FALSE;
  return g_wide ? KIV_WIDE(CreateDirectoryW)(name.wide(), security)
                : CreateDirectoryA(name.ansi(), security);
}

BOOL MoveFile(const char* from, const char* to) {
  if (g_code_page == 0) return MoveFileA(from, to);
  // MoveFileExW with no flags is MoveFileW: one lookup less.
  return g_wide ? MoveFileEx(from, to, 0) : MoveFileEx(from, to, ~0u);
}

BOOL MoveFileEx(const char* from, const char* to, DWORD flags) {
  if (g_code_page == 0) return MoveFileExA(from, to, flags);
  Name a(from, kFilePath);
  Name b(to, kFilePath);
  if (!a.ok() || !b.ok()) return FALSE;
  if (g_wide) return KIV_WIDE(MoveFileExW)(a.wide(), b.wide(), flags);
  // The 95 family has no MoveFileEx; ~0: a plain MoveFile.
  return flags == ~0u ? MoveFileA(a.ansi(), b.ansi()) : MoveFileExA(a.ansi(), b.ansi(), flags);
}

DWORD GetFullPathName(const char* path, DWORD capacity, char* buffer) {
  if (g_code_page == 0) return GetFullPathNameA(path, capacity, buffer, nullptr);
  Name name(path, kFilePath);
  if (!name.ok()) return 0;
  if (!g_wide) {
    // The system's letters back into the file's: only ASCII ones are sure to
    // be the same; any other goes through the names' code page.
    char full[kAnsiCapacity];
    const DWORD n = GetFullPathNameA(name.ansi(), sizeof(full), full, nullptr);
    if (n == 0 || n >= sizeof(full)) return 0;
    WCHAR wide[kWideCapacity];
    const int m = MultiByteToWideChar(CP_ACP, 0, full, -1, wide, kWideCapacity);
    return m > 1 ? FromWide(wide, static_cast<DWORD>(m - 1), buffer, capacity) : 0;
  }
  WCHAR full[kWideCapacity];
  const DWORD n = KIV_WIDE(GetFullPathNameW)(name.wide(), kWideCapacity, full, nullptr);
  return n < static_cast<DWORD>(kWideCapacity) ? FromWide(full, n, buffer, capacity) : 0;
}

DWORD GetShortPathName(const char* path, char* buffer, DWORD capacity) {
  if (g_code_page == 0) return GetShortPathNameA(path, buffer, capacity);
  Name name(path, kFilePath);
  if (!name.ok()) return 0;
  if (!g_wide) {
    char short_path[kAnsiCapacity];
    const DWORD n = GetShortPathNameA(name.ansi(), short_path, sizeof(short_path));
    if (n == 0 || n >= sizeof(short_path)) return 0;
    WCHAR wide[kWideCapacity];
    const int m = MultiByteToWideChar(CP_ACP, 0, short_path, -1, wide, kWideCapacity);
    return m > 1 ? FromWide(wide, static_cast<DWORD>(m - 1), buffer, capacity) : 0;
  }
  WCHAR short_path[kWideCapacity];
  const DWORD n = KIV_WIDE(GetShortPathNameW)(name.wide(), short_path, kWideCapacity);
  return n < static_cast<DWORD>(kWideCapacity) ? FromWide(short_path, n, buffer, capacity) : 0;
}

BOOL WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file) {
  if (g_code_page == 0) return WritePrivateProfileStringA(section, key, value, file);
  Name s(section);
  Name k(key);
  Name v(value);
  Name f(file);
  if (!s.ok() || !k.ok() || !v.ok() || !f.ok()) return FALSE;
  return g_wide ? KIV_WIDE(WritePrivateProfileStringW)(s.wide(), k.wide(), v.wide(), f.wide())
                : WritePrivateProfileStringA(s.ansi(), k.ansi(), v.ansi(), f.ansi());
}

int ProfileFirstLetter(const char* section, const char* key, char fallback, const char* file) {
  const char ansi_fallback[] = {fallback, '\0'};
  char ansi[2];
  if (g_code_page == 0) {
    GetPrivateProfileStringA(section, key, ansi_fallback, ansi, 2, file);
    return static_cast<uint8_t>(ansi[0]);
  }
  Name s(section);
  Name k(key);
  Name f(file);
  if (!s.ok() || !k.ok() || !f.ok()) return -1;
  if (!g_wide) {
    GetPrivateProfileStringA(s.ansi(), k.ansi(), ansi_fallback, ansi, 2, f.ansi());
    return static_cast<uint8_t>(ansi[0]);
  }
  const WCHAR wide_fallback[] = {static_cast<WCHAR>(fallback), 0};
  WCHAR wide[2];
  KIV_WIDE(GetPrivateProfileStringW)(s.wide(), k.wide(), wide_fallback, wide, 2, f.wide());
  return wide[0];
}

LONG RegOpenKeyEx(HKEY root, const char* path, DWORD options, REGSAM access, HKEY* key) {
  if (g_code_page == 0) return RegOpenKeyExA(root, path, options, access, key);
  Name name(path);
  if (!name.ok()) return ERROR_NO_UNICODE_TRANSLATION;
  return g_wide ? KIV_WIDE(RegOpenKeyExW)(root, name.wide(), options, access, key)
                : RegOpenKeyExA(root, name.ansi(), options, access, key);
}

LONG RegSetString(HKEY key, const char* name, const char* data, DWORD size) {
  if (g_code_page == 0) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), size);
  }
  Name n(name);
  Name d(data);
  if (!n.ok() || !d.ok()) return ERROR_NO_UNICODE_TRANSLATION;
  if (!g_wide) {
    return RegSetValueExA(key, n.ansi(), 0, REG_SZ, reinterpret_cast<const BYTE*>(d.ansi()),
                          static_cast<DWORD>(lstrlenA(d.ansi()) + 1));
  }
  return KIV_WIDE(RegSetValueExW)(key, n.wide(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(d.wide()),
                                  static_cast<DWORD>((d.wide_length() + 1) * sizeof(WCHAR)));
}

LONG RegDeleteValue(HKEY key, const char* name) {
  if (g_code_page == 0) return RegDeleteValueA(key, name);
  Name n(name);
  if (!n.ok()) return ERROR_NO_UNICODE_TRANSLATION;
  return g_wide ? KIV_WIDE(RegDeleteValueW)(key, n.wide()) : RegDeleteValueA(key, n.ansi());
}

LONG RegQueryValueExists(HKEY key, const char* name) {
  if (g_code_page == 0) return RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr);
  Name n(name);
  if (!n.ok()) return ERROR_NO_UNICODE_TRANSLATION;
  return g_wide ? KIV_WIDE(RegQueryValueExW)(key, n.wide(), nullptr, nullptr, nullptr, nullptr)
                : RegQueryValueExA(key, n.ansi(), nullptr, nullptr, nullptr, nullptr);
}

LONG RegDeleteKey(HKEY root, const char* path) {
  if (g_code_page == 0) return RegDeleteKeyA(root, path);
  Name n(path);
  if (!n.ok()) return ERROR_NO_UNICODE_TRANSLATION;
  return g_wide ? KIV_WIDE(RegDeleteKeyW)(root, n.wide()) : RegDeleteKeyA(root, n.ansi());
}

BOOL RemoveFontResource(const char* file) {
  if (g_code_page == 0) return RemoveFontResourceA(file);
  Name n(file);
  if (!n.ok()) return FALSE;
  return g_wide ? KIV_WIDE(RemoveFontResourceW)(n.wide()) : RemoveFontResourceA(n.ansi());
}

int MessageBox(const char* text, const char* caption, UINT style) {
  if (g_code_page != 0) {
    Name t(text);
    Name c(caption);
    if (t.ok() && c.ok()) {
      return g_wide ? KIV_WIDE(MessageBoxW)(nullptr, t.wide(), c.wide(), style)
                    : MessageBoxA(nullptr, t.ansi(), c.ansi(), style);
    }
    // A text the 95 family cannot spell is still shown, as its bytes: the
    // question must be asked all the same.
  }
  return MessageBoxA(nullptr, text, caption, style);
}

bool ToSystemCodePage(const char* text, char* buffer, uint32_t capacity) {
  const char* from = text;
  Name name(text, kText, true);
  if (g_code_page != 0) {
    if (!name.ok()) return false;
    from = name.ansi();
  }
  const int length = lstrlenA(from);
  if (capacity == 0 || static_cast<uint32_t>(length) >= capacity) return false;
  for (int i = 0; i <= length; ++i) buffer[i] = from[i];
  return true;
}

bool FromSystemCodePage(const char* text, char* buffer, uint32_t capacity) {
  if (capacity == 0) return false;
  if (g_code_page == 0) {
    const int length = lstrlenA(text);
    if (static_cast<uint32_t>(length) >= capacity) return false;
    for (int i = 0; i <= length; ++i) buffer[i] = text[i];
    return true;
  }
  if (text[0] == '\0') {
    buffer[0] = '\0';
    return true;
  }
  WCHAR wide[kWideCapacity];
  const int m = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kWideCapacity);
  return m > 1 && FromWide(wide, static_cast<DWORD>(m - 1), buffer, capacity) != 0;
}

bool ForEachFound(const char* pattern, void (*visit)(const char* name, void* context),
                  void* context) {
  if (g_code_page == 0 || !g_wide) {
    Name name(pattern, kFilePath);
    if (g_code_page != 0 && !name.ok()) return false;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(g_code_page == 0 ? pattern : name.ansi(), &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
      if (g_code_page == 0) {
        visit(found.cFileName, context);
        continue;
      }
      char converted[MAX_PATH * 4];
      WCHAR wide[MAX_PATH + 1];
      const int m = MultiByteToWideChar(CP_ACP, 0, found.cFileName, -1, wide, MAX_PATH + 1);
      const bool ok = m > 1 && FromWide(wide, static_cast<DWORD>(m - 1), converted,
                                        sizeof(converted)) != 0;
      visit(ok ? converted : "", context);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return true;
  }
  Name name(pattern, kFilePath);
  if (!name.ok()) return false;
  WIN32_FIND_DATAW found;
  HANDLE find = KIV_WIDE(FindFirstFileW)(name.wide(), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    char converted[MAX_PATH * 4];
    // Counted here: lstrlenW is no import both families are known to have.
    DWORD length = 0;
    while (length < MAX_PATH && found.cFileName[length] != 0) ++length;
    visit(FromWide(found.cFileName, length, converted, sizeof(converted)) != 0 ? converted : "",
          context);
  } while (KIV_WIDE(FindNextFileW)(find, &found));
  FindClose(find);
  return true;
}

}  // namespace named

}  // namespace kiv::platform
