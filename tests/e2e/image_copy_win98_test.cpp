// A stub image past the temporary copy's floor, on the 95 family: the whole
// prefix reports Windows 98, whose temporary copy is a flat temporary file.
#include "image_copy_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(ImageCopy95, AnImagePastTheFloorIsCopiedWholeAndTheUninstallWalks) {
  ImagePastTheFloorIsCopiedWholeAndWalks(/*flat_copy=*/true);
}

}  // namespace
}  // namespace kiv::e2e
