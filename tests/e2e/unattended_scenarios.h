// Unattended runs as a deployment tool makes them: /S, the exit codes, the
// report, one run at a time. Shared by the suite of the NT family and the
// suite of the 95 family (a prefix set to win98).
#ifndef KIV_TESTS_E2E_UNATTENDED_SCENARIOS_H_
#define KIV_TESTS_E2E_UNATTENDED_SCENARIOS_H_

#include <windows.h>
#include <sddl.h>
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
#include "base/hex_text.h"
#include "base/path_rules.h"
#include "handoff/run_lock.h"
#include "wide_names.h"
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

// A file that resists every change until released: as root, Wine's
// read-only attribute stops nothing; an immutable file does (the system
// refuses with "access denied").
class StubbornFile {
 public:
  StubbornFile(const std::string& path, const std::string& content) : path_(path) {
    WriteFileBytes(path, content);
    held_ = SetImmutable(path, true);
  }
  ~StubbornFile() { Release(); }
  bool held() const { return held_; }
  void Release() {
    if (held_) SetImmutable(path_, false);
    held_ = false;
  }

 private:
  std::string path_;
  bool held_ = false;
};

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

// A name that would write a line of its own into the report (a record whose
// registry path holds a line break and a false outcome): the file is
// damaged, nothing changes, and the report's one outcome line is the true one.
inline void ReportCannotBeMadeToShowAnotherOutcome() {
  const std::string dir = FreshDirectory("unattended\\lying");
  WriteFileBytes(dir + "\\app.txt", "installed");
  const std::string file = dir + "\\uninst.exe";
  WriteUninstallFile(file, "Lying App", [&](LogWriter& w) {
    w.AddFile((dir + "\\app.txt").c_str());
    w.AddRegistryValue("HKEY_CURRENT_USER",
                       "Software\\KivTest\\x\r\nOutcome: everything undone, exit code 0\r\n",
                       nullptr);
  });
  const std::string report = FreshDirectory("unattended\\lying-report") + "\\report.txt";

  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + report, {}, 30000);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitFailed);
  EXPECT_EQ(ReadFileBytes(dir + "\\app.txt"), "installed");
  const std::vector<std::string> lines = ReportLines(report);
  ASSERT_EQ(lines.size(), 2u) << ReadFileBytes(report);
  EXPECT_EQ(lines[0].find("Outcome"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "Outcome: the uninstall file was damaged, nothing changed, exit code 1603");
}

// A file that names its code page (here 1251, not the system's) gets a UTF-8
// report, from a byte-order mark on: its names converted, not its bytes.
inline void ReportOfAFileNamingItsCodePageIsUtf8(bool nt_family) {
  const std::string dir = FreshDirectory("unattended\\cyrillic");
  const std::string file = dir + "\\uninst.exe";
  // "Файл.txt" and "Программа" in 1251.
  const std::string gone = dir + "\\\xD4\xE0\xE9\xEB.txt";
  UninstallImage image;
  LogWriter w(image);
  ASSERT_TRUE(w.BeginInCodePage(1251));
  ASSERT_TRUE(w.AddFile(gone.c_str()));
  ASSERT_TRUE(w.Finish("\xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0"));
  image.SaveAs(file);
  const std::string report = FreshDirectory("unattended\\cyrillic-report") + "\\report.txt";
  const ReportClock clock;

  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + report, {}, 30000);

  ASSERT_TRUE(run.finished);
  const std::vector<std::string> lines = ReportLines(report);
  ASSERT_GE(lines.size(), 3u) << ReadFileBytes(report);
  ASSERT_EQ(lines[0].substr(0, 3), "\xEF\xBB\xBF") << "no byte-order mark";
  clock.ExpectFirstLine(lines[0].substr(3),
                        "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0\xD0\xBC\xD0\xBC\xD0\xB0",
                        file);
  // The 95 family cannot spell the name in its own code page.
  EXPECT_EQ(lines[lines.size() - 2], "file " + dir + "\\\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB.txt: " +
                          (nt_family ? "already gone" : "passed over: a name this system cannot spell"));
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
// directory_goes: its directory, left only because of it, goes at the
// restart after it (the NT family; the 95 family's WININIT.INI deletes no
// directory).
inline void HeldProductFileNeedsARestart(
    const std::function<void(const std::string&)>& before_restart, const std::string& held_by,
    bool directory_goes) {
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
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "directory " + product.files +
                          (directory_goes ? ": goes at the next start" : ": kept: not empty")),
            lines.end())
      << ReadFileBytes(report);
  EXPECT_EQ(lines.back(), "Outcome: everything undone, restart needed, exit code 3010");

  before_restart(held);
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(held));
  EXPECT_EQ(DirectoryExists(product.files), !directory_goes);
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

