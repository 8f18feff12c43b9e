// The few file operations the tool needs beyond stdio, for the Linux host
// and for Windows: a file's last-write time as a FILETIME, a new file that
// must not exist yet, an atomic replace, a flush that reaches the disk, and
// an existing file held by one writer at a time.
//
// Paths are UTF-8 throughout; on Windows they reach the wide (UTF-16) calls.
#ifndef KIVLOG_FILE_OPS_H_
#define KIVLOG_FILE_OPS_H_

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kivlog {

#ifdef _WIN32
// bytes in code_page (default UTF-8) to UTF-16 for the wide calls; bytes that
// are not in it become U+FFFD, which names no file, so a call fails plainly.
std::wstring Wide(const std::string& bytes, unsigned code_page = 65001);
#endif

// Text of the last C runtime error (errno).
std::string ErrnoText();

// A UTF-8 path as a std::filesystem::path, and back (on Windows the
// narrow conversions would take the ANSI code page).
std::filesystem::path FsPath(const std::string& utf8);
std::string Utf8(const std::filesystem::path& path);

// Whether two paths name the same file (false when either is missing).
bool SameFile(const std::string& a, const std::string& b);

// fopen for a UTF-8 path (on Windows through _wfopen).
FILE* OpenFile(const std::string& path, const char* mode);

// The whole file as bytes; false with *why set when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why);

// All of standard input, read as bytes.
bool ReadStandardInput(std::string* bytes, std::string* why);

// Size of a regular file; nothing with *why set for anything else.
std::optional<uint64_t> RegularFileSize(const std::string& path, std::string* why);

// The last-write time as a FILETIME; nothing with *why set.
std::optional<uint64_t> LastWriteTime(const std::string& path, std::string* why);

// A new file beside path (same directory, so the final rename stays on one
// volume), opened for binary writing. Its name goes to *created.
FILE* CreateSiblingTempFile(const std::string& path, std::string* created, std::string* why);

// Moves from over to, replacing to if it exists, in one step.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* why);

// Makes every missing directory above path (not path itself); *why says
// which could not be made, and why.
bool MakeParentDirectories(const std::string& path, std::string* why);

// Removes a file; false when it cannot.
bool RemoveFile(const std::string& path);

// fflush, then asks the system to put the file's data on the disk.
bool FlushToDisk(FILE* file);

// An existing file opened for reading and writing, and held by one append at
// a time: Open waits while another kivlog holds the append lock. On the host
// the lock is flock(); on Windows a byte-range lock at 4 GiB, past anything
// an uninstall file can hold, so readers of the file are never blocked.
//
// Everything an append reads and writes goes through this one open file:
// the file checked is the file extended. A lock is held by the file, not by
// its name, so once it is held the name must still lead to it (another
// program may have renamed a file into place meanwhile); Open makes sure.
//
// ReadAt, WriteAt and Flush are virtual: a test derives from this class to
// see, or to cut short, every read, write and flush an append makes.
class LockedFile {
 public:
  LockedFile() = default;
  virtual ~LockedFile() { Close(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  // Opens the file at path and waits for its lock; if the name meanwhile
  // leads to another file, lets go and takes that one (a few times, then
  // gives up with *why).
  bool Open(const std::string& path, std::string* why);
  // Opens the file at path without the lock (Lock takes it later).
  bool OpenUnlocked(const std::string& path, std::string* why);
  // Waits for the append lock of the file held, and lets go of it.
  bool Lock(std::string* why);
  void Unlock();
  bool is_open() const;
  // Whether path leads to the file held now.
  bool IsAt(const std::string& path) const;
  // The size of the file held; false when it cannot be told.
  bool Size(uint64_t* size) const;
  // Up to count bytes at offset; the count read, short at the end or on an
  // error.
  virtual uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count);
  // Writes all size bytes at offset; false with *why at the first failure
  // (what did go in stays).
  virtual bool WriteAt(uint64_t offset, const void* data, size_t size, std::string* why);
  // Puts everything written so far on the disk.
  virtual bool Flush(std::string* why);
  // Cuts or extends the file to size.
  bool Truncate(uint64_t size, std::string* why);
  // Asks the file system to set aside room up to end without changing the
  // file's size, so that a full disk shows before anything is written. A
  // file system that cannot is not an error: the writes will tell.
  void Reserve(uint64_t size, uint64_t end);
  void Close();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;  // a HANDLE
#else
  int fd_ = -1;
#endif
  bool locked_ = false;
};

}  // namespace kivlog

#endif  // KIVLOG_FILE_OPS_H_
