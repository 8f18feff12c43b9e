// Unattended runs as a deployment tool makes them: /S, the exit codes, the
// report, one run at a time. Shared by the suite of the NT family and the
// suite of the 95 family (a prefix set to win98).
#ifndef KIV_TESTS_E2E_UNATTENDED_SCENARIOS_H_
#define KIV_TESTS_E2E_UNATTENDED_SCENARIOS_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "handoff_scenarios.h"
#include "e2e_config.h"
#include "harness.h"

namespace kiv::e2e {

inline constexpr uint64_t kReplacedTime = 0x01D5C1E2A3B4C5D0ull;  // 2019, 100 ns units

// A saved file's content that shows a chunk out of place or a short write.
inline std::string SavedContent(uint32_t size) {
  std::string bytes(size, '\0');
  for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131u) ^ (i >> 16));
  return bytes;
}

inline void CreateSmallFile(const std::string& path, const std::string& content) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(f);
}

// A product as an installer leaves it, registered under its display name:
//   <root>\uninst.exe                   the uninstall file
//   <root>\files\fNNNNN.dat             file_count files of a few bytes
//   <root>-shared\replaced.bin          a file of the user's that the installer
//                                       replaced: saved_size bytes go back
//   HKLM\Software\KivTest\<name>\Version  a value the installer set
// Logged in the order: the two directories, the first half of the files, the
// replaced file, the second half, the value. The walk goes backwards, so the
// restore lies in the middle of the file deletions.
struct LargeProduct {
  std::string root, files, uninstall_file, name, replaced, saved, value_key;
  std::vector<std::string> paths;

  LargeProduct(const std::string& directory, const std::string& display_name, int file_count,
               uint32_t saved_size)
      : root(FreshDirectory(directory)),
        files(root + "\\files"),
        uninstall_file(root + "\\uninst.exe"),
        name(display_name),
        replaced(FreshDirectory(directory + "-shared") + "\\replaced.bin"),
        saved(SavedContent(saved_size)),
        value_key("Software\\KivTest\\" + display_name) {
    MakeDirectories(files);
    for (int i = 0; i < file_count; ++i) {
      char leaf[32];
      std::snprintf(leaf, sizeof(leaf), "\\f%05d.dat", i);
      paths.push_back(files + leaf);
      CreateSmallFile(paths.back(), leaf);
    }
    CreateSmallFile(replaced, "installed version");
    RegDeleteTree(HKEY_LOCAL_MACHINE, value_key);
    SetRegString(HKEY_LOCAL_MACHINE, value_key, "Version", "1.0");
    const std::string key = kUninstallKey + name;
    SetRegString(HKEY_LOCAL_MACHINE, key, "DisplayName", name);
    SetRegString(HKEY_LOCAL_MACHINE, key, "UninstallString", "\"" + uninstall_file + "\"");
    SetRegString(HKEY_LOCAL_MACHINE, key, "QuietUninstallString", "\"" + uninstall_file + "\" /S");
    WriteUninstallFile(uninstall_file, name, [&](LogWriter& w) {
      w.AddDirectory(root.c_str());
      w.AddDirectory(files.c_str());
      const size_t half = paths.size() / 2;
      for (size_t i = 0; i < half; ++i) w.AddFile(paths[i].c_str());
      w.AddRestoredFile(replaced.c_str(), kReplacedTime, saved.data(),
                        static_cast<uint32_t>(saved.size()));
      for (size_t i = half; i < paths.size(); ++i) w.AddFile(paths[i].c_str());
      w.AddRegistryValue("HKEY_LOCAL_MACHINE", (value_key + "\\Version").c_str(), nullptr);
    });
  }

  std::string Silently() const { return AsUserStartsIt(uninstall_file) + " /S"; }
  bool Registered() const { return RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey + name); }
  int FilesLeft() const {
    int left = 0;
    for (const std::string& p : paths) left += FileExists(p) ? 1 : 0;
    return left;
  }
  bool RestoredWhole() const { return ReadFileBytes(replaced) == saved; }
  // Every record undone; the uninstall file itself may still be there.
  void ExpectUndone() const {
    EXPECT_FALSE(Registered());
    EXPECT_EQ(FilesLeft(), 0);
    EXPECT_FALSE(DirectoryExists(files));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, value_key));
    EXPECT_TRUE(RestoredWhole());
  }
  // Nothing undone: the state the constructor left.
  void ExpectUntouched(const std::string& uninstall_bytes) const {
    EXPECT_TRUE(Registered());
    EXPECT_EQ(FilesLeft(), static_cast<int>(paths.size()));
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, value_key, "Version"), "1.0");
    EXPECT_EQ(ReadFileBytes(replaced), "installed version");
    EXPECT_EQ(ReadFileBytes(uninstall_file), uninstall_bytes);
  }
  ~LargeProduct() {
    RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + name);
    RegDeleteTree(HKEY_LOCAL_MACHINE, value_key);
  }
};

