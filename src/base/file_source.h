// FileSource: the uninstall file as the reader sees it, bytes at an offset.
//
// The reader keeps its own window over the file and asks for whole spans,
// so this type needs no buffering of its own. On Windows it is a file
// handle (src/platform/file_source_win32.cpp): the file is opened so that
// nobody can write it while it is open. On the host it is a stdio stream
// (src/base/file_source_stdio.cpp), which the tests may also hand in from
// memory. The reader sees only this type; which file calls stand behind it
// is chosen when the program is linked.
#ifndef KIV_BASE_FILE_SOURCE_H_
#define KIV_BASE_FILE_SOURCE_H_

#include <stdint.h>
#include <stdio.h>

namespace kiv {

class FileSource {
 public:
  FileSource() = default;
  ~FileSource() { Close(); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Opens path for reading; false when it cannot be opened.
  bool Open(const char* path);
  // Takes ownership of an already open stream (the host's in-memory files,
  // kivlog's files opened by their wide names on Windows).
  void Adopt(FILE* file);
  bool is_open() const { return handle_ != nullptr; }

  // The file's size in bytes; false when it cannot be told.
  bool Size(uint64_t* size);
  // Up to count bytes from offset into buffer; the count really read, short
  // at the end of the file or on an error.
  uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count);

  void Close();

 private:
  void* handle_ = nullptr;  // a HANDLE on Windows, a FILE* on the host
#ifdef _WIN32
  FILE* adopted_ = nullptr;  // closed with the handle it lent
#endif
};

}  // namespace kiv

#endif  // KIV_BASE_FILE_SOURCE_H_
