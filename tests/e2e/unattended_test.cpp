// Unattended runs on the NT family: /S, the exit codes, the report (/LOG=),
// one run at a time.
#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/hex_text.h"
#include "base/exit_codes.h"
#include "complete_walk_scenarios.h"
#include "harness.h"
#include "unattended_scenarios.h"

namespace kiv::e2e {
namespace {

TEST(Silent, FirstProcessEndsWithZeroOnlyOnceTheProductIsGone) {
  SilentRunEndsAfterTheProductIsGone("unattended\\Silent");
}

TEST(Silent, DamagedFileGives1603AndChangesNothing) {
  for (const Damage& damage : kDamages) {
    for (bool uninstall_mode : {false, true}) DamagedFileFailsSilently(damage, uninstall_mode);
  }
}

// The copy that walks dies half-way: the first process, waiting for its
// outcome, ends with 1603 instead of waiting for ever, the JSON report it
// left still parses, and the same command started again finishes the job.
TEST(Silent, CopyKilledMidWalkGives1603AndARunAgainFinishes) {
  LargeProduct product("unattended\\Copy Killed", "Kiv Copy Killed", 3000, 64 * 1024);
  // Killed once a few hundred records are in the report: well past its
  // first buffer, so what the file holds was written in several pieces.
  const std::string first_walked = product.paths[product.paths.size() - 300];
  const std::string report = "C:\\kivtest\\unattended\\killed-report.json";
  DeleteFileA(report.c_str());

  StartedRun first(product.Silently() + " /LOG=" + report);
  ASSERT_TRUE(first.started());
  const DWORD t0 = GetTickCount();
  while (FileExists(first_walked) && !first.FirstEnded() && GetTickCount() - t0 < 60000) Sleep(5);
  std::vector<DWORD> copies = first.RunningIds();
  copies.erase(std::remove(copies.begin(), copies.end(), GetProcessId(first.process())),
               copies.end());
  ASSERT_EQ(copies.size(), 1u) << "the copy, walking";
  HANDLE copy = OpenProcess(PROCESS_TERMINATE, FALSE, copies[0]);
  ASSERT_NE(copy, nullptr);
  ASSERT_TRUE(TerminateProcess(copy, 77));
  CloseHandle(copy);
  RunResult run = first.Wait(30000);

  ASSERT_TRUE(run.finished) << "the first process still waits for a dead copy";
  EXPECT_EQ(run.exit_code, kExitFailed);
  EXPECT_GT(product.FilesLeft(), 0) << "killed too late to show anything";
  EXPECT_TRUE(FileExists(product.uninstall_file));
  // The JSON report of the killed walk still parses: the records written so
  // far, and no outcome.
  const nlohmann::json doc = nlohmann::json::parse(ReadFileBytes(report), nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << ReadFileBytes(report);
  EXPECT_FALSE(doc.contains("outcome"));
  EXPECT_EQ(doc["display_name"], "Kiv Copy Killed");

  RunResult again = e2e::Run(product.Silently(), {}, 120000);

  ASSERT_TRUE(again.finished);
  EXPECT_EQ(again.exit_code, kExitSuccess);
  EXPECT_TRUE(NoBoxes(again)) << again.boxes[0].text;
  product.ExpectUndone();
  EXPECT_FALSE(FileExists(product.uninstall_file));
}

// The NT family keeps a pending deletion in the system's list.
TEST(Silent, HeldProductFileGives3010AndGoesAtTheNextStart) {
  HeldProductFileNeedsARestart([](const std::string& held) {
    const std::string pending =
        RegString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                  "PendingFileRenameOperations");
    EXPECT_NE(pending.find(held), std::string::npos) << "not in the system's list";
  },
  // Wine's Restart Manager takes the session but lists no program; on
  // Windows the line names the test program.
  "cannot tell (the Restart Manager names no program)", /*directory_goes=*/true);
}

TEST(Silent, RunningProgramIsRenamedAsideAndItsPathIsFree) {
  RunningProgramIsRenamedAsideForTheRestart(/*reinstall=*/true, /*directories_go=*/true);
}

TEST(Silent, RunningProgramAndItsDirectoryGoAtTheRestart) {
  RunningProgramIsRenamedAsideForTheRestart(/*reinstall=*/false, /*directories_go=*/true);
}

TEST(Boxes, RunningProgramGoesAtTheRestartAndTheLastBoxSaysSo) {
  RunningProgramIsRenamedAsideForTheRestart(/*reinstall=*/false, /*directories_go=*/true,
                                            /*silent=*/false);
}

TEST(OneAtATime, SecondSilentStartGives1618AndTheFirstCompletes) {
  SecondRunWhileTheFirstWalksIsRefused("unattended\\Busy", " /S", false, kExitAlreadyRunning, {});
}

TEST(OneAtATime, SecondStartInTheUninstallModeOnAnotherSpellingGives1618) {
  SecondRunWhileTheFirstWalksIsRefused("unattended\\Busy Long Name", "/S ", true,
                                       kExitAlreadyRunning, {});
}

TEST(OneAtATime, SecondStartThroughAnotherDriveGives1618) {
  SecondRunWhileTheFirstWalksIsRefused("unattended\\Busy Drive", "/S ", true, kExitAlreadyRunning,
                                       {}, ThroughOtherDrive);
}

TEST(OneAtATime, SecondStartThroughADevicePathGives1618) {
  SecondRunWhileTheFirstWalksIsRefused("unattended\\Busy Device", "/S ", true,
                                       kExitAlreadyRunning, {},
                                       [](const std::string& path) { return "\\\\?\\" + path; });
}

// A parent that sets the hand-off's variable itself proves nothing: the
// start still meets the lock of the run that walks.
TEST(OneAtATime, ForgedHandoffVariableSkipsNoLock) {
  SetEnvironmentVariableA("KIV_UNINSTALL_HANDOFF", "00000000000000040000000000000000");
  SecondRunWhileTheFirstWalksIsRefused("unattended\\Busy Forged", "/S ", true,
                                       kExitAlreadyRunning, {});
  SetEnvironmentVariableA("KIV_UNINSTALL_HANDOFF", nullptr);
}

// Another program that makes the lock's name first, as anyone can compute
// it, blocks no run: an object that this user, Administrators and SYSTEM
// did not make is no lock of ours.
TEST(OneAtATime, LockNameTakenByAnotherOwnerBlocksNothing) {
  Product product("unattended\\Squatted", "Kiv Squatted", false);
  HANDLE file = CreateFileA(product.uninstall_file.c_str(), 0, 7, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(file, &info));
  CloseHandle(file);
  const uint32_t id[3] = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  ShortString name;
  name.Assign("Global\\KivUninstall-");
  AppendHex(HashBytes(id, sizeof(id)), &name);
  // Owned by Users: what a squatting account's object shows.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:(A;;GA;;;WD)", 1,
                                                                   &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  HANDLE squatter = CreateMutexA(&attributes, FALSE, name.c_str());
  ASSERT_NE(squatter, nullptr);
  ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  LocalFree(descriptor);

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + " /S", {}, 30000);
  CloseHandle(squatter);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_FALSE(product.Registered());
  EXPECT_FALSE(DirectoryExists(product.root));
}

TEST(OneAtATime, LockNamesTakenByOtherObjectsLeaveNoRunUnlocked) {
  LockNamesTakenByOtherObjectsLeaveNoRunUnlocked(/*nt_family=*/true);
}

// A record that names the uninstall file through another drive letter is
// that file: passed over, never scheduled for the next start, so a product
// installed again before that start keeps its new uninstall file.
TEST(Silent, UninstallFileNamedThroughAnotherDriveIsNotScheduled) {
  const std::string dir = FreshDirectory("unattended\\Self Drive");
  const std::string file = dir + "\\uninst.exe";
  WriteFileBytes(dir + "\\app.exe", "app");
  const std::string other = ThroughOtherDrive(file);
  WriteUninstallFile(file, "Kiv Self Drive", [&](LogWriter& w) {
    w.AddDirectory(dir.c_str());
    w.AddFile(other.c_str());
    w.AddFile((dir + "\\app.exe").c_str());
  });

  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S", {}, 30000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_FALSE(FileExists(file));
  WriteFileBytes(file, "reinstalled");
  ASSERT_TRUE(SimulateRestart());
  EXPECT_EQ(ReadFileBytes(file), "reinstalled");
}

// An upgrade started the moment a silent run ends (uninstall, then install)
// writes the new uninstall file at the old one's path while the walking
// copy may still be trying to delete the old one: the new file stays. The
// old file is held here without delete sharing until the first process has
// ended, so the copy is still trying when the new content is written.
TEST(Silent, UpgradeRightAfterTheRunKeepsItsNewUninstallFile) {
  Product product("unattended\\Upgrade", "Kiv Upgrade", false);
  HANDLE held = CreateFileA(product.uninstall_file.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + " /S", {}, 30000, [&](DWORD) {
    // The installer of the new version, in place.
    HANDLE file = CreateFileA(product.uninstall_file.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(file, "new version", 11, &written, nullptr);
    SetEndOfFile(file);
    CloseHandle(file);
    CloseHandle(held);
  });

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_FALSE(FileExists(product.root + "\\app.exe"));
  EXPECT_EQ(ReadFileBytes(product.uninstall_file), "new version");
}

TEST(OneAtATime, SecondStartWithoutSwitchesShowsOneBox) {
  SecondRunWhileTheFirstWalksIsRefused("unattended\\Busy", "", false, kExitSuccess,
                                       {"An uninstall of this product is already running."});
}

TEST(Restart, KilledUninstallStartedAgainFinishes) {
  KilledUninstallStartedAgainFinishes("unattended\\Killed");
}

// A switch the program does not know: 1639 and nothing changed, in either
// mode; one box that names it without /S, none with it.
TEST(Switches, UnknownSwitchGives1639AndChangesNothing) {
  struct Case {
    const char* switches;
    bool uninstall_mode;
    const char* box;  // the start of the one box's text, or null: no box
  } cases[] = {
      {"/X", false, "Unknown switch: /X"},
      {"/S /X", false, nullptr},
      {"/x /s", false, nullptr},  // silent wherever /S stands, in any case
      {"/LOG=", false, "Unknown switch: /LOG="},
      // One word, so no /S: the box names the word whole.
      {"/S/LOG=C:\\kivtest\\r.txt", false, "Unknown switch: /S/LOG=C:\\kivtest\\r.txt\r\n"},
      {"/S /X", true, nullptr},
      // A quote inside an unquoted path could not be handed on unchanged.
      {"/S /LOG=C:\\kivtest\\r\"2.txt", false, nullptr},
      {"/LOG=C:\\kivtest\\r\"2.txt", false, "Unknown switch: /LOG=C:\\kivtest\\r\"2.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.switches) + (c.uninstall_mode ? " (uninstall mode)" : ""));
    Product product("unattended\\Switches", "Kiv Switches", false);
    const std::string bytes = ReadFileBytes(product.uninstall_file);
    const std::string line =
        c.uninstall_mode ? UninstallModeLine(std::string(c.switches) + " " + product.uninstall_file)
                         : AsUserStartsIt(product.uninstall_file) + " " + c.switches;

    RunResult run = e2e::Run(line, {}, 30000);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, kExitUnknownSwitch);
    EXPECT_EQ(run.processes, 1);
    if (c.box) {
      ASSERT_EQ(run.boxes.size(), 1u);
      EXPECT_EQ(run.boxes[0].text.substr(0, std::string(c.box).size()), c.box) << run.boxes[0].text;
      EXPECT_NE(run.boxes[0].text.find("/S"), std::string::npos) << run.boxes[0].text;
      EXPECT_NE(run.boxes[0].text.find("/LOG="), std::string::npos) << run.boxes[0].text;
      EXPECT_EQ(run.boxes[0].icon, static_cast<uint32_t>(MB_ICONERROR));
    } else {
      EXPECT_TRUE(NoBoxes(run)) << run.boxes[0].text;
    }
    EXPECT_TRUE(product.Registered());
    EXPECT_TRUE(FileExists(product.root + "\\app.exe"));
    EXPECT_TRUE(FileExists(product.root + "\\data\\a.dat"));
    EXPECT_EQ(ReadFileBytes(product.uninstall_file), bytes);
    EXPECT_FALSE(FileExists("C:\\kivtest\\r.txt"));
    RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + std::string("Kiv Switches"));
  }
}

// What deployment tools and engineers type by habit: the words other
// installers use for /S are silent, /NORESTART changes nothing, a switch
// quoted whole (as PowerShell and start quote a word with a blank) is a
// switch; a stray word that is no file is unknown (1639, nothing changed),
// and the report says so.
TEST(Switches, WordsDeploymentToolsUseByHabit) {
  const std::string report = "C:\\kivtest\\habits\\a b\\q q.txt";
  struct Case {
    std::string switches;
    DWORD exit_code;
    bool removed;
    const char* report_outcome;  // the report's last line, or null: no report
  } cases[] = {
      {"/SILENT", kExitSuccess, true, nullptr},
      {"/VERYSILENT /SUPPRESSMSGBOXES", kExitSuccess, true, nullptr},
      {"/quiet", kExitSuccess, true, nullptr},
      {"/qn /norestart", kExitSuccess, true, nullptr},
      {"/S \"/LOG=" + report + "\"", kExitSuccess, true, "Outcome: everything undone, exit code 0"},
      {"/S /LOG=\"" + report + "\" REBOOT=ReallySuppress", kExitUnknownSwitch, false,
       "Outcome: unknown switch REBOOT=ReallySuppress, nothing changed, exit code 1639"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches);
    FreshDirectory("habits\\a b");
    Product product("unattended\\Habits", "Kiv Habits", false);

    RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + " " + c.switches, {}, 30000);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_TRUE(NoBoxes(run)) << run.boxes[0].text;
    EXPECT_EQ(product.Registered(), !c.removed);
    EXPECT_EQ(FileExists(product.root + "\\app.exe"), !c.removed);
    if (c.report_outcome) {
      const std::vector<std::string> lines = ReportLines(report);
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), c.report_outcome);
    } else {
      EXPECT_FALSE(FileExists(report));
    }
    RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + std::string("Kiv Habits"));
  }
}