// The report's lines, CR LF taken off; a line ended by a bare LF stays whole
// with its LF, so that it shows.
inline std::vector<std::string> ReportLines(const std::string& path) {
  const std::string text = ReadFileBytes(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

inline uint64_t AsFileTime(const SYSTEMTIME& t) {
  FILETIME f;
  SystemTimeToFileTime(&t, &f);
  return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

// Checks a report's first line: the display name, the uninstall file and the
// local time "YYYY-MM-DD HH:MM:SS" between the clock's making and the check
// (a second's slack each way).
struct ReportClock {
  SYSTEMTIME before;
  ReportClock() { GetLocalTime(&before); }
  void ExpectFirstLine(const std::string& line, const std::string& display_name,
                       const std::string& uninstall_file) const {
    SYSTEMTIME after;
    GetLocalTime(&after);
    const std::string head =
        "Kiv Uninstall report: \"" + display_name + "\" from " + uninstall_file + ", ";
    ASSERT_EQ(line.substr(0, head.size()), head) << line;
    const std::string stamp = line.substr(head.size());
    SYSTEMTIME t = {};
    char sign = 0;
    unsigned hours = 0, minutes = 0;
    char tail = 0;
    ASSERT_EQ(stamp.size(), 26u) << line;
    ASSERT_EQ(std::sscanf(stamp.c_str(), "%4hu-%2hu-%2hu %2hu:%2hu:%2hu %c%2u:%2u%c", &t.wYear,
                          &t.wMonth, &t.wDay, &t.wHour, &t.wMinute, &t.wSecond, &sign, &hours,
                          &minutes, &tail),
              9)
        << line;
    EXPECT_EQ(stamp[4], '-');
    EXPECT_EQ(stamp[10], ' ');
    // The offset from UTC in force, as the system tells it.
    TIME_ZONE_INFORMATION zone;
    const DWORD which = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias + (which == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias
                             : which == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                              : 0);
    const int offset = (sign == '-' ? -1 : 1) * static_cast<int>(hours * 60 + minutes);
    EXPECT_TRUE(sign == '+' || sign == '-') << line;
    EXPECT_EQ(offset, -bias) << line;
    constexpr uint64_t kSecond = 10000000;
    const uint64_t at = AsFileTime(t);
    EXPECT_TRUE(at + kSecond >= AsFileTime(before) && at <= AsFileTime(after) + kSecond)
        << "not the local time of the run: " << stamp;
  }
};

inline bool NoBoxes(const RunResult& run) { return run.boxes.empty(); }

// ---- The scenarios -----------------------------------------------------------

// "<uninstall file>" /S, as a deployment tool starts it: no box, and the
// first process ends with 0 only once the product is gone. The uninstall
// file and its directory go right after, in the same run.
inline void SilentRunEndsAfterTheProductIsGone(const std::string& directory) {
  LargeProduct product(directory, "Kiv Silent", 3000, 64 * 1024);
  bool looked = false;

  RunResult run = e2e::Run(product.Silently(), {}, 120000, [&](DWORD code) {
    looked = true;
    EXPECT_EQ(code, kExitSuccess);
    SCOPED_TRACE("the moment the first process ended");
    product.ExpectUndone();
  });

  ASSERT_TRUE(run.finished);
  EXPECT_TRUE(looked);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_EQ(run.processes, 2) << "the confirmation and its temporary copy";
  EXPECT_TRUE(NoBoxes(run)) << run.boxes[0].text;
  product.ExpectUndone();
  EXPECT_FALSE(FileExists(product.uninstall_file)) << "deleted by the copy, not scheduled";
  EXPECT_FALSE(DirectoryExists(product.root));
}

// A damaged uninstall file with /S: 1603, no box, nothing changed, and the
// report of the process that found it says so, naming the product when the
// file still names it. how damages bytes in place.
struct Damage {
  const char* what;
  std::function<void(std::string&)> how;
  const char* name_in_report;  // "" when the damage hides the display name
};

inline void DamagedFileFailsSilently(const Damage& damage, bool uninstall_mode) {
  SCOPED_TRACE(std::string(damage.what) + (uninstall_mode ? ", uninstall mode" : ""));
  Product product("unattended\\Damaged", "Damaged App", true);
  std::string bytes = ReadFileBytes(product.uninstall_file);
  damage.how(bytes);
  WriteFileBytes(product.uninstall_file, bytes);
  const std::string report = FreshDirectory("unattended\\damaged-report") + "\\report.txt";
  const std::vector<std::string> copies_before = TempCopies();
  const ReportClock clock;

  RunResult run = e2e::Run(
      uninstall_mode ? UninstallModeLine("/S /LOG=" + report + " " + product.uninstall_file)
                     : AsUserStartsIt(product.uninstall_file) + " /S /LOG=" + report,
      {}, 30000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitFailed);
  EXPECT_EQ(run.processes, 1);
  EXPECT_TRUE(NoBoxes(run)) << run.boxes[0].text;
  EXPECT_TRUE(product.Registered());
  EXPECT_TRUE(FileExists(product.root + "\\app.exe"));
  EXPECT_TRUE(FileExists(product.root + "\\data\\a.dat"));
  EXPECT_EQ(ReadFileBytes(product.uninstall_file), bytes);
  EXPECT_TRUE(NewNames(copies_before, TempCopies()).empty());
  const std::vector<std::string> lines = ReportLines(report);
  ASSERT_EQ(lines.size(), 2u) << ReadFileBytes(report);
  clock.ExpectFirstLine(lines[0], damage.name_in_report, product.uninstall_file);
  EXPECT_EQ(lines[1], "Outcome: the uninstall file was damaged, nothing changed, exit code 1603");
  RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + std::string("Damaged App"));
}

inline const Damage kDamages[] = {
    {"the signature", [](std::string& b) { b[b.size() - 1] = 'X'; }, ""},
    // The last record's type (its header: back-link, then type) made 9.
    {"a record's type",
     [](std::string& b) {
       const uint32_t last =
           TrailerLastRecord(reinterpret_cast<const uint8_t*>(b.data()) + b.size() - kTrailerSize);
       b[last + 4] = 9;
       b[last + 5] = 0;
     },
     "Damaged App"},
};

// A product file another program holds open without letting it be deleted:
// everything else goes, the file goes at the next start, and the code says a
// restart is needed. before_restart checks how the family keeps the
// pending deletion.
// held_by: what the report says of who holds it, which depends on the
// family (only the NT family from Vista on has a Restart Manager to ask).
inline void HeldProductFileNeedsARestart(
    const std::function<void(const std::string&)>& before_restart, const std::string& held_by) {
  LargeProduct product("unattended\\Held", "Kiv Held", 20, 1000);
  const std::string held = product.paths[5];
  const std::string report = FreshDirectory("unattended\\held-report") + "\\report.txt";
  HANDLE hold = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);

  RunResult run = e2e::Run(product.Silently() + " /LOG=" + report, {}, 60000);
  CloseHandle(hold);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitRestartNeeded);
  EXPECT_TRUE(NoBoxes(run)) << run.boxes[0].text;
  EXPECT_FALSE(product.Registered());
  EXPECT_EQ(product.FilesLeft(), 1);
  EXPECT_TRUE(FileExists(held));
  EXPECT_TRUE(product.RestoredWhole());
  EXPECT_FALSE(FileExists(product.uninstall_file));
  const std::vector<std::string> lines = ReportLines(report);
  ASSERT_GE(lines.size(), 3u) << ReadFileBytes(report);
  // Held without delete sharing, it cannot be renamed aside either.
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "file " + held +
                          ": goes at the next start under its own path: a reinstall before then "
                          "would lose it (held by: " + held_by + ")"),
            lines.end())
      << ReadFileBytes(report);
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "directory " + product.files + ": kept: not empty"),
      lines.end())
      << ReadFileBytes(report);
  EXPECT_EQ(lines.back(), "Outcome: everything undone, restart needed, exit code 3010");

  before_restart(held);
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(held));
}

