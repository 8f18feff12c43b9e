// Where an image ends, read from its own PE headers, and how much of an
// unsigned file the temporary copy takes: on the four built stubs where a
// Windows build has made them, and on small images with their headers
// damaged in each way a file can be.
#include "uninstall_file/pe_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "common/tiny_image.h"
#include "uninstall_file/signature_part.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing_support::TinyImage;

// The tiny image's layout: headers in the first 0x200 bytes, one section's
// raw data from 0x200 to 0x400, the end of the file.
constexpr uint32_t kTinyEnd = 0x400;
constexpr uint32_t kLfanew = 0x40;
constexpr uint32_t kOptional = kLfanew + 24;
uint32_t SectionTable(bool plus) { return kOptional + (plus ? 240 : 224); }

bool ImageEnd(const Bytes& b, uint32_t* end, uint64_t file_size = UINT64_MAX) {
  const uint32_t head = b.size() < kPeHeadLimit ? static_cast<uint32_t>(b.size()) : kPeHeadLimit;
  return ReadImageEnd(b.data(), head, file_size == UINT64_MAX ? b.size() : file_size, end);
}

TEST(ImageEnd, IsTheEndOfTheLastSectionsRawDataOrOfTheHeaders) {
  for (const bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    uint32_t end = 0;
    Bytes b = TinyImage(plus);
    ASSERT_TRUE(ImageEnd(b, &end));
    EXPECT_EQ(end, kTinyEnd);
    // What follows the image (a log) is no part of it.
    Bytes longer = b;
    longer.resize(70000, 0xEE);
    ASSERT_TRUE(ImageEnd(longer, &end));
    EXPECT_EQ(end, kTinyEnd);

    // A second section whose raw data lies before the first's: the image
    // ends where the furthest raw data ends, not at the table's last entry.
    const uint32_t table = SectionTable(plus);
    Bytes two = longer;
    StoreU16(&two[kLfanew + 6], 2);
    memcpy(&two[table + 40], &two[table], 40);
    StoreU32(&two[table + 16], 0x10000);  // the first: 0x200 .. 0x10200
    StoreU32(&two[table + 40 + 16], 0x100);
    ASSERT_TRUE(ImageEnd(two, &end));
    EXPECT_EQ(end, 0x10200u);
    // A section with no file data (.bss) takes no room, wherever it points.
    StoreU32(&two[table + 40 + 16], 0);
    StoreU32(&two[table + 40 + 20], 0xFFFFFF00u);
    ASSERT_TRUE(ImageEnd(two, &end));
    EXPECT_EQ(end, 0x10200u);

    // Headers declared longer than every section's data end the image.
    Bytes headers = longer;
    StoreU32(&headers[kOptional + 60], 0x800);
    ASSERT_TRUE(ImageEnd(headers, &end));
    EXPECT_EQ(end, 0x800u);
  }
}