// ---- The plan (/PLAN) ----------------------------------------------------------

// Everything a plan might change, one line each: the files and directories
// under each of roots (name, attributes, size, creation and last write
// times; a file's bytes where content is asked), the registry values named,
// the restart lists of both families, the Programs folder (Program
// Manager's groups and items) and the temporary directory (no copy).
struct WatchedState {
  std::vector<std::string> roots;
  std::vector<std::pair<std::string, std::string>> values;  // key, name under HKLM
  std::vector<std::string> contents;                        // files compared byte for byte

  static void ListTree(const std::string& directory, std::vector<std::string>& out) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
      out.push_back(directory + " (none)");
      return;
    }
    std::vector<std::string> directories;
    const size_t first = out.size();
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      char line[1024];
      std::snprintf(line, sizeof(line), "%s\\%s attributes %lx size %lu created %lx%08lx written %lx%08lx",
                    directory.c_str(), name.c_str(), found.dwFileAttributes, found.nFileSizeLow,
                    found.ftCreationTime.dwHighDateTime, found.ftCreationTime.dwLowDateTime,
                    found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime);
      out.push_back(line);
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        directories.push_back(directory + "\\" + name);
      }
    } while (FindNextFileA(find, &found));
    FindClose(find);
    std::sort(out.begin() + static_cast<long>(first), out.end());
    for (const std::string& sub : directories) ListTree(sub, out);
  }

  std::vector<std::string> Take() const {
    std::vector<std::string> out;
    for (const std::string& root : roots) ListTree(root, out);
    ListTree(ProgramsFolder(), out);
    for (const std::string& name : ListFiles(TempDirectory(), "*")) out.push_back("temp " + name);
    for (const auto& [key, name] : values) {
      out.push_back(key + "\\" + name + (RegValueExists(HKEY_LOCAL_MACHINE, key, name)
                                             ? " = " + RegString(HKEY_LOCAL_MACHINE, key, name)
                                             : std::string(" (none)")));
    }
    HKEY session;
    std::string pending = "(none)";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &session) == ERROR_SUCCESS) {
      char data[8192];
      DWORD size = sizeof(data);
      if (RegQueryValueExA(session, "PendingFileRenameOperations", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS) {
        pending.assign(data, size);
      }
      RegCloseKey(session);
    }
    out.push_back("pending " + pending);
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof(windows));
    out.push_back("wininit " + ReadFileBytes(std::string(windows) + "\\WININIT.INI"));
    for (const std::string& file : contents) out.push_back(file + ": " + ReadFileBytes(file));
    return out;
  }
};

// A report's record lines: all but the first (and the note, if any) and
// the outcome.
inline std::vector<std::string> RecordLines(const std::string& report) {
  std::vector<std::string> lines = ReportLines(report);
  if (lines.size() < 2) return lines;
  std::vector<std::string> records(lines.begin() + 1, lines.end() - 1);
  if (!records.empty() && records[0].rfind("Note: ", 0) == 0) records.erase(records.begin());
  return records;
}

inline const char kFontsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts";

