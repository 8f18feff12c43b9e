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
constexpr uint8_t kDerContextZero = 0xA0;
// 1.2.840.113549.1.7.2, signedData, as its whole DER element.
constexpr uint8_t kSignedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// A DER tag and definite length at der[at], within room bytes: *content is
// the length, *header the tag's and length's bytes. False unless the tag is
// `tag` and the length is in its shortest form (DER's rule: a verifier
// reads no other).
bool DerHeader(const uint8_t* der, uint32_t room, uint32_t at, uint8_t tag, uint32_t* content,
               uint32_t* header) {
  if (at + 2 > room || der[at] != tag) return false;
  const uint32_t first = der[at + 1];
  if (first < 0x80) {
    *content = first;
    *header = 2;
    return true;
  }
  const uint32_t count = first & 0x7F;
  if (count == 0 || count > 4 || at + 2 + count > room || der[at + 2] == 0) return false;
  uint32_t value = 0;
  for (uint32_t i = 0; i < count; ++i) value = (value << 8) | der[at + 2 + i];
  if (value < 0x80) return false;  // the short form holds it
  *content = value;
  *header = 2 + count;
  return true;
}

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
  // ... and after the image (the headers and every section's raw data): a
  // table inside it would make the signed stub a cut image.
  uint32_t image_end = 0;
  if (!ReadImageEnd(head, head_size, file_size, &image_end) || table_offset < image_end) {
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
  // ContentInfo ::= SEQUENCE { contentType OID, [0] EXPLICIT SignedData }:
  // the outer length must be exactly its two elements', and the [0]'s
  // exactly the SignedData's.
  uint32_t info, info_header, holder, holder_header, data, data_header;
  const uint32_t oid_size = sizeof(kSignedDataOid);
  if (!DerHeader(der, der_room, 0, kDerSequence, &info, &info_header) ||
      info_header + oid_size > der_room) {
    return SignatureLayout::kUnsound;
  }
  for (uint32_t i = 0; i < oid_size; ++i) {
    if (der[info_header + i] != kSignedDataOid[i]) return SignatureLayout::kUnsound;
  }
  const uint32_t at_holder = info_header + oid_size;
  if (!DerHeader(der, der_room, at_holder, kDerContextZero, &holder, &holder_header) ||
      !DerHeader(der, der_room, at_holder + holder_header, kDerSequence, &data, &data_header) ||
      static_cast<uint64_t>(oid_size) + holder_header + holder != info ||
      static_cast<uint64_t>(data_header) + data != holder) {
    return SignatureLayout::kUnsound;
  }
  const uint64_t blob = static_cast<uint64_t>(kCertificateHeaderSize) + info_header + info;
  if (blob > length) return SignatureLayout::kUnsound;
  const uint32_t blob_end = part->table_offset + static_cast<uint32_t>(blob);
  const uint32_t signed_end = AlignUpToCertificate(blob_end);
  if (signed_end > part->table_offset + part->table_size) return SignatureLayout::kUnsound;
  part->certificate_length = length;
  part->blob_end = blob_end;
  part->signed_end = signed_end;
  return SignatureLayout::kSigned;
}

bool SignedDataIsWhole(const uint8_t* blob, uint32_t size) {
  uint32_t info, info_header, holder, holder_header, data, data_header;
  const uint32_t oid_size = sizeof(kSignedDataOid);
  if (!DerHeader(blob, size, 0, kDerSequence, &info, &info_header) ||
      static_cast<uint64_t>(info_header) + info != size) {
    return false;
  }
  const uint32_t at_holder = info_header + oid_size;
  if (!DerHeader(blob, size, at_holder, kDerContextZero, &holder, &holder_header) ||
      !DerHeader(blob, size, at_holder + holder_header, kDerSequence, &data, &data_header)) {
    return false;
  }
  // SignedData ::= SEQUENCE { version INTEGER, digestAlgorithms SET,
  // contentInfo SEQUENCE, [0] certificates, [1] crls, signerInfos SET }.
  const uint32_t start = at_holder + holder_header + data_header;
  const uint64_t end = static_cast<uint64_t>(start) + data;
  if (end > size) return false;
  uint32_t at = start, elements = 0;
  uint8_t last = 0;
  while (at < end) {
    const uint8_t tag = blob[at];
    uint32_t content, header;
    if (!DerHeader(blob, static_cast<uint32_t>(end), at, tag, &content, &header) ||
        at + static_cast<uint64_t>(header) + content > end) {
      return false;
    }
    if (elements == 0 && tag != 0x02) return false;  // the version INTEGER
    at += header + content;
    last = tag;
    ++elements;
  }
  return at == end && elements >= 4 && last == 0x31;  // ending in the signer infos' SET
}

SignatureLayout ReadSignaturePart(const uint8_t* file, uint64_t file_size, SignaturePart* part) {
  const uint32_t head_size =
      file_size < kPeHeadLimit ? static_cast<uint32_t>(file_size) : kPeHeadLimit;
  SignaturePart found;
  const SignatureLayout located = LocateCertificateTable(file, head_size, file_size, &found);
  if (located != SignatureLayout::kSigned) return located;
  const uint32_t cert_head_size =
      found.table_size < kCertificateHeadSize ? found.table_size : kCertificateHeadSize;
  SignatureLayout read = ReadCertificateHead(file + found.table_offset, cert_head_size, &found);
  if (read == SignatureLayout::kSigned &&
      !SignedDataIsWhole(file + found.table_offset + kCertificateHeaderSize,
                         found.blob_end - found.table_offset - kCertificateHeaderSize)) {
    read = SignatureLayout::kUnsound;
  }
  if (read == SignatureLayout::kSigned) *part = found;
  return read;
}

SignatureLayout PlanSignedCopy(const uint8_t* head, uint32_t head_size, uint64_t size,
                               PlanReadFn read, void* context, SignedCopy* copy) {
  SignaturePart part;
  const SignatureLayout layout = LocateCertificateTable(head, head_size, size, &part);
  if (layout != SignatureLayout::kSigned) return layout;
  uint8_t cert_head[kCertificateHeadSize];
  const uint32_t want =
      part.table_size < kCertificateHeadSize ? part.table_size : kCertificateHeadSize;
  if (read(context, part.table_offset, cert_head, want) != want ||
      ReadCertificateHead(cert_head, want, &part) != SignatureLayout::kSigned) {
    return SignatureLayout::kUnsound;
  }
  copy->count = part.signed_end;
  copy->length_at[0] = part.directory_entry + 4;
  copy->length_at[1] = part.table_offset;
  StoreU32(copy->length, part.signed_end - part.table_offset);
  return SignatureLayout::kSigned;
}

void StoreSignatureLengths(uint8_t* bytes, const SignaturePart& part, uint32_t length) {
  StoreU32(bytes + part.directory_entry + 4, length);
  StoreU32(bytes + part.table_offset, length);
}

}  // namespace kiv
