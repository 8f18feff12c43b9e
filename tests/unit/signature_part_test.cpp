// The signature part of a PE image, read from images signed here and now by
// osslsigncode with a throw-away certificate made by openssl.
#include "uninstall_file/signature_part.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/byte_order.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A minimal image: DOS header, PE header, optional header with 16 data
// directories, one section holding a `ret`. PE32 or PE32+.
Bytes TinyImage(bool plus) {
  const uint32_t file_align = 0x200;
  const uint32_t optional_size = plus ? 240 : 224;
  Bytes b(2 * file_align, 0);
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

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteAll(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A throw-away certificate per test program, and images signed with it.
class SignedImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("kiv_signature_part_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=KivTest -keyout '" +
                            (dir_ / "key.pem").string() + "' -out '" + (dir_ / "cert.pem").string() +
                            "' >/dev/null 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0) << "openssl is needed (scripts/bootstrap installs it)";
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static Bytes Sign(const Bytes& image) {
    WriteAll(dir_ / "in.exe", image);
    fs::remove(dir_ / "out.exe");
    const std::string cmd = "osslsigncode sign -certs '" + (dir_ / "cert.pem").string() + "' -key '" +
                            (dir_ / "key.pem").string() + "' -in '" + (dir_ / "in.exe").string() +
                            "' -out '" + (dir_ / "out.exe").string() + "' >/dev/null 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0) << "osslsigncode is needed (scripts/bootstrap installs it)";
    return ReadAll(dir_ / "out.exe");
  }
  static bool Verifies(const Bytes& file) {
    WriteAll(dir_ / "check.exe", file);
    const std::string cmd = "osslsigncode verify -CAfile '" + (dir_ / "cert.pem").string() + "' -in '" +
                            (dir_ / "check.exe").string() + "' >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
  }

  static inline fs::path dir_;
};

TEST_F(SignedImageTest, FindsTheBlobInSignedImagesOfBothWidths) {
  for (bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    const Bytes image = TinyImage(plus);
    SignaturePart part;
    EXPECT_EQ(ReadSignaturePart(image.data(), image.size(), &part), SignatureLayout::kUnsigned);

    const Bytes signed_image = Sign(image);
    ASSERT_TRUE(Verifies(signed_image));
    ASSERT_EQ(ReadSignaturePart(signed_image.data(), signed_image.size(), &part),
              SignatureLayout::kSigned);
    EXPECT_EQ(part.table_offset, image.size());
    EXPECT_EQ(static_cast<uint64_t>(part.table_offset) + part.table_size, signed_image.size());
    EXPECT_EQ(part.signed_end, signed_image.size());
    EXPECT_LE(part.blob_end, part.signed_end);
    EXPECT_GT(part.blob_end + kCertificateAlignment, part.signed_end);
    EXPECT_EQ(part.certificate_length, part.table_size);
  }
}

// Bytes inside the table after the blob, both lengths grown: the signature
// holds; the signed image comes back byte for byte from the grown file.
TEST_F(SignedImageTest, BytesAfterTheBlobKeepTheSignatureAndTheSignedImageComesBack) {
  const Bytes signed_image = Sign(TinyImage(false));
  SignaturePart part;
  ASSERT_EQ(ReadSignaturePart(signed_image.data(), signed_image.size(), &part),
            SignatureLayout::kSigned);

  Bytes grown = signed_image;
  for (int i = 0; i < 100; ++i) grown.push_back(static_cast<uint8_t>(i));
  grown.resize(AlignUpToCertificate(static_cast<uint32_t>(grown.size())), 0);
  StoreSignatureLengths(grown.data(), part,
                        static_cast<uint32_t>(grown.size()) - part.table_offset);
  EXPECT_TRUE(Verifies(grown));

  SignaturePart again;
  ASSERT_EQ(ReadSignaturePart(grown.data(), grown.size(), &again), SignatureLayout::kSigned);
  EXPECT_EQ(again.signed_end, part.signed_end);
  EXPECT_EQ(again.table_size, grown.size() - part.table_offset);
  Bytes copy(grown.begin(), grown.begin() + again.signed_end);
  StoreSignatureLengths(copy.data(), again, again.signed_end - again.table_offset);
  EXPECT_EQ(copy, signed_image);

  // Past the table, the same bytes break it: the table no longer ends the file.
  Bytes outside = signed_image;
  outside.insert(outside.end(), 104, 0x5A);
  EXPECT_FALSE(Verifies(outside));
}

// Damaged signature parts, each from the real signed image with one field spoilt.
TEST_F(SignedImageTest, RefusesAnUnsoundSignaturePart) {
  const Bytes signed_image = Sign(TinyImage(false));
  SignaturePart part;
  ASSERT_EQ(ReadSignaturePart(signed_image.data(), signed_image.size(), &part),
            SignatureLayout::kSigned);
  const uint32_t entry = part.directory_entry;
  const uint32_t table = part.table_offset;
  struct Case {
    const char* name;
    uint32_t at;
    uint32_t value;
    bool u16;
  };
  const Case cases[] = {
      {"no MZ", 0, 0x0000, true},
      {"e_lfanew past the file", 0x3C, 0x7FFFFFF0, false},
      {"e_lfanew wraps", 0x3C, 0xFFFFFFF0, false},
      {"no PE signature", 0x40, 0x0000, true},
      {"unknown optional magic", 0x40 + 24, 0x0107, true},
      {"too few data directories", 0x40 + 24 + 92, 4, false},
      {"optional header too short for the entry", 0x40 + 20, 128, true},
      {"table offset zero, size not", entry, 0, false},
      {"size zero, offset not", entry + 4, 0, false},
      {"table inside the headers", entry, 0x40, false},
      {"table offset unaligned", entry, table + 4, false},
      {"table size unaligned", entry + 4, part.table_size - 4, false},
      {"table past the file's end", entry + 4, part.table_size + 8, false},
      {"table size wraps the offset", entry + 4, 0xFFFFFFF8u, false},
      {"certificate longer than the table", table, part.table_size + 8, false},
      {"certificate shorter than its blob", table, part.blob_end - table - 1, false},
      {"certificate length tiny", table, 4, false},
      {"wrong revision", table + 4, 0x0100, true},
      {"not PKCS#7 signed data", table + 6, 1, true},
      {"blob not a DER sequence", table + 8, 0x8231, true},
      {"DER length of five bytes", table + 8, 0x8530, true},
      {"DER indefinite length", table + 8, 0x8030, true},
      {"DER length past the certificate", table + 10, 0xFFFF, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = signed_image;
    if (c.u16) {
      StoreU16(&bad[c.at], static_cast<uint16_t>(c.value));
    } else {
      StoreU32(&bad[c.at], c.value);
    }
    SignaturePart out;
    EXPECT_EQ(ReadSignaturePart(bad.data(), bad.size(), &out), SignatureLayout::kUnsound);
    EXPECT_EQ(out.table_offset, 0u) << "part left unchanged";
  }
  // The headers cut short: fewer bytes than the directory entry needs.
  SignaturePart out;
  EXPECT_EQ(ReadSignaturePart(signed_image.data(), entry + 4, &out), SignatureLayout::kUnsound);
  EXPECT_EQ(ReadSignaturePart(signed_image.data(), 10, &out), SignatureLayout::kUnsound);
}

}  // namespace
}  // namespace kiv
