// Signed uninstall files on the NT family.
#include "signed_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Signed, TheFileAndItsCopyVerifyAndTheUninstallRunsAsUnsigned) {
  SignedFileAndItsCopyVerifyAndTheUninstallRunsAsUnsigned(/*flat_copy=*/false);
}

}  // namespace
}  // namespace kiv::e2e
