// Configuration-file entries, registry values and fonts undone by the real
// stub in the uninstall mode, under Wine. Each scenario sets its state up
// through the real calls (raw file bytes, RegSetValueExA, AddFontResourceA),
// runs an uninstall file that logs it, and reads the state back the same way.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/ini_cut_case.h"
#include "harness.h"
#include "ini/ini_cutter.h"

namespace kiv::e2e {
namespace {

constexpr char kSuccess[] = "Uninstall was succesful";
constexpr char kAbsent[] = "<absent>";

// Every registry key the suite touches lies under one of these.
constexpr char kTestKey[] = "Software\\KivTest";
constexpr char kClassesTestKey[] = "KivTest.Settings";
constexpr char kUsersTestKey[] = ".DEFAULT\\Software\\KivTest";
constexpr char kRootLevelKey[] = "KivTestNoBackslash";
constexpr char kFontsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts";

// Runs the uninstall file at path in the uninstall mode and expects the
// one box that ends the walk: success when every record was undone;
// otherwise the box that names what is left, with the uninstall file kept
// for the run that finishes.
void RunAndExpectSuccess(const std::string& path, bool undone = true) {
  RunResult run = RunUninstallMode(path);
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  if (undone) {
    EXPECT_EQ(run.boxes[0].text, kSuccess);
  } else {
    EXPECT_EQ(run.boxes[0].text.rfind("Some items could not be removed.", 0), 0u)
        << run.boxes[0].text;
    EXPECT_TRUE(FileExists(path));
  }
}

std::string ProfileValue(const std::string& file, const char* section, const char* key) {
  char buffer[512];
  GetPrivateProfileStringA(section, key, kAbsent, buffer, sizeof(buffer), file.c_str());
  return buffer;
}

void CleanRegistry() {
  RegDeleteTree(HKEY_CURRENT_USER, kTestKey);
  RegDeleteTree(HKEY_LOCAL_MACHINE, kTestKey);
  RegDeleteTree(HKEY_CLASSES_ROOT, kClassesTestKey);
  RegDeleteTree(HKEY_USERS, kUsersTestKey);
  RegDeleteTree(HKEY_CURRENT_USER, kRootLevelKey);
}

bool CreateEmptyKey(HKEY root, const std::string& path) {
  HKEY key;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// ---- Configuration entries through the profile calls ------------------------

struct ProfileCase {
  const char* name;
  const char* prior;
  const char* value;
  const char* expected;  // the key's text afterwards; kAbsent when removed
};

void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

class ProfileEntry : public testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileEntry, IsRemovedOrWrittenBack) {
  const ProfileCase& c = GetParam();
  std::string dir = FreshDirectory(std::string("settings\\profile\\") + c.name);
  std::string ini = dir + "\\app.ini";
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(ini, "[App]\r\nKey=installed\r\nOther=kept\r\n[Next]\r\nKey=kept\r\n");
  WriteUninstallFile(file, "Profile", [&](LogWriter& w) {
    w.AddIniEntry(ini.c_str(), "App", "Key", c.prior, c.value, false);
  });

  RunAndExpectSuccess(file);