// A product program that runs (mapped: its file cannot be deleted, but it
// can be renamed) is renamed aside and only the new name goes at the next
// start: its path is free at once, a file reinstalled there survives the
// restart, and the renamed file goes. Without a reinstall the product's
// directory, left only because of it, goes at the restart too (the NT
// family; the 95 family's WININIT.INI deletes no directory).
// Without /S the same happens, and the last box adds that some files go
// when Windows restarts.
inline void RunningProgramIsRenamedAsideForTheRestart(bool reinstall, bool directories_go,
                                                      bool silent = true) {
  Product product(reinstall ? "unattended\\Running Reinstalled" : "unattended\\Running",
                  "Kiv Running", false);
  const std::string program = product.root + "\\app.exe";
  ASSERT_TRUE(CopyFileA(KIV_SLEEPER_PATH, program.c_str(), FALSE));
  StartedRun running("\"" + program + "\" 60000");
  ASSERT_TRUE(running.started());
  Sleep(300);
  ASSERT_FALSE(DeleteFileA(program.c_str())) << "a running program's file was deleted";

  RunResult run =
      e2e::Run(AsUserStartsIt(product.uninstall_file) + (silent ? " /S" : ""), {IDYES}, 60000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, silent ? kExitRestartNeeded : kExitUninstallEntered);
  if (!silent) {
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].text,
              "Uninstall was succesful\r\n\r\nSome files are removed when Windows restarts.");
  }
  // The copy ends after the first process: wait for the path to be free.
  for (int i = 0; i < 100 && FileExists(product.uninstall_file); ++i) Sleep(20);
  EXPECT_FALSE(FileExists(program)) << "the path is not free";
  const std::vector<std::string> aside = ListFiles(product.root, "~kiv*.del");
  ASSERT_EQ(aside.size(), 1u);
  if (reinstall) WriteFileBytes(program, "reinstalled");
  TerminateProcess(running.process(), 0);
  running.Wait(10000);
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(product.root + "\\" + aside[0])) << "the renamed file stayed";
  if (reinstall) {
    EXPECT_EQ(ReadFileBytes(program), "reinstalled");
  } else {
    EXPECT_EQ(DirectoryExists(product.root), !directories_go);
  }
  RemoveTree(product.root);
}

