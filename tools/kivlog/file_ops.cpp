#include "file_ops.h"

#include <filesystem>

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <algorithm>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

#include "file_time.h"

namespace kivlog {

std::string ErrnoText() { return strerror(errno); }

#ifdef _WIN32
namespace {

// UTF-8 to UTF-16 for the wide calls; bytes that are not UTF-8 become
// U+FFFD, which names no file, so the call fails plainly.
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string ErrorText(DWORD code) { return "Windows error " + std::to_string(code); }

}  // namespace
#endif

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(FsPath(a), FsPath(b), error);
}

FILE* OpenFile(const std::string& path, const char* mode) {
#ifdef _WIN32
  return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
#else
  return fopen(path.c_str(), mode);
#endif
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why) {
  FILE* f = OpenFile(path, "rb");
  if (!f) {
    *why = ErrnoText();
    return false;
  }
  bytes->clear();
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) bytes->append(chunk, n);
  const bool failed = ferror(f) != 0;
  if (failed) *why = ErrnoText();
  fclose(f);
  return !failed;
}

bool ReadStandardInput(std::string* bytes, std::string* why) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  bytes->clear();
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), stdin)) > 0) bytes->append(chunk, n);
  if (!ferror(stdin)) return true;
  *why = ErrnoText();
  return false;
}

std::optional<uint64_t> RegularFileSize(const std::string& path, std::string* why) {
#ifdef _WIN32
  struct _stat64 st;
  if (_wstat64(Wide(path).c_str(), &st) != 0) {
#else
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
#endif
    *why = ErrnoText();
    return std::nullopt;
  }
  if ((st.st_mode & S_IFMT) != S_IFREG) {
    *why = (st.st_mode & S_IFMT) == S_IFDIR ? "a directory, not a file" : "not a regular file";
    return std::nullopt;
  }
  return static_cast<uint64_t>(st.st_size);
}

std::optional<uint64_t> LastWriteTime(const std::string& path, std::string* why) {
#ifdef _WIN32
  // The FILETIME itself, with its full 100 ns precision.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    *why = "cannot read its times (error " + std::to_string(GetLastError()) + ")";
    return std::nullopt;
  }
  return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
#else
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *why = ErrnoText();
    return std::nullopt;
  }
  auto time = FileTimeFromUnix(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
  if (!time) *why = "its last-write time is outside what a FILETIME can hold";
  return time;
#endif
}

FILE* CreateSiblingTempFile(const std::string& path, std::string* created, std::string* why) {
#ifdef _WIN32
  const int pid = _getpid();
  const int flags = _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY;
  const int mode = _S_IREAD | _S_IWRITE;
#else
  const int pid = static_cast<int>(getpid());
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  const int mode = 0666;  // the umask applies, as for any new file
#endif
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = path + ".kivlog-" + std::to_string(pid) + "-" + std::to_string(attempt);
#ifdef _WIN32
    int fd = _wopen(Wide(name).c_str(), flags, mode);
#else
    int fd = open(name.c_str(), flags, mode);
#endif
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *why = ErrnoText();
      return nullptr;
    }
#ifdef _WIN32
    FILE* f = _fdopen(fd, "wb");
#else
    FILE* f = fdopen(fd, "wb");
#endif
    if (!f) {
      *why = ErrnoText();
#ifdef _WIN32
      _close(fd);
#else
      close(fd);
#endif
#ifdef _WIN32
      _wremove(Wide(name).c_str());
#else
      remove(name.c_str());
#endif
      return nullptr;
    }
    *created = name;
    return f;
  }
  *why = "no free temporary name beside it";
  return nullptr;
}

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* why) {
#ifdef _WIN32
  // The C runtime's rename refuses an existing target on Windows.
  if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *why = "cannot rename into place (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
#else
  if (rename(from.c_str(), to.c_str()) != 0) {
    *why = ErrnoText();
    return false;
  }
  return true;
#endif
}

bool FlushToDisk(FILE* file) {
  if (fflush(file) != 0) return false;
#ifdef _WIN32
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

bool RemoveFile(const std::string& path) {
#ifdef _WIN32
  return DeleteFileW(Wide(path).c_str()) != FALSE;
#else
  return remove(path.c_str()) == 0;
#endif
}

#ifdef _WIN32

bool LockedFile::Open(const std::string& path, std::string* why) {
  Close();
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = ErrorText(GetLastError());
    return false;
  }
  // Waits for the lock: a synchronous handle blocks in LockFileEx.
  OVERLAPPED at = {};
  at.OffsetHigh = 1;
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    *why = "cannot lock it (" + ErrorText(GetLastError()) + ")";
    CloseHandle(h);
    return false;
  }
  handle_ = h;
  return true;
}

bool LockedFile::WriteAt(uint64_t offset, const void* data, size_t size, std::string* why) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD step = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), bytes, step, &written, &at) || written == 0) {
      *why = ErrorText(GetLastError());
      return false;
    }
    bytes += written;
    offset += written;
    size -= written;
  }
  return true;
}

bool LockedFile::Flush(std::string* why) {
  if (FlushFileBuffers(static_cast<HANDLE>(handle_))) return true;
  *why = ErrorText(GetLastError());
  return false;
}

bool LockedFile::Truncate(uint64_t size, std::string* why) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  if (SetFilePointerEx(static_cast<HANDLE>(handle_), at, nullptr, FILE_BEGIN) &&
      SetEndOfFile(static_cast<HANDLE>(handle_))) {
    return true;
  }
  *why = ErrorText(GetLastError());
  return false;
}

void LockedFile::Reserve(uint64_t /*size*/, uint64_t end) {
  // The allocation may exceed the end of the file without moving it.
  FILE_ALLOCATION_INFO info;
  info.AllocationSize.QuadPart = static_cast<LONGLONG>(end);
  SetFileInformationByHandle(static_cast<HANDLE>(handle_), FileAllocationInfo, &info, sizeof(info));
}

void LockedFile::Close() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));  // the lock goes with it
  handle_ = nullptr;
}

#else

bool LockedFile::Open(const std::string& path, std::string* why) {
  Close();
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *why = ErrnoText();
    return false;
  }
  int locked;
  do {
    locked = flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    *why = "cannot lock it: " + ErrnoText();
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool LockedFile::WriteAt(uint64_t offset, const void* data, size_t size, std::string* why) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = pwrite(fd_, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = n < 0 ? ErrnoText() : "no room left";
      return false;
    }
    bytes += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool LockedFile::Flush(std::string* why) {
  if (fsync(fd_) == 0) return true;
  *why = ErrnoText();
  return false;
}

bool LockedFile::Truncate(uint64_t size, std::string* why) {
  if (ftruncate(fd_, static_cast<off_t>(size)) == 0) return true;
  *why = ErrnoText();
  return false;
}

void LockedFile::Reserve(uint64_t size, uint64_t end) {
  if (end > size)
    fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(size), static_cast<off_t>(end - size));
}

void LockedFile::Close() {
  if (fd_ >= 0) close(fd_);  // the lock goes with it
  fd_ = -1;
}

#endif

bool MakeParentDirectories(const std::string& path, std::string* why) {
  const std::filesystem::path parent = FsPath(path).parent_path();
  if (parent.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(parent, error);
  if (!error) return true;
  *why = Utf8(parent) + ": " + error.message();
  return false;
}

}  // namespace kivlog
