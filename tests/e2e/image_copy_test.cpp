// A stub image past the temporary copy's floor, on either family: ctest runs
// this suite in the NT prefix (e2e_image_copy) and in the one that reports
// Windows 98 (e2e_image_copy_win98), whose temporary copy is a flat
// temporary file.
#include "image_copy_scenarios.h"

#include "platform/win32.h"

namespace kiv::e2e {
namespace {

TEST(ImageCopy, AnImagePastTheFloorIsCopiedWholeAndTheUninstallWalks) {
  ImagePastTheFloorIsCopiedWholeAndWalks(/*flat_copy=*/platform::IsWindows95Family());
}

}  // namespace
}  // namespace kiv::e2e