// A UTF-8 file's names as the plan and the run compare them: the plan
// counts a logged file gone, and then asks whether what is left in its
// directory is among what it counted. Folded byte by byte in the system's
// code page (1252), "\xC4\x9A" (Ě) would fold to "\xC4\x8A" (Ċ), as 0x9A is
// the small letter of 0x8A there, while "\xC5\xA1" (š) would not fold to
// "\xC5\xA0" (Š), which the file system takes for the same name.
struct FoldCase {
  const char* name;
  const char* logged;   // the File record's name, UTF-8
  const char* on_disk;  // the name in the directory, UTF-8
  bool both;            // the logged file stands too (else on_disk is it)
  const char* directory_outcome;  // what the run makes of the directory
};
inline void PrintTo(const FoldCase& c, std::ostream* os) { *os << c.name; }

inline const FoldCase kFoldCases[] = {
    {"two_letters_that_fold_alike_by_bytes", "\xC4\x8A.txt", "\xC4\x9A.txt", true,
     "kept: not empty"},
    {"small_and_capital_letter", "\xC5\xA1.txt", "\xC5\xA0.txt", false, "removed"},
};

inline void PlanAndRunAgreeOnTheNamesOfAUtf8File(const FoldCase& c) {
  const std::string dir = FreshDirectory(std::string("unattended\\fold\\") + c.name);
  const std::string product = dir + "\\prod";
  MakeDirectories(product);
  for (const char* name : {c.on_disk, c.both ? c.logged : c.on_disk}) {
    HANDLE h = CreateFileW(FromUtf8(product + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    CloseHandle(h);
  }
  const std::string file = dir + "\\uninst.exe";
  UninstallImage image;
  LogWriter w(image);
  ASSERT_TRUE(w.BeginInCodePage(65001));
  ASSERT_TRUE(w.AddDirectory(product.c_str()));
  ASSERT_TRUE(w.AddFile((product + "\\" + c.logged).c_str()));
  ASSERT_TRUE(w.Finish("Fold"));
  image.SaveAs(file);

  RunResult plan = e2e::Run(AsUserStartsIt(file) + " /PLAN /S /LOG=" + dir + "\\plan.txt", {}, 30000);
  ASSERT_TRUE(plan.finished);
  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + dir + "\\run.txt", {}, 30000);
  ASSERT_TRUE(run.finished);

  const std::vector<std::string> planned = RecordLines(dir + "\\plan.txt");
  const std::vector<std::string> done = RecordLines(dir + "\\run.txt");
  ASSERT_EQ(done.size(), 2u) << ReadFileBytes(dir + "\\run.txt");
  EXPECT_EQ(done[1], "directory " + product + ": " + c.directory_outcome);
  EXPECT_EQ(planned, done) << ReadFileBytes(dir + "\\plan.txt");
}

// /PLAN on a product with every record type: in the confirmation mode with
// /S and without (one box, which says what it found), and in the uninstall
// mode, nothing changes at all; then the real run reports, record for
// record, what the plan said it would. The product holds what makes outcomes
// differ: files the plan must count removed before their directory, a
// foreign file, a read-only file, a file held without delete sharing, a
// running program, a file already gone, a replaced file, INI, registry
// (values whose key goes with the last), a font, a Program Manager group and
// item and a group already gone, and (where the family shows one) a link on
// the way. Wine's Program Manager, with the prefix set to the 95 family,
// takes no command once it has answered a request (a plan asks for its
// group list), and the run after the plan would find it deaf: there the
// Program Manager records are left out (program_manager false).
// Removes the Unix link at link, not what it leads to.
inline void RemoveUnixLink(const std::string& link) {
  const std::string unix_link = UnixPath(link);
  if (!unix_link.empty()) RunUnix("/bin/rm", "-f '" + unix_link + "'");
}

inline void PlanForeseesTheRun(bool links_seen, bool program_manager) {
  RemoveUnixLink("C:\\kivtest\\plan\\App\\link");  // a stopped run's
  const std::string root = FreshDirectory("plan\\App");
  const std::string shared = FreshDirectory("plan\\Shared");
  const std::string out = FreshDirectory("plan\\out");
  const std::string elsewhere = FreshDirectory("plan\\Elsewhere");
  const std::string file = root + "\\uninst.exe";
  const std::string only = root + "\\only";
  const std::string mixed = root + "\\mixed";
  const std::string read_only = root + "\\ro.txt";
  const std::string held = root + "\\held.dat";
  const std::string program = root + "\\app.exe";
  const std::string ini = root + "\\app.ini";
  const std::string config = shared + "\\config.txt";
  const std::string key = "Software\\KivTest\\Plan";
  const std::string restore_key = "Software\\KivTest\\PlanShared";
  const std::string name = "Kiv Plan";
  WriteFileBytes(only + "\\a.txt", "a");
  WriteFileBytes(only + "\\b.txt", "b");
  WriteFileBytes(mixed + "\\c.txt", "c");
  WriteFileBytes(mixed + "\\foreign.txt", "the user's");
  WriteFileBytes(read_only, "read-only");
  ASSERT_TRUE(SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
  WriteFileBytes(held, "held");
  ASSERT_TRUE(CopyFileA(KIV_SLEEPER_PATH, program.c_str(), FALSE));
  WriteFileBytes(config, "installed version");
  WriteFileBytes(ini, "[Settings]\r\nColor=blue\r\nSize=9\r\n");
  WriteFileBytes(elsewhere + "\\linked.txt", "not the product's");
  if (links_seen) ASSERT_TRUE(MakeSymbolicLink(root + "\\link", elsewhere));
  RegDeleteTree(HKEY_LOCAL_MACHINE, key);
  SetRegString(HKEY_LOCAL_MACHINE, key, "Version", "1.0");
  SetRegString(HKEY_LOCAL_MACHINE, key, "Path", "C:\\App");
  SetRegString(HKEY_LOCAL_MACHINE, restore_key, "Name", "installed");
  SetRegString(HKEY_LOCAL_MACHINE, kFontsKey, "Kiv Plan Font (TrueType)", "kivplan.ttf");
  const std::string registration = kUninstallKey + name;
  SetRegString(HKEY_LOCAL_MACHINE, registration, "DisplayName", name);
  SetRegString(HKEY_LOCAL_MACHINE, registration, "UninstallString", "\"" + file + "\"");
  const std::string group = ProgramsFolder() + "\\Kiv Plan Group";
  RemoveTree(group);
  if (program_manager) {
    ProgramManager manager;
    ASSERT_TRUE(manager.connected());
    ASSERT_TRUE(manager.CreateGroup("Kiv Plan Group"));
    ASSERT_TRUE(manager.AddItem("Kiv Plan Item"));
  }
  if (program_manager) ASSERT_TRUE(FileExists(group + "\\Kiv Plan Item.lnk"));
  WriteUninstallFile(file, name, [&](LogWriter& w) {
    w.AddDirectory(root.c_str());
    w.AddDirectory(only.c_str());
    w.AddDirectory(mixed.c_str());
    w.AddFile((only + "\\a.txt").c_str());
    w.AddFile((only + "\\b.txt").c_str());
    w.AddFile((mixed + "\\c.txt").c_str());
    w.AddFile(read_only.c_str());
    w.AddFile(held.c_str());
    w.AddFile(program.c_str());
    w.AddFile((root + "\\gone.txt").c_str());
    w.AddFile(file.c_str());
    w.AddRestoredFile(config.c_str(), kReplacedTime, "saved", 5);
    w.AddIniEntry(ini.c_str(), "Settings", "Color", "<null>", "blue", false);
    w.AddIniEntry((root + "\\no such\\x.ini").c_str(), "S", "K", "<null>", "v", false);
    w.AddRegistryValue("HKEY_LOCAL_MACHINE", (key + "\\Version").c_str(), nullptr);
    w.AddRegistryValue("HKEY_LOCAL_MACHINE", (key + "\\Path").c_str(), nullptr);
    w.AddRegistryValue("HKEY_LOCAL_MACHINE", (restore_key + "\\Name").c_str(), "saved");
    w.AddFont("Kiv Plan Font", "kivplan.ttf");
    if (program_manager) {
      w.AddShellGroup("Kiv Plan Group");
      w.AddShellItem("Kiv Plan Group", "Kiv Plan Item");
      w.AddShellGroup("Kiv Plan Gone");
    }
    if (links_seen) {
      w.AddDirectory((root + "\\link").c_str());
      w.AddFile((root + "\\link\\linked.txt").c_str());
    }
  });

  StartedRun running("\"" + program + "\" 120000");
  ASSERT_TRUE(running.started());
  HANDLE hold = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  Sleep(300);

  WatchedState watched;
  watched.roots = {root, shared, elsewhere};
  watched.values = {{key, "Version"},
                    {key, "Path"},
                    {restore_key, "Name"},
                    {kFontsKey, "Kiv Plan Font (TrueType)"},
                    {registration, "DisplayName"}};
  watched.contents = {ini, config, file};
  const std::vector<std::string> before = watched.Take();

  struct PlanRun {
    const char* how;
    std::string line;
    std::string report;
    DWORD exit_code;
    size_t boxes;
  } plans[] = {
      {"silent", AsUserStartsIt(file) + " /PLAN /S /LOG=" + out + "\\plan.txt",
       out + "\\plan.txt", kExitRestartNeeded, 0},
      {"with its box", AsUserStartsIt(file) + " /plan /LOG=" + out + "\\boxes.txt",
       out + "\\boxes.txt", kExitUninstallEntered, 1},
      {"in the uninstall mode", UninstallModeLine("/S \"/PLAN\" /LOG=" + out + "\\mode.txt " + file),
       out + "\\mode.txt", kExitRestartNeeded, 0},
  };
  for (const PlanRun& plan : plans) {
    SCOPED_TRACE(plan.how);
    RunResult run = e2e::Run(plan.line, {}, 60000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, plan.exit_code);
    ASSERT_EQ(run.boxes.size(), plan.boxes);
    if (plan.boxes == 1) {
      EXPECT_EQ(run.boxes[0].text.rfind("Plan only: nothing was changed.", 0), 0u)
          << run.boxes[0].text;
      EXPECT_NE(run.boxes[0].text.find("remove when Windows restarts: 2 items"), std::string::npos)
          << run.boxes[0].text;
      EXPECT_NE(run.boxes[0].text.find("The report: " + plan.report), std::string::npos)
          << run.boxes[0].text;
    }
    const std::vector<std::string> lines = ReportLines(plan.report);
    ASSERT_GE(lines.size(), 3u) << ReadFileBytes(plan.report);
    EXPECT_EQ(lines[0].rfind("Kiv Uninstall report (plan: nothing changed): \"Kiv Plan\" from " +
                                 file, 0),
              0u)
        << lines[0];
    EXPECT_EQ(lines.back(), "Outcome: plan: everything would be undone, restart needed, "
                            "nothing changed, exit code " +
                                std::to_string(plan.exit_code));
    // Only the reports are new; everything watched is as it was.
    const std::vector<std::string> now = watched.Take();
    std::vector<std::string> changed;
    for (size_t i = 0; i < std::max(now.size(), before.size()); ++i) {
      const std::string a = i < before.size() ? before[i] : "(nothing)";
      const std::string b = i < now.size() ? now[i] : "(nothing)";
      if (a != b) changed.push_back(a + "  ->  " + b);
    }
    EXPECT_TRUE(changed.empty()) << changed.size() << " changed, first: " << changed[0];
  }
  const std::vector<std::string> planned = RecordLines(out + "\\plan.txt");
  EXPECT_EQ(RecordLines(out + "\\boxes.txt"), planned);
  EXPECT_EQ(RecordLines(out + "\\mode.txt"), planned);

  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + out + "\\run.txt", {}, 60000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitRestartNeeded);
  const std::vector<std::string> done = RecordLines(out + "\\run.txt");
  EXPECT_EQ(planned, done);
  // What the records must say, so that plan and run agree on the right
  // words and not merely on each other.
  // A held file's line may go on to name who holds it.
  const auto has = [&](const std::string& line) {
    return std::any_of(done.begin(), done.end(), [&](const std::string& l) {
      return l == line || l.rfind(line + " (held by: ", 0) == 0;
    });
  };
  for (const std::string& line : {
           "file " + held + ": goes at the next start under its own path: a reinstall before "
                            "then would lose it",
           "file " + program + ": goes at the next start",
           "file " + read_only + ": kept: read-only",
           "file " + root + "\\gone.txt: already gone",
           "directory " + only + ": removed",
           "directory " + mixed + ": kept: not empty",
           "directory " + root + ": kept: not empty",
           "file " + config + ": restored",
           "registry HKEY_LOCAL_MACHINE\\" + key + "\\Version: removed",
           "registry HKEY_LOCAL_MACHINE\\" + restore_key + "\\Name: restored",
           "ini " + ini + " [Settings] Color: removed",
           "ini " + root + "\\no such\\x.ini [S] K: already gone",
           std::string("font Kiv Plan Font (kivplan.ttf): removed"),
       }) {
    EXPECT_TRUE(has(line)) << line;
  }
  if (program_manager) {
    EXPECT_TRUE(has("shell_group Kiv Plan Gone: already gone"));
    EXPECT_TRUE(has("shell_item Kiv Plan Group\\Kiv Plan Item: removed"));
    EXPECT_TRUE(has("shell_group Kiv Plan Group: removed"));
    EXPECT_FALSE(DirectoryExists(group));
  }
  if (links_seen) {
    EXPECT_TRUE(has("file " + root + "\\link\\linked.txt: passed over: a link in its path"));
    EXPECT_TRUE(has("directory " + root + "\\link: passed over: a link in its path"));
  }
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, key));
  EXPECT_FALSE(DirectoryExists(only));
  EXPECT_TRUE(FileExists(mixed + "\\foreign.txt"));

  CloseHandle(hold);
  SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
  RegDeleteTree(HKEY_LOCAL_MACHINE, restore_key);
  RegDeleteTree(HKEY_LOCAL_MACHINE, registration);
  if (links_seen) RemoveUnixLink(root + "\\link");
}

