// The executable image at the start of an uninstall file, as its own PE
// headers describe it: the one reading of the headers that the stub's
// temporary copy, kivlog and the build's size check share.
//
// Pure: works over bytes the caller has read; no <windows.h>, no allocation.
// Every offset and count read here is checked against the bytes given and
// the file size before it is used, in 64-bit sums that a hostile value
// cannot wrap.
#ifndef KIV_UNINSTALL_FILE_PE_IMAGE_H_
#define KIV_UNINSTALL_FILE_PE_IMAGE_H_

#include <stdint.h>

namespace kiv {

// The headers of any image we read or sign (DOS header, PE signature, COFF
// and optional headers, section table) lie within this many first bytes.
// Our stubs' headers end before 0x400 in both widths.
inline constexpr uint32_t kPeHeadLimit = 4096;

// The uninstall's temporary copy of an unsigned file is at least this many
// first bytes of it (or the whole file, when it is shorter), and more when
// the image runs past them: see TemporaryCopySize.
inline constexpr uint32_t kTemporaryCopyFloor = 60000;

// Where the optional header lies in `head` (the file's first `head_size`
// bytes): past an "MZ" header whose e_lfanew names a "PE\0\0" signature, a
// PE32 or PE32+ magic. False when the bytes given do not hold them.
struct PeHeaders {
  uint32_t optional = 0;       // offset of the optional header
  uint32_t optional_size = 0;  // SizeOfOptionalHeader
  uint32_t section_count = 0;  // NumberOfSections
  bool plus = false;           // PE32+ (x86_64) rather than PE32
};
bool ReadPeHeaders(const uint8_t* head, uint32_t head_size, PeHeaders* headers);

// The end of the image in a file of `file_size` bytes whose first
// `head_size` bytes are `head` (kPeHeadLimit is enough for our stubs): the
// larger of SizeOfHeaders and the end of the last section's raw data
// (PointerToRawData + SizeOfRawData over every section that has file data).
// False, *end unchanged, when the headers or the whole section table are not
// within `head`, or when the image would end past the file: such a file is
// no whole image, and nothing may be cut from it by this reading.
bool ReadImageEnd(const uint8_t* head, uint32_t head_size, uint64_t file_size, uint32_t* end);

// How many first bytes of an unsigned file of `file_size` bytes whose image
// ends at `image_end` the temporary copy takes: max(min(size, floor), image
// end). Never more than the file, as ReadImageEnd keeps the end within it.
inline constexpr uint32_t TemporaryCopySize(uint64_t file_size, uint32_t image_end) {
  const uint32_t floor =
      file_size < kTemporaryCopyFloor ? static_cast<uint32_t>(file_size) : kTemporaryCopyFloor;
  return image_end > floor ? image_end : floor;
}

}  // namespace kiv

#endif  // KIV_UNINSTALL_FILE_PE_IMAGE_H_
