#include "ini/profile_editor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kiv {
namespace {

// Runs the editor on content as the file layer does: a buffer of the file's
// size plus the room for the insertion.
std::string Insert(const std::string& content, bool* ok = nullptr) {
  std::vector<char> buffer(content.begin(), content.end());
  buffer.resize(content.size() + kProfileRoom, '#');
  uint32_t size = static_cast<uint32_t>(content.size());
  bool done = InsertProfileEntry(buffer.data(), &size, static_cast<uint32_t>(buffer.size()),
                                 "Rename", "NUL", "C:\\TEMP\\STP1.TMP");
  if (ok) *ok = done;
  return std::string(buffer.data(), size);
}

struct Row {
  const char* name;
  std::string before;
  std::string after;
};

const Row kRows[] = {
    {"empty_file", "", "\r\n[Rename]\r\nNUL=C:\\TEMP\\STP1.TMP"},
    {"no_longer_than_the_header", "[Rename]", "[Rename]\r\n[Rename]\r\nNUL=C:\\TEMP\\STP1.TMP"},
    {"header_in_small_letters_after_a_line_feed", "[x]\r\n[rename]\r\nNUL=C:\\OTHER\r\n",
     "[x]\r\n[rename]\r\nNUL=C:\\TEMP\\STP1.TMP\r\nNUL=C:\\OTHER\r\n"},
    {"header_on_the_first_line", "[Rename]\r\nNUL=C:\\OTHER",
     "[Rename]\r\nNUL=C:\\TEMP\\STP1.TMP\r\nNUL=C:\\OTHER"},
    {"other_sections_only", "[boot]\r\na=b\r\n",
     "[boot]\r\na=b\r\n\r\n[Rename]\r\nNUL=C:\\TEMP\\STP1.TMP"},
    {"text_after_the_bracket_kept", "x\n[Rename] ; note\nNUL=C:\\A",
     "x\n[Rename]\r\nNUL=C:\\TEMP\\STP1.TMP ; note\nNUL=C:\\A"},
    {"only_the_first_matching_header", "[Rename]\n\n[Rename]\n",
     "[Rename]\r\nNUL=C:\\TEMP\\STP1.TMP\n\n[Rename]\n"},
    {"header_inside_a_line_is_no_header", "x[Rename]\r\n",
     "x[Rename]\r\n\r\n[Rename]\r\nNUL=C:\\TEMP\\STP1.TMP"},
};

class ProfileInsert : public testing::TestWithParam<Row> {};

TEST_P(ProfileInsert, AddsTheEntryFirstInItsSection) {
  bool ok = false;
  EXPECT_EQ(Insert(GetParam().before, &ok), GetParam().after);
  EXPECT_TRUE(ok);
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(Rows, ProfileInsert, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

TEST(ProfileInsert, SecondEntryInAFileTheEditorCreatedGoesIntoTheSameSection) {
  char buffer[2048];
  uint32_t size = 0;
  ASSERT_TRUE(NewProfileContent(buffer, sizeof(buffer), "Rename", "NUL", "C:\\A", &size));
  EXPECT_EQ(std::string(buffer, size), "[Rename]\r\nNUL=C:\\A");
  ASSERT_TRUE(InsertProfileEntry(buffer, &size, sizeof(buffer), "Rename", "NUL", "C:\\B"));
  EXPECT_EQ(std::string(buffer, size), "[Rename]\r\nNUL=C:\\B\r\nNUL=C:\\A");
}

TEST(ProfileInsert, RefusesWhatDoesNotFitItsBufferAndLeavesItUnchanged) {
  std::string content = "[boot]\r\n";
  std::vector<char> buffer(content.begin(), content.end());
  buffer.resize(content.size() + 10);  // too little room for the section
  uint32_t size = static_cast<uint32_t>(content.size());
  EXPECT_FALSE(InsertProfileEntry(buffer.data(), &size, static_cast<uint32_t>(buffer.size()),
                                  "Rename", "NUL", "C:\\TEMP\\STP1.TMP"));
  EXPECT_EQ(size, content.size());
  EXPECT_EQ(std::string(buffer.data(), size), content);
}

}  // namespace
}  // namespace kiv
