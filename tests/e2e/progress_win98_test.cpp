// The progress window on the 95 family (the prefix reports Windows 98).
#include <gtest/gtest.h>

#include "progress_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Progress95, AfterYesAWindowAnswersUntilTheLastBox) {
  InteractiveWalkShowsAnAnsweringWindow("progress\\Large", 20000, false);
}

TEST(Progress95, TheWindowAnswersThroughTheDeletionRetry) {
  InteractiveWalkShowsAnAnsweringWindow("progress\\Held", 3000, true);
}

TEST(Progress95, PassiveAndSilentShowTheWindowAndNoBox) {
  for (const char* switches : {"/PASSIVE", "/SILENT"}) {
    QuietRunShowsWhatItsSwitchAsks("progress\\Passive", switches, true);
  }
}

TEST(Progress95, VerySilentShowsNoWindow) {
  QuietRunShowsWhatItsSwitchAsks("progress\\VerySilent", "/VERYSILENT", false);
}

}  // namespace
}  // namespace kiv::e2e