// The same file named otherwise: its short form, in lower case.
inline std::string OtherSpelling(const std::string& path) {
  char short_path[MAX_PATH] = {};
  GetShortPathNameA(path.c_str(), short_path, sizeof(short_path));
  std::string spelled = short_path;
  for (char& c : spelled) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(spelled.find('~'), std::string::npos) << "no short form: " << path;
  return spelled;
}

// A second uninstall of the same file started while the first walks changes
// nothing and ends with 1618 (without /S, with the confirmation's "no
// action" code, 0); the first completes. The copy starts after the lock is
// taken, so once it runs the lock is held, and the walk
// (six thousand files) outlasts
// the second start by far. A second start in the uninstall mode names the
// file otherwise, as the lock must not care. boxes_expected: the texts of the whole scenario's
// boxes (the second's, when it runs without /S).
inline void SecondRunWhileTheFirstWalksIsRefused(const std::string& directory,
                                                 const std::string& second_line_suffix,
                                                 bool second_in_uninstall_mode,
                                                 DWORD second_exit_code,
                                                 const std::vector<std::string>& boxes_expected,
                                                 std::string (*spell)(const std::string&) =
                                                     OtherSpelling) {
  // The walk must outlast a second start by far, also on a loaded machine:
  // 6,000 files take some 1.8 s here, a refused start 0.4 s at most.
  LargeProduct product(directory, "Kiv Busy", 6000, 8 * 1024 * 1024);
  const std::vector<std::string> copies_before = TempCopies();
  BoxAnswerer answerer({});
  const DWORD t0 = GetTickCount();
  StartedRun first(product.Silently());
  ASSERT_TRUE(first.started());
  // The copy runs once the first has taken the lock and handed it on.
  while (first.RunningIds().size() < 2 && !first.FirstEnded() && GetTickCount() - t0 < 60000) {
    Sleep(5);
  }
  ASSERT_EQ(first.RunningIds().size(), 2u) << "no copy walking";
  const DWORD t1 = GetTickCount();

  const std::string second_line =
      second_in_uninstall_mode
          ? UninstallModeLine(second_line_suffix + spell(product.uninstall_file))
          : AsUserStartsIt(product.uninstall_file) + second_line_suffix;
  StartedRun second(second_line);
  RunResult refused = second.Wait(30000);
  const DWORD t2 = GetTickCount();
  ASSERT_FALSE(first.FirstEnded()) << "the walk was over before the second start had tried: "
                                      "make the product larger";
  RunResult run = first.Wait(120000);
  std::printf(
      "copy walking after %lu ms; second refused after %lu ms; walk over after %lu ms\n",
      static_cast<unsigned long>(t1 - t0), static_cast<unsigned long>(t2 - t1),
      static_cast<unsigned long>(GetTickCount() - t1));
  answerer.Stop();

  ASSERT_TRUE(refused.finished);
  EXPECT_EQ(refused.exit_code, second_exit_code);
  EXPECT_EQ(refused.processes, 1) << "the second started no copy";
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_EQ(run.processes, 2);
  product.ExpectUndone();
  EXPECT_FALSE(FileExists(product.uninstall_file));
  EXPECT_EQ(NewNames(copies_before, TempCopies()).size(), 1u) << "the first's copy only";
  const std::vector<Box> boxes = answerer.boxes();
  ASSERT_EQ(boxes.size(), boxes_expected.size());
  for (size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(boxes[i].text, boxes_expected[i]);
    EXPECT_EQ(boxes[i].icon, static_cast<uint32_t>(MB_ICONWARNING));
    EXPECT_EQ(boxes[i].buttons, std::vector<std::string>{"OK"});
  }
}

