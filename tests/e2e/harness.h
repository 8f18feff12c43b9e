// The Windows test bed: builds uninstall files, starts the real stub under
// Wine, answers its message boxes as a user would and waits until every
// process of the run has ended. State is set up and checked through real
// Win32 calls (files, registry, DDE), never through a fake layer.
#ifndef KIV_TESTS_E2E_HARNESS_H_
#define KIV_TESTS_E2E_HARNESS_H_

#include <windows.h>
#include <ddeml.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "uninstall_file/log_writer.h"

namespace kiv::e2e {

// ---- Files -----------------------------------------------------------------
// C:\kivtest\<name>, emptied and made anew (with every parent).
std::string FreshDirectory(const std::string& name);
void MakeDirectories(const std::string& path);
void RemoveTree(const std::string& path);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& content);
std::string ReadFileBytes(const std::string& path);
// The three times of a file as FILETIMEs (creation, last access, last write).
struct FileTimes {
  uint64_t creation = 0, access = 0, write = 0;
};
bool GetTimes(const std::string& path, FileTimes* times);
std::string TempDirectory();  // where the stub puts its copy, with its trailing backslash
// Files in a directory whose names match pattern (e.g. "STP*.tmp").
std::vector<std::string> ListFiles(const std::string& directory, const std::string& pattern);

// ---- Registry --------------------------------------------------------------
bool SetRegString(HKEY root, const std::string& key, const std::string& name,
                  const std::string& value);
bool RegKeyExists(HKEY root, const std::string& key);
bool RegValueExists(HKEY root, const std::string& key, const std::string& name);
std::string RegString(HKEY root, const std::string& key, const std::string& name);
void RegDeleteTree(HKEY root, const std::string& key);

// ---- Uninstall files -------------------------------------------------------
// The stubs this build made for its own processor: per machine (the one the
// suites run unless they name the other) and per user.
enum class Flavour { kPerMachine, kPerUser };
const char* StubPath(Flavour flavour = Flavour::kPerMachine);
// The built stub's bytes.
const std::vector<uint8_t>& StubImage(Flavour flavour = Flavour::kPerMachine);

// An uninstall file in memory: the stub image, then what the writer adds.
class UninstallImage final : public ByteSink {
 public:
  explicit UninstallImage(Flavour flavour = Flavour::kPerMachine) : bytes_(StubImage(flavour)) {}
  bool Write(const void* data, uint32_t size) override;
  uint32_t Position() const override { return static_cast<uint32_t>(bytes_.size()); }
  std::vector<uint8_t>& bytes() { return bytes_; }
  void SaveAs(const std::string& path) const;

 private:
  std::vector<uint8_t> bytes_;
};

// Writes stub + type-0 record + what add_records writes + display name +
// trailer to path, on the stub of that flavour.
void WriteUninstallFile(const std::string& path, const std::string& display_name,
                        const std::function<void(LogWriter&)>& add_records,
                        Flavour flavour = Flavour::kPerMachine);

// ---- Running the stub ------------------------------------------------------
struct Box {
  std::string caption;
  std::string text;
  std::vector<std::string> buttons;  // in the box's order, e.g. {"&Yes", "&No"}
  uint32_t icon = 0;                 // MB_ICONERROR, MB_ICONINFORMATION, ... or 0
  int64_t found_at = 0;              // QueryPerformanceCounter when first seen
};

// Answers "Kiv Uninstall" boxes on its own thread until stopped: the n-th box
// gets answers[n] (IDOK past the end of the list). Boxes are looked for every
// 20 ms, so found_at is at most that late.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::vector<int> answers);
  ~BoxAnswerer() { Stop(); }
  void Stop();
  std::vector<Box> boxes();

 private:
  void Loop();
  void Answer(HWND h, int64_t found_at);

  std::vector<int> answers_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Box> boxes_;
  std::set<HWND> handled_;
};

struct RunResult {
  bool finished = false;  // every process of the run ended before the time-out
  DWORD exit_code = 0;    // of the first process
  std::vector<Box> boxes;
  int processes = 0;  // processes the run started, the first included
};

// Called once, as soon as the process a run started is seen to have ended
// (at most 20 ms late), while what it started may still be running.
using FirstEndedHook = std::function<void(DWORD exit_code)>;