// /LOG alone puts the report in the temporary directory, named after the
// product and the time.
TEST(Report, LogAloneGoesToTheTemporaryDirectory) {
  Product product("unattended\\Log Alone", "Kiv Log: Alone", false);
  const std::vector<std::string> before = ListFiles(TempDirectory(), "Kiv Uninstall *.txt");

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + " /S /LOG", {}, 30000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  const std::vector<std::string> made =
      NewNames(before, ListFiles(TempDirectory(), "Kiv Uninstall *.txt"));
  ASSERT_EQ(made.size(), 1u);
  // "Kiv Uninstall <name, ':' as '_'> YYYYMMDD-HHMMSS.txt"
  const std::string head = "Kiv Uninstall Kiv Log_ Alone ";
  ASSERT_EQ(made[0].substr(0, head.size()), head) << made[0];
  EXPECT_EQ(made[0].size(), head.size() + 19) << made[0];
  const std::vector<std::string> lines = ReportLines(TempDirectory() + made[0]);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Outcome: everything undone, exit code 0");
  DeleteFileA((TempDirectory() + made[0]).c_str());
}

// The report names every record in walk order with what was done, between a
// first line that names the product and a last line with the outcome. Where
// it goes: an absolute path, one with blanks in quotes, and one relative to
// the current directory of the process that was started (the copy runs
// elsewhere). Without /S the run keeps its boxes and its code, and the
// report says which code that was.
TEST(Report, NamesEveryRecordInWalkOrder) {
  struct Case {
    const char* name;
    std::string switches;
    std::string report;  // where it must appear
    bool silent;
  } cases[] = {
      {"absolute", "/S /LOG=C:\\kivtest\\report\\out\\report.txt",
       "C:\\kivtest\\report\\out\\report.txt", true},
      {"in directories not there yet", "/S /LOG=C:\\kivtest\\report\\out\\new\\er\\report.txt",
       "C:\\kivtest\\report\\out\\new\\er\\report.txt", true},
      {"quoted, with blanks", "/S /LOG=\"C:\\kivtest\\report\\a b\\report.txt\"",
       "C:\\kivtest\\report\\a b\\report.txt", true},
      {"relative, letters in any case", "/log=out\\relative.txt /s",
       "C:\\kivtest\\report\\out\\relative.txt", true},
      {"without /S", "/LOG=C:\\kivtest\\report\\out\\boxes.txt",
       "C:\\kivtest\\report\\out\\boxes.txt", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = FreshDirectory("report\\App");
    const std::string shared = FreshDirectory("report\\Shared");
    FreshDirectory("report\\out");
    FreshDirectory("report\\a b");
    const std::string file = dir + "\\uninst.exe";
    const std::string ini = dir + "\\app.ini";
    const std::string key = "Software\\KivTest\\Report";
    WriteFileBytes(dir + "\\sub\\a.txt", "installed");
    WriteFileBytes(dir + "\\sub\\foreign.txt", "the user's");
    WriteFileBytes(shared + "\\config.txt", "installed version");
    WriteFileBytes(ini, "[Settings]\r\nColor=blue\r\n");
    SetRegString(HKEY_LOCAL_MACHINE, key, "Version", "1.0");
    SetRegString(HKEY_LOCAL_MACHINE, key, "Other", "kept");
    SetRegString(HKEY_LOCAL_MACHINE, std::string(kUninstallKey) + "Kiv Report", "DisplayName",
                 "Kiv Report");
    WriteUninstallFile(file, "Kiv Report", [&](LogWriter& w) {
      w.AddDirectory(dir.c_str());
      w.AddDirectory((dir + "\\sub").c_str());
      w.AddFile((dir + "\\sub\\a.txt").c_str());
      w.AddFile(file.c_str());                  // some installers log their uninstall file
      w.AddFile((dir + "\\gone.txt").c_str());  // deleted by the user since
      w.AddRestoredFile((shared + "\\config.txt").c_str(), kReplacedTime, "saved", 5);
      w.AddRegistryValue("HKEY_LOCAL_MACHINE", (key + "\\Version").c_str(), nullptr);
      w.AddUnused5();
      w.AddIniEntry(ini.c_str(), "Settings", "Color", "<null>", "blue", false);
    });
    char current[MAX_PATH];
    GetCurrentDirectoryA(sizeof(current), current);
    SetCurrentDirectoryA("C:\\kivtest\\report");
    const ReportClock clock;

    RunResult run = e2e::Run(AsUserStartsIt(file) + " " + c.switches, {IDYES}, 30000);
    SetCurrentDirectoryA(current);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, c.silent ? kExitSuccess : kExitUninstallEntered);
    EXPECT_EQ(run.boxes.size(), c.silent ? 0u : 2u);
    const std::vector<std::string> lines = ReportLines(c.report);
    ASSERT_EQ(lines.size(), 11u) << ReadFileBytes(c.report);
    clock.ExpectFirstLine(lines[0], "Kiv Report", file);
    const std::vector<std::string> records(lines.begin() + 1, lines.end() - 1);
    EXPECT_EQ(records, (std::vector<std::string>{
                           "ini " + ini + " [Settings] Color: removed",
                           "unused5: no action",
                           "registry HKEY_LOCAL_MACHINE\\" + key + "\\Version: removed",
                           "file " + shared + "\\config.txt: restored",
                           "file " + dir + "\\gone.txt: already gone",
                           "file " + file + ": passed over: the uninstall file or this program",
                           "file " + dir + "\\sub\\a.txt: removed",
                           "directory " + dir + "\\sub: kept: not empty",
                           "directory " + dir + ": kept: not empty",
                       }));
    EXPECT_EQ(lines.back(), c.silent ? "Outcome: everything undone, exit code 0"
                                     : "Outcome: everything undone, exit code 1");
    EXPECT_EQ(ReadFileBytes(shared + "\\config.txt"), "saved");
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, key, "Other"), "kept");
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, key, "Version"));
    EXPECT_FALSE(FileExists(file));
    EXPECT_TRUE(FileExists(dir + "\\sub\\foreign.txt"));
    RegDeleteTree(HKEY_LOCAL_MACHINE, key);
  }
}

