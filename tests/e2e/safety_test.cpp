// Uninstall files that try to make the stub undo what the product never did,
// on the NT family.
#include <gtest/gtest.h>

#include "harness.h"
#include "platform/win32.h"
#include "safety_scenarios.h"

namespace kiv::e2e {
namespace {

class Names : public testing::TestWithParam<NameCase> {};

TEST_P(Names, NameThatIsNoProductKeyChangesNothing) {
  NameThatIsNoProductKeyChangesNothing(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, Names, testing::ValuesIn(kNameCases),
                         [](const testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Protected, RecordRestoringTheUninstallFileIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kAsIs);
}

TEST(Protected, RecordRestoringTheUninstallFileInCapitalsIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kUpperCase);
}

TEST(Protected, RecordRestoringTheUninstallFileByItsShortNameIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kShort);
}

TEST(Protected, RecordRestoringTheRunningCopyIsPassedOver) {
  RecordRestoringTheRunningCopyIsPassedOver();
}

TEST(TemporaryCopy, CopyThatMeetsADamagedFileGoesAtTheNextStart) {
  CopyThatMeetsADamagedFileGoesAtTheNextStart(/*flat=*/false);
}

TEST(Fonts, FontRecordUnregistersTheFontWhereTheFamilyLooks) {
  FontRecordUnregistersTheFontWhereTheFamilyLooks(/*nt_family=*/true);
}

// The copy's private directory, held from its check to the launch.
TEST(HeldDirectory, CannotBeRenamedOrDeletedUntilReleased) {
  std::string dir = FreshDirectory("held") + "\\STPk1x.tmp";
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  std::string moved = dir + ".moved";
  {
    platform::HeldDirectory held;
    ASSERT_TRUE(held.Hold(dir.c_str()));
    EXPECT_FALSE(MoveFileA(dir.c_str(), moved.c_str())) << "renamed away while held";
    EXPECT_FALSE(RemoveDirectoryA(dir.c_str())) << "deleted while held";
    EXPECT_TRUE(DirectoryExists(dir));
  }
  EXPECT_TRUE(MoveFileA(dir.c_str(), moved.c_str())) << "still held after release";
}

TEST(HeldDirectory, RefusesWhatAnotherProgramCouldHavePutInItsPlace) {
  std::string base = FreshDirectory("held refused");
  // Not empty: a DLL planted beside the copy-to-be.
  std::string planted = base + "\\STPk1y.tmp";
  WriteFileBytes(planted + "\\version.dll", "planted");
  // A link to a directory elsewhere.
  std::string elsewhere = FreshDirectory("held elsewhere");
  std::string link = base + "\\STPk1z.tmp";
  ASSERT_TRUE(MakeSymbolicLink(link, elsewhere));
  ASSERT_NE(GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u)
      << "Wine shows no reparse point for a directory link";
  // A file, not a directory.
  std::string file = base + "\\STPk20.tmp";
  WriteFileBytes(file, "x");

  for (const std::string& path : {planted, link, file}) {
    platform::HeldDirectory held;
    EXPECT_FALSE(held.Hold(path.c_str())) << path;
    // Nothing stays held after a refusal.
    EXPECT_TRUE(MoveFileA(path.c_str(), (path + ".moved").c_str())) << path;
  }
}

}  // namespace
}  // namespace kiv::e2e
