// Thin wrappers over the Win32 calls; see win32.h for the contracts.
#include "platform/win32.h"

#include "base/code_page_text.h"
#include "base/path_rules.h"
#include "platform/named_calls.h"

#include <windows.h>
#include <ddeml.h>
#include <restartmanager.h>

// <windows.h> maps WriteProfileString to WriteProfileStringA (the WIN.INI
// call); without this our wrapper would be defined under that name and the
// callers, who never see the macro, would not find it.
#undef WriteProfileString

namespace kiv::platform {

// What win32.h copies of <windows.h>, checked where both are seen.
static_assert(kBoxOk == MB_OK && kBoxYesNo == MB_YESNO && kIconError == MB_ICONERROR &&
              kIconQuestion == MB_ICONQUESTION && kIconExclamation == MB_ICONEXCLAMATION &&
              kIconInformation == MB_ICONINFORMATION);
static_assert(static_cast<int>(BoxAnswer::kOk) == IDOK &&
              static_cast<int>(BoxAnswer::kYes) == IDYES &&
              static_cast<int>(BoxAnswer::kNo) == IDNO);
static_assert(sizeof(FileId) == 3 * sizeof(DWORD), "hashed whole for the lock's name");

namespace {
// Constant-initialised: valid before any start-up code runs.
HINSTANCE g_instance = nullptr;
bool g_silent = false;  // a silent run: no box

// One of path's attributes; false when nothing is there.
bool HasAttribute(const char* path, DWORD attribute) {
  const DWORD attributes = named::GetFileAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & attribute);
}
}  // namespace

void SuppressMessages() { g_silent = true; }

BoxAnswer ShowMessage(const char* text, uint32_t style) {
  if (g_silent) return BoxAnswer::kNotShown;
  return static_cast<BoxAnswer>(named::MessageBox(text, kCaption, style));
}

void SetInstance(void* instance) { g_instance = static_cast<HINSTANCE>(instance); }

const char* CommandLine() { return GetCommandLineA(); }

int StartupShowCode() {
  STARTUPINFOA info;
  info.cb = sizeof(info);
  GetStartupInfoA(&info);
  return (info.dwFlags & STARTF_USESHOWWINDOW) ? info.wShowWindow : SW_SHOWDEFAULT;
}