  EXPECT_EQ(ProfileValue(ini, "App", "Key"), c.expected);
  EXPECT_EQ(ProfileValue(ini, "App", "Other"), "kept");
  EXPECT_EQ(ProfileValue(ini, "Next", "Key"), "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileEntry,
    testing::Values(
        // The marker removes the key whatever value holds.
        ProfileCase{"null_marker_removes_the_key", "<null>", "ignored", kAbsent},
        ProfileCase{"null_marker_with_empty_value_removes_the_key", "<null>", "", kAbsent},
        // The marker is compared with its case: in capitals it is a prior.
        ProfileCase{"marker_in_capitals_writes_the_value", "<NULL>", "restored", "restored"},
        ProfileCase{"other_prior_writes_the_value", "old", "restored", "restored"},
        ProfileCase{"empty_value_leaves_an_empty_key", "old", "", ""}),
    [](const testing::TestParamInfo<ProfileCase>& info) { return std::string(info.param.name); });

TEST(ProfileEntry, WritingBackCreatesAMissingSectionAndKey) {
  std::string dir = FreshDirectory("settings\\profile_create");
  std::string ini = dir + "\\app.ini";
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(ini, "[App]\r\nOther=kept\r\n");
  WriteUninstallFile(file, "Profile", [&](LogWriter& w) {
    w.AddIniEntry(ini.c_str(), "Gone", "Key", "old", "back", false);
  });

  RunAndExpectSuccess(file);

  EXPECT_EQ(ProfileValue(ini, "Gone", "Key"), "back");
  EXPECT_EQ(ProfileValue(ini, "App", "Other"), "kept");
}

// ---- Lines cut from a section (flag true) -----------------------------------

using testing_support::CutCase;

std::string Filler(size_t size) {
  // Comment lines of 64 bytes, then one shorter line: exactly size bytes.
  std::string text;
  while (text.size() + 64 <= size) text += ";" + std::string(61, '-') + "\r\n";
  text += std::string(size - text.size(), ';');
  return text;
}

std::vector<CutCase> CutCases() {
  const std::string head = "[Boot]\r\n";
  const std::string line = "device=app.drv\r\n";
  const size_t fixed = head.size() + line.size();
  return {
      // One record, one line: the same line written by another product (the
      // first device=app.drv here) stays.
      {"only_the_last_matching_line_inside_the_section", "[boot]", "Device", "app.drv",
       "[Other]\r\ndevice=app.drv\r\n"
       "[Boot]\r\ndevice=app.drv\r\nshell=x.exe\r\n DEVICE = app.drv \r\n"
       "device=APP.DRV\r\ndevice=foreign.drv\r\n"
       "[Last]\r\ndevice=app.drv\r\n",
       "[Other]\r\ndevice=app.drv\r\n"
       "[Boot]\r\ndevice=app.drv\r\nshell=x.exe\r\ndevice=APP.DRV\r\ndevice=foreign.drv\r\n"
       "[Last]\r\ndevice=app.drv\r\n"},
      {"section_on_the_first_line_bare_line_feeds_no_final_line_end", "[Boot]", "device", "app.drv",
       "[Boot]\ndevice=app.drv\nshell=x.exe\ndevice=app.drv",
       "[Boot]\ndevice=app.drv\nshell=x.exe\n"},
      {"nothing_matches", "[Boot]", "device", "app.drv", "[Boot]\r\ndevice=other.drv\r\n",
       "[Boot]\r\ndevice=other.drv\r\n"},
      {"file_shorter_than_the_section", "[Boot386Enh]", "device", "app.drv", "[Boot", "[Boot"},
      {"file_of_65535_bytes_is_cut", "[Boot]", "device", "app.drv",
       head + line + Filler(65535 - fixed), head + Filler(65535 - fixed)},
      {"file_of_65536_bytes_is_left_alone", "[Boot]", "device", "app.drv",
       head + line + Filler(65536 - fixed), head + line + Filler(65536 - fixed)},
  };
}

class CutLines : public testing::TestWithParam<CutCase> {};

TEST_P(CutLines, LeavesExactlyTheExpectedBytes) {
  const CutCase& c = GetParam();
  std::string dir = FreshDirectory(std::string("settings\\cut\\") + c.name);
  std::string ini = dir + "\\system.ini";
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(ini, c.before);
  WriteUninstallFile(file, "Cut", [&](LogWriter& w) {
    w.AddIniEntry(ini.c_str(), c.section, c.key, "unused prior", c.value, true);
  });

  // A file over the limit is left alone: its record could not be undone.
  RunAndExpectSuccess(file, c.before.size() <= kIniCutFileLimit);

  // Compared whole: a shortened file must end where its content ends.
  EXPECT_EQ(ReadFileBytes(ini), c.after);
}

INSTANTIATE_TEST_SUITE_P(Cases, CutLines, testing::ValuesIn(CutCases()),
                         [](const testing::TestParamInfo<CutCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(CutLines, FileWithNothingToCutIsNotRewritten) {
  std::string dir = FreshDirectory("settings\\cut_untouched");
  std::string ini = dir + "\\system.ini";
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(ini, "[Boot]\r\ndevice=other.drv\r\n");
  // An old time, so that any rewrite would show as a new one.
  HANDLE h = CreateFileA(ini.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME old_time = {0xD53E8000u, 0x01A8E79Fu};  // 1 January 2000
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &old_time));
  CloseHandle(h);
  FileTimes before;
  ASSERT_TRUE(GetTimes(ini, &before));
  WriteUninstallFile(file, "Cut", [&](LogWriter& w) {
    w.AddIniEntry(ini.c_str(), "[Boot]", "device", "", "app.drv", true);
  });

  RunAndExpectSuccess(file);

  FileTimes after;
  ASSERT_TRUE(GetTimes(ini, &after));
  EXPECT_EQ(after.write, before.write);
}

TEST(CutLines, MissingFileIsNotCreated) {
  std::string dir = FreshDirectory("settings\\cut_missing");
  std::string ini = dir + "\\system.ini";
  std::string file = dir + "\\uninst.exe";
  std::string survivor = dir + "\\sub\\kept.txt";
  WriteFileBytes(survivor, "x");
  WriteUninstallFile(file, "Cut", [&](LogWriter& w) {
    w.AddFile(survivor.c_str());  // undone after the cut: the walk went on
    w.AddIniEntry(ini.c_str(), "[Boot]", "device", "", "app.drv", true);
  });

  RunAndExpectSuccess(file);

  EXPECT_FALSE(FileExists(ini));
  EXPECT_FALSE(FileExists(survivor));
}

// Two records for two lines of the same text take both, one each.
TEST(CutLines, TwoRecordsForTheSameLineCutTwoLines) {
  std::string dir = FreshDirectory("settings\\cut_twice");
  std::string ini = dir + "\\system.ini";
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(ini, "[386Enh]\r\ndevice=a.386\r\ndevice=a.386\r\ndevice=a.386\r\n");
  WriteUninstallFile(file, "Cut", [&](LogWriter& w) {
    w.AddIniEntry(ini.c_str(), "[386Enh]", "device", "", "a.386", true);
    w.AddIniEntry(ini.c_str(), "[386Enh]", "device", "", "a.386", true);
  });

  RunAndExpectSuccess(file);

  EXPECT_EQ(ReadFileBytes(ini), "[386Enh]\r\ndevice=a.386\r\n");
}

// A bare file name is the Windows directory's file, as for the profile
// functions, whatever the current directory: after the hand-off that is the
// drive's root, which may hold a file of the same name.
TEST(CutLines, BareFileNameIsTheWindowsDirectorysFile) {
  char windows[MAX_PATH];
  ASSERT_NE(GetWindowsDirectoryA(windows, sizeof(windows)), 0u);
  const std::string in_windows = std::string(windows) + "\\KIVCUT.INI";
  const std::string in_root = "C:\\KIVCUT.INI";
  const std::string content = "[Boot]\r\nrun=app.exe\r\nshell=x.exe\r\n";
  WriteFileBytes(in_windows, content);
  WriteFileBytes(in_root, content);
  std::string dir = FreshDirectory("settings\\cut_bare");
  std::string file = dir + "\\uninst.exe";
  WriteUninstallFile(file, "Cut", [&](LogWriter& w) {
    w.AddIniEntry("KIVCUT.INI", "[Boot]", "run", "", "app.exe", true);
  });
  char current[MAX_PATH];
  GetCurrentDirectoryA(sizeof(current), current);
  SetCurrentDirectoryA("C:\\");

  RunAndExpectSuccess(file);
  SetCurrentDirectoryA(current);

  EXPECT_EQ(ReadFileBytes(in_windows), "[Boot]\r\nshell=x.exe\r\n");
  EXPECT_EQ(ReadFileBytes(in_root), content) << "a file in the drive's root was edited";
  DeleteFileA(in_windows.c_str());
  DeleteFileA(in_root.c_str());
}

// The profile calls of the same run keep the file in a cache: an entry
// undone after the cut must not write back the lines the cut took out.
TEST(CutLines, ProfileCallsAroundTheCutSeeItsResult) {
  std::string dir = FreshDirectory("settings\\cut_and_profile");
  std::string ini = dir + "\\system.ini";
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(ini,
                 "[App]\r\nKey=created\r\nAdded=later\r\n"
                 "[Boot]\r\nrun=app.exe\r\nrun=other.exe\r\n");
  WriteUninstallFile(file, "Cut", [&](LogWriter& w) {
    w.AddIniEntry(ini.c_str(), "App", "Key", "<null>", "", false);
    w.AddIniEntry(ini.c_str(), "[Boot]", "run", "", "app.exe", true);
    w.AddIniEntry(ini.c_str(), "App", "Added", "<null>", "", false);
  });

  RunAndExpectSuccess(file);

  std::string after = ReadFileBytes(ini);
  EXPECT_EQ(after.find("app.exe"), std::string::npos) << after;
  EXPECT_NE(after.find("run=other.exe"), std::string::npos) << after;
  EXPECT_EQ(ProfileValue(ini, "App", "Key"), kAbsent);
  EXPECT_EQ(ProfileValue(ini, "App", "Added"), kAbsent);
}

// ---- Registry values ---------------------------------------------------------

struct RegistryCase {
  const char* name;
  std::function<void()> set_up;
  const char* root;
  std::string path;
  const char* data;  // nullptr: the record deletes the value
  std::function<void()> check;
  bool undone = true;  // false: a record that cannot be acted on fails
};

const std::string kA = std::string(kTestKey) + "\\A";
const std::string kB = kA + "\\B";

std::vector<RegistryCase> RegistryCases() {
  const HKEY cu = HKEY_CURRENT_USER;
  return {
      {"abbreviated_root_changes_nothing",
       [] { SetRegString(HKEY_LOCAL_MACHINE, kB, "Version", "1.0"); }, "HKLM", kB + "\\Version",
       nullptr, [] { EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kB, "Version"), "1.0"); }, false},
      {"root_outside_the_four_changes_nothing",
       [] { SetRegString(HKEY_LOCAL_MACHINE, kB, "Version", "1.0"); }, "HKEY_CURRENT_CONFIG",
       kB + "\\Version", nullptr,
       [] { EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kB, "Version"), "1.0"); }, false},
      {"another_value_keeps_the_key",
       [cu] {
         SetRegString(cu, kB, "Version", "1.0");
         SetRegString(cu, kB, "Other", "kept");
       },
       "HKEY_CURRENT_USER", kB + "\\Version", nullptr,
       [cu] {
         EXPECT_FALSE(RegValueExists(cu, kB, "Version"));
         EXPECT_EQ(RegString(cu, kB, "Other"), "kept");
       }},
      {"a_subkey_keeps_the_key",
       [cu] {
         SetRegString(cu, kB, "Version", "1.0");
         CreateEmptyKey(cu, kB + "\\Child");
       },
       "HKEY_CURRENT_USER", kB + "\\Version", nullptr,
       [cu] {
         EXPECT_FALSE(RegValueExists(cu, kB, "Version"));
         EXPECT_TRUE(RegKeyExists(cu, kB + "\\Child"));
       }},
      {"value_already_gone_empty_key_still_goes", [cu] { CreateEmptyKey(cu, kB); },
       "HKEY_CURRENT_USER", kB + "\\Version", nullptr,
       [cu] {
         EXPECT_FALSE(RegKeyExists(cu, kB));
         EXPECT_TRUE(RegKeyExists(cu, kA));
       }},
      {"trailing_backslash_names_the_default_value",
       [cu] {
         SetRegString(cu, kB, "", "default");
         SetRegString(cu, kB, "Named", "kept");
       },
       "HKEY_CURRENT_USER", kB + "\\", nullptr,
       [cu] {
         EXPECT_FALSE(RegValueExists(cu, kB, ""));
         EXPECT_EQ(RegString(cu, kB, "Named"), "kept");
       }},
      {"no_backslash_deletes_the_default_value_then_the_key",
       [cu] { SetRegString(cu, kRootLevelKey, "", "default"); }, "HKEY_CURRENT_USER", kRootLevelKey,
       nullptr, [cu] { EXPECT_FALSE(RegKeyExists(cu, kRootLevelKey)); }},
      // Gone with its key: nothing is made to put it back into, and the
      // run is complete.
      {"missing_key_is_not_created", [] {}, "HKEY_CURRENT_USER", kB + "\\Version", "1.0",
       [cu] { EXPECT_FALSE(RegKeyExists(cu, kB)); }},
      {"trailing_backslash_sets_the_default_value", [cu] { CreateEmptyKey(cu, kB); },
       "HKEY_CURRENT_USER", kB + "\\", "default",
       [cu] { EXPECT_EQ(RegString(cu, kB, ""), "default"); }},
      {"no_backslash_sets_the_default_value", [cu] { CreateEmptyKey(cu, kRootLevelKey); },
       "HKEY_CURRENT_USER", kRootLevelKey, "default",
       [cu] { EXPECT_EQ(RegString(cu, kRootLevelKey, ""), "default"); }},
  };
}

