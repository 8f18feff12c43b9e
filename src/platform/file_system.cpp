// Files and directories by name, through the named calls; see win32.h.
#include "platform/win32.h"

#include "base/code_page_text.h"
#include "base/path_rules.h"
#include "platform/named_calls.h"

#include <windows.h>

namespace kiv::platform {

namespace {
// One of path's attributes; false when nothing is there.
bool HasAttribute(const char* path, DWORD attribute) {
  const DWORD attributes = named::GetFileAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & attribute);
}
}  // namespace

bool IsLeadByte(uint8_t byte) {
  // Names in the code page the file names split by its letters, not the
  // system's: in UTF-8 a 0x5C byte is always a backslash.
  const uint32_t names = NamesCodePage();
  if (names != 0) return LeadsDoubleByte(names, byte);
  return IsDBCSLeadByte(byte) != FALSE;
}

uint32_t ToUtf16(const char* text, uint16_t* out, uint32_t capacity) {
  const int n = named::ToUtf16(text, reinterpret_cast<WCHAR*>(out), static_cast<int>(capacity));
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

bool DeleteFilePath(const char* path) { return named::DeleteFile(path) != FALSE; }
bool RemoveDirectoryPath(const char* path) { return named::RemoveDirectory(path) != FALSE; }
bool MakeDirectory(const char* path) { return named::CreateDirectory(path, nullptr) != FALSE; }
bool SetCurrentDirectoryPath(const char* path) { return SetCurrentDirectoryA(path) != FALSE; }
bool PathExists(const char* path) { return named::GetFileAttributes(path) != INVALID_FILE_ATTRIBUTES; }
bool IsReadOnlyFile(const char* path) { return HasAttribute(path, FILE_ATTRIBUTE_READONLY); }

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

bool DeleteAtRestartNt(const char* path) {
  return named::MoveFileEx(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

}  // namespace kiv::platform