bool IsLeadByte(uint8_t byte) {
  // Names in the code page the file names split by its letters, not the
  // system's: in UTF-8 a 0x5C byte is always a backslash.
  const uint32_t names = NamesCodePage();
  if (names != 0) return LeadsDoubleByte(names, byte);
  return IsDBCSLeadByte(byte) != FALSE;
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

void PumpMessagesAndWait(uint32_t pause_ms) {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  // Sleeps until input arrives or the pause ends, so the retry never spins.
  MsgWaitForMultipleObjects(0, nullptr, FALSE, pause_ms, QS_ALLINPUT);
}

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

DesktopFacts ReadDesktopFacts() {
  DesktopFacts facts;
  OSVERSIONINFOA version;
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return facts;
  facts.nt_family = true;
  facts.major_version = version.dwMajorVersion;
  // Looked up: the 95 family's user32 has neither; sessions came with
  // Windows 2000.
  auto get_station = LookUpAs<HWINSTA(WINAPI*)()>("user32.dll", "GetProcessWindowStation");
  auto get_info = LookUpAs<BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD)>(
      "user32.dll", "GetUserObjectInformationA");
  USEROBJECTFLAGS flags = {};
  DWORD size = 0;
  HWINSTA station = get_station ? get_station() : nullptr;
  if (station && get_info && get_info(station, UOI_FLAGS, &flags, sizeof(flags), &size)) {
    facts.station_known = true;
    facts.station_visible = (flags.dwFlags & WSF_VISIBLE) != 0;
  }
  auto session_of = LookUpAs<BOOL(WINAPI*)(DWORD, DWORD*)>("kernel32.dll", "ProcessIdToSessionId");
  DWORD session = 0;
  if (session_of && session_of(GetCurrentProcessId(), &session)) {
    facts.session_known = true;
    facts.session = session;
  }
  return facts;
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

namespace {

constexpr char kAdministrators[] = "S-1-5-32-544";
constexpr char kSystem[] = "S-1-5-18";

// A SID as text ("S-1-5-..."), from the looked-up conversion of Windows 2000
// and later; false where there is none.
bool SidText(PSID sid, LongString* text) {
  auto to_text = LookUpAs<BOOL(WINAPI*)(PSID, LPSTR*)>("advapi32.dll", "ConvertSidToStringSidA");
  char* converted = nullptr;
  if (!to_text || !to_text(sid, &converted)) return false;
  const bool fits = text->Assign(converted);
  LocalFree(converted);
  return fits;
}

// One piece of the process token's information (GetTokenInformation's
// class) into buffer; false where the calls are missing (Windows 95 has only
// stubs of them) or it fails.
bool TokenInformation(int kind, void* buffer, uint32_t size) {
  auto open_token =
      LookUpAs<BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE)>("advapi32.dll", "OpenProcessToken");
  auto token_info = LookUpAs<BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD, PDWORD)>(
      "advapi32.dll", "GetTokenInformation");
  HANDLE token = nullptr;
  if (!open_token || !token_info || !open_token(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD got = 0;
  const bool ok = token_info(token, kind, buffer, size, &got) != FALSE;
  CloseHandle(token);
  return ok;
}

// The process token's user as text.
bool UserSidText(LongString* text) {
  // A TOKEN_USER: the SID's pointer, then the SID itself.
  alignas(8) uint8_t user[256];
  return TokenInformation(1 /* TokenUser */, user, sizeof(user)) &&
         SidText(*reinterpret_cast<PSID*>(user), text);
}

// The owner of a kernel object is this user, Administrators or SYSTEM.
bool OwnedByUs(HANDLE object, const char* user) {
  auto get_security = LookUpAs<BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                              DWORD, LPDWORD)>("advapi32.dll",
                                                               "GetKernelObjectSecurity");
  auto get_owner = LookUpAs<BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL)>(
      "advapi32.dll", "GetSecurityDescriptorOwner");
  alignas(8) uint8_t descriptor[512];
  DWORD size = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  LongString text;
  if (!get_security || !get_owner ||
      !get_security(object, OWNER_SECURITY_INFORMATION, descriptor, sizeof(descriptor), &size) ||
      !get_owner(descriptor, &owner, &defaulted) || owner == nullptr || !SidText(owner, &text)) {
    return false;
  }
  return SameTextIgnoringCase(text.c_str(), user) ||
         SameTextIgnoringCase(text.c_str(), kAdministrators) ||
         SameTextIgnoringCase(text.c_str(), kSystem);
}

// The lock's security: owned by us (Administrators when elevated, so every
// administrator's run meets it), protected, generic access for this user,
// Administrators and SYSTEM. False where it cannot be described.
bool LockSecurity(const char* user, PSECURITY_DESCRIPTOR* descriptor) {
  auto from_sddl = LookUpAs<BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG)>(
      "advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA");
  LongString sddl;
  if (!from_sddl || !sddl.Append("O:") || !sddl.Append(IsElevatedRun() ? "BA" : user) ||
      !sddl.Append("D:P(A;;GA;;;") || !sddl.Append(user) ||
      !sddl.Append(")(A;;GA;;;BA)(A;;GA;;;SY)")) {
    return false;
  }
  return from_sddl(sddl.c_str(), 1 /* SDDL_REVISION_1 */, descriptor, nullptr) != FALSE;
}

NamedLock MakeLock(const char* name, PSECURITY_DESCRIPTOR descriptor, const char* user,
                   void** handle) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, TRUE};
  HANDLE lock = CreateMutexA(&attributes, FALSE, name);
  if (lock == nullptr) {
    // Denied: another user's. An invalid handle: the name stands for an
    // object of another type (an event, a semaphore, a section), which no
    // run of ours makes.
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ? NamedLock::kForeign
                                                                          : NamedLock::kUnavailable;
  }
  if (GetLastError() != ERROR_ALREADY_EXISTS) {
    // Kept open for the process's life: the system closes it at the end.
    *handle = lock;
    return NamedLock::kTaken;
  }
  const bool ours = user == nullptr || OwnedByUs(lock, user);
  CloseHandle(lock);
  return ours ? NamedLock::kHeld : NamedLock::kForeign;
}

}  // namespace

