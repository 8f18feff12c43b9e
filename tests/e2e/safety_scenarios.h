// Uninstall files that try to make the stub undo what the product never did.
// Shared by the suite of the NT family and the suite of the 95 family, where
// RegDeleteKeyA takes a whole tree.
#ifndef KIV_TESTS_E2E_SAFETY_SCENARIOS_H_
#define KIV_TESTS_E2E_SAFETY_SCENARIOS_H_

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "harness.h"
#include "base/exit_codes.h"

namespace kiv::e2e {

inline std::string CharUpperString(std::string s) {
  CharUpperBuffA(s.data(), static_cast<DWORD>(s.size()));
  return s;
}

inline const char kUninstallRoot[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// A display name that would name a key other than the product's own.
struct NameCase {
  const char* name;
  // Writes the uninstall file at file; its records would delete victim.
  void (*make)(const std::string& file, const std::string& victim);
};
inline void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

// The trailer as given, after a File record for victim.
inline void WriteWithName(const std::string& file, const std::string& victim, const char* name,
                          uint32_t name_size, bool name_in_image) {
  UninstallImage image;
  LogWriter writer(image);
  writer.Begin();
  writer.AddFile(victim.c_str());
  uint32_t name_offset = image.Position();
  if (name_in_image) {
    // The first NUL inside the executable image: a name that reads as empty.
    name_offset = 0;
    while (image.bytes()[name_offset] != 0) ++name_offset;
  }
  writer.WriteBytes(name, name_size);
  writer.FinishRaw(name_offset, writer.last_record(), kSignature);
  image.SaveAs(file);
}

inline const NameCase kNameCases[] = {
    {"empty_name",
     [](const std::string& f, const std::string& v) { WriteWithName(f, v, "", 1, false); }},
    {"name_offset_at_a_nul_in_the_image",
     [](const std::string& f, const std::string& v) { WriteWithName(f, v, "App", 4, true); }},
    {"name_naming_another_product_s_subkey",
     [](const std::string& f, const std::string& v) {
       WriteWithName(f, v, "Kiv Neighbour\\Sub", 18, false);
     }},
};

// Another product's registration, as subkeys and values, with a subkey of
// its own; it must come through the run whole.
inline void RegisterNeighbour() {
  const std::string key = std::string(kUninstallRoot) + "\\Kiv Neighbour";
  SetRegString(HKEY_LOCAL_MACHINE, key, "DisplayName", "Kiv Neighbour");
  SetRegString(HKEY_LOCAL_MACHINE, key, "UnInstallString", "C:\\neighbour\\uninst.exe");
  SetRegString(HKEY_LOCAL_MACHINE, key + "\\Sub", "", "kept");
}

inline void ExpectNeighbourWhole() {
  const std::string key = std::string(kUninstallRoot) + "\\Kiv Neighbour";
  EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallRoot)) << "the Uninstall key is gone";
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, key, "DisplayName"), "Kiv Neighbour");
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, key, "UnInstallString"), "C:\\neighbour\\uninst.exe");
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, key + "\\Sub", ""), "kept");
}

// Started as the user starts it and confirmed if asked: the damaged-file
// message, nothing changed, every other registration still there.
inline void NameThatIsNoProductKeyChangesNothing(const NameCase& c) {
  RegisterNeighbour();
  std::string dir = FreshDirectory(std::string("names\\") + c.name);
  std::string file = dir + "\\uninst.exe";
  std::string victim = dir + "\\victim.txt";
  WriteFileBytes(victim, "installed");
  c.make(file, victim);
  const std::string before = ReadFileBytes(file);

  RunResult run = e2e::Run(AsUserStartsIt(file), {IDYES});

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_EQ(run.processes, 1);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "The uninstall file was damaged.");
  ExpectNeighbourWhole();
  EXPECT_TRUE(FileExists(victim));
  EXPECT_EQ(ReadFileBytes(file), before);
  RegDeleteTree(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\Kiv Neighbour");
}

