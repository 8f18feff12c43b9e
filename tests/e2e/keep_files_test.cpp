// Shared and kept files, on either family: ctest runs this suite in the NT
// prefix (e2e_keep_files) and in the one that reports Windows 98
// (e2e_keep_files_win98).
#include "keep_files_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(SharedFile, GoesWithItsLastUser) { SharedFileGoesWithItsLastUser(); }
TEST(SharedFile, WithoutAValidCountGoesAndTheReportSaysWhy) { SharedFileWithoutAValidCountGoes(); }
TEST(KeptFile, EditedStaysWithItsDirectoryAndUneditedGoes) { EditedConfigurationStays(); }

}  // namespace
}  // namespace kiv::e2e
