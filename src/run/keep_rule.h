// The two questions an uninstall asks before it deletes a file that may not
// be the product's alone to delete:
//  - a shared file: how many products still use it, by the count Windows
//    installers keep in the SharedDLLs key (platform/file_keeping.h);
//  - a kept file: is its content still what the installation wrote (its
//    size and CRC-32, as the record holds them)?
//
// Pure: no <windows.h>, host-tested.
#ifndef KIV_RUN_KEEP_RULE_H_
#define KIV_RUN_KEEP_RULE_H_

#include <stdint.h>

#include "base/byte_order.h"
#include "base/crc32.h"
#include "uninstall_file/layout.h"

namespace kiv {

// What the uninstall of one user does with a shared file.
struct SharedUse {
  bool remove;      // the file goes (and its count with it)
  bool uncounted;   // it goes because no valid count was there: missing,
                    // not a REG_DWORD, or 0
  uint32_t others;  // otherwise: the products still using it, its new count
};

// counted: a REG_DWORD of that name was there, holding count. A count that
// is missing or malformed is taken as this product alone, as a plain file
// record would have it: the file goes.
constexpr SharedUse DecideShared(bool counted, uint32_t count) {
  if (!counted || count == 0) return {true, true, 0};
  if (count == 1) return {true, false, 0};
  return {false, false, count - 1};
}

// Where ContentAsInstalled takes a file's bytes from: up to count bytes into
// buffer, the count delivered (short only at the end or on an error).
using ContentReader = uint32_t (*)(void* context, void* buffer, uint32_t count);

// Whether read delivers exactly the content check describes (kContentCheck
// Size bytes: the size, then the CRC-32), read once, front to back, through
// buffer (capacity bytes); it stops at the first byte past the size. A read
// error looks like a shorter file: the file is then kept, never lost.
inline bool ContentAsInstalled(const uint8_t* check, ContentReader read, void* context,
                               uint8_t* buffer, uint32_t capacity) {
  const uint32_t size = LoadU32(check);
  uint32_t total = 0;
  uint32_t crc = 0;
  for (uint32_t got; (got = read(context, buffer, capacity)) != 0;) {
    if (got > size - total) return false;
    total += got;
    crc = Crc32(crc, buffer, got);
  }
  return total == size && crc == LoadU32(check + 4);
}

}  // namespace kiv

#endif  // KIV_RUN_KEEP_RULE_H_