void PrintTo(const RegistryCase& c, std::ostream* os) { *os << c.name; }

class RegistryValue : public testing::TestWithParam<RegistryCase> {
 protected:
  void SetUp() override { CleanRegistry(); }
  void TearDown() override { CleanRegistry(); }
};

TEST_P(RegistryValue, IsUndone) {
  const RegistryCase& c = GetParam();
  std::string dir = FreshDirectory(std::string("settings\\registry\\") + c.name);
  std::string file = dir + "\\uninst.exe";
  c.set_up();
  WriteUninstallFile(file, "Registry",
                     [&](LogWriter& w) { w.AddRegistryValue(c.root, c.path.c_str(), c.data); });

  RunAndExpectSuccess(file, c.undone);

  c.check();
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistryValue, testing::ValuesIn(RegistryCases()),
                         [](const testing::TestParamInfo<RegistryCase>& info) {
                           return std::string(info.param.name);
                         });

// The four roots by their full names, case ignored: each record deletes the
// value and the key it leaves empty, and leaves the parent alone.
struct RootCase {
  const char* name;
  const char* root_name;
  HKEY root;
  const char* parent;
};

void PrintTo(const RootCase& c, std::ostream* os) { *os << c.name; }

class Roots : public testing::TestWithParam<RootCase> {
 protected:
  void SetUp() override { CleanRegistry(); }
  void TearDown() override { CleanRegistry(); }
};

