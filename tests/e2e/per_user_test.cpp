// The two flavours of the stub side by side: the per-user stub removes its
// product's registration from HKEY_CURRENT_USER and leaves a per-machine
// product of the same name registered under HKEY_LOCAL_MACHINE; the
// per-machine stub the other way round. The same walk undoes the product's
// files under the user's profile and its keys under HKEY_CURRENT_USER.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

#include "base/exit_codes.h"
#include "e2e_config.h"
#include "handoff_scenarios.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

// Where per-user installers put a product: the user's local application
// data, Programs.
std::string PerUserProgramsDirectory() {
  char local[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local) != S_OK) {
    return "";
  }
  return std::string(local) + "\\Programs";
}

enum class Start { kConfirmed, kSilent };

// A product installed by one flavour's installer, while a product of the
// same name is registered in the other root: both registrations name their
// own uninstall file, so whichever stays can be told apart.
struct TwoRootProduct {
  Flavour flavour;
  std::string name;
  std::string root;
  std::string uninstall_file;
  std::string settings_key;  // the product's own keys
  HKEY own_root;
  HKEY other_root;

  TwoRootProduct(Flavour f, const std::string& display_name, bool as_subkeys)
      : flavour(f),
        name(display_name),
        root(f == Flavour::kPerUser ? PerUserProgramsDirectory() + "\\" + display_name
                                    : FreshDirectory(display_name)),
        uninstall_file(root + "\\uninst.exe"),
        settings_key("Software\\Kiv Per User Test\\" + display_name),
        own_root(f == Flavour::kPerUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE),
        other_root(f == Flavour::kPerUser ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER) {
    RemoveTree(root);
    MakeDirectories(root);
    WriteFileBytes(root + "\\app.exe", "app");
    WriteFileBytes(root + "\\data\\a.dat", "data");
    RegDeleteTree(HKEY_CURRENT_USER, settings_key);
    SetRegString(HKEY_CURRENT_USER, settings_key, "Theme", "dark");
    SetRegString(HKEY_CURRENT_USER, settings_key + "\\Recent", "File1", "C:\\a.txt");
    const std::string key = kUninstallKey + name;
    for (HKEY r : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) RegDeleteTree(r, key);
    RegisterProduct(own_root, key, name, "\"" + uninstall_file + "\"", as_subkeys);
    SetRegString(other_root, key, "DisplayName", name);
    SetRegString(other_root, key, "UnInstallString", kOtherCommand);
    const std::string r = root;
    const std::string k = settings_key;
    WriteUninstallFile(
        uninstall_file, name,
        [&](LogWriter& w) {
          w.AddDirectory(r.c_str());
          w.AddFile((r + "\\app.exe").c_str());
          w.AddDirectory((r + "\\data").c_str());
          w.AddFile((r + "\\data\\a.dat").c_str());
          w.AddRegistryValue("HKEY_CURRENT_USER", (k + "\\Theme").c_str(), nullptr);
          w.AddRegistryValue("HKEY_CURRENT_USER", (k + "\\Recent\\File1").c_str(), nullptr);
        },
        flavour);
  }
  ~TwoRootProduct() {
    RemoveTree(root);
    for (HKEY r : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) RegDeleteTree(r, kUninstallKey + name);
    RegDeleteTree(HKEY_CURRENT_USER, "Software\\Kiv Per User Test");
  }

  static constexpr const char* kOtherCommand = "\"C:\\Other Product\\uninst.exe\"";
};

struct FlavourCase {
  const char* label;
  Flavour flavour;
  Start start;
  bool as_subkeys;
};

class Flavours : public testing::TestWithParam<FlavourCase> {};

