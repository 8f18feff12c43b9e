// A product whose names are in UTF-8, the file naming its code page (65001),
// undone in a prefix whose ANSI code page is 1252: the NT family reaches
// every name through the Unicode calls; the 95 family, which has none, undoes
// what its own code page spells and passes over the rest, never acting on a
// substitute letter. Neighbours with names close to the product's stay.
#ifndef KIV_TESTS_E2E_UNICODE_SCENARIOS_H_
#define KIV_TESTS_E2E_UNICODE_SCENARIOS_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "handoff_scenarios.h"
#include "harness.h"
#include "wide_names.h"
#include "uninstall_file/log_writer.h"

namespace kiv::e2e {

inline bool WriteWide(const std::string& utf8, const std::string& bytes) {
  HANDLE file = CreateFileW(FromUtf8(utf8).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

inline bool WideValueExists(HKEY root, const std::string& key, const std::string& name) {
  HKEY k;
  if (RegOpenKeyExW(root, FromUtf8(key).c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  const bool found =
      RegQueryValueExW(k, FromUtf8(name).c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(k);
  return found;
}


inline std::string WideIniValue(const std::string& file, const std::string& section,
                                const std::string& key) {
  wchar_t buffer[256];
  GetPrivateProfileStringW(FromUtf8(section).c_str(), FromUtf8(key).c_str(), L"<none>", buffer, 256,
                           FromUtf8(file).c_str());
  const std::wstring wide = buffer;
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr,
                      nullptr);
  return text;
}

// Cyrillic, Greek, Japanese, a letter outside the Basic Multilingual Plane
// (U+1D11E), and two names code page 1252 spells (in a directory it does
// not).
inline const char* const kFileNames[] = {
    "файл.txt", "αρχείο.dat", "表計算ツール.txt", "\xF0\x9D\x84\x9E.bin", "Café Über.txt", "plain.txt",
};

// nt_family: every name goes; else only those code page 1252 spells.
inline void UnicodeProductIsUndone(bool nt_family) {
  const std::string base = FreshDirectory("unicode");
  const std::string product = base + "\\Программа Ελληνικά 表計算 \xF0\x9D\x84\x9E";
  // A neighbour whose name differs only in the letter past the BMP, and one
  // holding the same file names: a name read as another would reach them.
  const std::string neighbour = base + "\\Программа Ελληνικά 表計算 \xF0\x9D\x84\xA2";
  ASSERT_TRUE(CreateDirectoryW(FromUtf8(product).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(FromUtf8(neighbour).c_str(), nullptr));
  for (const char* name : kFileNames) {
    ASSERT_TRUE(WriteWide(product + "\\" + name, "installed")) << name;
    ASSERT_TRUE(WriteWide(neighbour + "\\" + name, "neighbour")) << name;
  }
  const std::string latin = base + "\\Café";  // a directory 1252 spells
  ASSERT_TRUE(CreateDirectoryW(FromUtf8(latin).c_str(), nullptr));
  ASSERT_TRUE(WriteWide(latin + "\\Über.txt", "installed"));

  const std::string key = "Software\\KivUnicode\\Ключ Κλειδί 鍵";
  const std::string latin_key = "Software\\KivUnicode\\Schlüssel";
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KivUnicode");
  ASSERT_TRUE(SetWideValue(HKEY_CURRENT_USER, key, "Значение", "installed"));
  ASSERT_TRUE(SetWideValue(HKEY_CURRENT_USER, key, "keep", "neighbour"));
  ASSERT_TRUE(SetWideValue(HKEY_CURRENT_USER, latin_key, "Größe", "installed"));

  const std::string ini = latin + "\\настройки.ini";
  const std::string latin_ini = latin + "\\Einstellungen.ini";
  ASSERT_TRUE(WritePrivateProfileStringW(L"Раздел", L"Ключ", L"installed", FromUtf8(ini).c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(L"Grüße", L"Schlüssel", L"installed",
                                         FromUtf8(latin_ini).c_str()));

  const std::string display_name = "Тестовая Ελληνικά 表計算 \xF0\x9D\x84\x9E";
  const std::string registration = std::string(kUninstallKey) + display_name;
  const std::string uninstall_file = base + "\\uninst.exe";
  ASSERT_TRUE(SetWideValue(HKEY_LOCAL_MACHINE, registration, "DisplayName", display_name));
  ASSERT_TRUE(SetWideValue(HKEY_LOCAL_MACHINE, registration, "UninstallString",
                           "\"" + uninstall_file + "\""));

  {
    UninstallImage image;
    LogWriter writer(image);
    ASSERT_TRUE(writer.BeginInCodePage(65001));
    writer.AddDirectory(product.c_str());
    for (const char* name : kFileNames) writer.AddFile((product + "\\" + name).c_str());
    writer.AddDirectory(latin.c_str());
    writer.AddFile((latin + "\\Über.txt").c_str());
    writer.AddRegistryValue("HKEY_CURRENT_USER", (key + "\\Значение").c_str(), nullptr);
    writer.AddRegistryValue("HKEY_CURRENT_USER", (latin_key + "\\Größe").c_str(), nullptr);
    writer.AddIniEntry(ini.c_str(), "Раздел", "Ключ", "<null>", "installed", false);
    writer.AddFile(ini.c_str());
    writer.AddIniEntry(latin_ini.c_str(), "Grüße", "Schlüssel", "<null>", "installed", false);
    ASSERT_TRUE(writer.Finish(display_name.c_str()));
    image.SaveAs(uninstall_file);
  }

  const std::string report = base + "\\report.txt";
  RunResult run = e2e::Run("\"" + uninstall_file + "\" /S /LOG=\"" + report + "\"", {}, 60000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess) << ReadFileBytes(report);
  EXPECT_FALSE(FileExists(uninstall_file));

  for (const char* name : kFileNames) {
    EXPECT_EQ(WideFileExists(product + "\\" + name), !nt_family) << name;
    EXPECT_TRUE(WideFileExists(neighbour + "\\" + name)) << "a neighbour went: " << name;
  }
  EXPECT_EQ(WideFileExists(product), !nt_family);
  EXPECT_TRUE(WideFileExists(neighbour));
  EXPECT_FALSE(WideFileExists(latin + "\\Über.txt"));
  EXPECT_FALSE(WideValueExists(HKEY_CURRENT_USER, latin_key, "Größe"));
  EXPECT_EQ(WideValueExists(HKEY_CURRENT_USER, key, "Значение"), !nt_family);
  EXPECT_TRUE(WideValueExists(HKEY_CURRENT_USER, key, "keep"));
  EXPECT_EQ(WideIniValue(latin_ini, "Grüße", "Schlüssel"), "<none>");
  if (nt_family) {
    EXPECT_FALSE(WideFileExists(ini));
    // The product's registration, named in Cyrillic, Greek, Japanese and
    // past the BMP, is gone once everything is undone.
    EXPECT_FALSE(WideKeyExists(HKEY_LOCAL_MACHINE, registration));
  } else {
    EXPECT_TRUE(WideFileExists(ini));
    // What the 95 family cannot spell is said in the report, never tried.
    const std::string text = ReadFileBytes(report);
    size_t passed_over = 0;
    for (size_t at = 0; (at = text.find("passed over: a name this system cannot spell", at)) !=
                        std::string::npos;
         ++at) {
      ++passed_over;
    }
    // The six product files and its directory, one value, the INI entry
    // and the INI file.
    EXPECT_EQ(passed_over, 10u) << text;
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KivUnicode");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, FromUtf8(registration).c_str());
}

// A file in code page 932 (where the second byte of 表, ソ and 能 is 0x5C,
// the backslash) undone on a system whose own code page is 1252: every name
// is read in the file's code page, never the system's.
inline void CodePage932ProductIsUndone() {
  const auto in_932 = [](const std::string& utf8) {
    const std::wstring wide = FromUtf8(utf8);
    const int n = WideCharToMultiByte(932, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                      0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(932, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), n,
                        nullptr, nullptr);
    return bytes;
  };
  const std::string base = FreshDirectory("code page 932 in 1252");
  const std::string dir = base + "\\表ソ能";
  const std::string file = dir + "\\ソフト表.txt";
  const std::string neighbour = base + "\\表ソ";  // the directory's name, cut at a 0x5C
  ASSERT_TRUE(CreateDirectoryW(FromUtf8(dir).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(FromUtf8(neighbour).c_str(), nullptr));
  ASSERT_TRUE(WriteWide(file, "installed"));
  ASSERT_TRUE(WriteWide(neighbour + "\\ソフト表.txt", "neighbour"));
  const std::string key = "Software\\KivUnicode\\表ソ";
  ASSERT_TRUE(SetWideValue(HKEY_CURRENT_USER, key, "能", "installed"));
  ASSERT_TRUE(SetWideValue(HKEY_CURRENT_USER, key, "keep", "neighbour"));

  // A bare file name, which the profile functions find in the Windows
  // directory: the second byte of 表 is 0x5C, and no backslash.
  const std::string ini = "表.ini";
  ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"k", L"installed", FromUtf8(ini).c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"keep", L"neighbour", FromUtf8(ini).c_str()));

  const std::string uninstall_file = base + "\\uninst.exe";
  {
    UninstallImage image;
    LogWriter writer(image);
    ASSERT_TRUE(writer.BeginInCodePage(932));
    writer.AddDirectory(in_932(dir).c_str());
    writer.AddFile(in_932(file).c_str());
    writer.AddRegistryValue("HKEY_CURRENT_USER", in_932(key + "\\能").c_str(), nullptr);
    writer.AddIniEntry(in_932(ini).c_str(), "S", "k", "<null>", "", false);
    ASSERT_TRUE(writer.Finish(in_932("表示ソフト").c_str()));
    image.SaveAs(uninstall_file);
  }
  RunResult run = e2e::Run("\"" + uninstall_file + "\" /S", {}, 60000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_FALSE(WideFileExists(file));
  EXPECT_FALSE(WideFileExists(dir));
  EXPECT_TRUE(WideFileExists(neighbour + "\\ソフト表.txt"));
  EXPECT_FALSE(WideValueExists(HKEY_CURRENT_USER, key, "能"));
  EXPECT_TRUE(WideValueExists(HKEY_CURRENT_USER, key, "keep"));
  EXPECT_EQ(WideIniValue(ini, "S", "k"), "<none>");
  EXPECT_EQ(WideIniValue(ini, "S", "keep"), "neighbour");
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KivUnicode");
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  DeleteFileW((std::wstring(windows) + L"\\" + FromUtf8(ini)).c_str());
}

// A path past MAX_PATH, through the "\\?\" form (as the test makes and
// looks at it too).
inline std::wstring Long(const std::string& utf8) { return L"\\\\?\\" + FromUtf8(utf8); }
inline bool LongExists(const std::string& utf8) {
  return GetFileAttributesW(Long(utf8).c_str()) != INVALID_FILE_ATTRIBUTES;
}
inline void RemoveLongTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveLongTree(path + L"\\" + name);
      } else {
        DeleteFileW((path + L"\\" + name).c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

// A UTF-8 product whose directory nest runs well past 260 characters, a file
// at its bottom; a neighbour nest whose names differ in the last letter of
// the top one. The NT family removes the file and every directory of the
// nest; the 95 family, whose calls take no path past MAX_PATH, passes over
// the records whose paths are longer and harms nothing (level_name: one
// its code page spells, so length is the only reason).
inline void LongPathProductIsUndone(bool nt_family) {
  const std::string base = "C:\\kivtest\\long paths";
  RemoveLongTree(Long(base));
  MakeDirectories(base);
  const std::string level_name =
      nt_family ? "Каталог Ελληνικά 表計算 " : "Größe Überlänge Verzeichnis ";
  std::vector<std::string> nest;
  std::string path = base + "\\" + level_name + "0";
  for (int level = 1; FromUtf8(path).size() < 340; ++level) {
    nest.push_back(path);
    path += "\\" + level_name + std::to_string(level);
  }
  const std::string file = nest.back() + "\\" + (nt_family ? "данные.txt" : "Daten.txt");
  // The neighbour: the top's name with another last letter, as deep.
  const std::string top_neighbour = base + "\\" + level_name + "1";
  std::string neighbour;
  ASSERT_GT(FromUtf8(file).size(), 300u);
  ASSERT_LT(file.size(), 1024u);  // within a marked file's path limit
  for (const std::string& d : nest) {
    ASSERT_TRUE(CreateDirectoryW(Long(d).c_str(), nullptr)) << d;
    neighbour = top_neighbour + d.substr(nest.front().size());
    ASSERT_TRUE(CreateDirectoryW(Long(neighbour).c_str(), nullptr)) << neighbour;
  }
  const std::string neighbour_file = neighbour + "\\" + file.substr(nest.back().size() + 1);
  for (const std::string& f : {file, neighbour_file}) {
    HANDLE h = CreateFileW(Long(f).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << f;
    CloseHandle(h);
  }

  const std::string uninstall_file = base + "\\uninst.exe";
  {
    UninstallImage image;
    LogWriter writer(image);
    ASSERT_TRUE(writer.BeginInCodePage(65001));
    for (const std::string& d : nest) ASSERT_TRUE(writer.AddDirectory(d.c_str())) << d;
    ASSERT_TRUE(writer.AddFile(file.c_str()));
    ASSERT_TRUE(writer.Finish("Kiv Long Paths"));
    image.SaveAs(uninstall_file);
  }
  const std::string report = base + "\\report.txt";
  RunResult run = e2e::Run("\"" + uninstall_file + "\" /S /LOG=\"" + report + "\"", {}, 60000);
  ASSERT_TRUE(run.finished);
  const std::string text = ReadFileBytes(report);
  EXPECT_EQ(run.exit_code, kExitSuccess) << text;
  EXPECT_TRUE(LongExists(neighbour_file)) << "the neighbour went";
  EXPECT_TRUE(LongExists(top_neighbour));
  if (nt_family) {
    EXPECT_FALSE(LongExists(file));
    for (const std::string& d : nest) EXPECT_FALSE(LongExists(d)) << d;
    EXPECT_NE(text.find("file " + file + ": removed"), std::string::npos) << text;
    EXPECT_NE(text.find("directory " + nest.back() + ": removed"), std::string::npos) << text;
    EXPECT_NE(text.find("directory " + nest.front() + ": removed"), std::string::npos) << text;
  } else {
    // Nothing of the nest goes: the long records are passed over, the short
    // ones above them are not empty.
    EXPECT_TRUE(LongExists(file));
    for (const std::string& d : nest) EXPECT_TRUE(LongExists(d)) << d;
    EXPECT_NE(text.find("file " + file + ": passed over: a name this system cannot spell"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("directory " + nest.front() + ": kept: not empty"), std::string::npos)
        << text;
  }
  RemoveLongTree(Long(base));
}


// The stand-in Restart Manager (restart_manager_probe.cpp) in the system's
// directory for the runs started while this lives, the system's own put
// back after.
class RestartManagerProbe {
 public:
  RestartManagerProbe() {
    char dir[MAX_PATH] = {};
    GetSystemDirectoryA(dir, MAX_PATH);
    dll_ = std::string(dir) + "\\rstrtmgr.dll";
    saved_ = dll_ + ".kiv-saved";
    had_own_ = MoveFileExA(dll_.c_str(), saved_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    installed_ = CopyFileA(KIV_RM_PROBE_PATH, dll_.c_str(), FALSE) != FALSE;
    char overrides[512] = {};
    had_overrides_ = GetEnvironmentVariableA("WINEDLLOVERRIDES", overrides, sizeof(overrides)) > 0;
    overrides_ = overrides;
    // Wine loads its own rstrtmgr unless told to take the file.
    SetEnvironmentVariableA(
        "WINEDLLOVERRIDES", (overrides_.empty() ? "" : overrides_ + ";").append("rstrtmgr=n").c_str());
  }
  ~RestartManagerProbe() {
    SetEnvironmentVariableA("WINEDLLOVERRIDES", had_overrides_ ? overrides_.c_str() : nullptr);
    DeleteFileA(dll_.c_str());
    if (had_own_) MoveFileExA(saved_.c_str(), dll_.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  bool installed() const { return installed_; }

 private:
  std::string dll_, saved_, overrides_;
  bool had_own_ = false, had_overrides_ = false, installed_ = false;
};

// A product file with a Greek name held open by another program: the
// Restart Manager is asked about it by the name the file spells, not by its
// bytes read in the system's code page (another path, which the stand-in
// refuses); past_max_path: deep enough that its path passes MAX_PATH, where
// a MAX_PATH buffer for the question would refuse it before it is asked.
inline void HeldFileWithAGreekNameIsAskedAbout(bool past_max_path = false) {
  const std::string base = FreshDirectory(past_max_path ? "unicode held long" : "unicode held");
  std::string greek;
  for (int i = 0; i < 40; ++i) greek += "Ω";
  std::vector<std::string> nest = {base + "\\" + greek};
  nest.push_back(nest[0] + "\\αβγδεζηθικλμνξοπρστυφχψω αβγδεζηθικλμνξοπρστυφχψω");
  const std::string name = "\\κρατημένο.txt";
  while (past_max_path && FromUtf8(nest.back() + name).size() <= MAX_PATH + 40) {
    nest.push_back(nest.back() + "\\" + greek);
  }
  const std::string held = nest.back() + name;
  for (const std::string& directory : nest) {
    ASSERT_TRUE(CreateDirectoryW(FromUtf8(directory).c_str(), nullptr)) << directory;
  }
  ASSERT_TRUE(WriteWide(held, "installed"));

  const std::string uninstall_file = base + "\\uninst.exe";
  {
    UninstallImage image;
    LogWriter writer(image);
    ASSERT_TRUE(writer.BeginInCodePage(65001));
    for (const std::string& directory : nest) writer.AddDirectory(directory.c_str());
    writer.AddFile(held.c_str());
    ASSERT_TRUE(writer.Finish("Κρατημένο"));
    image.SaveAs(uninstall_file);
  }
  HANDLE hold = CreateFileW(FromUtf8(held).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  const std::string report = base + "\\report.txt";
  RunResult run;
  {
    RestartManagerProbe probe;
    ASSERT_TRUE(probe.installed());
    run = e2e::Run("\"" + uninstall_file + "\" /S /LOG=\"" + report + "\"", {}, 60000);
  }
  CloseHandle(hold);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitRestartNeeded) << ReadFileBytes(report);
  const std::string text = ReadFileBytes(report);
  EXPECT_NE(text.find("file " + held + ": goes at the next start under its own path: a reinstall "
                      "before then would lose it (held by: Kiv probe (process 4242))"),
            std::string::npos)
      << text;
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(WideFileExists(held));
  for (auto it = nest.rbegin(); it != nest.rend(); ++it) RemoveDirectoryW(FromUtf8(*it).c_str());
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_UNICODE_SCENARIOS_H_
