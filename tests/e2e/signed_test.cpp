// Signed uninstall files, on either family: ctest runs this suite in the NT
// prefix (e2e_signed) and in the one that reports Windows 98
// (e2e_signed_win98), whose temporary copy is a flat temporary file.
#include "signed_scenarios.h"

#include "platform/win32.h"

namespace kiv::e2e {
namespace {

TEST(Signed, TheFileAndItsCopyVerifyAndTheUninstallRunsAsUnsigned) {
  SignedFileAndItsCopyVerifyAndTheUninstallRunsAsUnsigned(
      /*flat_copy=*/platform::IsWindows95Family());
}

}  // namespace
}  // namespace kiv::e2e
