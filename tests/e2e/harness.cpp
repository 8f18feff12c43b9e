#include "harness.h"

#include "platform/win32.h"

#include <shlobj.h>

#include <tlhelp32.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "e2e_config.h"

namespace kiv::e2e {

namespace {

std::string Parent(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

void MakeDirectories(const std::string& path) {
  if (path.empty() || DirectoryExists(path)) return;
  MakeDirectories(Parent(path));
  CreateDirectoryA(path.c_str(), nullptr);
}

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

std::string FreshDirectory(const std::string& name) {
  std::string path = "C:\\kivtest\\" + name;
  RemoveTree(path);
  MakeDirectories(path);
  return path;
}

bool FileExists(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteFileBytes(const std::string& path, const std::string& content) {
  MakeDirectories(Parent(path));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool GetTimes(const std::string& path, FileTimes* times) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  FILETIME c, a, w;
  BOOL ok = GetFileTime(f, &c, &a, &w);
  CloseHandle(f);
  auto u64 = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  times->creation = u64(c);
  times->access = u64(a);
  times->write = u64(w);
  return ok != FALSE;
}

std::string TempDirectory() {
  char buffer[MAX_PATH + 1];
  if (!platform::TempDirectory(buffer, sizeof(buffer))) return "";
  return buffer;
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& pattern) {
  std::vector<std::string> names;
  std::string dir = directory;
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

bool SetRegString(HKEY root, const std::string& key, const std::string& name,
                  const std::string& value) {
  HKEY k;
  if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG rc = RegSetValueExA(k, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
  RegCloseKey(k);
  return rc == ERROR_SUCCESS;
}

bool RegKeyExists(HKEY root, const std::string& key) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

bool RegValueExists(HKEY root, const std::string& key, const std::string& name) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  LONG rc = RegQueryValueExA(k, name.empty() ? nullptr : name.c_str(), nullptr, nullptr, nullptr,
                             nullptr);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS;
}

std::string RegString(HKEY root, const std::string& key, const std::string& name) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return "<no key>";
  char buffer[4096];
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  LONG rc = RegQueryValueExA(k, name.empty() ? nullptr : name.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS) return "<no value>";
  return std::string(buffer, size > 0 && buffer[size - 1] == '\0' ? size - 1 : size);
}

void RegDeleteTree(HKEY root, const std::string& key) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
    char name[512];
    for (;;) {
      DWORD size = sizeof(name);
      if (RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      RegDeleteTree(root, key + "\\" + name);
    }
    RegCloseKey(k);
  }
  RegDeleteKeyA(root, key.c_str());
}

const char* StubPath(Flavour flavour) {
  return flavour == Flavour::kPerUser ? KIV_USER_STUB_PATH : KIV_STUB_PATH;
}

const std::vector<uint8_t>& StubImage(Flavour flavour) {
  const auto read = [](Flavour which) {
    std::string bytes = ReadFileBytes(StubPath(which));
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  };
  static const std::vector<uint8_t> machine = read(Flavour::kPerMachine);
  static const std::vector<uint8_t> user = read(Flavour::kPerUser);
  return flavour == Flavour::kPerUser ? user : machine;
}

bool UninstallImage::Write(const void* data, uint32_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
  return true;
}

void UninstallImage::SaveAs(const std::string& path) const {
  WriteFileBytes(path, std::string(bytes_.begin(), bytes_.end()));
}

void WriteUninstallFile(const std::string& path, const std::string& display_name,
                        const std::function<void(LogWriter&)>& add_records, Flavour flavour) {
  UninstallImage image(flavour);
  LogWriter writer(image);
  writer.Begin();
  add_records(writer);
  writer.Finish(display_name.c_str());
  image.SaveAs(path);
}

namespace {

std::string WindowText(HWND h) {
  char buffer[2048];
  int n = GetWindowTextA(h, buffer, sizeof(buffer));
  return std::string(buffer, n > 0 ? n : 0);
}

// The icon a message box shows. Icon handles are private to the process that
// loaded them, so the box's icon is read off the screen and compared with the
// system's icons drawn here on the same background.
uint32_t BoxIcon(HWND box) {
  HWND control = GetDlgItem(box, 0x0440);  // the message box's icon control
  RECT rect;
  if (!control || !GetWindowRect(control, &rect)) return 0;
  const int w = rect.right - rect.left;
  const int h = rect.bottom - rect.top;
  if (w <= 0 || h <= 0 || w > 256 || h > 256) return 0;
  HDC screen = GetDC(nullptr);
  HDC shot = CreateCompatibleDC(screen);
  HBITMAP shot_bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old_shot = SelectObject(shot, shot_bitmap);
  BitBlt(shot, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY);
  const COLORREF background = GetPixel(shot, 0, 0);

  struct Known {
    LPCSTR id;
    uint32_t style;
  } known[] = {{IDI_HAND, MB_ICONERROR},
               {IDI_ASTERISK, MB_ICONINFORMATION},
               {IDI_QUESTION, MB_ICONQUESTION},
               {IDI_EXCLAMATION, MB_ICONWARNING}};
  uint32_t best = 0;
  int best_diff = w * h / 10;  // more than a tenth of the pixels off: no match
  HDC ref = CreateCompatibleDC(screen);
  HBITMAP ref_bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old_ref = SelectObject(ref, ref_bitmap);
  HBRUSH brush = CreateSolidBrush(background);
  for (const Known& k : known) {
    RECT all = {0, 0, w, h};
    FillRect(ref, &all, brush);
    DrawIconEx(ref, 0, 0, LoadIconA(nullptr, k.id), w, h, 0, nullptr, DI_NORMAL);
    int diff = 0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        if (GetPixel(ref, x, y) != GetPixel(shot, x, y)) ++diff;
      }
    }
    if (diff < best_diff) {
      best_diff = diff;
      best = k.style;
    }
  }
  DeleteObject(brush);
  SelectObject(ref, old_ref);
  DeleteObject(ref_bitmap);
  DeleteDC(ref);
  SelectObject(shot, old_shot);
  DeleteObject(shot_bitmap);
  DeleteDC(shot);
  ReleaseDC(nullptr, screen);
  return best;
}

struct ButtonScan {
  std::vector<std::pair<int, std::string>> buttons;
};

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
  char cls[64];
  GetClassNameA(child, cls, sizeof(cls));
  if (lstrcmpiA(cls, "Button") == 0 && IsWindowVisible(child)) {
    reinterpret_cast<ButtonScan*>(param)->buttons.emplace_back(GetDlgCtrlID(child),
                                                               WindowText(child));
  }
  return TRUE;
}

struct BoxScan {
  std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBox(HWND h, LPARAM param) {
  char cls[64];
  GetClassNameA(h, cls, sizeof(cls));
  if (lstrcmpA(cls, "#32770") == 0 && IsWindowVisible(h) && WindowText(h) == "Kiv Uninstall") {
    reinterpret_cast<BoxScan*>(param)->boxes.push_back(h);
  }
  return TRUE;
}

}  // namespace

BoxAnswerer::BoxAnswerer(std::vector<int> answers) : answers_(std::move(answers)) {
  thread_ = std::thread([this] { Loop(); });
}

void BoxAnswerer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<Box> BoxAnswerer::boxes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

void BoxAnswerer::Loop() {
  while (!stop_) {
    BoxScan scan;
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&scan));
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    for (HWND h : scan.boxes) {
      if (handled_.count(h)) continue;
      Answer(h, now.QuadPart);
    }
    Sleep(20);
  }
}

