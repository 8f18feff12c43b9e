// A minimal Windows image for the host tests, to sign with osslsigncode.
#ifndef KIV_TESTS_COMMON_TINY_IMAGE_H_
#define KIV_TESTS_COMMON_TINY_IMAGE_H_

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/byte_order.h"

namespace kiv::testing_support {

// A minimal image: DOS header, PE header, optional header with 16 data
// directories, one section holding a `ret`. PE32 or PE32+.
inline std::vector<uint8_t> TinyImage(bool plus) {
  const uint32_t file_align = 0x200;
  const uint32_t optional_size = plus ? 240 : 224;
  std::vector<uint8_t> b(2 * file_align, 0);
  b[0] = 'M';
  b[1] = 'Z';
  StoreU32(&b[0x3C], 0x40);
  uint8_t* pe = &b[0x40];
  pe[0] = 'P';
  pe[1] = 'E';
  StoreU16(pe + 4, plus ? 0x8664 : 0x14C);
  StoreU16(pe + 6, 1);  // sections
  StoreU16(pe + 20, static_cast<uint16_t>(optional_size));
  StoreU16(pe + 22, plus ? 0x0022 : 0x0102);
  uint8_t* o = pe + 24;
  StoreU16(o, plus ? 0x20B : 0x10B);
  StoreU32(o + 4, file_align);   // SizeOfCode
  StoreU32(o + 16, 0x1000);      // AddressOfEntryPoint
  StoreU32(o + 20, 0x1000);      // BaseOfCode
  if (plus) {
    StoreU64(o + 24, 0x140000000ull);
  } else {
    StoreU32(o + 24, 0x2000);      // BaseOfData
    StoreU32(o + 28, 0x400000);    // ImageBase
  }
  StoreU32(o + 32, 0x1000);      // SectionAlignment
  StoreU32(o + 36, file_align);  // FileAlignment
  StoreU16(o + 40, 4);           // OS version
  StoreU16(o + 48, 4);           // subsystem version
  StoreU32(o + 56, 0x2000);      // SizeOfImage
  StoreU32(o + 60, file_align);  // SizeOfHeaders
  StoreU16(o + 68, 2);           // GUI
  const uint32_t stacks = 72;  // the stack and heap sizes, 4 or 8 bytes each
  if (plus) {
    StoreU64(o + stacks, 0x100000);
    StoreU64(o + stacks + 8, 0x1000);
    StoreU64(o + stacks + 16, 0x100000);
    StoreU64(o + stacks + 24, 0x1000);
    StoreU32(o + 108, 16);
  } else {
    StoreU32(o + stacks, 0x100000);
    StoreU32(o + stacks + 4, 0x1000);
    StoreU32(o + stacks + 8, 0x100000);
    StoreU32(o + stacks + 12, 0x1000);
    StoreU32(o + 92, 16);
  }
  uint8_t* s = o + optional_size;
  memcpy(s, ".text", 5);
  StoreU32(s + 8, 0x10);
  StoreU32(s + 12, 0x1000);
  StoreU32(s + 16, file_align);
  StoreU32(s + 20, file_align);
  StoreU32(s + 36, 0x60000020);
  b[file_align] = 0xC3;
  return b;
}

// Makes `bytes` the smallest stand-in stub kivlog builds from: "MZ",
// e_lfanew naming "PE\0\0" at pe_at, no sections, and a PE32 optional header
// of 64 bytes whose SizeOfHeaders is the whole stand-in, so that the image
// ends where the log will begin. bytes holds at least pe_at + 88 bytes; with
// pe_at 4 the headers overlap the DOS header, as loaders allow, and fit in
// 92 bytes. Every other byte stays as it was.
inline void MakeStandInStub(std::string* bytes, uint32_t pe_at = 0x80) {
  auto* b = reinterpret_cast<uint8_t*>(bytes->data());
  const uint32_t optional = pe_at + 24;
  b[0] = 'M';
  b[1] = 'Z';
  memcpy(b + pe_at, "PE\0\0", 4);
  StoreU16(b + pe_at + 6, 0);    // NumberOfSections
  StoreU16(b + pe_at + 20, 64);  // SizeOfOptionalHeader
  StoreU16(b + optional, 0x10B);  // PE32
  StoreU32(b + optional + 60, static_cast<uint32_t>(bytes->size()));  // SizeOfHeaders
  StoreU32(b + 0x3C, pe_at);  // last: with pe_at 4 it lies inside the optional header
}

}  // namespace kiv::testing_support

#endif  // KIV_TESTS_COMMON_TINY_IMAGE_H_
