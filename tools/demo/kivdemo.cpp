// The demo's Windows side: installs a sample product the way an installer
// would, reports which of its items exist, and starts its uninstall file as a
// user would, answering the boxes.
//
//   kivdemo prepare                      what another product left before ours
//   kivdemo install MANIFEST SAVED_DIR   install; write the kivlog manifest
//   kivdemo probe                        one line per item: present or absent
//   kivdemo uninstall FILE SHOTS_DIR     start FILE as the shell would, answer
//                                        Yes, wait for every process; a BMP of
//                                        each box goes to SHOTS_DIR
//   kivdemo silent FILE REPORT           start FILE as a deployment tool would
//                                        (/S /LOG="REPORT"), note what is left
//                                        when the first process ends, wait for
//                                        every process
//   kivdemo install-user MANIFEST        install Kiv Demo Notes for this user
//                                        only, as a per-user installer would;
//                                        write the kivlog manifest; print where
//                                        the uninstall file goes (Unix path,
//                                        then Windows path)
//   kivdemo probe-user                   the same as probe, for Kiv Demo Notes
//   kivdemo install-named MANIFEST       install a product named in Greek and
//                                        Cyrillic (a UTF-8 manifest); its
//                                        uninstall file goes to
//                                        C:\Program Files\Kiv Demo Ellinika
//   kivdemo probe-named                  the same as probe, for that product
//   kivdemo progress SHOTS_DIR           a product of 5,000 files removed with
//                                        /PASSIVE; a BMP of the screen once its
//                                        progress window has been up a moment
//                                        goes to SHOTS_DIR\progress.bmp
#include <windows.h>
#include <ddeml.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "wide_names.h"

namespace {

using namespace kiv::e2e;

const char kProduct[] = "Kiv Demo Suite";
const char kDir[] = "C:\\Program Files\\Kiv Demo Suite";
const char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kiv Demo Suite";
const char kFontsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts";
const char kFontName[] = "Kiv Demo Sans";

std::string WindowsDir() {
  char buffer[MAX_PATH];
  GetWindowsDirectoryA(buffer, sizeof(buffer));
  return buffer;
}
std::string SharedFile() { return WindowsDir() + "\\kivdemo-shared.dll"; }
std::string IniFile() { return WindowsDir() + "\\kivdemo.ini"; }
std::string PluginsIni() { return WindowsDir() + "\\kivdemo-plugins.ini"; }
std::string FontFile() { return WindowsDir() + "\\Fonts\\KivDemoSans.ttf"; }

// The per-user product: in the user's profile, its keys and registration
// under HKEY_CURRENT_USER, nothing that needs an administrator.
const char kUserProduct[] = "Kiv Demo Notes";
const char kUserUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kiv Demo Notes";
const char kUserKey[] = "Software\\Kiv Demo Notes";
const char kUserClassKey[] = "Software\\Classes\\.kivnote";

std::string Folder(int csidl) {
  char buffer[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, csidl, nullptr, 0, buffer);
  return buffer;
}
std::string UserDir() { return Folder(CSIDL_LOCAL_APPDATA) + "\\Programs\\Kiv Demo Notes"; }
std::string UserSettingsDir() { return Folder(CSIDL_APPDATA) + "\\Kiv Demo Notes"; }
std::string UserSettingsFile() { return UserSettingsDir() + "\\notes.ini"; }

std::string ProgramsFolder() {
  char buffer[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, 0, buffer);
  return buffer;
}

HDDEDATA CALLBACK DdeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  return nullptr;
}

