// Signed uninstall files on the 95 family: the whole prefix reports
// Windows 98, whose temporary copy is a flat temporary file.
#include "signed_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Signed95, TheFileAndItsCopyVerifyAndTheUninstallRunsAsUnsigned) {
  SignedFileAndItsCopyVerifyAndTheUninstallRunsAsUnsigned(/*flat_copy=*/true);
}

}  // namespace
}  // namespace kiv::e2e