// A process started in a job of its own, so that everything it starts is
// counted and waited for with it. Answers no box: hold a BoxAnswerer beside
// it. Whatever still runs when it is destroyed is terminated.
class StartedRun {
 public:
  // desktop: "station\\desktop" to start it in; empty: ours.
  explicit StartedRun(const std::string& command_line, const std::string& desktop = {});
  ~StartedRun();
  StartedRun(const StartedRun&) = delete;
  StartedRun& operator=(const StartedRun&) = delete;

  bool started() const { return process_.hProcess != nullptr; }
  HANDLE process() const { return process_.hProcess; }
  // The started process itself has ended (what it started may still run).
  bool FirstEnded() const;
  // The processes of the run that still run, the started one among them.
  std::vector<DWORD> RunningIds() const;
  // Waits up to timeout_ms for the process and everything it started, then
  // terminates what is left. The boxes are the answerer's to tell.
  RunResult Wait(DWORD timeout_ms = 60000, const FirstEndedHook& first_ended = {});

 private:
  HANDLE job_ = nullptr;
  PROCESS_INFORMATION process_ = {};
};

// Starts command_line (the whole line, program name included), answers the
// n-th "Kiv Uninstall" box with answers[n] (IDOK past the end of the list)
// and waits for the process and everything it started. first_ended, when
// given, sees the state the moment the started process has ended.
RunResult Run(const std::string& command_line, const std::vector<int>& answers = {},
              DWORD timeout_ms = 60000, const FirstEndedHook& first_ended = {});

// The full command line that starts the uninstall file as the Windows shell
// would: its path in quotes, nothing after it.
std::string AsUserStartsIt(const std::string& uninstall_file);

// The line that starts a stub (the built one unless named) in the uninstall
// mode, as the confirmation mode starts its copy: the stub's path quoted, one
// blank, then remainder taken whole.
std::string UninstallModeLine(const std::string& remainder, const std::string& stub = {});
RunResult RunUninstallMode(const std::string& remainder, const std::string& stub = {});

// Starts command_line (the whole line, program name included) and waits up
// to timeout_ms for it to end. True when it started and ended in time; its
// exit code then goes to *exit_code when that is not null.
bool RunAndWait(const std::string& command_line, DWORD timeout_ms, DWORD* exit_code = nullptr);

// text as a JSON string, quotes included (backslashes and quotes escaped),
// for the manifests the tests and the demo write.
std::string JsonString(const std::string& text);

// Runs "wineboot -r" in this prefix: the pending restart operations.
bool SimulateRestart();

// The Unix path behind a Windows path (Wine's own export).
std::string UnixPath(const std::string& windows_path);
// A desktop of a window station of its own, which no user sees (as a
// service's), made once; empty when it cannot be made.
std::string HiddenDesktop();

// The same file through Wine's Z: drive, the Unix root: a second drive
// letter for one file, as a subst or mapped drive makes one.
std::string ThroughOtherDrive(const std::string& windows_path);
// Runs a Unix program (Wine starts ELF files natively) and waits for it;
// true when it exited with 0. arguments may quote with single quotes only. Used for what Win32
// cannot do under Wine as root, e.g. "chattr +i" to make a file that really resists.
bool RunUnix(const std::string& program, const std::string& arguments);
// Makes path immutable (or mutable again) for the length of a test.
bool SetImmutable(const std::string& path, bool immutable);
// A Unix symbolic link at link (whose directory exists) to target, both
// Windows paths. Wine shows one to a directory as a reparse point.
bool MakeSymbolicLink(const std::string& link, const std::string& target);

// An installer's side of Program Manager: a DDE client conversation of the
// test program. End it before the stub runs, so no window of ours sits
// unanswered while the stub looks for its server.
class ProgramManager {
 public:
  ProgramManager();
  ~ProgramManager();
  ProgramManager(const ProgramManager&) = delete;
  ProgramManager& operator=(const ProgramManager&) = delete;

  bool connected() const { return conversation_ != nullptr; }
  bool Execute(const std::string& command);
  bool CreateGroup(const std::string& group) { return Execute("[CreateGroup(" + group + ")]"); }
  // An item in the group created or shown last.
  bool AddItem(const std::string& item) { return Execute("[AddItem(notepad.exe," + item + ")]"); }

 private:
  DWORD instance_ = 0;
  HSZ name_ = nullptr;
  HCONV conversation_ = nullptr;
};

// The user's Programs folder, where Program Manager groups appear.
std::string ProgramsFolder();

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_HARNESS_H_