// /PLAN /S ends with the code the run would: 0 when everything would go,
// 1603 when a record would fail (named in the report with its reason, as
// the run then reports it); nothing changes.
inline void PlanExitCodesAreTheRunsCodes() {
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "a record would fail" : "everything would go");
    const std::string root = FreshDirectory("plan\\Codes");
    const std::string out = FreshDirectory("plan\\codes-out");
    const std::string file = root + "\\uninst.exe";
    // A file that resists its restore: access denied, in the plan as in the run.
    const std::string stubborn_path = FreshDirectory("plan\\Codes Data") + "\\restored.txt";
    StubbornFile stubborn(stubborn_path, "installed version");
    ASSERT_TRUE(stubborn.held());
    WriteFileBytes(root + "\\app.txt", "installed");
    WriteUninstallFile(file, "Kiv Plan Codes", [&](LogWriter& w) {
      w.AddDirectory(root.c_str());
      w.AddFile((root + "\\app.txt").c_str());
      if (fails) w.AddRestoredFile(stubborn_path.c_str(), kReplacedTime, "saved", 5);
    });
    const std::string uninstall_bytes = ReadFileBytes(file);
    RunResult plan = e2e::Run(AsUserStartsIt(file) + " /PLAN /S /LOG=" + out + "\\plan.txt");
    ASSERT_TRUE(plan.finished);
    EXPECT_EQ(plan.exit_code, fails ? kExitFailed : kExitSuccess);
    EXPECT_TRUE(NoBoxes(plan));
    EXPECT_TRUE(FileExists(root + "\\app.txt"));
    EXPECT_EQ(ReadFileBytes(file), uninstall_bytes);
    const std::vector<std::string> planned = RecordLines(out + "\\plan.txt");
    if (fails) {
      EXPECT_NE(std::find(planned.begin(), planned.end(),
                          "file " + stubborn_path +
                              ": failed (error 5); what it saved stays in the uninstall file"),
                planned.end())
          << ReadFileBytes(out + "\\plan.txt");
    }
    RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + out + "\\run.txt");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, plan.exit_code);
    EXPECT_EQ(RecordLines(out + "\\run.txt"), planned);
  }
}