TEST_P(Roots, SelectTheirKey) {
  const RootCase& c = GetParam();
  std::string dir = FreshDirectory(std::string("settings\\roots\\") + c.name);
  std::string file = dir + "\\uninst.exe";
  const std::string key = std::string(c.parent) + "\\B";
  ASSERT_TRUE(SetRegString(c.root, key, "Version", "1.0"));
  WriteUninstallFile(file, "Roots", [&](LogWriter& w) {
    w.AddRegistryValue(c.root_name, (key + "\\Version").c_str(), nullptr);
  });

  RunAndExpectSuccess(file);

  EXPECT_FALSE(RegKeyExists(c.root, key));
  EXPECT_TRUE(RegKeyExists(c.root, c.parent));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Roots,
    testing::Values(
        RootCase{"classes_root", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT, kClassesTestKey},
        RootCase{"current_user_mixed_case", "Hkey_Current_User", HKEY_CURRENT_USER, kTestKey},
        RootCase{"local_machine", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE, kTestKey},
        RootCase{"local_machine_in_small_letters", "hkey_local_machine", HKEY_LOCAL_MACHINE,
                 kTestKey},
        RootCase{"users", "HKEY_USERS", HKEY_USERS, kUsersTestKey}),
    [](const testing::TestParamInfo<RootCase>& info) { return std::string(info.param.name); });