void BoxAnswerer::Answer(HWND h, int64_t found_at) {
  // Let the box finish laying itself out before reading it.
  Sleep(100);
  Box box;
  box.found_at = found_at;
  box.caption = WindowText(h);
  char text[4096] = {};
  GetDlgItemTextA(h, 0xFFFF, text, sizeof(text));
  box.text = text;
  ButtonScan scan;
  EnumChildWindows(h, CollectButton, reinterpret_cast<LPARAM>(&scan));
  for (auto& b : scan.buttons) box.buttons.push_back(b.second);
  box.icon = BoxIcon(h);
  size_t index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = boxes_.size();
    boxes_.push_back(box);
  }
  handled_.insert(h);
  int answer = index < answers_.size() ? answers_[index] : IDOK;
  HWND button = GetDlgItem(h, answer);
  if (button) {
    PostMessageA(button, BM_CLICK, 0, 0);
  } else {
    PostMessageA(h, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
  }
  // Wait for it to go, so a new box is never taken for this one.
  for (int i = 0; i < 250 && IsWindow(h); ++i) Sleep(20);
}

StartedRun::StartedRun(const std::string& command_line, const std::string& desktop) {
  job_ = CreateJobObjectA(nullptr, nullptr);
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  std::vector<char> desktop_name(desktop.begin(), desktop.end());
  desktop_name.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  if (!desktop.empty()) startup.lpDesktop = desktop_name.data();
  // Suspended until it is in the job, so nothing it starts escapes it.
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &process_)) {
    process_ = {};
    return;
  }
  AssignProcessToJobObject(job_, process_.hProcess);
  ResumeThread(process_.hThread);
}

