// FileSource: a file as a RandomSource, what the reader reads an uninstall
// file through when it is given a path. A program that opens the file
// itself (kivlog, by its wide name on Windows) or holds it in memory (the
// tests, the fuzzers) hands the reader a RandomSource of its own instead.
//
// The reader keeps its own window over the file and asks for whole spans,
// so this type needs no buffering of its own. On Windows it is a file
// handle (src/platform/file_source_win32.cpp): the file is opened so that
// nobody can write it while it is open. On the host it is a stdio stream
// (src/base/file_source_stdio.cpp). Which file calls stand behind it is
// chosen when the program is linked.
#ifndef KIV_BASE_FILE_SOURCE_H_
#define KIV_BASE_FILE_SOURCE_H_

#include <stdint.h>

#include "base/random_source.h"

namespace kiv {

class FileSource final : public RandomSource {
 public:
  FileSource() = default;
  ~FileSource() { Close(); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Opens path for reading; false when it cannot be opened.
  bool Open(const char* path);
  bool is_open() const override { return handle_ != nullptr; }
  bool Size(uint64_t* size) override;
  uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count) override;
  void Close() override;

 private:
  void* handle_ = nullptr;  // a HANDLE on Windows, a FILE* on the host
  // Where the handle's file pointer stands after the last read, so that a
  // read that goes on from there needs no seek (a system call each: the
  // restore of a saved file reads it chunk after chunk). Unknown after a
  // failed or short read.
  static constexpr uint64_t kUnknown = ~0ull;
  uint64_t at_ = kUnknown;
};

}  // namespace kiv

#endif  // KIV_BASE_FILE_SOURCE_H_