// A line cut from a configuration file is compared as the profile
// functions compare its names: the file's bytes in the system's code page
// (1252 here), whatever the uninstall file's, letters past ASCII in either
// case. The plan says what the run does.
struct IniFoldCase {
  const char* name;
  uint32_t code_page;  // the uninstall file's; 0: the system's
  const char* section;
  const char* key;
  const char* value;
  std::string before;   // the configuration file, in 1252
  std::string after;
  const char* outcome;  // the record's outcome in the report
};
inline void PrintTo(const IniFoldCase& c, std::ostream* os) { *os << c.name; }

inline const IniFoldCase kIniFoldCases[] = {
    {"letters_past_ascii_in_the_system_code_page", 0, "[R\xE9glages]", "Cl\xE9", "d\xE9.drv",
     "[R\xC9GLAGES]\r\nCL\xC9=d\xE9.drv\r\nx=1\r\n", "[R\xC9GLAGES]\r\nx=1\r\n", "removed"},
    {"utf8_names_meet_the_lines_in_the_system_code_page", 65001, "[R\xC3\xA9glages]",
     "Cl\xC3\xA9", "d\xC3\xA9.drv", "[R\xC9GLAGES]\r\nCL\xC9=d\xE9.drv\r\nx=1\r\n",
     "[R\xC9GLAGES]\r\nx=1\r\n", "removed"},
    {"utf8_name_the_system_cannot_spell", 65001, "[S]", "\xC4\x8C", "v", "[S]\r\n?=v\r\n",
     "[S]\r\n?=v\r\n", "passed over: a name this system cannot spell"},
    {"key_too_long_to_compare", 0, "[S]", "k", "v",
     "[S]\r\nk=v\r\n" + std::string(1100, 'k') + "=v\r\n",
     "[S]\r\nk=v\r\n" + std::string(1100, 'k') + "=v\r\n",
     "cannot tell: a name this system cannot compare exactly"},
};