// The value as RegQueryValueExA sees it: type, size in bytes, text.
struct StoredValue {
  DWORD type = 0;
  DWORD size = 0;
  std::string text;
};

StoredValue QueryValue(HKEY root, const std::string& path, const char* name) {
  StoredValue v;
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return v;
  char buffer[256] = {};
  v.size = sizeof(buffer) - 1;
  if (RegQueryValueExA(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(buffer), &v.size) ==
      ERROR_SUCCESS) {
    v.text = buffer;
  }
  RegCloseKey(key);
  return v;
}

TEST_F(RegistryValue, SetWritesAStringOfItsLengthAndNULUnderAKeptKey) {
  std::string dir = FreshDirectory("settings\\registry_set");
  std::string file = dir + "\\uninst.exe";
  ASSERT_TRUE(CreateEmptyKey(HKEY_CURRENT_USER, kB));
  SetRegString(HKEY_CURRENT_USER, kA, "Replaced", "a longer text than the one put back");
  WriteUninstallFile(file, "Registry", [&](LogWriter& w) {
    w.AddRegistryValue("HKEY_CURRENT_USER", (kB + "\\Version").c_str(), "2.5");
    w.AddRegistryValue("HKEY_CURRENT_USER", (kA + "\\Replaced").c_str(), "old");
  });

  RunAndExpectSuccess(file);

  // Wine, like NT, counts a NUL the size left out when one follows the
  // data, so a size one short cannot show here; one too long would.
  StoredValue version = QueryValue(HKEY_CURRENT_USER, kB, "Version");
  EXPECT_EQ(version.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(version.size, 4u) << "the data and its NUL";
  EXPECT_EQ(version.text, "2.5");
  StoredValue replaced = QueryValue(HKEY_CURRENT_USER, kA, "Replaced");
  EXPECT_EQ(replaced.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(replaced.size, 4u);
  EXPECT_EQ(replaced.text, "old");
}

// ---- Fonts -----------------------------------------------------------------

constexpr char kTrueType[] = " (TrueType)";
// A real TrueType file from the build machine (Debian's fonts-dejavu-core),
// seen through Wine's Z: drive.
constexpr char kSampleFont[] = "Z:\\usr\\share\\fonts\\truetype\\dejavu\\DejaVuSans.ttf";

std::string FontsFolder() {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, sizeof(windows));
  return std::string(windows) + "\\Fonts";
}

class Fonts : public testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : added_) {
      RemoveFontResourceA(path.c_str());
      DeleteFileA(path.c_str());
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFontsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
      for (const std::string& name : registered_) RegDeleteValueA(key, name.c_str());
      RegCloseKey(key);
    }
  }

  // What an installer does: the file into the Fonts folder, the font into the
  // font table, its display name into the registry. Returns the file's path.
  std::string InstallFont(const std::string& file_name, const std::string& display_name) {
    std::string path = FontsFolder() + "\\" + file_name;
    EXPECT_TRUE(CopyFileA(kSampleFont, path.c_str(), FALSE)) << "is fonts-dejavu-core there?";
    added_.push_back(path);
    EXPECT_GT(AddFontResourceA(path.c_str()), 0);
    Register(display_name + kTrueType, file_name);
    return path;
  }

  void Register(const std::string& value_name, const std::string& file_name) {
    registered_.push_back(value_name);
    EXPECT_TRUE(SetRegString(HKEY_LOCAL_MACHINE, kFontsKey, value_name, file_name));
  }

  static bool Registered(const std::string& value_name) {
    return RegValueExists(HKEY_LOCAL_MACHINE, kFontsKey, value_name);
  }

 private:
  std::vector<std::string> added_;
  std::vector<std::string> registered_;
};