// A report path that leads elsewhere is not written: a hard link to another
// file (whose content would be cut and overwritten), and, running elevated,
// a path through a directory link a user could have planted. The uninstall
// goes on without a report.
TEST(Report, ReportNeverWritesWhereAnotherNameLeads) {
  const std::string logs = FreshDirectory("report\\Planted");
  const std::string elsewhere = FreshDirectory("report\\Planted Target");
  const std::string victim = elsewhere + "\\system.ini";
  WriteFileBytes(victim, "[boot]\r\nshell=explorer.exe\r\n");
  ASSERT_TRUE(CreateHardLinkA((logs + "\\hard.txt").c_str(), victim.c_str(), nullptr));
  ASSERT_TRUE(MakeSymbolicLink(logs + "\\linked", elsewhere));
  for (const std::string& report : {logs + "\\hard.txt", logs + "\\linked\\report.txt"}) {
    SCOPED_TRACE(report);
    Product product("unattended\\Planted Report", "Kiv Planted Report", false);

    RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + " /S /LOG=\"" + report + "\"",
                             {}, 30000);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, kExitSuccess);
    EXPECT_FALSE(product.Registered());
    EXPECT_EQ(ReadFileBytes(victim), "[boot]\r\nshell=explorer.exe\r\n");
    EXPECT_FALSE(FileExists(elsewhere + "\\report.txt"));
  }
  RunUnix("/bin/rm", "-f '" + UnixPath(logs + "\\linked") + "'");
}

