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
#include "common/tiny_image.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing_support::TinyImage;

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
    SignatureLayout expected = SignatureLayout::kUnsound;
  };
  constexpr SignatureLayout kNoImage = SignatureLayout::kNoImage;
  // A two-byte DER length (after 0x82) at `at`, raised by 64, as the
  // little-endian u16 the table stores.
  const auto raised = [&](uint32_t at) {
    const uint32_t length = (signed_image[at] << 8 | signed_image[at + 1]) + 64;
    return (length >> 8) | ((length & 0xFF) << 8);
  };
  const uint32_t content_info = table + 8;          // 30 82 LL LL
  const uint32_t holder = content_info + 4 + 11;   // A0 82 LL LL, after the OID
  const uint32_t section = 0x40 + 24 + 224;        // TinyImage's one section header
  const Case cases[] = {
      {"no MZ", 0, 0x0000, true, kNoImage},
      {"e_lfanew past the file", 0x3C, 0x7FFFFFF0, false, kNoImage},
      {"e_lfanew wraps", 0x3C, 0xFFFFFFF0, false, kNoImage},
      {"no PE signature", 0x40, 0x0000, true, kNoImage},
      {"unknown optional magic", 0x40 + 24, 0x0107, true, kNoImage},
      {"too few data directories", 0x40 + 24 + 92, 4, false, kNoImage},
      {"optional header too short for the entry", 0x40 + 20, 128, true, kNoImage},
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
      // As a verifier parses it: the ContentInfo is exactly the signedData
      // OID and its [0], the [0] exactly one SignedData.
      {"ContentInfo longer than what it holds", content_info + 2, raised(content_info + 2), true},
      {"[0] longer than the ContentInfo has room for", holder + 2, raised(holder + 2), true},
      {"not the signedData OID", content_info + 4 + 9, 0x0107, true},
      {"a two-byte length that fits in one", content_info + 1, 0x0081, true},
      // The table after the image: a section whose raw data reaches past
      // its start, or a section table too long to read, is no sound layout.
      {"section raw data reaching into the table", section + 16, table, false},
      {"section table past the headers read", 0x40 + 6, 200, true},
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
    EXPECT_EQ(ReadSignaturePart(bad.data(), bad.size(), &out), c.expected);
    EXPECT_EQ(out.table_offset, 0u) << "part left unchanged";
  }
  // The headers cut short: fewer bytes than the directory entry needs.
  SignaturePart out;
  EXPECT_EQ(ReadSignaturePart(signed_image.data(), entry + 4, &out), SignatureLayout::kNoImage);
  EXPECT_EQ(ReadSignaturePart(signed_image.data(), 10, &out), SignatureLayout::kNoImage);
}

}  // namespace
}  // namespace kiv
