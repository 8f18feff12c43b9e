// The progress window, on either family: ctest runs this suite in the NT
// prefix (e2e_progress) and in the one that reports Windows 98
// (e2e_progress_win98). The case of one family alone skips on the other.
#include <gtest/gtest.h>

#include "platform/win32.h"
#include "progress_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Progress, AfterYesAWindowAnswersUntilTheLastBox) {
  InteractiveWalkShowsAnAnsweringWindow("progress\\Large", 20000, false);
}

TEST(Progress, TheWindowAnswersThroughTheDeletionRetry) {
  InteractiveWalkShowsAnAnsweringWindow("progress\\Held", 3000, true);
}

TEST(Progress, PassiveAndSilentShowTheWindowAndNoBox) {
  for (const char* switches : {"/PASSIVE", "/SILENT", "/qb-"}) {
    QuietRunShowsWhatItsSwitchAsks("progress\\Passive", switches, true);
  }
}

TEST(Progress, VerySilentShowsNoWindow) {
  for (const char* switches : {"/VERYSILENT", "/S"}) {
    QuietRunShowsWhatItsSwitchAsks("progress\\VerySilent", switches, false);
  }
}

// A passive run where nobody could see a window (a window station of its
// own, as a service's) walks without one and ends; it does not wait for
// anybody.
TEST(Progress, PassiveWithoutAVisibleDesktopWalksWithoutItsWindow) {
  if (platform::IsWindows95Family()) GTEST_SKIP() << "window stations are the NT family's";
  const std::string desktop = HiddenDesktop();
  ASSERT_FALSE(desktop.empty()) << "no window station of our own";
  LargeProduct product("progress\\Hidden", "Kiv Hidden Progress", 200, 64);
  StartedRun run(AsUserStartsIt(product.uninstall_file) + " /PASSIVE", desktop);
  ASSERT_TRUE(run.started());
  const RunResult result = run.Wait(60000);
  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.exit_code, static_cast<DWORD>(kExitSuccess));
  product.ExpectUndone();
}

}  // namespace
}  // namespace kiv::e2e