// Started without /S where nobody can see a box (a window station no user
// sees, as a service's): no box waits for ever; the run ends at once with
// 1602, having changed nothing, and its report says why. With /S the same
// place is no obstacle.
TEST(Silent, WithoutSwitchesWhereNoBoxCanBeSeenNothingWaits) {
  const std::string desktop = HiddenDesktop();
  ASSERT_FALSE(desktop.empty()) << "no window station of our own";
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "with /S" : "without /S");
    Product product("unattended\\Hidden", "Kiv Hidden", false);
    const std::string report = product.root + "-report.txt";
    DeleteFileA(report.c_str());
    StartedRun run(AsUserStartsIt(product.uninstall_file) + (silent ? " /S" : "") + " /LOG=" + report,
                   desktop);
    ASSERT_TRUE(run.started());
    RunResult result = run.Wait(30000);

    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, silent ? kExitSuccess : kExitNoDesktop);
    EXPECT_EQ(product.Registered(), !silent);
    EXPECT_EQ(FileExists(product.root + "\\app.exe"), !silent);
    const std::vector<std::string> lines = ReportLines(report);
    ASSERT_FALSE(lines.empty());
    if (!silent) {
      EXPECT_EQ(lines.back(),
                "Outcome: no /S, and nobody could see a box here (a service or session 0), nothing "
                "changed, exit code 1602");
    }
    RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + std::string("Kiv Hidden"));
  }
}

