#include "base/path_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kiv {
namespace {

// A code page in which 0x81..0x9F are lead bytes, as in Shift JIS; 0x5C
// after one is the second half of a letter.
bool ShiftJisLike(uint8_t b) { return b >= 0x81 && b <= 0x9F; }

struct Row {
  const char* name;
  const char* path;
  const char* as_written;    // null: not a full path
  const char* one_spelling;  // the same file as any other spelling writes it
  uint32_t root;             // the root's length as written
};

const Row kRows[] = {
    {"plain", "C:\\App\\a.txt", "C:\\App\\a.txt", "C:\\App\\a.txt", 3},
    {"forward_slashes", "C:/App/link/x", "C:\\App\\link\\x", "C:\\App\\link\\x", 3},
    {"mixed_slashes", "C:\\App\\link/secret.txt", "C:\\App\\link\\secret.txt",
     "C:\\App\\link\\secret.txt", 3},
    {"repeated_separators", "C:\\\\App//\\a", "C:\\App\\a", "C:\\App\\a", 3},
    {"trailing_separator", "C:\\App\\", "C:\\App", "C:\\App", 3},
    {"drive_root", "C:\\", "C:\\", "C:\\", 3},
    {"dot_parts", "C:\\App\\.\\a\\.", "C:\\App\\a", "C:\\App\\a", 3},
    {"dot_dot_parts", "C:\\App\\link\\..\\a", "C:\\App\\a", "C:\\App\\a", 3},
    {"dot_dot_never_above_the_root", "C:\\..\\..\\a", "C:\\a", "C:\\a", 3},
    {"trailing_dots_and_blanks", "C:\\App. \\a.txt..", "C:\\App\\a.txt", "C:\\App\\a.txt", 3},
    {"part_of_only_dots_goes", "C:\\App\\...\\a", "C:\\App\\a", "C:\\App\\a", 3},
    {"short_names_kept_as_they_are", "C:\\PROGRA~1\\APP~1\\A.TXT", "C:\\PROGRA~1\\APP~1\\A.TXT",
     "C:\\PROGRA~1\\APP~1\\A.TXT", 3},
    {"literal_prefix", "\\\\?\\C:\\App\\a", "\\\\?\\C:\\App\\a", "C:\\App\\a", 7},
    {"literal_prefix_keeps_dots", "\\\\?\\C:\\App\\..\\a.", "\\\\?\\C:\\App\\..\\a.",
     "C:\\App\\..\\a.", 7},
    {"literal_prefix_slashes", "\\\\?\\C:\\App/link/x", "\\\\?\\C:\\App\\link\\x",
     "C:\\App\\link\\x", 7},
    {"literal_drive_alone", "\\\\?\\C:", "\\\\?\\C:\\", "C:\\", 7},
    {"device_prefix_reads_dots", "\\\\.\\C:\\App\\..\\a", "\\\\.\\C:\\a", "C:\\a", 7},
    {"unc", "\\\\server\\share\\App\\a", "\\\\server\\share\\App\\a",
     "\\\\server\\share\\App\\a", 15},
    {"unc_share_alone", "\\\\server\\share", "\\\\server\\share\\", "\\\\server\\share\\", 15},
    {"unc_dot_dot_stays_in_the_share", "\\\\server\\share\\..\\..\\a", "\\\\server\\share\\a",
     "\\\\server\\share\\a", 15},
    {"literal_unc", "\\\\?\\UNC\\server\\share\\a", "\\\\?\\UNC\\server\\share\\a",
     "\\\\server\\share\\a", 21},
    {"volume_by_name", "\\\\?\\Volume{1234}\\App", "\\\\?\\Volume{1234}\\App",
     "\\\\?\\Volume{1234}\\App", 17},
    {"rooted", "\\App\\a", "\\App\\a", "\\App\\a", 1},
    {"rooted_slash", "/App/a", "\\App\\a", "\\App\\a", 1},
    {"double_byte_letter_ending_in_0x5c", "C:\\\x95\\\\a", "C:\\\x95\\\\a", "C:\\\x95\\\\a", 3},
    {"double_byte_letter_then_dot_dot", "C:\\\x95\\\\..\\a", "C:\\a", "C:\\a", 3},
    {"relative", "App\\a", nullptr, nullptr, 0},
    {"drive_relative", "C:App\\a", nullptr, nullptr, 0},
    {"unc_without_share", "\\\\server", nullptr, nullptr, 0},
    {"empty", "", nullptr, nullptr, 0},
};

class Normalize : public testing::TestWithParam<Row> {};

TEST_P(Normalize, ReadsThePathAsTheSystemDoes) {
  const Row& row = GetParam();
  PathString out;
  uint32_t root = 0;
  const bool full = NormalizePath(row.path, ShiftJisLike, PathForm::kAsWritten, &out, &root);
  ASSERT_EQ(full, row.as_written != nullptr);
  if (!full) return;
  EXPECT_EQ(std::string(out.c_str()), row.as_written);
  EXPECT_EQ(root, row.root);
  ASSERT_TRUE(NormalizePath(row.path, ShiftJisLike, PathForm::kOneSpelling, &out, &root));
  EXPECT_EQ(std::string(out.c_str()), row.one_spelling);
}

INSTANTIATE_TEST_SUITE_P(Paths, Normalize, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

TEST(Normalize, ResultThatDoesNotFitIsRefused) {
  std::string fits = "C:\\" + std::string(1020, 'a');  // 1,023 bytes and the NUL
  std::string over = "C:\\" + std::string(1021, 'a');
  PathString out;
  uint32_t root = 0;
  EXPECT_TRUE(NormalizePath(fits.c_str(), ShiftJisLike, PathForm::kAsWritten, &out, &root));
  EXPECT_EQ(std::string(out.c_str()), fits);
  EXPECT_FALSE(NormalizePath(over.c_str(), ShiftJisLike, PathForm::kAsWritten, &out, &root));
  // Longer as written, but short once read: it fits.
  std::string folded = "C:\\" + std::string(1020, 'b') + "\\..\\" + std::string(20, 'c');
  EXPECT_TRUE(NormalizePath(folded.c_str(), ShiftJisLike, PathForm::kAsWritten, &out, &root));
  EXPECT_EQ(std::string(out.c_str()), "C:\\" + std::string(20, 'c'));
}

// Where a path starts, as the stub reads a command line's path and kivlog a
// record's: both call this one function. The "\\?\" rows are the ones two
// readings once disagreed on (kivlog took neither a volume by its name nor
// a drive without its separator).
TEST(ReadPathStart, TellsRelativeCurrentDriveAndFullPathsApart) {
  struct Case {
    const char* path;
    PathStart start;
  };
  const Case cases[] = {
      {"C:\\App", PathStart::kFull},
      {"c:/App", PathStart::kFull},
      {"C:\\", PathStart::kFull},
      {"\\\\server\\share", PathStart::kFull},
      {"\\\\server\\share\\dir", PathStart::kFull},
      {"//server/share/dir", PathStart::kFull},
      {"\\\\?\\C:\\App", PathStart::kFull},
      {"\\\\?\\C:", PathStart::kFull},
      {"\\\\.\\C:\\App", PathStart::kFull},
      {"\\\\?\\UNC\\server\\share\\dir", PathStart::kFull},
      {"\\\\?\\Volume{1b3d5f70-0000-0000-0000-100000000000}\\App", PathStart::kFull},
      {"\\\\?\\Volume{1b3d5f70-0000-0000-0000-100000000000}", PathStart::kFull},
      {"\\App", PathStart::kCurrentDrive},
      {"/App", PathStart::kCurrentDrive},
      {"App\\a.txt", PathStart::kRelative},
      {"C:App", PathStart::kRelative},
      {"C:", PathStart::kRelative},
      {"", PathStart::kRelative},
      {"\\\\server", PathStart::kRelative},
      {"\\\\server\\", PathStart::kRelative},
      {"\\\\?\\", PathStart::kRelative},
      {"\\\\?\\UNC\\server", PathStart::kRelative},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadPathStart(c.path, ShiftJisLike), c.start) << c.path;
    EXPECT_EQ(IsFullPath(c.path, ShiftJisLike), c.start == PathStart::kFull) << c.path;
  }
}

TEST(AppendAsFileName, BytesANameCannotHoldBecomeUnderscores) {
  LongString out;
  ASSERT_TRUE(out.Assign("x "));
  EXPECT_TRUE(AppendAsFileName("A\\B/C:D*E?F\"G<H>I|J\tK \x95\\L", ShiftJisLike, &out));
  EXPECT_EQ(std::string(out.c_str()), "x A_B_C_D_E_F_G_H_I_J_K \x95\\L");
  const std::string full(LongString::capacity() - 1, 'a');
  ASSERT_TRUE(out.Assign(full.c_str()));
  EXPECT_FALSE(AppendAsFileName("b", ShiftJisLike, &out));
  EXPECT_EQ(std::string(out.c_str()), full);
}

TEST(AnyDirectoryOnTheWay, VisitsEachDirectoryBelowTheRootTopDown) {
  PathString path;
  uint32_t root = 0;
  ASSERT_TRUE(NormalizePath("\\\\?\\C:\\A/\x95\\\\B\\c.txt", ShiftJisLike, PathForm::kAsWritten,
                            &path, &root));
  std::vector<std::string> seen;
  const auto record = [](const char* d, void* c) {
    static_cast<std::vector<std::string>*>(c)->push_back(d);
    return false;
  };
  EXPECT_FALSE(AnyDirectoryOnTheWay(&path, root, ShiftJisLike, record, &seen));
  // The second directory is one double-byte letter whose second byte is 0x5C.
  EXPECT_EQ(seen, (std::vector<std::string>{"\\\\?\\C:\\A", "\\\\?\\C:\\A\\\x95\\",
                                            "\\\\?\\C:\\A\\\x95\\\\B"}));
  EXPECT_EQ(std::string(path.c_str()), "\\\\?\\C:\\A\\\x95\\\\B\\c.txt") << "restored";
  // Stops at the first that says so.
  seen.clear();
  const auto stop = [](const char* d, void* c) {
    static_cast<std::vector<std::string>*>(c)->push_back(d);
    return true;
  };
  EXPECT_TRUE(AnyDirectoryOnTheWay(&path, root, ShiftJisLike, stop, &seen));
  EXPECT_EQ(seen.size(), 1u);
}

TEST(SubstituteDrive, ASubstDriveIsItsDirectory) {
  const struct {
    const char* target;
    const char* path;
    const char* after;  // null: left as it was
  } rows[] = {
      {"\\??\\C:\\kivtest\\sub", "K:\\app\\a.txt", "C:\\kivtest\\sub\\app\\a.txt"},
      {"\\??\\C:\\", "K:\\a.txt", "C:\\a.txt"},
      {"\\??\\C:\\dir\\", "K:\\", "C:\\dir"},
      {"\\Device\\HarddiskVolume2", "K:\\a.txt", nullptr},  // a volume of its own
      {"\\??\\UNC\\server\\share", "K:\\a.txt", nullptr},  // a mapped share
      {"\\??\\unix/", "Z:\\a.txt", nullptr},                  // Wine's root drive
      {"\\??\\C:\\x", "\\\\server\\share\\a.txt", nullptr},     // no drive letter
  };
  for (const auto& row : rows) {
    PathString path;
    ASSERT_TRUE(path.Assign(row.path));
    EXPECT_EQ(SubstituteDrive(row.target, ShiftJisLike, &path), row.after != nullptr) << row.target;
    EXPECT_EQ(std::string(path.c_str()), row.after ? row.after : row.path) << row.target;
  }
}

TEST(LastSeparator, EitherSeparatorButNeverASecondByte) {
  EXPECT_EQ(LastSeparator("C:\\App/a", ShiftJisLike), 6);
  EXPECT_EQ(LastSeparator("C:\\App\\a", ShiftJisLike), 6);
  EXPECT_EQ(LastSeparator("C:\\\x95\\", ShiftJisLike), 2);
  EXPECT_EQ(LastSeparator("name", ShiftJisLike), -1);
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

// Asked about alone, a directory named like a device is the device: the
// link check would see no link where the action's longer path goes through
// the directory. Every part counts, whatever follows the name.
struct DeviceRow {
  const char* name;
  const char* path;
  uint32_t code_page;
  bool device;
};

const DeviceRow kDeviceRows[] = {
    {"con", "C:\\prod\\con\\a.txt", 0, true},
    {"prn", "C:\\prod\\PRN\\a.txt", 0, true},
    {"aux", "C:\\prod\\aux\\a.txt", 0, true},
    {"nul", "C:\\prod\\nul\\a.txt", 0, true},
    {"nul_last", "C:\\prod\\Nul", 0, true},
    {"conin", "C:\\prod\\conin$\\a.txt", 0, true},
    {"conout", "C:\\prod\\CONOUT$\\a.txt", 0, true},
    {"com0", "C:\\prod\\com0\\a.txt", 0, true},
    {"com1", "C:\\prod\\COM1\\a.txt", 0, true},
    {"com9", "C:\\prod\\com9\\a.txt", 0, true},
    {"lpt1", "C:\\prod\\lpt1\\a.txt", 0, true},
    {"lpt9", "C:\\prod\\LpT9\\a.txt", 0, true},
    {"extension", "C:\\prod\\con.d\\a.txt", 0, true},
    {"two_extensions", "C:\\prod\\aux.tar.gz\\a.txt", 0, true},
    {"trailing_dots_and_blanks", "C:\\prod\\nul. .\\a.txt", 0, true},
    {"blank_before_extension", "C:\\prod\\nul .txt\\a.txt", 0, true},
    {"colon", "C:\\prod\\com1:\\a.txt", 0, true},
    {"forward_slash", "C:/prod/lpt2/a.txt", 0, true},
    {"long_form", "\\\\?\\C:\\prod\\nul\\a.txt", 0, true},
    {"device_prefix", "\\\\.\\COM1", 0, true},
    {"share", "\\\\server\\share\\aux\\a.txt", 0, true},
    {"superscript_utf8", "C:\\prod\\COM\xC2\xB9\\a", 65001, true},
    {"superscript_single_byte", "C:\\prod\\lpt\xB3\\a", 1252, true},
    {"bare_ini_name", "nul.ini", 0, true},
    {"file_named_like_a_device", "C:\\prod\\aux.h", 0, true},
    // Not devices.
    {"longer_name", "C:\\prod\\nulx\\a.txt", 0, false},
    {"shorter_name", "C:\\prod\\nu\\a.txt", 0, false},
    {"com_without_digit", "C:\\prod\\com\\a.txt", 0, false},
    {"com10", "C:\\prod\\com10\\a.txt", 0, false},
    {"letter_after_digit", "C:\\prod\\lpt1x\\a.txt", 0, false},
    {"inner_blank", "C:\\prod\\nul x\\a.txt", 0, false},
    {"leading_blank", "C:\\prod\\ nul\\a.txt", 0, false},
    {"name_before_extension", "C:\\prod\\a.nul\\b.txt", 0, false},
    {"plain", "C:\\Program Files\\App\\app.exe", 0, false},
    {"other_superscript", "C:\\prod\\com\xC2\xB4\\a", 65001, false},
    // 932: "\x95\x5C" is one letter, and "CON" after it no part of its own.
    {"second_byte_5c", "C:\\prod\\\x95\x5C" "CON\\a", 932, false},
    {"after_a_letter", "C:\\prod\\\x95\x5C\\CON\\a", 932, true},
};

class Devices : public testing::TestWithParam<DeviceRow> {};

TEST_P(Devices, EveryPartNamedLikeADeviceIsFound) {
  const DeviceRow& row = GetParam();
  const auto* bytes = reinterpret_cast<const uint8_t*>(row.path);
  const uint32_t n = static_cast<uint32_t>(strlen(row.path));
  EXPECT_EQ(NamesDevice(bytes, n, row.code_page, nullptr), row.device);
  // Split at every separator byte (no letters known), a part is never
  // missed: only found more often.
  if (row.device) EXPECT_TRUE(NamesDevice(bytes, n, 0, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Rows, Devices, testing::ValuesIn(kDeviceRows),
                         [](const testing::TestParamInfo<DeviceRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(Devices, SystemLeadBytesTellForAFileNamingNoCodePage) {
  const char path[] = "C:\\prod\\\x95\x5C" "AUX\\a";
  const auto* bytes = reinterpret_cast<const uint8_t*>(path);
  EXPECT_TRUE(NamesDevice(bytes, sizeof(path) - 1, 0, nullptr));
  EXPECT_FALSE(NamesDevice(bytes, sizeof(path) - 1, 0, [](uint8_t b) { return b == 0x95; }));
  // Only the n bytes given count.
  EXPECT_FALSE(NamesDevice(reinterpret_cast<const uint8_t*>("C:\\nul"), 5, 0, nullptr));
}

}  // namespace
}  // namespace kiv