// How a record spells the path of a file the walk must not touch.
enum class Spelling { kAsIs, kUpperCase, kShort, kOtherDrive };

inline std::string Spell(const std::string& path, Spelling spelling) {
  if (spelling == Spelling::kUpperCase) return CharUpperString(path);
  if (spelling == Spelling::kOtherDrive) return ThroughOtherDrive(path);
  if (spelling == Spelling::kShort) {
    char short_path[MAX_PATH];
    DWORD n = GetShortPathNameA(path.c_str(), short_path, sizeof(short_path));
    EXPECT_TRUE(n != 0 && n < sizeof(short_path));
    EXPECT_NE(std::string(short_path), path) << "no short form to test with";
    return short_path;
  }
  return path;
}

// An installer that replaced an older uninstaller of the same name logs the
// uninstall file itself as a restored file. The record is passed over: the
// log is not overwritten mid-walk, the records around it are undone and the
// run ends as usual.
inline void RecordRestoringTheUninstallFileIsPassedOver(Spelling spelling) {
  std::string dir = FreshDirectory("self restore\\Long Product Name");
  std::string file = dir + "\\uninstaller.exe";
  WriteFileBytes(dir + "\\first.txt", "installed");
  WriteFileBytes(dir + "\\last.txt", "installed");
  WriteFileBytes(file, "older uninstaller");
  const std::string named = Spell(file, spelling);
  WriteUninstallFile(file, "Self Restore", [&](LogWriter& w) {
    w.AddDirectory(dir.c_str());
    w.AddFile((dir + "\\first.txt").c_str());
    w.AddRestoredFile(named.c_str(), 0x01D5C1E2A3B4C5D0ull, "older uninstaller", 17);
    w.AddFile((dir + "\\last.txt").c_str());
  });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  EXPECT_FALSE(FileExists(dir + "\\last.txt"));
  EXPECT_FALSE(FileExists(dir + "\\first.txt")) << "the walk was cut short";
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(dir));
}

// A record naming the program that runs the walk is passed over too.
inline void RecordRestoringTheRunningCopyIsPassedOver() {
  std::string dir = FreshDirectory("running copy");
  std::string runner = dir + "\\runner.exe";
  std::string file = dir + "\\product\\uninst.exe";
  const std::vector<uint8_t>& stub = StubImage();
  WriteFileBytes(runner, std::string(stub.begin(), stub.end()));
  WriteFileBytes(dir + "\\product\\a.txt", "installed");
  WriteUninstallFile(file, "Running Copy", [&](LogWriter& w) {
    w.AddFile((dir + "\\product\\a.txt").c_str());
    w.AddRestoredFile(runner.c_str(), 0x01D5C1E2A3B4C5D0ull, "planted", 7);
  });

  RunResult run = RunUninstallMode(file, runner);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  EXPECT_EQ(ReadFileBytes(runner), std::string(stub.begin(), stub.end()));
  EXPECT_FALSE(FileExists(dir + "\\product\\a.txt"));
}

// A temporary copy laid out as the confirmation mode lays it out on this
// family, started on an uninstall file the walk refuses: it goes at the
// next start all the same.
inline void CopyThatMeetsADamagedFileGoesAtTheNextStart(bool flat) {
  const std::string temp = TempDirectory();
  const std::string directory = temp + "STPk1v.tmp";
  const std::string copy = flat ? temp + "STPk1w.tmp" : directory + "\\uninstall.exe";
  if (!flat) CreateDirectoryA(directory.c_str(), nullptr);
  const std::vector<uint8_t>& stub = StubImage();
  WriteFileBytes(copy, std::string(stub.begin(), stub.end()));
  std::string dir = FreshDirectory("copy damaged");
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(file, "no trailer here");

  for (const std::string& remainder : {file, dir + "\\no such file.exe"}) {
    RunResult run = RunUninstallMode(remainder, copy);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, "The uninstall file was damaged.");
  }
  EXPECT_TRUE(FileExists(copy));
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(copy)) << "the copy stayed after the restart";
  if (!flat) {
    EXPECT_FALSE(DirectoryExists(directory));
    RemoveDirectoryA(directory.c_str());
  }
  DeleteFileA(copy.c_str());
}

