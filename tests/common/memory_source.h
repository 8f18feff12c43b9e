// An uninstall file held in memory, as the reader's RandomSource: what the
// host tests, kivlog's tests and the fuzzers hand the reader.
#ifndef KIV_TESTS_COMMON_MEMORY_SOURCE_H_
#define KIV_TESTS_COMMON_MEMORY_SOURCE_H_

#include <stdint.h>
#include <string.h>

#include <vector>

#include "base/random_source.h"

namespace kiv::testing_support {

class MemorySource final : public RandomSource {
 public:
  // A copy of size bytes at data.
  MemorySource(const void* data, size_t size)
      : bytes_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size),
        open_(true) {}
  explicit MemorySource(const std::vector<uint8_t>& bytes)
      : MemorySource(bytes.data(), bytes.size()) {}

  bool is_open() const override { return open_; }
  bool Size(uint64_t* size) override {
    if (!open_) return false;
    *size = bytes_.size();
    return true;
  }
  uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count) override {
    if (!open_ || offset >= bytes_.size()) return 0;
    const uint64_t left = bytes_.size() - offset;
    const uint32_t n = left < count ? static_cast<uint32_t>(left) : count;
    memcpy(buffer, bytes_.data() + offset, n);
    return n;
  }
  void Close() override { open_ = false; }

 private:
  std::vector<uint8_t> bytes_;
  bool open_;
};

}  // namespace kiv::testing_support

#endif  // KIV_TESTS_COMMON_MEMORY_SOURCE_H_