// Program Manager commands, as an installer sends them.
bool Progman(const std::vector<std::string>& commands) {
  DWORD instance = 0;
  if (DdeInitializeA(&instance, DdeCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return false;
  HSZ name = DdeCreateStringHandleA(instance, "PROGMAN", CP_WINANSI);
  HCONV conversation = DdeConnect(instance, name, name, nullptr);
  bool ok = conversation != nullptr;
  for (const std::string& command : commands) {
    if (!ok) break;
    HDDEDATA data =
        DdeCreateDataHandle(instance, (LPBYTE)command.c_str(),
                            static_cast<DWORD>(command.size() + 1), 0, nullptr, CF_TEXT, 0);
    DWORD result = 0;
    ok = DdeClientTransaction((LPBYTE)data, 0xFFFFFFFF, conversation, nullptr, 0, XTYP_EXECUTE,
                              10000, &result) != nullptr;
  }
  if (conversation) DdeDisconnect(conversation);
  DdeFreeStringHandle(instance, name);
  DdeUninitialize(instance);
  return ok;
}

// What another product left on the machine before ours: a shared file, an
// INI section and a registry value that ours replaces or adds to.
int Prepare() {
  WriteFileBytes(SharedFile(), "v1, another product's");
  WriteFileBytes(PluginsIni(), "[Plugins]\r\nPlugin=Other\r\n");
  return SetRegString(HKEY_CURRENT_USER, "Software\\KivDemoShared", "Color", "red") ? 0 : 1;
}

int Install(const std::string& manifest, const std::string& saved_dir) {
  // SAVED_DIR is the manifest's folder "saved", seen from Windows.
  const std::string saved = saved_dir + "\\kivdemo-shared.dll";
  CopyFileA(SharedFile().c_str(), saved.c_str(), FALSE);  // keeps the last-write time

  std::vector<std::string> records;
  auto record = [&](const std::string& json) { records.push_back(json); };
  const std::string dir = kDir;

  MakeDirectories(dir);
  record("{\"type\": \"directory\", \"path\": " + JsonString(dir) + "}");
  MakeDirectories(dir + "\\Docs");
  record("{\"type\": \"directory\", \"path\": " + JsonString(dir + "\\Docs") + "}");
  WriteFileBytes(dir + "\\kivdemo.exe", "the demo program");
  record("{\"type\": \"file\", \"path\": " + JsonString(dir + "\\kivdemo.exe") + "}");
  WriteFileBytes(dir + "\\Docs\\readme.txt", "Read me.");
  record("{\"type\": \"file\", \"path\": " + JsonString(dir + "\\Docs\\readme.txt") + "}");
  WriteFileBytes(SharedFile(), "v2, Kiv Demo Suite's");
  record("{\"type\": \"file\", \"path\": " + JsonString(SharedFile()) +
         ", \"saved\": {\"content_file\": \"saved/kivdemo-shared.dll\"}}");
  WritePrivateProfileStringA("Settings", "Theme", "Dark", IniFile().c_str());
  record("{\"type\": \"ini\", \"file\": " + JsonString(IniFile()) +
         ", \"section\": \"Settings\", \"key\": \"Theme\", \"prior\": \"<null>\", \"value\": "
         "\"Dark\", \"flag\": false}");
  WriteFileBytes(PluginsIni(), "[Plugins]\r\nPlugin=Other\r\nPlugin=KivDemo\r\n");
  record("{\"type\": \"ini\", \"file\": " + JsonString(PluginsIni()) +
         ", \"section\": \"[Plugins]\", \"key\": \"Plugin\", \"prior\": \"\", \"value\": "
         "\"KivDemo\", \"flag\": true}");
  SetRegString(HKEY_LOCAL_MACHINE, "Software\\Kiv Demo Suite", "Version", "1.0");
  record(
      "{\"type\": \"registry\", \"root\": \"HKEY_LOCAL_MACHINE\", \"path\": "
      "\"Software\\\\Kiv Demo Suite\\\\Version\"}");
  SetRegString(HKEY_CURRENT_USER, "Software\\KivDemoShared", "Color", "blue");
  record(
      "{\"type\": \"registry\", \"root\": \"HKEY_CURRENT_USER\", \"path\": "
      "\"Software\\\\KivDemoShared\\\\Color\", \"data\": \"red\"}");
  CopyFileA("Z:\\usr\\share\\fonts\\truetype\\dejavu\\DejaVuSans.ttf", FontFile().c_str(), FALSE);
  record("{\"type\": \"file\", \"path\": " + JsonString(FontFile()) + "}");
  AddFontResourceA(FontFile().c_str());
  SetRegString(HKEY_LOCAL_MACHINE, kFontsKey, std::string(kFontName) + " (TrueType)",
               "KivDemoSans.ttf");
  record("{\"type\": \"font\", \"name\": " + JsonString(kFontName) +
         ", \"file\": " + JsonString(FontFile()) + "}");
  bool group = Progman({"[CreateGroup(\"Kiv Demo Suite\")]",
                        "[AddItem(\"" + dir + "\\kivdemo.exe\",\"Kiv Demo\")]",
                        "[AddItem(\"" + dir + "\\Docs\\readme.txt\",\"Read Me\")]"});
  if (!group) std::fprintf(stderr, "kivdemo: Program Manager did not answer\n");
  record("{\"type\": \"shell_group\", \"group\": \"Kiv Demo Suite\"}");
  record("{\"type\": \"shell_item\", \"group\": \"Kiv Demo Suite\", \"item\": \"Kiv Demo\"}");
  record("{\"type\": \"shell_item\", \"group\": \"Kiv Demo Suite\", \"item\": \"Read Me\"}");
  // The registration, last: what the stub removes first.
  const std::string uninstall_file = dir + "\\uninst.exe";
  SetRegString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", kProduct);
  SetRegString(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", "\"" + uninstall_file + "\"");

  std::ofstream out(manifest, std::ios::binary);
  out << "{\n  \"display_name\": " << JsonString(kProduct) << ",\n  \"records\": [\n";
  for (size_t i = 0; i < records.size(); ++i) {
    out << "    " << records[i] << (i + 1 < records.size() ? ",\n" : "\n");
  }
  out << "  ]\n}\n";
  return out.good() ? 0 : 1;
}

void WriteManifest(const std::string& manifest, const char* product,
                   const std::vector<std::string>& records, std::ofstream& out) {
  out.open(manifest, std::ios::binary);
  out << "{\n  \"display_name\": " << JsonString(product) << ",\n  \"records\": [\n";
  for (size_t i = 0; i < records.size(); ++i) {
    out << "    " << records[i] << (i + 1 < records.size() ? ",\n" : "\n");
  }
  out << "  ]\n}\n";
}

int InstallForUser(const std::string& manifest) {
  std::vector<std::string> records;
  auto record = [&](const std::string& json) { records.push_back(json); };
  const std::string dir = UserDir();

  MakeDirectories(dir);
  record("{\"type\": \"directory\", \"path\": " + JsonString(dir) + "}");
  WriteFileBytes(dir + "\\notes.exe", "the notes program");
  record("{\"type\": \"file\", \"path\": " + JsonString(dir + "\\notes.exe") + "}");
  MakeDirectories(dir + "\\Templates");
  record("{\"type\": \"directory\", \"path\": " + JsonString(dir + "\\Templates") + "}");
  WriteFileBytes(dir + "\\Templates\\letter.txt", "Dear ...");
  record("{\"type\": \"file\", \"path\": " + JsonString(dir + "\\Templates\\letter.txt") + "}");
  MakeDirectories(UserSettingsDir());
  record("{\"type\": \"directory\", \"path\": " + JsonString(UserSettingsDir()) + "}");
  WritePrivateProfileStringA("Settings", "Font", "Serif", UserSettingsFile().c_str());
  record("{\"type\": \"file\", \"path\": " + JsonString(UserSettingsFile()) + "}");
  SetRegString(HKEY_CURRENT_USER, kUserKey, "Version", "1.0");
  record(
      "{\"type\": \"registry\", \"root\": \"HKEY_CURRENT_USER\", \"path\": "
      "\"Software\\\\Kiv Demo Notes\\\\Version\"}");
  // A file type of the user's own: under HKEY_CURRENT_USER\Software\Classes,
  // not HKEY_CLASSES_ROOT, which would be the machine's.
  SetRegString(HKEY_CURRENT_USER, kUserClassKey, "", "KivDemoNotes.Note");
  record(
      "{\"type\": \"registry\", \"root\": \"HKEY_CURRENT_USER\", \"path\": "
      "\"Software\\\\Classes\\\\.kivnote\\\\\"}");
  const std::string uninstall_file = dir + "\\uninst.exe";
  SetRegString(HKEY_CURRENT_USER, kUserUninstallKey, "DisplayName", kUserProduct);
  SetRegString(HKEY_CURRENT_USER, kUserUninstallKey, "UninstallString",
               "\"" + uninstall_file + "\"");
  SetRegString(HKEY_CURRENT_USER, kUserUninstallKey, "QuietUninstallString",
               "\"" + uninstall_file + "\" /S");

  std::ofstream out;
  WriteManifest(manifest, kUserProduct, records, out);
  std::printf("%s\n%s\n", UnixPath(uninstall_file).c_str(), uninstall_file.c_str());
  return out.good() ? 0 : 1;
}

std::string IniValue(const std::string& file, const char* section, const char* key) {
  char buffer[256];
  GetPrivateProfileStringA(section, key, "<none>", buffer, sizeof(buffer), file.c_str());
  return buffer;
}

int ProbeUser() {
  const std::string dir = UserDir();
  auto present = [](bool b) { return std::string(b ? "present" : "absent"); };
  const std::pair<std::string, std::string> items[] = {
      {"directory ...\\Programs\\Kiv Demo Notes", present(DirectoryExists(dir))},
      {"file ...\\notes.exe", present(FileExists(dir + "\\notes.exe"))},
      {"file ...\\Templates\\letter.txt", present(FileExists(dir + "\\Templates\\letter.txt"))},
      {"uninstall file ...\\uninst.exe", present(FileExists(dir + "\\uninst.exe"))},
      {"INI %APPDATA%\\Kiv Demo Notes\\notes.ini Font",
       IniValue(UserSettingsFile(), "Settings", "Font")},
      {"directory %APPDATA%\\Kiv Demo Notes", present(DirectoryExists(UserSettingsDir()))},
      {"registry HKCU\\Software\\Kiv Demo Notes", present(RegKeyExists(HKEY_CURRENT_USER, kUserKey))},
      {"registry HKCU\\Software\\Classes\\.kivnote",
       present(RegKeyExists(HKEY_CURRENT_USER, kUserClassKey))},
      {"uninstall registration (HKCU)",
       present(RegKeyExists(HKEY_CURRENT_USER, kUserUninstallKey))},
  };
  for (const auto& [what, state] : items) std::printf("%s\t%s\n", what.c_str(), state.c_str());
  return 0;
}

// The product named in Greek and Cyrillic, beyond code page 1252: its
// uninstall file in a directory of plain letters, its own files, key and
// registration in its own script. Every name goes through the Unicode calls.
const char kNamedProduct[] = "Ελληνικά Кириллица";
const char kNamedBase[] = "C:\\Program Files\\Kiv Demo Ellinika";
const char kNamedKey[] = "Software\\Ελληνικά Кириллица";

std::string NamedDir() { return std::string(kNamedBase) + "\\" + kNamedProduct; }
std::string NamedFile() { return NamedDir() + "\\οδηγίες για τον χρήστη.txt"; }
std::string NamedRegistration() {
  return std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + kNamedProduct;
}

int InstallNamed(const std::string& manifest) {
  std::vector<std::string> records;
  auto record = [&](const std::string& json) { records.push_back(json); };
  MakeDirectories(kNamedBase);
  record("{\"type\": \"directory\", \"path\": " + JsonString(kNamedBase) + "}");
  CreateDirectoryW(FromUtf8(NamedDir()).c_str(), nullptr);
  record("{\"type\": \"directory\", \"path\": " + JsonString(NamedDir()) + "}");
  HANDLE file = CreateFileW(FromUtf8(NamedFile()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(file);
  record("{\"type\": \"file\", \"path\": " + JsonString(NamedFile()) + "}");
  // The key's default value, as a file type's: the key goes with it.
  bool ok = SetWideValue(HKEY_CURRENT_USER, kNamedKey, "", "1.0");
  record("{\"type\": \"registry\", \"root\": \"HKEY_CURRENT_USER\", \"path\": " +
         JsonString(std::string(kNamedKey) + "\\") + "}");
  const std::string uninstall_file = std::string(kNamedBase) + "\\uninst.exe";
  ok = ok && SetWideValue(HKEY_LOCAL_MACHINE, NamedRegistration(), "DisplayName", kNamedProduct) &&
       SetWideValue(HKEY_LOCAL_MACHINE, NamedRegistration(), "UninstallString",
                     "\"" + uninstall_file + "\"");

  std::ofstream out(manifest, std::ios::binary);
  out << "{\n  \"display_name\": " << JsonString(kNamedProduct) << ",\n  \"code_page\": 65001,\n"
      << "  \"records\": [\n";
  for (size_t i = 0; i < records.size(); ++i) {
    out << "    " << records[i] << (i + 1 < records.size() ? ",\n" : "\n");
  }
  out << "  ]\n}\n";
  return ok && out.good() ? 0 : 1;
}

int ProbeNamed() {
  auto present = [](bool b) { return b ? "present" : "absent"; };
  std::printf("directory ...\\%s\t%s\n", kNamedProduct, present(WideFileExists(NamedDir())));
  std::printf("file ...\\οδηγίες για τον χρήστη.txt\t%s\n", present(WideFileExists(NamedFile())));
  std::printf("registry HKCU\\%s\t%s\n", kNamedKey, present(WideKeyExists(HKEY_CURRENT_USER, kNamedKey)));
  std::printf("uninstall registration %s\t%s\n", kNamedProduct,
              present(WideKeyExists(HKEY_LOCAL_MACHINE, NamedRegistration())));
  return 0;
}

int Probe() {
  struct Item {
    std::string what;
    std::string state;
  };
  const std::string dir = kDir;
  const std::string group = ProgramsFolder() + "\\Kiv Demo Suite";
  auto present = [](bool b) { return std::string(b ? "present" : "absent"); };
  std::string plugins = ReadFileBytes(PluginsIni());
  std::vector<Item> items = {
      {"directory " + dir, present(DirectoryExists(dir))},
      {"file ...\\kivdemo.exe", present(FileExists(dir + "\\kivdemo.exe"))},
      {"file ...\\Docs\\readme.txt", present(FileExists(dir + "\\Docs\\readme.txt"))},
      {"uninstall file ...\\uninst.exe", present(FileExists(dir + "\\uninst.exe"))},
      {"replaced file kivdemo-shared.dll",
       FileExists(SharedFile()) ? "\"" + ReadFileBytes(SharedFile()) + "\"" : "absent"},
      {"INI kivdemo.ini [Settings] Theme", IniValue(IniFile(), "Settings", "Theme")},
      {"INI kivdemo-plugins.ini Plugin=KivDemo line",
       present(plugins.find("Plugin=KivDemo") != std::string::npos)},
      {"INI kivdemo-plugins.ini Plugin=Other line",
       present(plugins.find("Plugin=Other") != std::string::npos)},
      {"registry HKLM\\Software\\Kiv Demo Suite",
       present(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Kiv Demo Suite"))},
      {"registry HKCU\\Software\\KivDemoShared Color",
       RegString(HKEY_CURRENT_USER, "Software\\KivDemoShared", "Color")},
      {"uninstall registration", present(RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey))},
      {"font file KivDemoSans.ttf", present(FileExists(FontFile()))},
      {"font value Kiv Demo Sans (TrueType)",
       present(RegValueExists(HKEY_LOCAL_MACHINE, kFontsKey, "Kiv Demo Sans (TrueType)"))},
      {"Program Manager group Kiv Demo Suite", present(DirectoryExists(group))},
      {"Program Manager item Kiv Demo", present(FileExists(group + "\\Kiv Demo.lnk"))},
      {"Program Manager item Read Me", present(FileExists(group + "\\Read Me.lnk"))},
  };
  for (const Item& item : items) std::printf("%s\t%s\n", item.what.c_str(), item.state.c_str());
  return 0;
}

// The whole screen as a 24-bit BMP.
void SaveScreen(const std::string& path) {
  const int w = GetSystemMetrics(SM_CXSCREEN);
  const int h = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const DWORD row = ((w * 3 + 3) / 4) * 4;
  BITMAPFILEHEADER header = {};
  header.bfType = 0x4D42;
  header.bfOffBits = sizeof(header) + sizeof(info.bmiHeader);
  header.bfSize = header.bfOffBits + row * h;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&header), sizeof(header));
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(info.bmiHeader));
  out.write(static_cast<const char*>(bits), row * h);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

BOOL CALLBACK FindBox(HWND h, LPARAM param) {
  char cls[64];
  char title[64];
  GetClassNameA(h, cls, sizeof(cls));
  GetWindowTextA(h, title, sizeof(title));
  if (lstrcmpA(cls, "#32770") == 0 && lstrcmpA(title, "Kiv Uninstall") == 0 && IsWindowVisible(h)) {
    *reinterpret_cast<HWND*>(param) = h;
    return FALSE;
  }
  return TRUE;
}

// A box's text in UTF-8, read through the Unicode call. A box seen the
// moment it shows may not hold its text yet on a busy machine: asked again
// for up to two seconds.
std::string BoxText(HWND box) {
  wchar_t wide[4096] = {};
  for (int i = 0; i < 100 && GetDlgItemTextW(box, 0xFFFF, wide, 4096) == 0 && IsWindow(box); ++i) {
    Sleep(20);
  }
  char utf8[4096 * 3] = {};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof(utf8), nullptr, nullptr);
  return utf8;
}

int Uninstall(const std::string& file, const std::string& shots) {
  // Photographs each box as soon as it shows, before the answerer (which
  // reads a box 100 ms after it appears) clicks it.
  std::atomic<bool> stop{false};
  std::vector<std::string> texts;  // each box's text, as the watcher read it
  std::thread watcher([&] {
    std::set<HWND> seen;
    while (!stop) {
      HWND box = nullptr;
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
      if (box && !seen.count(box)) {
        seen.insert(box);
        // Have it painted before the photograph: the first box with letters
        // from a fallback font can take longer than a plain one.
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Sleep(40);
        SaveScreen(shots + "\\box-" + std::to_string(seen.size()) + ".bmp");
        texts.push_back(BoxText(box));
      }
      Sleep(5);
    }
  });
  RunResult run = Run(AsUserStartsIt(file), {IDYES}, 120000);
  stop = true;
  watcher.join();
  for (size_t i = 0; i < run.boxes.size(); ++i) {
    // Read through the Unicode call where the watcher saw the box: the ANSI
    // one turns what the system's code page cannot spell into '?'.
    std::string text = i < texts.size() ? texts[i] : run.boxes[i].text;
    for (char& c : text) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    std::printf("box %zu: \"%s\"\n", i + 1, text.c_str());
  }
  std::printf("processes: %d, every one ended: %s\n", run.processes, run.finished ? "yes" : "no");
  return run.finished && run.boxes.size() == 2 ? 0 : 1;
}

// Starts FILE /S /LOG="REPORT" as a deployment tool would and waits for it
// the way such a tool does: for the first process only. At that moment the
// product must already be gone (the uninstall file itself may still be
// there: the copy deletes it once the first process has ended). Then waits
// for every process of the run, so the caller sees the end state.
int Silent(const std::string& file, const std::string& report) {
  const std::string command = "\"" + file + "\" /S /LOG=\"" + report + "\"";
  std::printf("command line: %s\n", command.c_str());
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  BoxAnswerer answerer({});  // a silent run must show none: any box is recorded
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &process)) {
    std::fprintf(stderr, "kivdemo: cannot start %s\n", file.c_str());
    return 1;
  }
  AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  const DWORD started = GetTickCount();
  const bool first_ended = WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0;
  const DWORD waited = GetTickCount() - started;
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);

  // What the first process left behind when it ended.
  const std::string dir = kDir;
  struct Left {
    const char* what;
    bool present;
  };
  const Left left[] = {
      {"...\\kivdemo.exe", FileExists(dir + "\\kivdemo.exe")},
      {"...\\Docs", DirectoryExists(dir + "\\Docs")},
      {"HKLM\\Software\\Kiv Demo Suite", RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Kiv Demo Suite")},
      {"uninstall registration", RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey)},
  };
  bool product_gone = true;
  std::printf("first process: ended %s after %lu ms, exit code %lu\n",
              first_ended ? "by itself" : "NOT (killed)", static_cast<unsigned long>(waited),
              static_cast<unsigned long>(code));
  for (const Left& item : left) {
    std::printf("  when it ended: %-34s %s\n", item.what, item.present ? "present" : "absent");
    product_gone = product_gone && !item.present;
  }
  std::printf("  when it ended: %-34s %s\n", "uninstall file",
              FileExists(dir + "\\uninst.exe") ? "present (the copy deletes it next)" : "absent");

  bool all_ended = false;
  int processes = 0;
  while (GetTickCount() - started < 120000) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    if (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof(info),
                                  nullptr)) {
      processes = static_cast<int>(info.TotalProcesses);
      if (info.ActiveProcesses == 0) {
        all_ended = true;
        break;
      }
    }
    Sleep(20);
  }
  if (!all_ended) TerminateJobObject(job, 99);
  answerer.Stop();
  const std::vector<Box> boxes = answerer.boxes();
  for (const Box& box : boxes) std::printf("box (none expected): \"%s\"\n", box.text.c_str());
  std::printf("processes: %d, every one ended: %s, boxes: %zu\n", processes,
              all_ended ? "yes" : "no", boxes.size());
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(job);
  return first_ended && all_ended && code == 0 && product_gone && boxes.empty() ? 0 : 1;
}

}  // namespace