// A font record takes the font's value out of the Fonts key the family
// reads (the NT family's own, and the 95 family's where an installer wrote
// it too); the 95 family has no key of the NT family to touch.
inline void FontRecordUnregistersTheFontWhereTheFamilyLooks(bool nt_family) {
  const std::string nt_key = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
  const std::string key95 = "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts";
  const std::string value = "Kiv Family Sans (TrueType)";
  const std::string neighbour = "Kiv Family Neighbour (TrueType)";
  ASSERT_TRUE(SetRegString(HKEY_LOCAL_MACHINE, nt_key, value, "kivfamily.ttf"));
  ASSERT_TRUE(SetRegString(HKEY_LOCAL_MACHINE, key95, value, "kivfamily.ttf"));
  ASSERT_TRUE(SetRegString(HKEY_LOCAL_MACHINE, nt_key, neighbour, "kivneighbour.ttf"));
  std::string dir = FreshDirectory("font family");
  std::string file = dir + "\\uninst.exe";
  WriteUninstallFile(file, "Font Family", [&](LogWriter& w) {
    w.AddFont("Kiv Family Sans", (dir + "\\kivfamily.ttf").c_str());
  });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, key95, value));
  EXPECT_EQ(RegValueExists(HKEY_LOCAL_MACHINE, nt_key, value), !nt_family);
  EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, nt_key, neighbour));
  for (const std::string& key : {nt_key, key95}) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
      RegDeleteValueA(k, value.c_str());
      RegDeleteValueA(k, neighbour.c_str());
      RegCloseKey(k);
    }
  }
}

// A directory on the way named like a device (nul, con.d, aux, COM1 ...):
// asked about alone it is the device, while the action's longer path (or
// its "\\?\" form) goes through the directory of that name, which a user
// of the product's directory made a link to another place. The whole file
// is damaged: nothing at all changes, the product's own file neither.
struct DeviceCase {
  const char* name;
  const char* directory;  // the part named like a device
  enum Action { kDelete, kRestore, kIniCut, kRemoveDirectory } action;
  bool long_form;      // written "\\?\C:\..."
  bool past_max_path;  // a UTF-8 file's path longer than MAX_PATH: the
                       // system takes it in the "\\?\" form
};
inline void PrintTo(const DeviceCase& c, std::ostream* os) { *os << c.name; }

inline const DeviceCase kDeviceCases[] = {
    {"file_through_nul", "nul", DeviceCase::kDelete, false, false},
    {"file_through_con_d", "con.d", DeviceCase::kDelete, false, false},
    {"file_through_aux", "aux", DeviceCase::kDelete, false, false},
    {"file_through_com1_long_form", "COM1", DeviceCase::kDelete, true, false},
    {"file_through_lpt1_past_max_path", "lpt1", DeviceCase::kDelete, false, true},
    {"restore_through_nul", "nul", DeviceCase::kRestore, false, false},
    {"restore_through_prn_past_max_path", "prn", DeviceCase::kRestore, false, true},
    {"ini_cut_through_con", "con", DeviceCase::kIniCut, false, false},
    {"ini_cut_through_aux_long_form", "aux.ini", DeviceCase::kIniCut, true, false},
    {"directory_removal_through_nul_txt", "nul.txt", DeviceCase::kRemoveDirectory, false, false},
    {"directory_removal_through_aux_past_max_path", "Aux", DeviceCase::kRemoveDirectory, false,
     true},
};

