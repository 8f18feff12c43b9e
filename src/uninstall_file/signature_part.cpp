#include "uninstall_file/signature_part.h"

#include "base/byte_order.h"
#include "uninstall_file/pe_image.h"

namespace kiv {
namespace {

// Where NumberOfRvaAndSizes and the data directories sit in each optional header.
constexpr uint32_t kRvaCountPe32 = 92;
constexpr uint32_t kRvaCountPe32Plus = 108;
constexpr uint32_t kDirectoryEntrySize = 8;
constexpr uint8_t kDerSequence = 0x30;

}  // namespace

SignatureLayout LocateCertificateTable(const uint8_t* head, uint32_t head_size,
                                       uint64_t file_size, SignaturePart* part) {
  PeHeaders h;
  if (head_size > file_size || !ReadPeHeaders(head, head_size, &h)) {
    return SignatureLayout::kNoImage;
  }
  const uint32_t optional = h.optional;
  const uint32_t optional_size = h.optional_size;
  const uint32_t rva_count_at = h.plus ? kRvaCountPe32Plus : kRvaCountPe32;
  const uint32_t entry_in_optional =
      rva_count_at + 4 + kSecurityDirectoryIndex * kDirectoryEntrySize;
  if (entry_in_optional + kDirectoryEntrySize > optional_size) return SignatureLayout::kNoImage;
  const uint64_t headers_end = static_cast<uint64_t>(optional) + optional_size;
  if (headers_end > head_size) return SignatureLayout::kNoImage;
  if (LoadU32(head + optional + rva_count_at) <= kSecurityDirectoryIndex) {
    return SignatureLayout::kNoImage;
  }
  const uint32_t entry = static_cast<uint32_t>(optional + entry_in_optional);
  const uint32_t table_offset = LoadU32(head + entry);
  const uint32_t table_size = LoadU32(head + entry + 4);
  if (table_offset == 0 && table_size == 0) return SignatureLayout::kUnsigned;
  // The table is a file offset (not an address), after the headers, aligned,
  // and whole within the file.
  if (table_offset < headers_end || table_size < kCertificateHeaderSize ||
      table_offset % kCertificateAlignment != 0 || table_size % kCertificateAlignment != 0 ||
      static_cast<uint64_t>(table_offset) + table_size > file_size) {
    return SignatureLayout::kUnsound;
  }
  part->directory_entry = entry;
  part->table_offset = table_offset;
  part->table_size = table_size;
  return SignatureLayout::kSigned;
}

SignatureLayout ReadCertificateHead(const uint8_t* cert_head, uint32_t cert_head_size,
                                    SignaturePart* part) {
  // The shortest blob still has a tag and a one-byte length.
  if (cert_head_size < kCertificateHeaderSize + 2) return SignatureLayout::kUnsound;
  const uint32_t length = LoadU32(cert_head);
  if (LoadU16(cert_head + 4) != kCertificateRevision ||
      LoadU16(cert_head + 6) != kCertificateTypePkcsSignedData || length > part->table_size ||
      length < kCertificateHeaderSize + 2) {
    return SignatureLayout::kUnsound;
  }
  const uint8_t* der = cert_head + kCertificateHeaderSize;
  const uint32_t der_room = cert_head_size - kCertificateHeaderSize;
  if (der[0] != kDerSequence) return SignatureLayout::kUnsound;
  // DER definite length: short form, or 0x81..0x84 followed by that many bytes.
  uint64_t content = der[1];
  uint32_t tag_and_length = 2;
  if (content & 0x80) {
    const uint32_t count = content & 0x7F;
    if (count == 0 || count > 4 || 2 + count > der_room) return SignatureLayout::kUnsound;
    content = 0;
    for (uint32_t i = 0; i < count; ++i) content = (content << 8) | der[2 + i];
    tag_and_length += count;
  }
  const uint64_t blob = kCertificateHeaderSize + tag_and_length + content;
  if (blob > length) return SignatureLayout::kUnsound;
  const uint32_t blob_end = part->table_offset + static_cast<uint32_t>(blob);
  const uint32_t signed_end = AlignUpToCertificate(blob_end);
  if (signed_end > part->table_offset + part->table_size) return SignatureLayout::kUnsound;
  part->certificate_length = length;
  part->blob_end = blob_end;
  part->signed_end = signed_end;
  return SignatureLayout::kSigned;
}

SignatureLayout ReadSignaturePart(const uint8_t* file, uint64_t file_size, SignaturePart* part) {
  const uint32_t head_size =
      file_size < kPeHeadLimit ? static_cast<uint32_t>(file_size) : kPeHeadLimit;
  SignaturePart found;
  const SignatureLayout located = LocateCertificateTable(file, head_size, file_size, &found);
  if (located != SignatureLayout::kSigned) return located;
  const uint32_t cert_head_size =
      found.table_size < kCertificateHeadSize ? found.table_size : kCertificateHeadSize;
  const SignatureLayout read =
      ReadCertificateHead(file + found.table_offset, cert_head_size, &found);
  if (read == SignatureLayout::kSigned) *part = found;
  return read;
}

void StoreSignatureLengths(uint8_t* bytes, const SignaturePart& part, uint32_t length) {
  StoreU32(bytes + part.directory_entry + 4, length);
  StoreU32(bytes + part.table_offset, length);
}

}  // namespace kiv
