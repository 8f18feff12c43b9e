// Which file a path names: its identity and its stamp; see win32.h.
#include "platform/win32.h"

#include "base/path_rules.h"
#include "platform/named_calls.h"

#include <windows.h>

namespace kiv::platform {

static_assert(sizeof(FileId) == 3 * sizeof(DWORD), "hashed whole for the lock's name");

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

}  // namespace kiv::platform