// A product of many small files, removed with /PASSIVE: no box, the
// progress window. The screen is photographed while the walk is under way.
int Progress(const std::string& shots) {
  const std::string root = "C:\\Program Files\\Kiv Demo Archive";
  RemoveTree(root);
  MakeDirectories(root + "\\data");
  std::vector<std::string> files;
  for (int i = 0; i < 5000; ++i) {
    files.push_back(root + "\\data\\record-" + std::to_string(i) + ".dat");
    WriteFileBytes(files.back(), "kiv demo");
  }
  const std::string uninstall_file = root + "\\uninst.exe";
  WriteUninstallFile(uninstall_file, "Kiv Demo Archive", [&](kiv::LogWriter& w) {
    w.AddDirectory(root.c_str());
    w.AddDirectory((root + "\\data").c_str());
    for (const std::string& f : files) w.AddFile(f.c_str());
  });
  StartedRun run(AsUserStartsIt(uninstall_file) + " /PASSIVE");
  if (!run.started()) return 1;
  bool shot = false;
  DWORD up_since = 0;
  while (!run.RunningIds().empty()) {
    HWND window = FindWindowA(nullptr, "Kiv Demo Archive");
    if (window && IsWindowVisible(window)) {
      if (up_since == 0) up_since = GetTickCount();
      if (!shot && GetTickCount() - up_since >= 400) {
        SaveScreen(shots + "\\progress.bmp");
        shot = true;
      }
    }
    Sleep(10);
  }
  const RunResult result = run.Wait(120000);
  const bool gone = !DirectoryExists(root);
  std::printf("progress window photographed mid-walk: %s; exit code %lu; product gone: %s\n",
              shot ? "yes" : "no", static_cast<unsigned long>(result.exit_code),
              gone ? "yes" : "no");
  return shot && result.finished && result.exit_code == 0 && gone ? 0 : 1;
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "prepare") return Prepare();
  if (args.size() == 3 && args[0] == "install") return Install(args[1], args[2]);
  if (args.size() == 1 && args[0] == "probe") return Probe();
  if (args.size() == 3 && args[0] == "uninstall") return Uninstall(args[1], args[2]);
  if (args.size() == 3 && args[0] == "silent") return Silent(args[1], args[2]);
  if (args.size() == 2 && args[0] == "install-user") return InstallForUser(args[1]);
  if (args.size() == 1 && args[0] == "probe-user") return ProbeUser();
  if (args.size() == 2 && args[0] == "install-named") return InstallNamed(args[1]);
  if (args.size() == 1 && args[0] == "probe-named") return ProbeNamed();
  if (args.size() == 2 && args[0] == "progress") return Progress(args[1]);
  std::fprintf(
      stderr,
      "usage: kivdemo prepare | install MANIFEST SAVED_DIR | probe | uninstall FILE SHOTS_DIR"
      " | silent FILE REPORT | install-user MANIFEST | probe-user | install-named MANIFEST"
      " | probe-named | progress SHOTS_DIR\n");
  return 2;
}