TEST_F(Fonts, InstalledFontIsUnregisteredAndTheWalkGoesOn) {
  std::string dir = FreshDirectory("settings\\font");
  std::string file = dir + "\\uninst.exe";
  std::string product = dir + "\\app.exe";
  WriteFileBytes(product, "program");
  std::string font = InstallFont("kivtestsans.ttf", "Kiv Test Sans");
  Register(std::string("Kiv Test Neighbour") + kTrueType, "kivneighbour.ttf");
  WriteUninstallFile(file, "Font", [&](LogWriter& w) {
    w.AddFile(product.c_str());
    w.AddFont("Kiv Test Sans", font.c_str());
  });

  RunAndExpectSuccess(file);

  EXPECT_FALSE(Registered(std::string("Kiv Test Sans") + kTrueType));
  EXPECT_TRUE(Registered(std::string("Kiv Test Neighbour") + kTrueType));
  EXPECT_FALSE(FileExists(product)) << "the record before the font was not undone";
}

TEST_F(Fonts, MissingFontFileChangesNothingElse) {
  std::string dir = FreshDirectory("settings\\font_missing");
  std::string file = dir + "\\uninst.exe";
  std::string product = dir + "\\app.exe";
  WriteFileBytes(product, "program");
  std::string font = InstallFont("kivtestkept.ttf", "Kiv Test Kept");
  std::string ghost = FontsFolder() + "\\kivghost.ttf";
  ASSERT_FALSE(FileExists(ghost));
  Register(std::string("Kiv Ghost") + kTrueType, "kivghost.ttf");
  WriteUninstallFile(file, "Font", [&](LogWriter& w) {
    w.AddFile(product.c_str());
    w.AddFont("Kiv Ghost", ghost.c_str());
  });

  RunAndExpectSuccess(file);

  // The failed removal is ignored: the registration named goes all the same.
  EXPECT_FALSE(Registered(std::string("Kiv Ghost") + kTrueType));
  EXPECT_TRUE(Registered(std::string("Kiv Test Kept") + kTrueType));
  EXPECT_TRUE(FileExists(font));
  EXPECT_FALSE(FileExists(ghost));
  EXPECT_FALSE(FileExists(product));
}

TEST_F(Fonts, NameThatFillsTheBufferWithItsSuffixIsUnregistered) {
  std::string dir = FreshDirectory("settings\\font_244");
  std::string file = dir + "\\uninst.exe";
  const std::string name(244, 'N');  // 244 + 11 + NUL = 256 bytes
  Register(name + kTrueType, "kivlong.ttf");
  WriteUninstallFile(file, "Font", [&](LogWriter& w) {
    w.AddFont(name.c_str(), (FontsFolder() + "\\kivlong.ttf").c_str());
  });

  RunAndExpectSuccess(file);

  EXPECT_FALSE(Registered(name + kTrueType));
}

