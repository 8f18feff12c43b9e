// The count and content questions asked before a shared or kept file goes.
#include "run/keep_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

TEST(KeepRule, SharedFileGoesOnlyWithItsLastUser) {
  const struct {
    const char* name;
    bool counted;
    uint32_t count;
    bool remove, uncounted;
    uint32_t others;
  } rows[] = {
      {"two users: one stays", true, 2, false, false, 1},
      {"the last user", true, 1, true, false, 0},
      {"a count of 0", true, 0, true, true, 0},
      {"no count, or not a REG_DWORD", false, 7, true, true, 0},
      {"the largest count", true, 0xFFFFFFFFu, false, false, 0xFFFFFFFEu},
  };
  for (const auto& row : rows) {
    const SharedUse use = DecideShared(row.counted, row.count);
    EXPECT_EQ(use.remove, row.remove) << row.name;
    EXPECT_EQ(use.uncounted, row.uncounted) << row.name;
    EXPECT_EQ(use.others, row.others) << row.name;
  }
}

TEST(KeepRule, Crc32OfKnownTexts) {
  EXPECT_EQ(Crc32(0, "", 0), 0u);
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);  // the standard check value
  EXPECT_EQ(Crc32(0, "The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
  // In pieces as in one.
  EXPECT_EQ(Crc32(Crc32(0, "12345", 5), "6789", 4), 0xCBF43926u);
}

// A file's content handed out a few bytes at a time, as a read of a file
// that is longer than the buffer.
struct Chunks {
  std::string content;
  size_t at = 0;
  uint32_t reads = 0;
  static uint32_t Read(void* context, void* buffer, uint32_t count) {
    auto* c = static_cast<Chunks*>(context);
    ++c->reads;
    const size_t n = std::min<size_t>(count, c->content.size() - c->at);
    c->content.copy(static_cast<char*>(buffer), n, c->at);
    c->at += n;
    return static_cast<uint32_t>(n);
  }
};

std::string Check(const std::string& installed) {
  uint8_t check[kContentCheckSize];
  StoreU32(check, static_cast<uint32_t>(installed.size()));
  StoreU32(check + 4, Crc32(0, installed.data(), static_cast<uint32_t>(installed.size())));
  return std::string(reinterpret_cast<char*>(check), sizeof(check));
}

TEST(KeepRule, ContentAsInstalledOnlyWhenSizeAndChecksumMatch) {
  const std::string installed = "[Options]\r\nColour=blue\r\n";
  const struct {
    const char* name;
    std::string now;
    bool same;
  } rows[] = {
      {"untouched", installed, true},
      {"one letter changed", "[Options]\r\nColour=blve\r\n", false},
      {"a line added", installed + "Size=10\r\n", false},
      {"cut short", installed.substr(0, 10), false},
      {"emptied", "", false},
      {"same size, other bytes", std::string(installed.size(), 'x'), false},
  };
  for (const auto& row : rows) {
    Chunks file{row.now};
    uint8_t buffer[4];  // far smaller than the file: many reads
    const std::string check = Check(installed);
    EXPECT_EQ(ContentAsInstalled(reinterpret_cast<const uint8_t*>(check.data()), Chunks::Read,
                                 &file, buffer, sizeof(buffer)),
              row.same)
        << row.name;
  }
}

TEST(KeepRule, ContentIsReadOnceAndNoFurtherThanItsSize) {
  const std::string check = Check("");
  // An empty file installed: still empty is the same.
  Chunks empty{""};
  uint8_t buffer[8];
  EXPECT_TRUE(ContentAsInstalled(reinterpret_cast<const uint8_t*>(check.data()), Chunks::Read,
                                 &empty, buffer, sizeof(buffer)));
  EXPECT_EQ(empty.reads, 1u);
  // A file grown far past its size is judged at the first read beyond it.
  Chunks grown{std::string(1000, 'a')};
  EXPECT_FALSE(ContentAsInstalled(reinterpret_cast<const uint8_t*>(check.data()), Chunks::Read,
                                  &grown, buffer, sizeof(buffer)));
  EXPECT_EQ(grown.reads, 1u);
  // The whole of a matching file is read once, front to back.
  const std::string text(20, 'k');
  const std::string full = Check(text);
  Chunks same{text};
  EXPECT_TRUE(ContentAsInstalled(reinterpret_cast<const uint8_t*>(full.data()), Chunks::Read,
                                 &same, buffer, sizeof(buffer)));
  EXPECT_EQ(same.at, text.size());
  EXPECT_EQ(same.reads, 4u);  // 8 + 8 + 4, then the end
}

}  // namespace
}  // namespace kiv
