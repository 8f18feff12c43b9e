// The signature part of a PE image (uninstall_file/signature_part.h) over
// any bytes, as the stub reads its own file and kivlog reads a stub.
//
// Input: the whole file.
//
// Invariants:
//  - the file is a heap block of exactly its size: nothing is read past it;
//  - a kSigned part lies inside the file: the table after the directory
//    entry, aligned, ending within the file; blob_end <= signed_end <= the
//    table's end, signed_end a multiple of 8 from the table's start, the
//    certificate's length within the table;
//  - the signed stub it names (the file cut at signed_end, both lengths set
//    to reach it) reads back as signed with the same blob: the stub's
//    temporary copy is itself a sound signed image.
#include <stdint.h>
#include <string.h>

#include <memory>

#include "fuzz_check.h"
#include "uninstall_file/signature_part.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::unique_ptr<uint8_t[]> file(new uint8_t[size ? size : 1]);
  if (size) memcpy(file.get(), data, size);
  kiv::SignaturePart part;
  const kiv::SignatureLayout layout = kiv::ReadSignaturePart(file.get(), size, &part);
  if (layout != kiv::SignatureLayout::kSigned) {
    KIV_FUZZ_CHECK(part.table_offset == 0 && part.signed_end == 0);
    return 0;
  }
  const uint64_t table_end = static_cast<uint64_t>(part.table_offset) + part.table_size;
  KIV_FUZZ_CHECK(part.directory_entry + 8 <= part.table_offset);
  KIV_FUZZ_CHECK(table_end <= size);
  KIV_FUZZ_CHECK(part.table_offset % kiv::kCertificateAlignment == 0);
  KIV_FUZZ_CHECK(part.table_size % kiv::kCertificateAlignment == 0);
  KIV_FUZZ_CHECK(part.certificate_length <= part.table_size);
  KIV_FUZZ_CHECK(part.table_offset + kiv::kCertificateHeaderSize < part.blob_end);
  KIV_FUZZ_CHECK(part.blob_end <= part.signed_end && part.signed_end <= table_end);
  KIV_FUZZ_CHECK((part.signed_end - part.table_offset) % kiv::kCertificateAlignment == 0);

  std::unique_ptr<uint8_t[]> stub(new uint8_t[part.signed_end]);
  memcpy(stub.get(), file.get(), part.signed_end);
  kiv::StoreSignatureLengths(stub.get(), part, part.signed_end - part.table_offset);
  kiv::SignaturePart again;
  KIV_FUZZ_CHECK(kiv::ReadSignaturePart(stub.get(), part.signed_end, &again) ==
                 kiv::SignatureLayout::kSigned);
  KIV_FUZZ_CHECK(again.blob_end == part.blob_end && again.signed_end == part.signed_end);
  KIV_FUZZ_CHECK(again.table_size == part.signed_end - part.table_offset);
  return 0;
}
