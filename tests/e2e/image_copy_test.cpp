// A stub image past the temporary copy's floor, on the NT family.
#include "image_copy_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(ImageCopy, AnImagePastTheFloorIsCopiedWholeAndTheUninstallWalks) {
  ImagePastTheFloorIsCopiedWholeAndWalks(/*flat_copy=*/false);
}

}  // namespace
}  // namespace kiv::e2e