// What is already gone is reported so: an INI entry whose file's directory
// is gone (no file holds no key) and a registry value whose key is gone.
// Neither fails the run.
TEST(Report, WhatIsAlreadyGoneIsReportedSo) {
  const std::string dir = FreshDirectory("report\\Gone");
  const std::string file = dir + "\\uninst.exe";
  const std::string report = dir + "-report.txt";
  RegDeleteTree(HKEY_LOCAL_MACHINE, "Software\\KivTest\\Gone");
  WriteUninstallFile(file, "Kiv Gone", [&](LogWriter& w) {
    w.AddIniEntry("C:\\kivtest\\no such dir\\app.ini", "S", "k", "<null>", "", false);
    w.AddRegistryValue("HKEY_LOCAL_MACHINE", "Software\\KivTest\\Gone\\Version", nullptr);
  });

  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + report, {}, 30000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  const std::vector<std::string> lines = ReportLines(report);
  ASSERT_EQ(lines.size(), 4u) << ReadFileBytes(report);
  EXPECT_EQ(lines[1], "registry HKEY_LOCAL_MACHINE\\Software\\KivTest\\Gone\\Version: already gone");
  EXPECT_EQ(lines[2], "ini C:\\kivtest\\no such dir\\app.ini [S] k: already gone");
}