NamedLock TakeNamedLock(const char* name, void** handle) {
  *handle = nullptr;
  if (IsWindows95Family()) return MakeLock(name, nullptr, nullptr, handle);
  LongString user;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!UserSidText(&user) || !LockSecurity(user.c_str(), &descriptor)) {
    return NamedLock::kUnavailable;
  }
  // The namespace of every session, so a run of another session meets it;
  // NT 4 without Terminal Services has none, and takes the plain name.
  LongString global;
  NamedLock taken = NamedLock::kUnavailable;
  if (global.Assign("Global\\") && global.Append(name)) {
    taken = MakeLock(global.c_str(), descriptor, user.c_str(), handle);
  }
  if (taken == NamedLock::kUnavailable) taken = MakeLock(name, descriptor, user.c_str(), handle);
  LocalFree(descriptor);
  return taken;
}

bool IsOurLock(void* handle, const char* name) {
  if (handle == nullptr) return false;
  if (IsWindows95Family()) return true;
  using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  auto query = LookUpAs<QueryObject>("ntdll.dll", "NtQueryObject");
  // An OBJECT_NAME_INFORMATION: a UNICODE_STRING, then its letters.
  struct Name {
    USHORT length;  // bytes
    USHORT maximum;
    const WCHAR* letters;
  };
  alignas(8) uint8_t info[1024];
  ULONG size = 0;
  if (!query || query(handle, 1 /* ObjectNameInformation */, info, sizeof(info), &size) < 0) {
    return false;
  }
  const Name* object = reinterpret_cast<const Name*>(info);
  const uint32_t have = object->length / 2;
  const uint32_t want = LengthWithin(name, 0xFFFF);
  // The whole last part of the object's name: "...\<name>".
  if (object->letters == nullptr || have <= want || object->letters[have - want - 1] != L'\\') {
    return false;
  }
  for (uint32_t i = 0; i < want; ++i) {
    if (object->letters[have - want + i] != static_cast<WCHAR>(static_cast<uint8_t>(name[i]))) {
      return false;
    }
  }
  LongString user;
  return UserSidText(&user) && OwnedByUs(handle, user.c_str());
}

bool CreateInheritedPipe(void** read_end, void** write_end) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, nullptr, 0)) return false;
  HANDLE self = GetCurrentProcess();
  HANDLE inherited = nullptr;
  if (!DuplicateHandle(self, write, self, &inherited, 0, TRUE,
                       DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE)) {
    CloseHandle(read);
    CloseHandle(write);
    return false;
  }
  *read_end = read;
  *write_end = inherited;
  return true;
}

bool SetEnvironmentText(const char* name, const char* value) {
  return SetEnvironmentVariableA(name, value) != FALSE;
}

bool GetEnvironmentText(const char* name, char* buffer, uint32_t capacity) {
  const DWORD n = GetEnvironmentVariableA(name, buffer, capacity);
  return n != 0 && n < capacity;
}


