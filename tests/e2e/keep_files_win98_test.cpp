// Shared and kept files on the 95 family (the prefix reports Windows 98).
#include "keep_files_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(SharedFile95, GoesWithItsLastUser) { SharedFileGoesWithItsLastUser(); }
TEST(SharedFile95, WithoutAValidCountGoesAndTheReportSaysWhy) { SharedFileWithoutAValidCountGoes(); }
TEST(KeptFile95, EditedStaysWithItsDirectoryAndUneditedGoes) { EditedConfigurationStays(); }

}  // namespace
}  // namespace kiv::e2e
