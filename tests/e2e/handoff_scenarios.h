// The whole two-process uninstall, as a user starts it. Shared by the suite
// of the NT family and the suite of the 95 family (a prefix set to win98),
// which differ only in how the pending deletions are kept.
#ifndef KIV_TESTS_E2E_HANDOFF_SCENARIOS_H_
#define KIV_TESTS_E2E_HANDOFF_SCENARIOS_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_config.h"
#include "harness.h"
#include "base/exit_codes.h"

namespace kiv::e2e {

inline const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// The uninstall registration under root: the two values in the product's
// key, or (as_subkeys) as the default values of two subkeys of it.
inline void RegisterProduct(HKEY root, const std::string& key, const std::string& name,
                            const std::string& command, bool as_subkeys) {
  if (as_subkeys) {
    SetRegString(root, key + "\\DisplayName", "", name);
    SetRegString(root, key + "\\UnInstallString", "", command);
  } else {
    SetRegString(root, key, "DisplayName", name);
    SetRegString(root, key, "UnInstallString", command);
  }
}

inline std::vector<std::string> TempCopies() { return ListFiles(TempDirectory(), "STP*.tmp"); }

inline std::vector<std::string> NewNames(const std::vector<std::string>& before,
                                         const std::vector<std::string>& after) {
  std::vector<std::string> added;
  for (const std::string& name : after) {
    if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
  }
  return added;
}

// A product of two directories and two files, registered as an installer
// would: as subkeys or as values of its Uninstall key.
struct Product {
  std::string root;
  std::string uninstall_file;
  std::string name;

  Product(const std::string& directory, const std::string& display_name, bool as_subkeys)
      : root(FreshDirectory(directory)), uninstall_file(root + "\\uninst.exe"), name(display_name) {
    WriteFileBytes(root + "\\app.exe", "app");
    WriteFileBytes(root + "\\data\\a.dat", "data");
    const std::string key = kUninstallKey + name;
    RegisterProduct(HKEY_LOCAL_MACHINE, key, name, "\"" + uninstall_file + "\"", as_subkeys);
    const std::string r = root;
    WriteUninstallFile(uninstall_file, name, [&](LogWriter& w) {
      w.AddDirectory(r.c_str());
      w.AddFile((r + "\\app.exe").c_str());
      w.AddDirectory((r + "\\data").c_str());
      w.AddFile((r + "\\data\\a.dat").c_str());
    });
  }
  bool Registered() const { return RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey + name); }
};

inline std::string Prompt(const std::string& name) {
  return "Are you sure you want to completely remove \r\n" + name + " and all of its components?";
}

// Yes: the registration, the product, the uninstall file and its directory
// go in the run; the temporary copy and its directory go at the next start.
// On the 95 family the copy is the plain temporary file (WININIT.INI deletes
// files only), and nothing of it stays after the restart.
inline void ConfirmedUninstallRemovesEverything(const std::string& directory,
                                                const std::string& name, bool as_subkeys,
                                                bool flat_copy = false) {
  Product product(directory, name, as_subkeys);
  ASSERT_TRUE(product.Registered());
  const std::vector<std::string> copies_before = TempCopies();

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES});

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitUninstallEntered);
  EXPECT_EQ(run.processes, 2) << "the confirmation and its temporary copy";
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[0].text, Prompt(name));
  EXPECT_EQ(run.boxes[0].buttons, (std::vector<std::string>{"&Yes", "&No"}));
  EXPECT_EQ(run.boxes[0].icon, static_cast<uint32_t>(MB_ICONQUESTION));
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  EXPECT_FALSE(product.Registered());
  EXPECT_FALSE(FileExists(product.uninstall_file)) << "the copy deletes it itself";
  EXPECT_FALSE(DirectoryExists(product.root));

  std::vector<std::string> copies = NewNames(copies_before, TempCopies());
  ASSERT_EQ(copies.size(), 1u) << "one copy, waiting for the next start";
  const std::string entry = TempDirectory() + copies[0];
  const std::string copy = flat_copy ? entry : entry + "\\uninstall.exe";
  EXPECT_EQ(DirectoryExists(entry), !flat_copy);
  EXPECT_TRUE(FileExists(copy));
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(copy));
  EXPECT_FALSE(DirectoryExists(entry));
  EXPECT_TRUE(NewNames(copies_before, TempCopies()).empty()) << "something stayed";
}

inline void DeclinedUninstallChangesNothing() {
  Product product("declined\\App", "Declined App", true);
  const std::vector<std::string> copies_before = TempCopies();
  const std::string before = ReadFileBytes(product.uninstall_file);

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDNO});

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_EQ(run.processes, 1) << "no second process";
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, Prompt("Declined App"));
  EXPECT_TRUE(product.Registered());
  EXPECT_EQ(ReadFileBytes(product.uninstall_file), before);
  EXPECT_TRUE(FileExists(product.root + "\\data\\a.dat"));
  EXPECT_TRUE(NewNames(copies_before, TempCopies()).empty());
  RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + std::string("Declined App"));
}

// The uninstall file is held open past the retry: it is scheduled, the run
// still succeeds, and the file goes at the next start. before_restart sees
// the file's path once the run is over.
inline void LockedUninstallFileGoesAtTheNextStart(
    const std::function<void(const std::string&)>& before_restart = {}) {
  std::string dir = FreshDirectory("locked\\App");
  std::string file = dir + "\\uninst.exe";
  WriteUninstallFile(file, "Locked App", [](LogWriter&) {});
  HANDLE hold =
      CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);

  RunResult run = RunUninstallMode(file);
  CloseHandle(hold);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  EXPECT_TRUE(FileExists(file)) << "held open through the whole retry";
  if (before_restart) before_restart(file);
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(file));
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_HANDOFF_SCENARIOS_H_