StartedRun::~StartedRun() {
  if (job_) {
    TerminateJobObject(job_, 99);
    CloseHandle(job_);
  }
  if (process_.hThread) CloseHandle(process_.hThread);
  if (process_.hProcess) CloseHandle(process_.hProcess);
}

bool StartedRun::FirstEnded() const {
  return started() && WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0;
}

std::vector<DWORD> StartedRun::RunningIds() const {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[15];
  } ids = {};
  std::vector<DWORD> result;
  if (!job_ || !QueryInformationJobObject(job_, JobObjectBasicProcessIdList, &ids, sizeof(ids),
                                          nullptr)) {
    return result;
  }
  for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
    result.push_back(static_cast<DWORD>(ids.list.ProcessIdList[i]));
  }
  return result;
}

RunResult StartedRun::Wait(DWORD timeout_ms, const FirstEndedHook& first_ended) {
  RunResult result;
  if (!started()) return result;
  const DWORD start = GetTickCount();
  bool first_done = false;
  for (;;) {
    if (!first_done && FirstEnded()) {
      first_done = true;
      GetExitCodeProcess(process_.hProcess, &result.exit_code);
      if (first_ended) first_ended(result.exit_code);
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    if (QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &info, sizeof(info),
                                  nullptr)) {
      result.processes = static_cast<int>(info.TotalProcesses);
      if (first_done && info.ActiveProcesses == 0) {
        result.finished = true;
        break;
      }
    }
    if (GetTickCount() - start > timeout_ms) break;
    Sleep(20);
  }
  if (!result.finished) TerminateJobObject(job_, 99);
  return result;
}

RunResult Run(const std::string& command_line, const std::vector<int>& answers, DWORD timeout_ms,
              const FirstEndedHook& first_ended) {
  BoxAnswerer answerer(answers);
  StartedRun run(command_line);
  RunResult result = run.Wait(timeout_ms, first_ended);
  answerer.Stop();
  result.boxes = answerer.boxes();
  return result;
}

std::string AsUserStartsIt(const std::string& uninstall_file) {
  return "\"" + uninstall_file + "\"";
}

std::string UninstallModeLine(const std::string& remainder, const std::string& stub) {
  return "\"" + (stub.empty() ? std::string(KIV_STUB_PATH) : stub) + "\" " + remainder;
}

RunResult RunUninstallMode(const std::string& remainder, const std::string& stub) {
  return Run(UninstallModeLine(remainder, stub));
}

namespace {

// Starts line (the program's name included) as a process of its own, with
// the default start-up information; false when it could not be started.
bool StartLine(const std::string& line, PROCESS_INFORMATION* process) {
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  *process = {};
  return CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, process) != FALSE;
}

}  // namespace