TEST_P(Flavours, RegistrationGoesFromItsOwnRootAndTheSameNameStaysInTheOther) {
  const FlavourCase& c = GetParam();
  TwoRootProduct product(c.flavour, std::string("Kiv Two Roots ") + c.label, c.as_subkeys);
  const std::string key = kUninstallKey + product.name;
  ASSERT_TRUE(RegKeyExists(product.own_root, key));

  const std::string line = AsUserStartsIt(product.uninstall_file);
  RunResult run = c.start == Start::kSilent ? e2e::Run(line + " /S") : e2e::Run(line, {IDYES});

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.processes, 2) << "the confirmation and its temporary copy";
  if (c.start == Start::kSilent) {
    EXPECT_EQ(run.exit_code, kExitSuccess);
    EXPECT_TRUE(run.boxes.empty());
  } else {
    EXPECT_EQ(run.exit_code, kExitUninstallEntered);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[0].text, Prompt(product.name));
    EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  }
  EXPECT_FALSE(RegKeyExists(product.own_root, key));
  EXPECT_EQ(RegString(product.other_root, key, "UnInstallString"), TwoRootProduct::kOtherCommand)
      << "the other root's product keeps its registration";
  EXPECT_EQ(RegString(product.other_root, key, "DisplayName"), product.name);
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, product.settings_key))
      << "the product's own keys under HKEY_CURRENT_USER, emptied, go with their values";
  EXPECT_FALSE(FileExists(product.uninstall_file));
  EXPECT_FALSE(DirectoryExists(product.root));
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, Flavours,
    testing::Values(FlavourCase{"PerUserAsSubkeys", Flavour::kPerUser, Start::kConfirmed, true},
                    FlavourCase{"PerUserAsValues", Flavour::kPerUser, Start::kConfirmed, false},
                    FlavourCase{"PerUserSilent", Flavour::kPerUser, Start::kSilent, false},
                    FlavourCase{"PerMachine", Flavour::kPerMachine, Start::kConfirmed, false}),
    [](const testing::TestParamInfo<FlavourCase>& info) { return std::string(info.param.label); });

// kivlog.exe reads the real stubs' kind: a per-user stub's log that holds a
// key under HKEY_LOCAL_MACHINE draws a warning, which --strict makes a
// refusal, from build and check alike; the per-machine stub takes the same
// log as it is.
TEST(PerUserKivlog, StrictRefusesAKeyThePerUserStubCannotRemove) {
  const std::string dir = FreshDirectory("per-user-kivlog");
  WriteFileBytes(
      dir + "\\m.json",
      R"({"display_name": "Kiv Strict", "records": [)"
      R"({"type": "registry", "root": "HKEY_LOCAL_MACHINE", "path": "Software\\K\\V"}]})");
  const auto kivlog = [&](const std::string& arguments) {
    DWORD code = 0xFFFFFFFF;
    EXPECT_TRUE(RunAndWait(std::string("\"") + KIV_KIVLOG_PATH + "\" " + arguments, 60000, &code));
    return code;
  };
  const auto build = [&](Flavour flavour, const std::string& out, const char* strict) {
    return kivlog("build \"" + dir + "\\m.json\" --stub \"" + StubPath(flavour) + "\" -o \"" + dir +
                  "\\" + out + "\"" + strict);
  };

  EXPECT_EQ(build(Flavour::kPerUser, "user.exe", " --strict"), 1u);
  EXPECT_FALSE(FileExists(dir + "\\user.exe"));
  EXPECT_EQ(build(Flavour::kPerUser, "user.exe", ""), 0u) << "a warning only";
  EXPECT_EQ(kivlog("check \"" + dir + "\\user.exe\""), 0u);
  EXPECT_EQ(kivlog("check --strict \"" + dir + "\\user.exe\""), 1u);

  EXPECT_EQ(build(Flavour::kPerMachine, "machine.exe", " --strict"), 0u);
  EXPECT_EQ(kivlog("check --strict \"" + dir + "\\machine.exe\""), 0u);
}

#if defined(_WIN64)
// ---- Registry views: what the x86_64 stubs see on 64-bit Windows -------------
// A 64-bit program reaches the 32-bit view of HKEY_LOCAL_MACHINE\Software
// with KEY_WOW64_32KEY, as a 32-bit installer writes it.