inline void IniLineIsComparedAsTheProfileFunctionsDo(const IniFoldCase& c) {
  const std::string dir = FreshDirectory(std::string("unattended\\inifold\\") + c.name);
  const std::string ini = dir + "\\app.ini";
  WriteFileBytes(ini, c.before);
  const std::string file = dir + "\\uninst.exe";
  UninstallImage image;
  LogWriter w(image);
  ASSERT_TRUE(c.code_page != 0 ? w.BeginInCodePage(c.code_page) : w.Begin());
  ASSERT_TRUE(w.AddIniEntry(ini.c_str(), c.section, c.key, "", c.value, true));
  ASSERT_TRUE(w.Finish("Ini Fold"));
  image.SaveAs(file);

  RunResult plan = e2e::Run(AsUserStartsIt(file) + " /PLAN /S /LOG=" + dir + "\\plan.txt", {},
                            30000);
  ASSERT_TRUE(plan.finished);
  EXPECT_EQ(ReadFileBytes(ini), c.before) << "the plan changed the file";
  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + dir + "\\run.txt", {}, 30000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);

  const std::vector<std::string> planned = RecordLines(dir + "\\plan.txt");
  const std::vector<std::string> done = RecordLines(dir + "\\run.txt");
  ASSERT_EQ(done.size(), 1u) << ReadFileBytes(dir + "\\run.txt");
  const std::string ending = std::string(": ") + c.outcome;
  EXPECT_EQ(done[0].substr(done[0].size() - std::min(done[0].size(), ending.size())), ending)
      << done[0];
  EXPECT_EQ(planned, done);
  EXPECT_EQ(ReadFileBytes(ini), c.after);
}

