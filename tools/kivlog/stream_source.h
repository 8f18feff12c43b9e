// StreamSource: an uninstall file that kivlog opened itself, by its UTF-8
// name (on Windows through the wide calls), as the reader's RandomSource;
// HeldSource: the file an append holds locked, the same way.
// The core's own FileSource takes a path in the system's code page, which
// on Windows cannot name every file.
#ifndef KIVLOG_STREAM_SOURCE_H_
#define KIVLOG_STREAM_SOURCE_H_

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "base/random_source.h"

namespace kivlog {

class StreamSource final : public kiv::RandomSource {
 public:
  // Opens path for binary reading; see is_open(). errno tells why not.
  explicit StreamSource(const std::string& path);
  ~StreamSource() { Close(); }
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  bool is_open() const override { return file_ != nullptr; }
  bool Size(uint64_t* size) override;
  uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count) override;
  void Close() override;

 private:
  FILE* file_;
};

class LockedFile;  // file_ops.h

// The file an append holds, as the reader's RandomSource: the reader sees
// the very file the append will extend. Close leaves it open (the append
// owns it).
class HeldSource final : public kiv::RandomSource {
 public:
  explicit HeldSource(LockedFile& file) : file_(file) {}
  bool is_open() const override;
  bool Size(uint64_t* size) override;
  uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count) override;
  void Close() override {}

 private:
  LockedFile& file_;
};

}  // namespace kivlog

#endif  // KIVLOG_STREAM_SOURCE_H_
