// RandomSource: bytes at an offset, what LogReader reads an uninstall file
// through (as LogWriter writes one through a ByteSink). FileSource is the
// file behind it; tests and tools may hand in any other.
//
// The calls are virtual but not pure: a pure virtual function would link
// the C++ runtime's handler into the stub. The defaults say "nothing here".
#ifndef KIV_BASE_RANDOM_SOURCE_H_
#define KIV_BASE_RANDOM_SOURCE_H_

#include <stdint.h>

namespace kiv {

class RandomSource {
 public:
  // Whether there is anything to read.
  virtual bool is_open() const { return false; }
  // The size in bytes; false when it cannot be told.
  virtual bool Size(uint64_t* size) {
    static_cast<void>(size);
    return false;
  }
  // Up to count bytes from offset into buffer; the count really read, short
  // at the end or on an error.
  virtual uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count) {
    static_cast<void>(offset);
    static_cast<void>(buffer);
    static_cast<void>(count);
    return 0;
  }
  // Lets go of what it reads; nothing can be read afterwards.
  virtual void Close() {}

 protected:
  RandomSource() = default;
  ~RandomSource() = default;  // not virtual: never deleted through this type
};

}  // namespace kiv

#endif  // KIV_BASE_RANDOM_SOURCE_H_
