// Names in any script on the NT family: the Unicode calls.
#include "unicode_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Unicode, AUtf8ProductIsUndoneCompletelyAndItsNeighboursStay) {
  UnicodeProductIsUndone(/*nt_family=*/true);
}

TEST(Unicode, ACodePage932FileIsUndoneOnA1252System) { CodePage932ProductIsUndone(); }

TEST(Unicode, APathOver260CharactersIsRemovedWithItsWholeNest) { LongPathProductIsUndone(/*nt_family=*/true); }

}  // namespace
}  // namespace kiv::e2e
