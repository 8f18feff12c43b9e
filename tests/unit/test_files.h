// Uninstall files built in memory for the host tests, and read back through
// a MemorySource.
#ifndef KIV_TESTS_UNIT_TEST_FILES_H_
#define KIV_TESTS_UNIT_TEST_FILES_H_

#include <vector>

#include "common/memory_source.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"

namespace kiv::testing_support {

// A sink over a byte vector that may start with a stand-in image.
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(size_t image_size = 0, uint8_t fill = 0xCC) : bytes(image_size, fill) {}
  bool Write(const void* data, uint32_t size) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
    return true;
  }
  uint32_t Position() const override { return static_cast<uint32_t>(bytes.size()); }
  std::vector<uint8_t> bytes;
};

}  // namespace kiv::testing_support

#endif  // KIV_TESTS_UNIT_TEST_FILES_H_