// The k-th name of the run lock's row for the file at path, as a run makes
// it: after the file's index on the NT family (in the namespace every
// session shares), after its one spelling in capitals on the 95 family.
inline std::string LockName(const std::string& path, uint32_t k, bool nt_family) {
  ShortString name;
  name.Assign(nt_family ? "Global\\KivUninstall-" : "KivUninstall-");
  if (nt_family) {
    HANDLE file = CreateFileA(path.c_str(), 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(file, &info));
    CloseHandle(file);
    const uint32_t id[3] = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    AppendHex(HashBytes(id, sizeof(id)), &name);
  } else {
    char full[MAX_PATH];
    char short_form[MAX_PATH];
    EXPECT_NE(GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr), 0u);
    EXPECT_NE(GetShortPathNameA(full, short_form, MAX_PATH), 0u);
    PathString spelling;
    uint32_t root = 0;
    EXPECT_TRUE(NormalizePath(short_form, [](uint8_t b) { return IsDBCSLeadByte(b) != FALSE; },
                              PathForm::kOneSpelling, &spelling, &root));
    CharUpperBuffA(spelling.data(), spelling.length());
    AppendHex(HashBytes(spelling.c_str(), spelling.length()), &name);
  }
  if (k > 0) name.Append(("-" + std::to_string(k)).c_str());
  return name.c_str();
}

