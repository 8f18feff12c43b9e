// The format's limits end to end: fields of their full length, names in the
// ANSI code page beyond ASCII. Nothing may crash or be cut; every record is
// undone and the success message follows.
#include <gtest/gtest.h>

#include <string>

#include "handoff_scenarios.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

void ExpectSuccess(const RunResult& run) {
  ASSERT_TRUE(run.finished);
  ASSERT_FALSE(run.boxes.empty());
  EXPECT_EQ(run.boxes.back().text, "Uninstall was succesful");
}

TEST(Limits, PathsOfTheirFullLengthAreUndone) {
  std::string dir = FreshDirectory("limits\\paths");
  // Directories nested until a file path takes all 255 bytes of its field.
  std::string deep = dir;
  while (deep.size() < 200) deep += "\\" + std::string(40, 'd');
  std::string file = deep + "\\" + std::string(255 - deep.size() - 1, 'f');
  ASSERT_EQ(file.size(), 255u);
  WriteFileBytes(file, "installed");
  ASSERT_TRUE(FileExists(file));
  std::string uninstall_file = dir + "\\uninst.exe";
  WriteUninstallFile(uninstall_file, "Long Paths", [&](LogWriter& w) {
    std::string path = dir;
    while (path.size() < deep.size()) {
      path += "\\" + std::string(40, 'd');
      ASSERT_TRUE(w.AddDirectory(path.c_str()));
    }
    ASSERT_TRUE(w.AddFile(file.c_str()));
  });

  RunResult run = RunUninstallMode(uninstall_file);

  ExpectSuccess(run);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(dir + "\\" + std::string(40, 'd')));
  EXPECT_FALSE(DirectoryExists(dir));
}

TEST(Limits, DisplayNameOf255BytesFillsThePrompt) {
  const std::string name = "Kiv " + std::string(251, 'N');
  Product product("limits\\long name", name, false);

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES});

  ExpectSuccess(run);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[0].text, Prompt(name));
  EXPECT_FALSE(FileExists(product.root + "\\app.exe"));
  EXPECT_FALSE(DirectoryExists(product.root));
}

TEST(Limits, NamesBeyondAsciiInTheAnsiCodePage) {
  ASSERT_EQ(GetACP(), 1252u) << "the prefix's ANSI code page";
  const std::string name = "Caf\xE9 Suite";  // é in code page 1252
  Product product("limits\\Caf\xE9 Suite", name, true);
  ASSERT_TRUE(FileExists(product.root + "\\app.exe"));

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES});

  ExpectSuccess(run);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[0].text, Prompt(name));
  EXPECT_FALSE(product.Registered());
  EXPECT_FALSE(DirectoryExists(product.root));
}

TEST(Limits, RegistryPathAndDataOf1023Bytes) {
  const std::string key = "Software\\KivLimits";
  RegDeleteTree(HKEY_CURRENT_USER, key);
  // Key paths are short (Wine refuses keys over 255 characters); the value
  // names take the rest of the 1,023 bytes.
  const std::string set_name(1023 - key.size() - 1, 's');
  const std::string gone_name(1023 - key.size() - 1, 'g');
  const std::string data(1023, 'D');
  ASSERT_TRUE(SetRegString(HKEY_CURRENT_USER, key, set_name, "installed"));
  ASSERT_TRUE(SetRegString(HKEY_CURRENT_USER, key, gone_name, "installed"));
  std::string dir = FreshDirectory("limits\\registry");
  std::string file = dir + "\\uninst.exe";
  WriteUninstallFile(file, "Registry Limits", [&](LogWriter& w) {
    ASSERT_TRUE(w.AddRegistryValue("HKEY_CURRENT_USER", (key + "\\" + gone_name).c_str(), nullptr));
    ASSERT_TRUE(
        w.AddRegistryValue("HKEY_CURRENT_USER", (key + "\\" + set_name).c_str(), data.c_str()));
  });

  RunResult run = RunUninstallMode(file);

  ExpectSuccess(run);
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, key, set_name), data);
  EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, key, gone_name));
  RegDeleteTree(HKEY_CURRENT_USER, key);
}

}  // namespace
}  // namespace kiv::e2e