bool RunAndWait(const std::string& command_line, DWORD timeout_ms, DWORD* exit_code) {
  PROCESS_INFORMATION process;
  if (!StartLine(command_line, &process)) return false;
  const bool ended = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
  if (ended && exit_code) GetExitCodeProcess(process.hProcess, exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool SimulateRestart() { return RunAndWait("wineboot.exe -r", 120000); }

std::string HiddenDesktop() {
  static const std::string name = [] {
    HWINSTA station = CreateWindowStationA("KivHidden", 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station) return std::string();
    HWINSTA own = GetProcessWindowStation();
    HDESK desk = nullptr;
    if (SetProcessWindowStation(station)) {
      desk = CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
      SetProcessWindowStation(own);
    }
    return desk ? std::string("KivHidden\\Default") : std::string();
  }();
  return name;
}

std::string ThroughOtherDrive(const std::string& windows_path) {
  // Through the prefix's drive_c itself: Wine's own path for C: goes through
  // dosdevices\c:, a link, which the stub rightly refuses to act through.
  char prefix[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
  if (n == 0 || n >= sizeof(prefix) || windows_path.size() < 2 ||
      (windows_path[0] != 'C' && windows_path[0] != 'c') || windows_path[1] != ':') {
    return windows_path;  // no second spelling: the test that needs one fails
  }
  std::string path = "Z:" + std::string(prefix) + "/drive_c" + windows_path.substr(2);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string UnixPath(const std::string& windows_path) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  auto to_unix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (!to_unix) return std::string();
  wchar_t wide[MAX_PATH * 2];
  MultiByteToWideChar(CP_ACP, 0, windows_path.c_str(), -1, wide, MAX_PATH * 2);
  char* unix_path = to_unix(wide);
  if (!unix_path) return std::string();
  std::string result = unix_path;
  HeapFree(GetProcessHeap(), 0, unix_path);
  return result;
}

bool RunUnix(const std::string& program, const std::string& arguments) {
  // Wine starts an ELF program natively but cannot wait for it or read its
  // exit code, so a shell writes the code into a file we wait for.
  static int serial = 0;
  const std::string done =
      "/tmp/kiv_unix_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
  std::string windows_done = "Z:" + done;
  for (char& c : windows_done) {
    if (c == '/') c = '\\';
  }
  DeleteFileA(windows_done.c_str());
  // Wine hands the line to sh split by the Windows rules: the script goes in
  // double quotes, so within it only single quotes may be used.
  std::string line = "Z:\\bin\\sh -c \"" + program + " " + arguments + "; echo $? > " + done + "\"";
  PROCESS_INFORMATION process;
  if (!StartLine(line, &process)) return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 500; ++i) {
    std::string code = ReadFileBytes(windows_done);
    if (!code.empty() && code.back() == '\n') {
      DeleteFileA(windows_done.c_str());
      return code == "0\n";
    }
    Sleep(20);
  }
  return false;
}

bool SetImmutable(const std::string& path, bool immutable) {
  std::string unix_path = UnixPath(path);
  if (unix_path.empty()) return false;
  return RunUnix("/usr/bin/chattr", std::string(immutable ? "+i" : "-i") + " '" + unix_path + "'");
}

bool MakeSymbolicLink(const std::string& link, const std::string& target) {
  const size_t slash = link.rfind('\\');
  if (slash == std::string::npos) return false;
  const std::string parent = UnixPath(link.substr(0, slash));
  const std::string unix_target = UnixPath(target);
  if (parent.empty() || unix_target.empty()) return false;
  return RunUnix("/bin/ln",
                 "-s '" + unix_target + "' '" + parent + "/" + link.substr(slash + 1) + "'");
}

namespace {
HDDEDATA CALLBACK NoDdeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  return nullptr;
}
}  // namespace

ProgramManager::ProgramManager() {
  if (DdeInitializeA(&instance_, NoDdeCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return;
  name_ = DdeCreateStringHandleA(instance_, "PROGMAN", CP_WINANSI);
  // The explorer that serves it may still be starting with this prefix.
  for (int i = 0; i < 100 && !conversation_; ++i) {
    conversation_ = DdeConnect(instance_, name_, name_, nullptr);
    if (!conversation_) Sleep(100);
  }
}

ProgramManager::~ProgramManager() {
  if (conversation_) DdeDisconnect(conversation_);
  if (name_) DdeFreeStringHandle(instance_, name_);
  if (instance_) DdeUninitialize(instance_);
}

bool ProgramManager::Execute(const std::string& command) {
  if (!conversation_) return false;
  HDDEDATA data =
      DdeCreateDataHandle(instance_, reinterpret_cast<BYTE*>(const_cast<char*>(command.c_str())),
                          static_cast<DWORD>(command.size() + 1), 0, nullptr, CF_TEXT, 0);
  DWORD result = 0;
  return DdeClientTransaction(reinterpret_cast<BYTE*>(data), 0xFFFFFFFF, conversation_, nullptr, 0,
                              XTYP_EXECUTE, 10000, &result) != nullptr;
}

std::string ProgramsFolder() {
  char path[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

}  // namespace kiv::e2e