// A report named *.json is one JSON document that a standard parser reads,
// saying what the text report says: the file, the product, the time with
// its offset, each record with its names, outcome and error, the outcome
// and the exit code; letters outside ASCII escaped.
TEST(Report, JsonReportSaysWhatTheTextSays) {
  const std::string dir = FreshDirectory("report\\Json");
  const std::string file = dir + "\\uninst.exe";
  // A file that resists its restore (access denied): what the log saved
  // stays its only copy.
  const std::string lost = FreshDirectory("report\\Json Data") + "\\a.txt";
  StubbornFile stubborn(lost, "installed");
  ASSERT_TRUE(stubborn.held());
  WriteFileBytes(dir + "\\caf\xe9.txt", "installed");  // 1252: e with an acute accent
  WriteUninstallFile(file, "Kiv \"Json\" Report", [&](LogWriter& w) {
    w.AddDirectory(dir.c_str());
    w.AddFile((dir + "\\caf\xe9.txt").c_str());
    w.AddRestoredFile(lost.c_str(), kReplacedTime, "saved", 5);
  });
  const std::string report = dir + "-report.json";

  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + report, {}, 30000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitFailed);
  const std::string text = ReadFileBytes(report);
  for (char c : text) ASSERT_LT(static_cast<unsigned char>(c), 0x80u) << "not ASCII: " << text;
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << text;
  EXPECT_EQ(doc["file"], file);
  EXPECT_EQ(doc["display_name"], "Kiv \"Json\" Report");
  EXPECT_EQ(doc["mode"], "run");
  EXPECT_TRUE(doc["note"].is_null());
  const std::string time = doc["time"];
  ASSERT_EQ(time.size(), 25u) << time;  // 2026-12-10T16:30:05+01:00
  EXPECT_EQ(time[10], 'T');
  EXPECT_TRUE(time[19] == '+' || time[19] == '-') << time;
  ASSERT_EQ(doc["records"].size(), 3u) << text;
  EXPECT_EQ(doc["records"][0],
            (nlohmann::json{{"type", "file"},
                            {"names", lost},
                            {"outcome", "failed"},
                            {"error", 5},
                            {"left", "holding data"}}));
  EXPECT_EQ(doc["records"][1]["names"], dir + "\\caf\u00e9.txt") << "as UTF-8";
  EXPECT_EQ(doc["records"][1]["outcome"], "removed");
  EXPECT_EQ(doc["records"][1]["left"], "nothing");
  EXPECT_EQ(doc["records"][2]["type"], "directory");
  EXPECT_EQ(doc["records"][2]["outcome"], "goes with the uninstall file");
  EXPECT_EQ(doc["records"][2]["left"], "harmless");
  EXPECT_EQ(doc["outcome"], "not everything undone");
  EXPECT_EQ(doc["exit_code"], 1603);
}

