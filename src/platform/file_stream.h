// A buffered binary file stream over the C runtime's stdio.
//
// The uninstall file, the temporary copy and restored files all go through
// this one type. It builds unchanged on the Linux host (tests, fuzzing, the
// companion tool) and in the stub, where stdio comes from msvcrt.
//
// Offsets are 32-bit like the file format; the C runtime's seek takes a
// signed long, so offsets above 0x7FFFFFFF are refused rather than wrapped.
// A file's size is 64-bit, so a larger file is told as larger, never cut to
// its low bits.
#ifndef KIV_PLATFORM_FILE_STREAM_H_
#define KIV_PLATFORM_FILE_STREAM_H_

#include <stdint.h>
#include <stdio.h>

namespace kiv {

class FileStream {
 public:
  FileStream() = default;
  ~FileStream() { Close(); }
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  // "rb": false when the file cannot be opened.
  bool OpenRead(const char* path);
  // "rb", and on Windows nobody may write, rename or delete the file while
  // it stays open (share mode: read only). On the host, the same as OpenRead.
  bool OpenReadDenyWrite(const char* path);
  // "wb": creates or truncates; false when that fails.
  bool OpenWrite(const char* path);
  // "r+b": an existing file for reading and writing.
  bool OpenUpdate(const char* path);
  // Takes ownership of an already open stream (the host's in-memory files).
  void Adopt(FILE* file);

  bool is_open() const { return file_ != nullptr; }

  bool Seek(uint32_t offset);      // from the start
  bool Skip(uint32_t count);       // forward from the current position
  // The size, by a seek to the end; the stream is left at the end.
  // False when the size cannot be told (on Windows, whose C runtime tells
  // positions as a signed long: also a file of 2 GiB or more).
  bool SeekEnd(uint64_t* size);
  uint32_t Position();

  // Count of bytes moved; short at the end of the file or on an error.
  uint32_t Read(void* buffer, uint32_t count);
  uint32_t Write(const void* buffer, uint32_t count);
  // One byte, or -1 at the end of the file or on a read error.
  int ReadByte() { return file_ ? getc(file_) : -1; }

  // Flushes and closes; false when the flush or close failed (or nothing was open).
  bool Close();

 private:
  FILE* file_ = nullptr;
};

}  // namespace kiv

#endif  // KIV_PLATFORM_FILE_STREAM_H_
