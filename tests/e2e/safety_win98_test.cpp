// Uninstall files that try to make the stub undo what the product never did,
// on the 95 family, where RegDeleteKeyA deletes a key with all its subkeys.
#include <gtest/gtest.h>

#include "harness.h"
#include "safety_scenarios.h"

namespace kiv::e2e {
namespace {

class Names95 : public testing::TestWithParam<NameCase> {};

TEST_P(Names95, NameThatIsNoProductKeyChangesNothing) {
  NameThatIsNoProductKeyChangesNothing(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, Names95, testing::ValuesIn(kNameCases),
                         [](const testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Protected95, RecordRestoringTheUninstallFileIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kAsIs);
}

TEST(Protected95, RecordRestoringTheUninstallFileInCapitalsIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kUpperCase);
}

TEST(Protected95, RecordRestoringTheUninstallFileByItsShortNameIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kShort);
}

TEST(Protected95, RecordRestoringTheRunningCopyIsPassedOver) {
  RecordRestoringTheRunningCopyIsPassedOver();
}

TEST(Fonts95, FontRecordUnregistersTheFontWhereTheFamilyLooks) {
  FontRecordUnregistersTheFontWhereTheFamilyLooks(/*nt_family=*/false);
}

TEST(TemporaryCopy95, CopyThatMeetsADamagedFileGoesAtTheNextStart) {
  CopyThatMeetsADamagedFileGoesAtTheNextStart(/*flat=*/true);
}

class Devices95 : public testing::TestWithParam<DeviceCase> {};

TEST_P(Devices95, DeviceNamedDirectoryMakesTheFileDamaged) {
  DeviceNamedDirectoryMakesTheFileDamaged(GetParam(), /*links=*/false);
}

INSTANTIATE_TEST_SUITE_P(Cases, Devices95, testing::ValuesIn(kDeviceCases),
                         [](const testing::TestParamInfo<DeviceCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kiv::e2e
