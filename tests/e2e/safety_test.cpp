// Uninstall files that try to make the stub undo what the product never did,
// on the NT family.
#include <gtest/gtest.h>

#include "harness.h"
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

}  // namespace
}  // namespace kiv::e2e