TEST_F(Fonts, NameOneByteTooLongLeavesTheRegistryAlone) {
  std::string dir = FreshDirectory("settings\\font_245");
  std::string file = dir + "\\uninst.exe";
  std::string product = dir + "\\app.exe";
  WriteFileBytes(product, "program");
  const std::string name(245, 'N');
  // The full name, and the names a cut buffer could have produced.
  const std::string full = name + kTrueType;
  const std::string cut = full.substr(0, 255);
  Register(full, "kivlong.ttf");
  Register(cut, "kivlong.ttf");
  Register(name, "kivlong.ttf");
  WriteUninstallFile(file, "Font", [&](LogWriter& w) {
    w.AddFile(product.c_str());
    w.AddFont(name.c_str(), (FontsFolder() + "\\kivlong.ttf").c_str());
  });

  RunAndExpectSuccess(file);

  EXPECT_TRUE(Registered(full));
  EXPECT_TRUE(Registered(cut));
  EXPECT_TRUE(Registered(name));
  EXPECT_FALSE(FileExists(product));
}

// ---- All of them in one log --------------------------------------------------

class MixedLog : public Fonts {
 protected:
  void SetUp() override { CleanRegistry(); }
  void TearDown() override {
    CleanRegistry();
    Fonts::TearDown();
  }
};

TEST_F(MixedLog, IsUndoneInReverseOrderOfInstallation) {
  std::string dir = FreshDirectory("settings\\mixed");
  std::string file = dir + "\\uninst.exe";
  std::string data = dir + "\\data";
  std::string data_file = data + "\\app.dat";
  std::string config = dir + "\\config.txt";
  std::string app_ini = dir + "\\app.ini";
  std::string system_ini = dir + "\\system.ini";
  const std::string reg_key = std::string(kTestKey) + "\\Mixed";

  // The state the installation left behind.
  MakeDirectories(data);
  WriteFileBytes(data_file, "data");
  WriteFileBytes(config, "new content");
  WriteFileBytes(app_ini, "[App]\r\nKey=second\r\n");
  WriteFileBytes(system_ini, "[Boot]\r\nrun=app.exe\r\nrun=other.exe\r\n");
  SetRegString(HKEY_CURRENT_USER, reg_key, "Path", dir);
  std::string font = InstallFont("kivmixed.ttf", "Kiv Mixed Sans");

  // The log, in the order the installer made those changes.
  const char old_content[] = "old content";
  const uint64_t saved_time = 0x01A8E79FD53E8000ull;  // 1 January 2000
  WriteUninstallFile(file, "Mixed", [&](LogWriter& w) {
    w.AddDirectory(data.c_str());
    w.AddFile(data_file.c_str());
    w.AddRegistryValue("HKEY_CURRENT_USER", (reg_key + "\\Path").c_str(), nullptr);
    // Key was created, then set a second time over "first": undone in reverse
    // it goes back to "first" and then goes; in order it would stay.
    w.AddIniEntry(app_ini.c_str(), "App", "Key", "<null>", "", false);
    w.AddIniEntry(app_ini.c_str(), "App", "Key", "first", "first", false);
    w.AddFont("Kiv Mixed Sans", font.c_str());
    w.AddIniEntry(system_ini.c_str(), "[Boot]", "run", "", "app.exe", true);
    w.AddRestoredFile(config.c_str(), saved_time, old_content, sizeof(old_content) - 1);
  });

  RunAndExpectSuccess(file);

  EXPECT_EQ(ReadFileBytes(config), "old content");
  EXPECT_EQ(ReadFileBytes(system_ini), "[Boot]\r\nrun=other.exe\r\n");
  EXPECT_FALSE(Registered(std::string("Kiv Mixed Sans") + kTrueType));
  EXPECT_EQ(ProfileValue(app_ini, "App", "Key"), kAbsent);
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, reg_key));
  EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, kTestKey));
  EXPECT_FALSE(FileExists(data_file));
  // Removed only because its file went first.
  EXPECT_FALSE(DirectoryExists(data));
}

}  // namespace
}  // namespace kiv::e2e
