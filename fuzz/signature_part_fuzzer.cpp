// The signature part of a PE image (uninstall_file/signature_part.h) over
// any bytes, as the stub reads its own file and kivlog reads a stub, and the
// temporary copy's plan the stub makes from it.
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
//    temporary copy is itself a sound signed image;
//  - the copy's plan (PlanSignedCopy, reading through a callback as the
//    stub reads its file) takes nothing the same reading of the headers
//    refuses: a signed plan is that same signed stub, its bytes the file's
//    but for the two lengths, and an unsigned plan is an unsigned image
//    there too. (kivlog's whole reading also walks the whole blob, which
//    the stub does not read: what it takes, the head reading takes.)
#include <stdint.h>
#include <string.h>

#include <memory>

#include "fuzz_check.h"
#include "uninstall_file/signature_part.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  uint32_t reads;
};

uint32_t ReadInput(void* context, uint32_t offset, void* buffer, uint32_t count) {
  Input* in = static_cast<Input*>(context);
  ++in->reads;
  if (offset >= in->size) return 0;
  const size_t n = count < in->size - offset ? count : in->size - offset;
  memcpy(buffer, in->data + offset, n);
  return static_cast<uint32_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::unique_ptr<uint8_t[]> file(new uint8_t[size ? size : 1]);
  if (size) memcpy(file.get(), data, size);
  kiv::SignaturePart part;
  const kiv::SignatureLayout layout = kiv::ReadSignaturePart(file.get(), size, &part);

  // The copy's plan, from the stub's head and reads.
  const uint32_t head_size = size < kiv::kPeHeadLimit ? static_cast<uint32_t>(size)
                                                       : kiv::kPeHeadLimit;
  Input input = {file.get(), size, 0};
  kiv::SignedCopy copy;
  const kiv::SignatureLayout plan =
      kiv::PlanSignedCopy(file.get(), head_size, size, ReadInput, &input, &copy);
  KIV_FUZZ_CHECK(input.reads <= 1);
  // The headers' reading alone, as kivlog's head (kPeHeadLimit) gives it.
  kiv::SignaturePart head_part;
  const uint32_t pe_head = size < kiv::kPeHeadLimit ? static_cast<uint32_t>(size) : kiv::kPeHeadLimit;
  kiv::SignatureLayout head_layout =
      kiv::LocateCertificateTable(file.get(), pe_head, size, &head_part);
  if (head_layout == kiv::SignatureLayout::kSigned) {
    const uint32_t cert = head_part.table_size < kiv::kCertificateHeadSize
                              ? head_part.table_size
                              : kiv::kCertificateHeadSize;
    head_layout = kiv::ReadCertificateHead(file.get() + head_part.table_offset, cert, &head_part);
  }
  if (plan == kiv::SignatureLayout::kUnsigned) {
    KIV_FUZZ_CHECK(head_layout == kiv::SignatureLayout::kUnsigned);
    KIV_FUZZ_CHECK(layout == kiv::SignatureLayout::kUnsigned);
  }
  if (plan == kiv::SignatureLayout::kSigned) {
    KIV_FUZZ_CHECK(head_layout == kiv::SignatureLayout::kSigned);
    KIV_FUZZ_CHECK(copy.count == head_part.signed_end);
    KIV_FUZZ_CHECK(copy.length_at[0] == head_part.directory_entry + 4);
    KIV_FUZZ_CHECK(copy.length_at[1] == head_part.table_offset);
    for (uint32_t f = 0; f < 2; ++f) {
      KIV_FUZZ_CHECK(copy.length_at[f] + sizeof(copy.length) <= copy.count);
    }
  }
  // kivlog's whole reading takes nothing its reading of the headers refuses.
  if (layout == kiv::SignatureLayout::kSigned) {
    KIV_FUZZ_CHECK(head_layout == kiv::SignatureLayout::kSigned);
    KIV_FUZZ_CHECK(head_part.signed_end == part.signed_end);
  }

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

  if (plan == kiv::SignatureLayout::kSigned) {
    // kivlog's signed stub and the stub's copy are the same bytes.
    std::unique_ptr<uint8_t[]> written(new uint8_t[copy.count]);
    memcpy(written.get(), file.get(), copy.count);
    for (uint32_t f = 0; f < 2; ++f) {
      memcpy(written.get() + copy.length_at[f], copy.length, sizeof(copy.length));
    }
    KIV_FUZZ_CHECK(copy.count == part.signed_end);
    KIV_FUZZ_CHECK(memcmp(written.get(), stub.get(), copy.count) == 0);
  }
  return 0;
}
