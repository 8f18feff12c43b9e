// Files, directories and the two-process uninstall on the NT family.
#include <gtest/gtest.h>

#include "ini/profile_editor.h"
#include "handoff/restart_deletion.h"
#include "handoff_scenarios.h"
#include "harness.h"
#include "platform/win32.h"
#include "base/exit_codes.h"

namespace kiv::e2e {
namespace {

constexpr uint64_t kSavedTime = 0x01D5C1E2A3B4C5D0ull;  // a time in 2019, 100 ns units

TEST(Files, RemovesCreatedFilesAndRestoresReplacedOnes) {
  std::string dir = FreshDirectory("files\\App");
  std::string outside = FreshDirectory("files\\Shared");
  std::string file = dir + "\\uninst.exe";
  std::string big(4097, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  WriteFileBytes(dir + "\\new.txt", "installed");
  WriteFileBytes(dir + "\\sub\\deep.txt", "installed");
  WriteFileBytes(outside + "\\config.txt", "installed version");
  WriteFileBytes(outside + "\\empty.txt", "installed version");
  WriteFileBytes(outside + "\\big.bin", "installed version");
  WriteFileBytes(outside + "\\gone_meanwhile.txt", "x");
  WriteFileBytes(outside + "\\foreign.txt", "put there by the user");
  WriteUninstallFile(file, "Files App", [&](LogWriter& w) {
    w.AddDirectory(dir.c_str());
    w.AddDirectory((dir + "\\sub").c_str());
    w.AddFile((dir + "\\sub\\deep.txt").c_str());
    w.AddFile((dir + "\\new.txt").c_str());
    w.AddFile((dir + "\\never_there.txt").c_str());
    w.AddRestoredFile((outside + "\\config.txt").c_str(), kSavedTime, "saved version", 13);
    w.AddRestoredFile((outside + "\\empty.txt").c_str(), kSavedTime, "", 0);
    w.AddRestoredFile((outside + "\\big.bin").c_str(), kSavedTime, big.data(), 4097);
    w.AddDirectory(outside.c_str());  // holds a foreign file: stays
  });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  EXPECT_FALSE(DirectoryExists(dir));
  // The times first: reading a file moves its last-access time.
  for (const char* name : {"config.txt", "empty.txt", "big.bin"}) {
    FileTimes times;
    ASSERT_TRUE(GetTimes(outside + "\\" + name, &times));
    EXPECT_EQ(times.creation, kSavedTime) << name;
    EXPECT_EQ(times.access, kSavedTime) << name;
    EXPECT_EQ(times.write, kSavedTime) << name;
  }
  EXPECT_EQ(ReadFileBytes(outside + "\\config.txt"), "saved version");
  EXPECT_TRUE(FileExists(outside + "\\empty.txt"));
  EXPECT_EQ(ReadFileBytes(outside + "\\empty.txt"), "");
  EXPECT_EQ(ReadFileBytes(outside + "\\big.bin"), big);
  EXPECT_TRUE(FileExists(outside + "\\foreign.txt"));
  EXPECT_TRUE(DirectoryExists(outside));
}

TEST(Files, FileThatResistsKeepsItsContentAndTheWalkGoesOn) {
  std::string dir = FreshDirectory("resists");
  std::string file = dir + "\\uninst.exe";
  std::string stubborn = dir + "\\stubborn.txt";
  WriteFileBytes(stubborn, "installed");
  WriteFileBytes(dir + "\\after.txt", "installed");
  FileTimes before;
  ASSERT_TRUE(GetTimes(stubborn, &before));
  // As root, Wine's read-only attribute stops nothing; an immutable file does.
  ASSERT_TRUE(SetImmutable(stubborn, true));
  WriteUninstallFile(file, "Resists", [&](LogWriter& w) {
    w.AddFile((dir + "\\after.txt").c_str());  // undone after the stubborn one
    w.AddRestoredFile(stubborn.c_str(), kSavedTime, "saved", 5);
  });

  RunResult run = RunUninstallMode(file);
  SetImmutable(stubborn, false);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  // No success claimed: the box names what is left, and the uninstall file
  // stays for the run that finishes.
  EXPECT_EQ(run.boxes[0].text, "Some items could not be removed. The first of them:\r\n" +
                                   stubborn +
                                   "\r\n\r\nRemove the product from the list anyway? Its "
                                   "uninstall file, with what it saved, then stays as\r\n" +
                                   dir + "\\uninst.left.exe\r\n\r\nNo: it stays listed; start "
                                   "its uninstall again to finish.");
  EXPECT_EQ(run.boxes[0].buttons, (std::vector<std::string>{"&Yes", "&No"}));
  EXPECT_EQ(run.boxes[0].icon, static_cast<uint32_t>(MB_ICONWARNING));
  EXPECT_TRUE(FileExists(file));
  EXPECT_EQ(ReadFileBytes(stubborn), "installed");
  FileTimes after;
  ASSERT_TRUE(GetTimes(stubborn, &after));
  EXPECT_EQ(after.write, before.write);
  EXPECT_FALSE(FileExists(dir + "\\after.txt")) << "the walk went on";
}

TEST(Handoff, YesRemovesEverythingWithTheRegistrationAsSubkeys) {
  ConfirmedUninstallRemovesEverything("handoff\\Sub Keys", "Kiv Sample Subkeys", true);
}

TEST(Handoff, YesRemovesEverythingWithTheRegistrationAsValues) {
  ConfirmedUninstallRemovesEverything("handoff\\Values", "Kiv Sample Values", false);
}

TEST(Handoff, ProductDirectoryWithABlankInItsName) {
  ConfirmedUninstallRemovesEverything("Program Files\\Kiv Sample", "Kiv Blank", true);
}

TEST(Handoff, NoChangesNothing) { DeclinedUninstallChangesNothing(); }

// Elevated (as every program under Wine is), the copy's directory lies in
// the Windows directory's Temp, whose entries the user's other programs
// cannot rename: none of them can put a link in its place before the
// restart deletes what its path names. The scenarios above find the copy
// there.
TEST(Handoff, ElevatedCopyLiesWhereTheUserCannotRenameIt) {
  ASSERT_TRUE(platform::IsElevatedRun()) << "Wine runs every program elevated";
  char windows[MAX_PATH];
  ASSERT_NE(GetWindowsDirectoryA(windows, sizeof(windows)), 0u);
  const std::string expected = std::string(windows) + "\\Temp\\";
  EXPECT_EQ(lstrcmpiA(TempDirectory().c_str(), expected.c_str()), 0) << TempDirectory();
}

TEST(Handoff, DamagedOwnFileShowsTheMessageAndChangesNothing) {
  Product product("handoff\\Damaged", "Damaged App", true);
  std::string bytes = ReadFileBytes(product.uninstall_file);
  bytes[bytes.size() - 1] = 'X';  // the signature's last letter
  WriteFileBytes(product.uninstall_file, bytes);

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES});

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "The uninstall file was damaged.");
  EXPECT_TRUE(product.Registered());
  EXPECT_TRUE(FileExists(product.root + "\\app.exe"));
  RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + std::string("Damaged App"));
}

