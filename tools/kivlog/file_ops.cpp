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

std::string ErrorText(DWORD code) { return "Windows error " + std::to_string(code); }

}  // namespace

std::wstring Wide(const std::string& bytes, unsigned code_page) {
  if (bytes.empty()) return std::wstring();
  const int n = MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()),
                                    nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                        n);
  }
  return wide;
}
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

bool LockedFile::OpenUnlocked(const std::string& path, std::string* why) {
  Close();
  // No FILE_SHARE_DELETE: while it is held, nobody renames the file away or
  // another over it.
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = ErrorText(GetLastError());
    return false;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    *why = "not a regular file";
    CloseHandle(h);
    return false;
  }
  handle_ = h;
  return true;
}

bool LockedFile::Lock(std::string* why) {
  if (locked_) return true;
  // Waits for the lock: a synchronous handle blocks in LockFileEx.
  OVERLAPPED at = {};
  at.OffsetHigh = 1;
  if (!LockFileEx(static_cast<HANDLE>(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    *why = "cannot lock it (" + ErrorText(GetLastError()) + ")";
    return false;
  }
  locked_ = true;
  return true;
}

void LockedFile::Unlock() {
  if (!locked_) return;
  OVERLAPPED at = {};
  at.OffsetHigh = 1;
  UnlockFileEx(static_cast<HANDLE>(handle_), 0, 1, 0, &at);
  locked_ = false;
}

bool LockedFile::is_open() const { return handle_ != nullptr; }

bool LockedFile::IsAt(const std::string& path) const {
  if (!handle_) return false;
  HANDLE named = CreateFileW(Wide(path).c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION held, there;
  const bool same = GetFileInformationByHandle(static_cast<HANDLE>(handle_), &held) &&
                    GetFileInformationByHandle(named, &there) &&
                    held.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
                    held.nFileIndexHigh == there.nFileIndexHigh &&
                    held.nFileIndexLow == there.nFileIndexLow;
  CloseHandle(named);
  return same;
}

bool LockedFile::Size(uint64_t* size) const {
  LARGE_INTEGER n;
  if (!handle_ || !GetFileSizeEx(static_cast<HANDLE>(handle_), &n)) return false;
  *size = static_cast<uint64_t>(n.QuadPart);
  return true;
}

uint32_t LockedFile::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
  uint32_t total = 0;
  char* bytes = static_cast<char*>(buffer);
  while (handle_ && total < count) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + total);
    at.OffsetHigh = static_cast<DWORD>((offset + total) >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), bytes + total, count - total, &got, &at) ||
        got == 0) {
      break;
    }
    total += got;
  }
  return total;
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
  locked_ = false;
}

#else

bool LockedFile::OpenUnlocked(const std::string& path, std::string* why) {
  Close();
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = ErrnoText();
    return false;
  }
  // Opened without waiting (a FIFO would block the open), and used only
  // when it is a plain file.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  return true;
}

bool LockedFile::Lock(std::string* why) {
  if (locked_) return true;
  int locked;
  do {
    locked = flock(fd_, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    *why = "cannot lock it: " + ErrnoText();
    return false;
  }
  locked_ = true;
  return true;
}

void LockedFile::Unlock() {
  if (!locked_) return;
  flock(fd_, LOCK_UN);
  locked_ = false;
}

bool LockedFile::is_open() const { return fd_ >= 0; }

bool LockedFile::IsAt(const std::string& path) const {
  struct stat held, there;
  return fd_ >= 0 && fstat(fd_, &held) == 0 && stat(path.c_str(), &there) == 0 &&
         held.st_dev == there.st_dev && held.st_ino == there.st_ino;
}

bool LockedFile::Size(uint64_t* size) const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

uint32_t LockedFile::ReadAt(uint64_t offset, void* buffer, uint32_t count) {
  uint32_t total = 0;
  char* bytes = static_cast<char*>(buffer);
  while (fd_ >= 0 && total < count) {
    const ssize_t n = pread(fd_, bytes + total, count - total, static_cast<off_t>(offset + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<uint32_t>(n);
  }
  return total;
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
  locked_ = false;
}

#endif

bool LockedFile::Open(const std::string& path, std::string* why) {
  // Each turn waits for the lock of the file the name led to when opened;
  // a name that leads elsewhere by then was given a new file meanwhile (a
  // build's output, or a copy moved into place), and that file is the one
  // to extend.
  constexpr int kAttempts = 8;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (!OpenUnlocked(path, why) || !Lock(why)) {
      Close();
      return false;
    }
    if (IsAt(path)) return true;
    Close();
  }
  *why = "it was replaced again and again while this append waited for it";
  return false;
}

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