// A report that cannot be written costs the uninstall nothing: its
// directory's place is taken by a file.
TEST(Plan, ChangesNothingAndForeseesTheRunRecordForRecord) {
  PlanForeseesTheRun(/*links_seen=*/true, /*program_manager=*/true);
}

TEST(Plan, SilentPlanEndsWithTheRunsCode) { PlanExitCodesAreTheRunsCodes(); }

// The JSON report of a plan says "plan", and parses; a directory that would
// be empty once the plan's earlier records went is planned removed.
TEST(Plan, JsonReportSaysPlan) {
  const std::string root = FreshDirectory("plan\\Json");
  const std::string app = root + "\\app";
  const std::string file = root + "\\uninst.exe";
  WriteFileBytes(app + "\\app.txt", "installed");
  WriteUninstallFile(file, "Kiv Plan Json", [&](LogWriter& w) {
    w.AddDirectory(app.c_str());
    w.AddFile((app + "\\app.txt").c_str());
  });
  const std::string report = FreshDirectory("plan\\json-out") + "\\plan.json";
  RunResult run = e2e::Run(AsUserStartsIt(file) + " /PLAN /S /LOG=" + report);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  const nlohmann::json doc = nlohmann::json::parse(ReadFileBytes(report), nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << ReadFileBytes(report);
  EXPECT_EQ(doc["mode"], "plan");
  ASSERT_EQ(doc["records"].size(), 2u);
  EXPECT_EQ(doc["records"][0]["outcome"], "removed");
  EXPECT_EQ(doc["records"][1]["type"], "directory");
  EXPECT_EQ(doc["records"][1]["outcome"], "removed");
  EXPECT_EQ(doc["exit_code"], 0);
  EXPECT_TRUE(FileExists(app + "\\app.txt"));
}

TEST(Report, UnwritableReportStopsNothing) {
  Product product("unattended\\No Report", "Kiv No Report", true);
  const std::string report = "C:\\kivtest\\unattended\\a file\\report.txt";
  WriteFileBytes("C:\\kivtest\\unattended\\a file", "not a directory");

  RunResult run =
      e2e::Run(AsUserStartsIt(product.uninstall_file) + " /S /LOG=\"" + report + "\"", {}, 30000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_TRUE(NoBoxes(run)) << run.boxes[0].text;
  EXPECT_FALSE(product.Registered());
  EXPECT_FALSE(DirectoryExists(product.root));
  EXPECT_FALSE(FileExists(report));
}

TEST(Report, NameCannotWriteALineOfItsOwn) { ReportCannotBeMadeToShowAnotherOutcome(); }

TEST(Report, FileNamingItsCodePageGetsAUtf8Report) {
  ReportOfAFileNamingItsCodePageIsUtf8(/*nt_family=*/true);
}

class IniFold : public testing::TestWithParam<IniFoldCase> {};

TEST_P(IniFold, LineIsComparedAsTheProfileFunctionsDo) {
  IniLineIsComparedAsTheProfileFunctionsDo(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, IniFold, testing::ValuesIn(kIniFoldCases),
                         [](const testing::TestParamInfo<IniFoldCase>& info) {
                           return std::string(info.param.name);
                         });

class Fold : public testing::TestWithParam<FoldCase> {};

TEST_P(Fold, PlanAndRunAgreeOnTheNamesOfAUtf8File) { PlanAndRunAgreeOnTheNamesOfAUtf8File(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Cases, Fold, testing::ValuesIn(kFoldCases),
                         [](const testing::TestParamInfo<FoldCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kiv::e2e
