#include "uninstall_file/pe_image.h"

#include "base/byte_order.h"

namespace kiv {
namespace {

constexpr uint32_t kDosLfanewOffset = 0x3C;
constexpr uint32_t kCoffHeaderSize = 20;  // after the 4-byte "PE\0\0"
// Within the COFF header.
constexpr uint32_t kSectionCountField = 2;
constexpr uint32_t kOptionalHeaderSizeField = 16;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
// SizeOfHeaders: at the same place in both widths of the optional header.
constexpr uint32_t kSizeOfHeadersField = 60;
// A section header, and its raw data's size and file offset within it.
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kRawSizeField = 16;
constexpr uint32_t kRawOffsetField = 20;

}  // namespace

bool ReadPeHeaders(const uint8_t* head, uint32_t head_size, PeHeaders* headers) {
  if (head_size < kDosLfanewOffset + 4 || head[0] != 'M' || head[1] != 'Z') return false;
  const uint32_t pe = LoadU32(head + kDosLfanewOffset);
  const uint64_t optional = static_cast<uint64_t>(pe) + 4 + kCoffHeaderSize;
  if (optional + 2 > head_size) return false;
  if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) {
    return false;
  }
  const uint16_t magic = LoadU16(head + optional);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) return false;
  headers->optional = static_cast<uint32_t>(optional);
  headers->optional_size = LoadU16(head + pe + 4 + kOptionalHeaderSizeField);
  headers->section_count = LoadU16(head + pe + 4 + kSectionCountField);
  headers->plus = magic == kMagicPe32Plus;
  return true;
}

bool ReadImageEnd(const uint8_t* head, uint32_t head_size, uint64_t file_size, uint32_t* end) {
  PeHeaders h;
  if (head_size > file_size || !ReadPeHeaders(head, head_size, &h) ||
      h.optional_size < kSizeOfHeadersField + 4) {
    return false;
  }
  const uint64_t sections = static_cast<uint64_t>(h.optional) + h.optional_size;
  if (sections + static_cast<uint64_t>(h.section_count) * kSectionHeaderSize > head_size) {
    return false;
  }
  uint64_t image_end = LoadU32(head + h.optional + kSizeOfHeadersField);
  for (uint32_t i = 0; i < h.section_count; ++i) {
    const uint8_t* section = head + sections + i * kSectionHeaderSize;
    const uint32_t raw_size = LoadU32(section + kRawSizeField);
    // A section with no file data (.bss) takes no room, wherever it points.
    if (raw_size == 0) continue;
    const uint64_t raw_end = static_cast<uint64_t>(LoadU32(section + kRawOffsetField)) + raw_size;
    if (raw_end > image_end) image_end = raw_end;
  }
  if (image_end > file_size || image_end > 0xFFFFFFFFu) return false;
  *end = static_cast<uint32_t>(image_end);
  return true;
}

}  // namespace kiv