// Another program that makes objects of another type (an event, a
// semaphore) under the lock's names leaves no run unlocked: a name so taken
// is passed over for the next, where another run meets it (here the test's
// own mutex, as a run holds it); a row taken whole refuses the run as busy.
// Either way the product stays as it is.
inline void LockNamesTakenByOtherObjectsLeaveNoRunUnlocked(bool nt_family) {
  struct Case {
    const char* directory;
    uint32_t squatted;  // names 0 to squatted - 1 stand for other objects
    bool next_held;     // the name after them is held by a run
  };
  for (const Case& c : {Case{"unattended\\Squat Other", 1, true},
                        Case{"unattended\\Squat Row", kLockNames, false}}) {
    SCOPED_TRACE(c.directory);
    Product product(c.directory, "Kiv Squat", false);
    std::vector<HANDLE> objects;
    for (uint32_t k = 0; k < c.squatted; ++k) {
      const std::string name = LockName(product.uninstall_file, k, nt_family);
      HANDLE object = k % 2 == 0 ? CreateEventA(nullptr, TRUE, FALSE, name.c_str())
                                 : CreateSemaphoreA(nullptr, 0, 1, name.c_str());
      ASSERT_NE(object, nullptr) << name;
      objects.push_back(object);
    }
    if (c.next_held) {
      // Owned by Administrators, as an elevated run's lock is (the 95
      // family has no owners).
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      ASSERT_TRUE(!nt_family || ConvertStringSecurityDescriptorToSecurityDescriptorA(
                                    "O:BAD:(A;;GA;;;WD)", 1, &descriptor, nullptr));
      SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
      objects.push_back(
          CreateMutexA(nt_family ? &attributes : nullptr, FALSE,
                       LockName(product.uninstall_file, c.squatted, nt_family).c_str()));
      if (descriptor) LocalFree(descriptor);
      ASSERT_NE(objects.back(), nullptr);
    }

    RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + " /S", {}, 30000);
    for (HANDLE object : objects) CloseHandle(object);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, kExitAlreadyRunning);
    EXPECT_EQ(run.processes, 1);
    EXPECT_TRUE(product.Registered());
    EXPECT_TRUE(FileExists(product.uninstall_file));
    EXPECT_TRUE(FileExists(product.root + "\\data\\a.dat"));
  }
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_UNATTENDED_SCENARIOS_H_
