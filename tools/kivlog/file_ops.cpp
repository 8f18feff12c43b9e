#include "file_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "file_time.h"

namespace kivlog {

std::string ErrnoText() { return strerror(errno); }

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why) {
  FILE* f = fopen(path.c_str(), "rb");
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

std::optional<uint64_t> RegularFileSize(const std::string& path, std::string* why) {
#ifdef _WIN32
  struct _stat64 st;
  if (_stat64(path.c_str(), &st) != 0) {
#else
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
#endif
    *why = ErrnoText();
    return std::nullopt;
  }
  if ((st.st_mode & S_IFMT) != S_IFREG) {
    *why = "not a regular file";
    return std::nullopt;
  }
  return static_cast<uint64_t>(st.st_size);
}

std::optional<uint64_t> LastWriteTime(const std::string& path, std::string* why) {
#ifdef _WIN32
  // The FILETIME itself, with its full 100 ns precision.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
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
    int fd = _open(name.c_str(), flags, mode);
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
      remove(name.c_str());
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
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
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

}  // namespace kivlog