bool SetViewString(REGSAM view, const std::string& key, const std::string& name,
                   const std::string& value) {
  HKEY k;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                      nullptr, &k, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG rc =
      RegSetValueExA(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(k);
  return rc == ERROR_SUCCESS;
}

std::string ViewString(REGSAM view, const std::string& key, const std::string& name) {
  HKEY k;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &k) != ERROR_SUCCESS) {
    return "<no key>";
  }
  char buffer[512];
  DWORD size = sizeof(buffer);
  const LONG rc =
      RegQueryValueExA(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS ? std::string(buffer) : "<no value>";
}

void DeleteViewKey(REGSAM view, const std::string& key) {
  using DeleteKeyEx = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);
  const auto delete_key = reinterpret_cast<DeleteKeyEx>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA")));
  ASSERT_NE(delete_key, nullptr);
  delete_key(HKEY_LOCAL_MACHINE, key.c_str(), view, 0);
}

// The per-machine x86_64 stub removes the registration from the 64-bit view;
// a 32-bit product of the same name, registered in the 32-bit view, keeps
// its own.
TEST(RegistryViews, PerMachineStubRemovesTheRegistrationFromThe64BitView) {
  Product product("views\\App", "Kiv Views", false);
  const std::string key = kUninstallKey + product.name;
  ASSERT_TRUE(SetViewString(KEY_WOW64_32KEY, key, "UnInstallString", "C:\\x86\\uninst.exe"));
  ASSERT_EQ(ViewString(KEY_WOW64_64KEY, key, "UnInstallString"),
            "\"" + product.uninstall_file + "\"")
      << "two views, one registration in each";

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES});

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  EXPECT_EQ(ViewString(KEY_WOW64_64KEY, key, "UnInstallString"), "<no key>");
  EXPECT_EQ(ViewString(KEY_WOW64_32KEY, key, "UnInstallString"), "C:\\x86\\uninst.exe");
  DeleteViewKey(KEY_WOW64_32KEY, key);
}

// A product that wrote keys in both views (a 32-bit installer with
// KEY_WOW64_64KEY for some) is undone by the x86_64 stub when its log names
// the 32-bit view's keys by their real path, under WOW6432Node: the record
// reaches that view's value, and the 64-bit value of the same name stays.
TEST(RegistryViews, RecordUnderWow6432NodeReachesThe32BitView) {
  const std::string key = "Software\\Kiv Both Views";
  ASSERT_TRUE(SetViewString(KEY_WOW64_32KEY, key, "Setting", "32-bit"));
  ASSERT_TRUE(SetViewString(KEY_WOW64_64KEY, key, "Setting", "64-bit"));
  ASSERT_TRUE(SetViewString(KEY_WOW64_64KEY, key, "Shell", "64-bit"));
  const std::string dir = FreshDirectory("views\\Both");
  const std::string file = dir + "\\uninst.exe";
  WriteUninstallFile(file, "Kiv Both Views", [](LogWriter& w) {
    w.AddRegistryValue("HKEY_LOCAL_MACHINE", "Software\\WOW6432Node\\Kiv Both Views\\Setting",
                       nullptr);
    w.AddRegistryValue("HKEY_LOCAL_MACHINE", "Software\\Kiv Both Views\\Shell", nullptr);
  });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  EXPECT_EQ(ViewString(KEY_WOW64_32KEY, key, "Setting"), "<no key>")
      << "the 32-bit view's value gone, and its key with it";
  EXPECT_EQ(ViewString(KEY_WOW64_64KEY, key, "Setting"), "64-bit");
  EXPECT_EQ(ViewString(KEY_WOW64_64KEY, key, "Shell"), "<no value>");
  DeleteViewKey(KEY_WOW64_64KEY, key);
}
#endif  // _WIN64

}  // namespace
}  // namespace kiv::e2e