// With no temporary directory to copy into, the registration is gone all
// the same: the uninstall runs in the confirming process itself, and its own
// file, which it cannot delete while it runs, goes at the next start.
TEST(Handoff, WithoutATemporaryCopyTheUninstallRunsInTheSameProcess) {
  Product product("handoff\\No Copy", "Kiv No Copy", true);
  char tmp[MAX_PATH] = {}, temp[MAX_PATH] = {};
  GetEnvironmentVariableA("TMP", tmp, sizeof(tmp));
  GetEnvironmentVariableA("TEMP", temp, sizeof(temp));
  SetEnvironmentVariableA("TMP", "C:\\kivtest\\no such temp");
  SetEnvironmentVariableA("TEMP", "C:\\kivtest\\no such temp");
  // Elevated, the copy would go to the Windows directory's Temp first.
  char windows[MAX_PATH];
  ASSERT_NE(GetWindowsDirectoryA(windows, sizeof(windows)), 0u);
  const std::string windows_temp = std::string(windows) + "\\Temp";
  ASSERT_TRUE(MoveFileA(windows_temp.c_str(), (windows_temp + ".away").c_str()));

  const std::string report = product.root + "-report.txt";
  RunResult run =
      e2e::Run(AsUserStartsIt(product.uninstall_file) + " /LOG=\"" + report + "\"", {IDYES});
  SetEnvironmentVariableA("TMP", tmp[0] ? tmp : nullptr);
  SetEnvironmentVariableA("TEMP", temp[0] ? temp : nullptr);
  ASSERT_TRUE(MoveFileA((windows_temp + ".away").c_str(), windows_temp.c_str()));

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitUninstallEntered);
  EXPECT_EQ(run.processes, 1) << "no copy was started";
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  EXPECT_FALSE(product.Registered());
  EXPECT_FALSE(FileExists(product.root + "\\app.exe"));
  EXPECT_FALSE(FileExists(product.root + "\\data\\a.dat"));
  EXPECT_TRUE(FileExists(product.uninstall_file)) << "it was running";
  // The report says why the process that asked also walked.
  const std::string text = ReadFileBytes(report);
  EXPECT_NE(text.find("\r\nNote: no temporary copy could be made or started"), std::string::npos)
      << text;
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(product.uninstall_file));
}

TEST(Handoff, LockedUninstallFileGoesAtTheNextStart) { LockedUninstallFileGoesAtTheNextStart(); }

// The editor's size limit, through the real whole-file calls.
TEST(ProfileFile, EditsAFileOfTheLimitAndRefusesOneByteMore) {
  std::string dir = FreshDirectory("profile");
  for (uint32_t size : {kProfileFileLimit, kProfileFileLimit + 1}) {
    std::string path = dir + "\\limit.ini";
    std::string content = "[Rename]\r\n" + std::string(size - 10, ';');
    WriteFileBytes(path, content);
    const bool edited = AddProfileEntry("Rename", "NUL", "C:\\X", path.c_str());
    const std::string after = ReadFileBytes(path);
    if (size == kProfileFileLimit) {
      EXPECT_TRUE(edited);
      EXPECT_EQ(after, "[Rename]\r\nNUL=C:\\X\r\n" + std::string(size - 10, ';'));
    } else {
      EXPECT_FALSE(edited);
      EXPECT_EQ(after, content);
    }
  }
  std::string fresh = dir + "\\fresh.ini";
  ASSERT_TRUE(AddProfileEntry("Rename", "NUL", "C:\\A", fresh.c_str()));
  EXPECT_EQ(ReadFileBytes(fresh), "[Rename]\r\nNUL=C:\\A");
}

// On the NT family a file goes through the system's list, and says so.
TEST(RestartDeletion, FileIsListedAndGoesAtTheNextStart) {
  const std::string file = FreshDirectory("restart_nt") + "\\pending.txt";
  WriteFileBytes(file, "pending");

  EXPECT_EQ(ScheduleRestartDeletion(file.c_str()), RestartDeletion::kListedNt);

  EXPECT_TRUE(FileExists(file));
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(file));
}

}  // namespace
}  // namespace kiv::e2e