TEST(ImageEnd, RefusesHeadersItCannotReadWholeAndImagesPastTheFile) {
  struct Case {
    const char* name;
    void (*spoil)(Bytes& b, bool plus);
    uint64_t file_size;  // UINT64_MAX: the bytes' own size
  };
  const Case cases[] = {
      {"no MZ", [](Bytes& b, bool) { b[0] = 'X'; }, UINT64_MAX},
      {"no PE signature", [](Bytes& b, bool) { b[kLfanew + 1] = 'X'; }, UINT64_MAX},
      {"e_lfanew past the head", [](Bytes& b, bool) { StoreU32(&b[0x3C], 0x1000); }, UINT64_MAX},
      {"e_lfanew that wraps in 32 bits",
       [](Bytes& b, bool) { StoreU32(&b[0x3C], 0xFFFFFFF0u); }, UINT64_MAX},
      {"another optional header magic", [](Bytes& b, bool) { StoreU16(&b[kOptional], 0x107); },
       UINT64_MAX},
      {"optional header too short for SizeOfHeaders",
       [](Bytes& b, bool) { StoreU16(&b[kLfanew + 20], 60); }, UINT64_MAX},
      {"truncated inside the optional header", [](Bytes& b, bool) { b.resize(kOptional + 40); },
       UINT64_MAX},
      {"truncated inside the section table",
       [](Bytes& b, bool plus) { b.resize(SectionTable(plus) + 30); }, UINT64_MAX},
      {"section table past the head (count 0xFFFF)",
       [](Bytes& b, bool) { StoreU16(&b[kLfanew + 6], 0xFFFF); }, UINT64_MAX},
      {"section table past the head (optional size 0xFFFF)",
       [](Bytes& b, bool) { StoreU16(&b[kLfanew + 20], 0xFFFF); }, UINT64_MAX},
      {"raw data past the end of the file",
       [](Bytes& b, bool plus) { StoreU32(&b[SectionTable(plus) + 16], 0x201); }, UINT64_MAX},
      {"raw offset and size that wrap in 32 bits",
       [](Bytes& b, bool plus) {
         StoreU32(&b[SectionTable(plus) + 16], 0x200);
         StoreU32(&b[SectionTable(plus) + 20], 0xFFFFFF00u);
       },
       UINT64_MAX},
      {"SizeOfHeaders past the end of the file",
       [](Bytes& b, bool) { StoreU32(&b[kOptional + 60], 0xFFFFFFFFu); }, UINT64_MAX},
      {"a file cut inside the section's data", [](Bytes& b, bool) { b.resize(kTinyEnd - 1); },
       UINT64_MAX},
      {"a head longer than the file it is said to start", [](Bytes&, bool) {}, kTinyEnd - 1},
  };
  for (const bool plus : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(plus ? "PE32+: " : "PE32: ") + c.name);
      Bytes b = TinyImage(plus);
      c.spoil(b, plus);
      uint32_t end = 12345;
      EXPECT_FALSE(ImageEnd(b, &end, c.file_size));
      EXPECT_EQ(end, 12345u) << "left unchanged";
    }
  }
}

TEST(TemporaryCopySize, TakesTheFloorOrTheWholeImageWhicheverIsMore) {
  struct Case {
    const char* name;
    uint64_t file_size;
    uint32_t image_end;  // 0: headers that could not be read
    uint32_t copy;
  };
  const Case cases[] = {
      {"a short file, whole", 1000, 0x200, 1000},
      {"a file of exactly the floor, whole", 60000, 0x400, 60000},
      {"the floor of a longer file", 60001, 59392, 60000},
      {"an image that ends at the floor", 90000, 60000, 60000},
      {"an image one byte past the floor", 90000, 60001, 60001},
      {"an image past the floor, without its log", 200000, 72704, 72704},
      {"a whole file that is its image", 72704, 72704, 72704},
      {"unreadable headers: the floor", 200000, 0, 60000},
      {"unreadable headers of a short file: the file", 500, 0, 500},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TemporaryCopySize(c.file_size, c.image_end), c.copy) << c.name;
  }
}

// The stubs as a Windows build made them, when one has: build/win32 or
// build/win64 beside this build.
TEST(ImageEnd, OfEachBuiltStubIsItsWholeFile) {
  const char* names[] = {"kivuninst.exe", "kivuninst_user.exe", "kivuninst64.exe",
                         "kivuninst64_user.exe"};
  int found = 0;
  for (const char* name : names) {
    for (const char* dir : {KIV_WIN32_BUILD_DIR, KIV_WIN64_BUILD_DIR}) {
      const fs::path path = fs::path(dir) / name;
      if (!fs::exists(path)) continue;
      SCOPED_TRACE(path.string());
      ++found;
      std::ifstream in(path, std::ios::binary);
      const Bytes stub((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      uint32_t end = 0;
      ASSERT_TRUE(ImageEnd(stub, &end));
      // A stripped stub carries nothing past its image: the copy is the stub.
      EXPECT_EQ(end, stub.size());
      Bytes file = stub;
      file.resize(stub.size() + 100000, 0);  // a long log after it
      EXPECT_EQ(TemporaryCopySize(file.size(), end), stub.size() > kTemporaryCopyFloor
                                                          ? stub.size()
                                                          : kTemporaryCopyFloor);
      SignaturePart part;
      EXPECT_EQ(ReadSignaturePart(stub.data(), stub.size(), &part), SignatureLayout::kUnsigned);
    }
  }
  if (found == 0) GTEST_SKIP() << "no Windows build here: cmake --preset win64 makes the stubs";
}

}  // namespace
}  // namespace kiv