uint32_t ToUtf16(const char* text, uint16_t* out, uint32_t capacity) {
  const int n = named::ToUtf16(text, reinterpret_cast<WCHAR*>(out), static_cast<int>(capacity));
  return n > 0 ? static_cast<uint32_t>(n) : 0;
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

bool DeleteFilePath(const char* path) { return named::DeleteFile(path) != FALSE; }
bool RemoveDirectoryPath(const char* path) { return named::RemoveDirectory(path) != FALSE; }
bool MakeDirectory(const char* path) { return named::CreateDirectory(path, nullptr) != FALSE; }
bool SetCurrentDirectoryPath(const char* path) { return SetCurrentDirectoryA(path) != FALSE; }
bool PathExists(const char* path) { return named::GetFileAttributes(path) != INVALID_FILE_ATTRIBUTES; }
bool IsReadOnlyFile(const char* path) { return HasAttribute(path, FILE_ATTRIBUTE_READONLY); }
uint32_t LastError() { return GetLastError(); }
bool IsReparsePoint(const char* path) { return HasAttribute(path, FILE_ATTRIBUTE_REPARSE_POINT); }

bool RemoveLinkItself(const char* path, bool remove) {
  // NtSetInformationFile with FileDispositionInformation: every NT system
  // has it (SetFileInformationByHandle came with Vista).
  constexpr int kFileDispositionInformation = 13;
  auto set_information = LookUpAs<LONG(WINAPI*)(HANDLE, void* status, void* info, ULONG length,
                                                 int kind)>("ntdll.dll", "NtSetInformationFile");
  if (!set_information) return false;
  HANDLE link = named::CreateFile(
      path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (link == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool removed = false;
  if (GetFileInformationByHandle(link, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (!remove) {
      CloseHandle(link);
      return true;
    }
    struct {
      ULONG_PTR status;
      ULONG_PTR information;
    } io = {};
    BOOLEAN delete_it = TRUE;
    removed =
        set_information(link, &io, &delete_it, sizeof(delete_it), kFileDispositionInformation) >= 0;
  }
  CloseHandle(link);  // the link goes with its last handle
  return removed;
}

uint32_t DeletionRefusal(const char* path, bool* renamable) {
  *renamable = false;
  const DWORD attributes = named::GetFileAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (attributes & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = named::CreateFile(path, DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  file = named::CreateFile(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_SHARING_VIOLATION) return 0;
    *renamable = true;
    return ERROR_ACCESS_DENIED;
  }
  CloseHandle(file);
  return 0;
}

uint32_t DirectoryRemovalRefusal(const char* path) {
  if (IsWindows95Family()) return 0;
  HANDLE directory =
      named::CreateFile(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(directory);
  return 0;
}

uint32_t WriteRefusal(const char* path) {
  if (named::GetFileAttributes(path) == INVALID_FILE_ATTRIBUTES) {
    // A new file: its directory must be there.
    PathString directory;
    if (!directory.Assign(path)) return ERROR_FILENAME_EXCED_RANGE;
    const int32_t last = LastSeparator(directory.c_str(), IsLeadByte);
    if (last < 0) return 0;
    directory.Truncate(static_cast<uint32_t>(last));
    const DWORD attributes = named::GetFileAttributes(directory.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
               ? 0
               : ERROR_PATH_NOT_FOUND;
  }
  HANDLE file = named::CreateFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

FileHandle CreateReportFile(const char* path) {
  HANDLE file = named::CreateFile(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | (IsWindows95Family() ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // The 95 family knows no links, and shows every file with one name.
  BY_HANDLE_FILE_INFORMATION info;
  // Cut only once it is known to be a plain file of one name.
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1 ||
      !SetEndOfFile(file)) {
    CloseHandle(file);
    return nullptr;
  }
  return file;
}

bool SystemTextToNames(const char* text, char* buffer, uint32_t capacity) {
  return named::FromSystemCodePage(text, buffer, capacity);
}

FileHandle CreateProductFileForWriting(const char* path) {
  HANDLE file = named::CreateFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool SetFileTimes(const char* path, uint64_t filetime) {
  HANDLE file = named::CreateFile(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(filetime);
  time.dwHighDateTime = static_cast<DWORD>(filetime >> 32);
  bool ok = SetFileTime(file, &time, &time, &time) != FALSE;
  CloseHandle(file);
  return ok;
}

bool TempDirectory(char* buffer, uint32_t capacity) {
  // Elevated, the Windows directory's Temp: the user's own temporary
  // directory lets the user's other programs rename what lies in it, so
  // after the copy has ended one of them could put a link in its
  // directory's place before the restart deletes what that path names.
  if (IsElevatedRun()) {
    const UINT n = GetWindowsDirectoryA(buffer, capacity);
    if (n != 0 && n + sizeof("\\Temp\\") <= capacity) {
      const char kTemp[] = "\\Temp\\";
      for (uint32_t i = 0; i < sizeof(kTemp); ++i) buffer[n + i] = kTemp[i];
      const DWORD attributes = named::GetFileAttributes(buffer);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return true;
      }
    }
  }
  DWORD n = GetTempPathA(capacity, buffer);
  return n != 0 && n < capacity;
}

bool TempFileName(const char* directory, const char* prefix, uint32_t unique, char* buffer,
                  uint32_t capacity) {
  if (capacity < MAX_PATH) return false;  // the call writes up to MAX_PATH bytes
  return GetTempFileNameA(directory, prefix, unique, buffer) != 0;
}

bool IsElevatedRun() {
  // TokenElevation came with Vista; the 95 family has no tokens at all.
  DWORD elevated = 0;
  return !IsWindows95Family() &&
         TokenInformation(20 /* TokenElevation */, &elevated, sizeof(elevated)) && elevated != 0;
}

bool CreatePrivateDirectory(const char* path) {
  if (!IsElevatedRun()) return named::CreateDirectory(path, nullptr) != FALSE;
  auto from_sddl = LookUpAs<BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG)>(
      "advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Protected (nothing inherited from the temporary directory); full access
  // for SYSTEM and Administrators, for the directory and all it will hold.
  if (!from_sddl || !from_sddl("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 1 /* SDDL_REVISION_1 */,
                               &descriptor, nullptr)) {
    return false;  // elevated, yet no private directory can be made: no copy
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  bool made = named::CreateDirectory(path, &attributes) != FALSE;
  LocalFree(descriptor);
  return made;
}

namespace {

// The private directory's security: owned by Administrators, protected from
// inheritance, full access for SYSTEM and Administrators only.
constexpr char kPrivateSecurity[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

bool IsPlainDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Sets owner and DACL through the handle; looked up at run time, as the
// conversion from text came with Windows 2000.
bool TakePrivateDirectory(HANDLE directory) {
  auto from_sddl = LookUpAs<BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG)>(
      "advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA");
  auto set_security = LookUpAs<BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR)>(
      "advapi32.dll", "SetKernelObjectSecurity");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!from_sddl || !set_security ||
      !from_sddl(kPrivateSecurity, 1 /* SDDL_REVISION_1 */, &descriptor, nullptr)) {
    return false;
  }
  bool set = set_security(directory, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          descriptor) != FALSE;
  LocalFree(descriptor);
  return set;
}

}  // namespace

// Only "." and ".." in it: no more than two entries.
bool DirectoryIsEmpty(const char* path) {
  uint32_t entries = 0;
  return ForEachEntry(
             path, [](const char*, void* count) { ++*static_cast<uint32_t*>(count); }, &entries) &&
         entries == 0;
}

bool ForEachEntry(const char* path, void (*visit)(const char* name, void* context),
                  void* context) {
  char pattern[PathString::capacity() + 2];
  const int length = lstrlenA(path);
  if (length <= 0 || length + 3 > static_cast<int>(sizeof(pattern))) return false;
  for (int i = 0; i < length; ++i) pattern[i] = path[i];
  pattern[length] = '\\';
  pattern[length + 1] = '*';
  pattern[length + 2] = '\0';
  // "." and ".." are passed over.
  struct Visit {
    void (*visit)(const char* name, void* context);
    void* context;
  } v = {visit, context};
  return named::ForEachFound(
      pattern,
      [](const char* n, void* c) {
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) return;
        auto* to = static_cast<Visit*>(c);
        to->visit(n, to->context);
      },
      &v);
}

bool MoveFilePath(const char* from, const char* to) { return named::MoveFile(from, to) != FALSE; }

bool HeldDirectory::Hold(const char* path) {
  Release();
  const bool elevated = IsElevatedRun();
  // No FILE_SHARE_DELETE: nobody can rename or delete it while we hold it.
  // FILE_FLAG_OPEN_REPARSE_POINT: a link put in its place is held as the
  // link, and refused below.
  const DWORD access =
      FILE_LIST_DIRECTORY | (elevated ? READ_CONTROL | WRITE_DAC | WRITE_OWNER : 0);
  HANDLE directory =
      named::CreateFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return false;
  handle_ = directory;
  // Held, the name can no longer lead anywhere else: asked by name, as Wine
  // shows a symbolic link's reparse attribute only that way.
  if (!IsPlainDirectory(named::GetFileAttributes(path)) ||
      (elevated && !TakePrivateDirectory(directory)) || !DirectoryIsEmpty(path)) {
    Release();
    return false;
  }
  return true;
}

void HeldDirectory::Release() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

void* HoldDirectoryOnTheWay(const char* path, bool* is_link) {
  *is_link = false;
  // FILE_LIST_DIRECTORY: an open for attributes alone would take part in no
  // sharing check, and so would hold nothing.
  HANDLE directory = named::CreateFile(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return nullptr;
  // Held, the name can no longer lead anywhere else: asked by name, as Wine
  // shows a symbolic link's reparse attribute only that way.
  const DWORD attributes = named::GetFileAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *is_link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    CloseHandle(directory);
    return nullptr;
  }
  return directory;
}

void ReleaseDirectoryOnTheWay(void* handle) { CloseHandle(static_cast<HANDLE>(handle)); }

bool ShortPathName(const char* path, char* buffer, uint32_t capacity) {
  DWORD n = named::GetShortPathName(path, buffer, capacity);
  return n != 0 && n < capacity;
}

bool FullPathName(const char* path, char* buffer, uint32_t capacity) {
  DWORD n = named::GetFullPathName(path, capacity, buffer);
  return n != 0 && n < capacity;
}

bool GetFileId(const char* path, FileId* id) {
  if (IsWindows95Family()) return false;
  HANDLE file = named::CreateFile(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  if (!ok) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index_high = info.nFileIndexHigh;
  id->index_low = info.nFileIndexLow;
  return true;
}

namespace {

FileStamp StampOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileStamp stamp;
  stamp.id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  stamp.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.written = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                  info.ftLastWriteTime.dwLowDateTime;
  return stamp;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  // The 95 family's indexes are not unique: size and time alone there.
  const bool same_id = IsWindows95Family() ||
                       (a.id.volume == b.id.volume && a.id.index_high == b.id.index_high &&
                        a.id.index_low == b.id.index_low);
  return same_id && a.size == b.size && a.written == b.written;
}

// The stamp through an open handle.
bool StampOfHandle(HANDLE file, FileStamp* stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  *stamp = StampOf(info);
  return true;
}

}  // namespace

bool ReadFileStamp(const char* path, FileStamp* stamp) {
  HANDLE file = named::CreateFile(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = StampOfHandle(file, stamp);
  CloseHandle(file);
  return ok;
}

bool FileShowsStamp(const char* path, const FileStamp& stamp) {
  FileStamp now;
  return ReadFileStamp(path, &now) && SameStamp(now, stamp);
}

bool DeleteFileIfStamped(const char* path, const FileStamp& stamp) {
  FileStamp now;
  if (IsWindows95Family()) {
    // No deletion by handle there: checked just before, by name.
    if (!FileShowsStamp(path, stamp)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    return named::DeleteFile(path) != FALSE;
  }
  auto set_information = LookUpAs<LONG(WINAPI*)(HANDLE, void* status, void* info, ULONG length,
                                                 int kind)>("ntdll.dll", "NtSetInformationFile");
  if (!set_information) return named::DeleteFile(path) != FALSE;
  HANDLE file = named::CreateFile(path, DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool deleted = false;
  if (!StampOfHandle(file, &now)) {
    SetLastError(ERROR_ACCESS_DENIED);
  } else if (!SameStamp(now, stamp)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
  } else {
    struct {
      ULONG_PTR status;
      ULONG_PTR information;
    } io = {};
    BOOLEAN delete_it = TRUE;
    deleted = set_information(file, &io, &delete_it, sizeof(delete_it),
                              13 /* FileDispositionInformation */) >= 0;
    if (!deleted) SetLastError(ERROR_ACCESS_DENIED);
  }
  CloseHandle(file);  // the file goes with its last handle
  return deleted;
}

bool SameTextIgnoringCase(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

bool IdentifyFile(const char* path, FileIdentity* identity) {
  identity->has_id = GetFileId(path, &identity->id);
  PathString full;
  PathString short_form;
  if (!FullPathName(path, full.data(), full.capacity())) return identity->has_id;
  // Long and 8.3 names meet in the short form, where the file exists.
  const char* read = ShortPathName(full.c_str(), short_form.data(), short_form.capacity())
                         ? short_form.c_str()
                         : full.c_str();
  uint32_t root = 0;
  if (!NormalizePath(read, IsLeadByte, PathForm::kOneSpelling, &identity->spelling, &root)) {
    identity->spelling.Clear();
    return identity->has_id;
  }
  // A drive that stands for a directory of another (subst) is that
  // directory, as far as the system says; a few steps, for a subst of one.
  auto query_device =
      LookUpAs<DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD)>("kernel32.dll", "QueryDosDeviceA");
  for (uint32_t step = 0; query_device && step < 4; ++step) {
    const char drive[] = {identity->spelling.c_str()[0], ':', '\0'};
    char target[MAX_PATH + 8];
    if (!query_device(drive, target, sizeof(target)) ||
        !SubstituteDrive(target, IsLeadByte, &identity->spelling)) {
      break;
    }
  }
  // Folded as the file calls compare names, by the one fold the plan and
  // the restart list use (the spelling is in the names' code page, where a
  // byte-wise fold would change a UTF-8 letter into another); a spelling
  // that cannot be folded exactly is none.
  if (FoldName(identity->spelling.c_str(), identity->spelling.data(),
               identity->spelling.capacity()) == 0) {
    identity->spelling.Clear();
    return identity->has_id;
  }
  return true;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.has_id && b.has_id) {
    return a.id.volume == b.id.volume && a.id.index_high == b.id.index_high &&
           a.id.index_low == b.id.index_low;
  }
  return !a.spelling.empty() && SameBytes(a.spelling.c_str(), b.spelling.c_str());
}

bool WindowsDirectory(char* buffer, uint32_t capacity) {
  UINT n = GetWindowsDirectoryA(buffer, capacity);
  return n != 0 && n < capacity;
}

bool DeleteAtRestartNt(const char* path) {
  return named::MoveFileEx(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool IsWindows95Family() {
  OSVERSIONINFOA info;
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(&info)) return false;
  return info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

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

namespace {
HDDEDATA CALLBACK DdeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  return nullptr;
}
}  // namespace

bool DdeStart(uint32_t* instance) {
  DWORD id = 0;
  const UINT rc = DdeInitializeA(&id, DdeCallback, APPCMD_CLIENTONLY, 0);
  *instance = id;
  return rc == DMLERR_NO_ERROR;
}

void* DdeMakeName(uint32_t instance, const char* name) {
  // Program Manager speaks the system's code page: a name it cannot spell
  // exactly is never sent, mangled or not.
  char text[1024];
  if (!named::ToSystemCodePage(name, text, sizeof(text))) return nullptr;
  return DdeCreateStringHandleA(instance, text, CP_WINANSI);
}

void* DdeOpenConversation(uint32_t instance, void* service, void* topic) {
  return DdeConnect(instance, static_cast<HSZ>(service), static_cast<HSZ>(topic), nullptr);
}

bool DdeExecute(uint32_t instance, void* conversation, const char* names_text,
                uint32_t timeout_ms) {
  char text[1024];
  if (!named::ToSystemCodePage(names_text, text, sizeof(text))) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  DWORD length = lstrlenA(text) + 1;
  HDDEDATA data = DdeCreateDataHandle(instance, reinterpret_cast<LPBYTE>(const_cast<char*>(text)),
                                      length, 0, nullptr, CF_TEXT, 0);
  if (!data) return false;
  DWORD result = 0;
  // With the length 0xFFFFFFFF the data is a handle, which passes to the system.
  return DdeClientTransaction(reinterpret_cast<LPBYTE>(data), 0xFFFFFFFF,
                              static_cast<HCONV>(conversation), nullptr, 0, XTYP_EXECUTE,
                              timeout_ms, &result) != nullptr;
}

uint32_t DdeRequestText(uint32_t instance, void* conversation, const char* item, char* buffer,
                        uint32_t capacity, uint32_t timeout_ms) {
  HSZ name = DdeCreateStringHandleA(instance, item, CP_WINANSI);
  if (!name) return 0;
  DWORD result = 0;
  HDDEDATA data = DdeClientTransaction(nullptr, 0, static_cast<HCONV>(conversation), name, CF_TEXT,
                                       XTYP_REQUEST, timeout_ms, &result);
  DdeFreeStringHandle(instance, name);
  if (!data) return 0;
  const DWORD size = DdeGetData(data, nullptr, 0, 0);
  uint32_t length = 0;
  if (size > 0 && size < capacity) {
    DdeGetData(data, reinterpret_cast<LPBYTE>(buffer), size, 0);
    buffer[size] = '\0';
    length = static_cast<uint32_t>(lstrlenA(buffer));
  }
  DdeFreeDataHandle(data);
  return length;
}

void DdeFreeName(uint32_t instance, void* name) {
  DdeFreeStringHandle(instance, static_cast<HSZ>(name));
}

void DdeCloseConversation(void* conversation) { DdeDisconnect(static_cast<HCONV>(conversation)); }

void DdeStop(uint32_t instance) { DdeUninitialize(instance); }

}  // namespace kiv::platform
