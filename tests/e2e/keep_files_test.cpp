// Shared and kept files on the NT family.
#include "keep_files_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(SharedFile, GoesWithItsLastUser) { SharedFileGoesWithItsLastUser(); }
TEST(SharedFile, WithoutAValidCountGoesAndTheReportSaysWhy) { SharedFileWithoutAValidCountGoes(); }
TEST(KeptFile, EditedStaysWithItsDirectoryAndUneditedGoes) { EditedConfigurationStays(); }

}  // namespace
}  // namespace kiv::e2e
