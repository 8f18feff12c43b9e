// What every fuzz target shares: an invariant check that survives NDEBUG,
// buffers fenced with canary bytes, and a splitter for inputs that carry
// several strings.
//
// A failed check prints where and aborts, which libFuzzer reports as a crash
// and the corpus replay reports as a failed test.
#ifndef KIV_FUZZ_FUZZ_CHECK_H_
#define KIV_FUZZ_FUZZ_CHECK_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#define KIV_FUZZ_CHECK(condition)                                                       \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                          \
    }                                                                                   \
  } while (0)

namespace kiv::fuzz {

// N usable bytes between two fences. ASan cannot see a write that stays
// inside one object, so a write past data lands on the fence and is caught
// by Intact().
template <uint32_t N>
struct Fenced {
  static constexpr uint8_t kCanary = 0xA5;
  static constexpr uint32_t kFence = 16;

  Fenced() {
    for (uint32_t i = 0; i < kFence; ++i) before[i] = after[i] = kCanary;
    for (uint32_t i = 0; i < N; ++i) data[i] = static_cast<char>(kCanary);
  }
  bool Intact() const {
    for (uint32_t i = 0; i < kFence; ++i) {
      if (before[i] != kCanary || after[i] != kCanary) return false;
    }
    return true;
  }
  // A NUL lies somewhere in data.
  bool Terminated() const {
    for (uint32_t i = 0; i < N; ++i) {
      if (data[i] == '\0') return true;
    }
    return false;
  }
  static constexpr uint32_t capacity() { return N; }

  uint8_t before[kFence];
  char data[N];
  uint8_t after[kFence];
};

// Splits data at its first `count - 1` NUL bytes: the leading pieces become
// strings and the last piece keeps everything that follows, NULs included.
// Missing pieces are empty.
inline std::vector<std::string> SplitFields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t i = 0; i < size && fields.size() + 1 < count; ++i) {
    if (data[i] == 0) {
      fields.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
      start = i + 1;
    }
  }
  fields.emplace_back(reinterpret_cast<const char*>(data + start), size - start);
  while (fields.size() < count) fields.emplace_back();
  return fields;
}

}  // namespace kiv::fuzz

#endif  // KIV_FUZZ_FUZZ_CHECK_H_
