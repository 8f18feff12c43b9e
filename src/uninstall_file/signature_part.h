// The signature part of a PE image: the security directory entry and the
// certificate table it points to (a WIN_CERTIFICATE holding a PKCS#7 blob).
//
// A signed stub keeps its signature as an uninstall file: the records, the
// display name and the trailer go inside the certificate table after the
// PKCS#7 blob, with the directory's size and the certificate's length grown
// to cover them (8-byte aligned). The Authenticode hash leaves out the
// security directory entry and the table, so the signature still holds. The
// signed stub itself is the file up to the blob's end (rounded up to 8) with
// both lengths set back to that size.
//
// Pure: works over bytes the caller has read; no <windows.h>, no allocation.
// Every offset and length read here is checked against the bytes given and
// the file size before it is used.
#ifndef KIV_UNINSTALL_FILE_SIGNATURE_PART_H_
#define KIV_UNINSTALL_FILE_SIGNATURE_PART_H_

#include <stdint.h>

#include "uninstall_file/pe_image.h"

namespace kiv {

// WIN_CERTIFICATE: dwLength (u32), wRevision (u16), wCertificateType (u16).
inline constexpr uint32_t kCertificateHeaderSize = 8;
inline constexpr uint16_t kCertificateRevision = 0x0200;
inline constexpr uint16_t kCertificateTypePkcsSignedData = 2;
// The security directory is data directory 4; each entry is (offset, size).
inline constexpr uint32_t kSecurityDirectoryIndex = 4;
// The certificate table's size and its entries stay multiples of this.
inline constexpr uint32_t kCertificateAlignment = 8;
// What ReadCertificateHead needs: the WIN_CERTIFICATE header and the PKCS#7
// blob's first elements, each a DER tag and length (at most 6 bytes): the
// ContentInfo SEQUENCE, its contentType OID (signedData, 11 bytes whole),
// the [0] that holds the content, and the SignedData SEQUENCE in it.
inline constexpr uint32_t kCertificateHeadSize = kCertificateHeaderSize + 6 + 11 + 6 + 6;

enum class SignatureLayout {
  kUnsigned,  // no security directory: the file is an unsigned image
  kSigned,    // a sound signature part, described by SignaturePart
  kNoImage,   // no PE headers that reach the security directory entry
  kUnsound,   // a directory entry or certificate that cannot be trusted
};

struct SignaturePart {
  uint32_t directory_entry = 0;     // file offset of the directory's (offset, size) pair
  uint32_t table_offset = 0;        // file offset of the certificate table
  uint32_t table_size = 0;          // the directory's size as the file has it now
  uint32_t certificate_length = 0;  // the first certificate's dwLength now
  uint32_t blob_end = 0;            // file offset just past the PKCS#7 blob
  uint32_t signed_end = 0;          // blob_end rounded up to 8: the signed stub's size
};

inline constexpr uint32_t AlignUpToCertificate(uint32_t n) {
  return (n + (kCertificateAlignment - 1)) & ~(kCertificateAlignment - 1);
}

// Finds the security directory in `head` (the file's first `head_size`
// bytes; kPeHeadLimit is always enough for our stubs) of a file of
// `file_size` bytes. kSigned fills directory_entry, table_offset and
// table_size only (the table must lie after the image, that is after the
// headers and every section's raw data, so the section table must lie in
// `head`; and end within the file, aligned to 8, as a verifier demands);
// kUnsigned when the entry is all zero. `part` is left unchanged unless
// kSigned.
SignatureLayout LocateCertificateTable(const uint8_t* head, uint32_t head_size,
                                       uint64_t file_size, SignaturePart* part);

// Reads the first certificate from `cert_head` (the table's first
// kCertificateHeadSize bytes, or fewer when the table is that small) for a
// part LocateCertificateTable filled: fills certificate_length, blob_end and
// signed_end. kUnsound (part unchanged) unless it is a PKCS#7 signed-data
// certificate whose DER blob ends within its length, inside the table, and
// whose nested lengths agree as a verifier parses them: each length in its
// shortest form, the ContentInfo holding exactly the signedData OID and its
// [0], the [0] exactly one SignedData SEQUENCE. (A blob whose outer length
// was raised would otherwise take bytes of the log into the signed stub.)
SignatureLayout ReadCertificateHead(const uint8_t* cert_head, uint32_t cert_head_size,
                                    SignaturePart* part);

// Whether the PKCS#7 blob (`blob`, the blob_end - table_offset - 8 bytes
// after the WIN_CERTIFICATE header of a part ReadCertificateHead took) holds
// a SignedData whose elements end exactly where it does, as a verifier
// parses it: an INTEGER version first, a SET of signer infos last, every
// length in its shortest form. ReadCertificateHead sees only the first
// bytes; this reads the whole blob (the tool reads it; the stub does not).
bool SignedDataIsWhole(const uint8_t* blob, uint32_t size);

// Both steps over a whole file held in memory (the tool and the tests), and
// SignedDataIsWhole on the blob.
SignatureLayout ReadSignaturePart(const uint8_t* file, uint64_t file_size, SignaturePart* part);

// Reads up to count bytes at offset of the file being planned; the count read.
using PlanReadFn = uint32_t (*)(void* context, uint32_t offset, void* buffer, uint32_t count);

// The temporary copy of a signed file: its signed stub, the file's first
// `count` bytes with both lengths of its signature part (4 bytes each at
// length_at) set to `length` as they pass.
struct SignedCopy {
  uint32_t count = 0;
  uint32_t length_at[2] = {};
  uint8_t length[4] = {};
};

// The copy's plan for a file of `size` bytes from its first bytes `head`
// (head_size = min(size, kPeHeadLimit)), reading the certificate table's
// head through read: kSigned fills *copy; kUnsigned leaves the copy to the
// caller's rule for an unsigned file; kNoImage (no headers to read) and
// kUnsound: no sound copy can be made (it would not verify, or not start).
// It reads only the blob's first elements, not SignedDataIsWhole's walk of
// the whole blob (kivlog's build and check make that one).
SignatureLayout PlanSignedCopy(const uint8_t* head, uint32_t head_size, uint64_t size,
                               PlanReadFn read, void* context, SignedCopy* copy);

// Writes the two lengths, both set to `length` (a multiple of 8), into the
// directory entry and the certificate header held in `bytes` at their file
// offsets; `bytes` holds at least the file's first table_offset + 8 bytes.
void StoreSignatureLengths(uint8_t* bytes, const SignaturePart& part, uint32_t length);

}  // namespace kiv

#endif  // KIV_UNINSTALL_FILE_SIGNATURE_PART_H_
