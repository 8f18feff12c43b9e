// Names in any script on the 95 family: what its code page spells is undone,
// the rest passed over and reported.
#include "unicode_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Unicode95, WhatTheCodePageSpellsIsUndoneAndTheRestPassedOver) {
  UnicodeProductIsUndone(/*nt_family=*/false);
}

TEST(Unicode95, APathPastMaxPathIsPassedOverAndNothingElseHarmed) { LongPathProductIsUndone(/*nt_family=*/false); }

}  // namespace
}  // namespace kiv::e2e
