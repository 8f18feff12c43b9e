// The two-process uninstall on the 95 family: the whole prefix reports
// Windows 98, so pending deletions go through WININIT.INI.
#include <gtest/gtest.h>

#include <string>

#include "ini/profile_editor.h"
#include "handoff/restart_deletion.h"
#include "handoff_scenarios.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

std::string WininitPath() {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, sizeof(windows));
  return std::string(windows) + "\\WININIT.INI";
}

TEST(Family, PrefixIsTheWindows95Family) {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
}

TEST(Handoff95, YesRemovesEverythingAndTheCopyGoesThroughWininit) {
  ConfirmedUninstallRemovesEverything("Program Files\\Kiv Ninety", "Kiv Ninety", true,
                                      /*flat_copy=*/true);
}

TEST(Handoff95, NoChangesNothing) { DeclinedUninstallChangesNothing(); }

TEST(Handoff95, LockedFileIsAddedBesideAForeignPendingDeletion) {
  // Another program's pending deletion, which must survive our entry.
  std::string foreign = FreshDirectory("foreign") + "\\pending.txt";
  WriteFileBytes(foreign, "another program's");
  char short_path[MAX_PATH];
  ASSERT_NE(GetShortPathNameA(foreign.c_str(), short_path, sizeof(short_path)), 0u);
  WriteFileBytes(WininitPath(), std::string("[Rename]\r\nNUL=") + short_path + "\r\n");

  LockedUninstallFileGoesAtTheNextStart([&](const std::string& file) {
    char file_short[MAX_PATH];
    ASSERT_NE(GetShortPathNameA(file.c_str(), file_short, sizeof(file_short)), 0u);
    EXPECT_EQ(ReadFileBytes(WininitPath()),
              std::string("[Rename]\r\nNUL=") + file_short + "\r\nNUL=" + short_path + "\r\n");
  });
  EXPECT_FALSE(FileExists(foreign)) << "the foreign entry was lost";
}

// On the 95 family each outcome is told apart: written to WININIT.INI, no
// short path for a file that is not there, and a WININIT.INI over the
// editor's limit left as it was.
TEST(RestartDeletion95, SaysWhatItDidWithWininit) {
  const std::string dir = FreshDirectory("restart_95");
  const std::string file = dir + "\\pending.txt";
  WriteFileBytes(file, "pending");
  char file_short[MAX_PATH];
  ASSERT_NE(GetShortPathNameA(file.c_str(), file_short, sizeof(file_short)), 0u);
  const std::string wininit = WininitPath();
  const bool had_wininit = FileExists(wininit);
  const std::string saved = had_wininit ? ReadFileBytes(wininit) : std::string();
  const std::string over_limit = "[boot]\r\n" + std::string(kProfileFileLimit - 7, ';');

  DeleteFileA(wininit.c_str());
  EXPECT_EQ(ScheduleRestartDeletion(file.c_str()), RestartDeletion::kWrittenToWininit);
  EXPECT_EQ(ReadFileBytes(wininit), std::string("[Rename]\r\nNUL=") + file_short);

  DeleteFileA(wininit.c_str());
  EXPECT_EQ(ScheduleRestartDeletion((dir + "\\missing.txt").c_str()),
            RestartDeletion::kNoShortPath);
  EXPECT_FALSE(FileExists(wininit));

  WriteFileBytes(wininit, over_limit);
  EXPECT_EQ(ScheduleRestartDeletion(file.c_str()), RestartDeletion::kWininitUnchanged);
  EXPECT_EQ(ReadFileBytes(wininit), over_limit);

  if (had_wininit) {
    WriteFileBytes(wininit, saved);
  } else {
    DeleteFileA(wininit.c_str());
  }
}

}  // namespace
}  // namespace kiv::e2e