// links: the part is a link to the victim's directory (the NT family);
// else a plain directory holding the victim's files (the 95 family, which
// has no links: the record there would reach those files all the same).
// The part is made and judged from the Unix side, where no name is a device.
inline void DeviceNamedDirectoryMakesTheFileDamaged(const DeviceCase& c, bool links) {
  const std::string top = FreshDirectory(std::string("devices\\") + c.name);
  const std::string product = top + "\\prod";
  const std::string pristine = top + "\\pristine";
  std::string deep = product;
  if (c.past_max_path) {
    while (deep.size() < MAX_PATH) deep += "\\directory";
  }
  MakeDirectories(product);
  WriteFileBytes(product + "\\own.txt", "installed");
  MakeDirectories(pristine + "\\sub");
  WriteFileBytes(pristine + "\\victim.txt", "not the product's");
  WriteFileBytes(pristine + "\\settings.ini", "[S]\r\nk=v\r\nkept=1\r\n");
  // Unix names below the product: '\\' is '/' there.
  std::string unix_deep = UnixPath(product) + deep.substr(product.size());
  for (char& ch : unix_deep) {
    if (ch == '\\') ch = '/';
  }
  const std::string unix_pristine = UnixPath(pristine);
  const std::string unix_part = unix_deep + "/" + c.directory;
  ASSERT_TRUE(RunUnix("/bin/mkdir", "-p '" + unix_deep + "'"));
  if (links) {
    const std::string unix_victim = UnixPath(top) + "/victim";
    ASSERT_TRUE(RunUnix("/bin/cp", "-r '" + unix_pristine + "' '" + unix_victim + "'"));
    ASSERT_TRUE(RunUnix("/bin/ln", "-s '" + unix_victim + "' '" + unix_part + "'"));
  } else {
    ASSERT_TRUE(RunUnix("/bin/cp", "-r '" + unix_pristine + "' '" + unix_part + "'"));
  }
  auto untouched = [&](const char* name) {
    return RunUnix("/usr/bin/cmp", "-s '" + unix_pristine + "/" + name + "' '" + unix_part + "/" +
                                       name + "'");
  };
  ASSERT_TRUE(untouched("victim.txt"));

  const std::string through = (c.long_form ? "\\\\?\\" : "") + deep + "\\" + c.directory;
  const std::string file = top + "\\uninst.exe";
  UninstallImage image;
  LogWriter w(image);
  ASSERT_TRUE(c.past_max_path ? w.BeginInCodePage(65001) : w.Begin());
  ASSERT_TRUE(w.AddFile((product + "\\own.txt").c_str()));
  switch (c.action) {
    case DeviceCase::kDelete: ASSERT_TRUE(w.AddFile((through + "\\victim.txt").c_str())); break;
    case DeviceCase::kRestore:
      ASSERT_TRUE(w.AddRestoredFile((through + "\\victim.txt").c_str(), 0x01D5C1E2A3B4C5D0ull,
                                    "planted", 7));
      break;
    case DeviceCase::kIniCut:
      ASSERT_TRUE(w.AddIniEntry((through + "\\settings.ini").c_str(), "[S]", "k", "", "v", true));
      break;
    case DeviceCase::kRemoveDirectory:
      ASSERT_TRUE(w.AddDirectory((through + "\\sub").c_str()));
      break;
  }
  ASSERT_TRUE(w.Finish("Devices"));
  image.SaveAs(file);
  const std::string before = ReadFileBytes(file);

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "The uninstall file was damaged.");
  EXPECT_TRUE(untouched("victim.txt")) << "the victim went or was written over";
  EXPECT_TRUE(untouched("settings.ini")) << "the INI file was cut";
  EXPECT_TRUE(RunUnix("/usr/bin/test", "-d '" + unix_part + "/sub'")) << "the directory went";
  EXPECT_EQ(ReadFileBytes(product + "\\own.txt"), "installed") << "something changed";
  EXPECT_TRUE(ReadFileBytes(file) == before) << "the uninstall file changed";
  RunUnix("/bin/rm", "-rf '" + UnixPath(product) + "'");
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_SAFETY_SCENARIOS_H_