// An uninstall killed half-way through the walk, then started again from its
// uninstall file, finishes: the walking process is started directly in the
// uninstall mode so that the test can kill it, during the restore of a large
// saved file if it is caught there (the file deletions after it otherwise).
inline void KilledUninstallStartedAgainFinishes(const std::string& directory) {
  constexpr uint32_t kSaved = 96 * 1024 * 1024;
  LargeProduct product(directory, "Kiv Killed", 3000, kSaved);
  const std::string last_walked = product.paths.front();
  const std::string first_walked = product.paths.back();

  StartedRun walk(UninstallModeLine("/S " + product.uninstall_file));
  ASSERT_TRUE(walk.started());
  bool mid_restore = false;
  const DWORD t0 = GetTickCount();
  for (;;) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(product.replaced.c_str(), GetFileExInfoStandard, &data)) {
      if (data.nFileSizeLow >= 64 * 1024 && data.nFileSizeLow < kSaved) {
        mid_restore = true;
        break;
      }
      if (data.nFileSizeLow == kSaved) break;  // missed: kill among the deletions after it
    }
    ASSERT_FALSE(walk.FirstEnded()) << "the walk ended before it was killed";
    ASSERT_LT(GetTickCount() - t0, 60000u);
    Sleep(1);
  }
  ASSERT_TRUE(TerminateProcess(walk.process(), 77));
  RunResult killed = walk.Wait(10000);
  std::printf("killed %s\n", mid_restore ? "during the restore" : "after the restore");

  ASSERT_TRUE(killed.finished);
  EXPECT_EQ(killed.exit_code, 77u);
  EXPECT_FALSE(FileExists(first_walked)) << "walked before the restore";
  EXPECT_TRUE(FileExists(last_walked)) << "not reached when it was killed";
  EXPECT_TRUE(DirectoryExists(product.files));
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, product.value_key));
  EXPECT_TRUE(FileExists(product.uninstall_file));
  EXPECT_TRUE(product.Registered()) << "the uninstall mode leaves the registration";

  RunResult again = e2e::Run(product.Silently(), {}, 120000);

  ASSERT_TRUE(again.finished);
  EXPECT_EQ(again.exit_code, kExitSuccess);
  EXPECT_TRUE(NoBoxes(again)) << again.boxes[0].text;
  product.ExpectUndone();
  FileTimes times;
  ASSERT_TRUE(GetTimes(product.replaced, &times));
  EXPECT_EQ(times.write, kReplacedTime);
  EXPECT_FALSE(FileExists(product.uninstall_file));
  EXPECT_FALSE(DirectoryExists(product.root));
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_UNATTENDED_SCENARIOS_H_
