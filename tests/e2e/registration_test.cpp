// kivlog.exe register writes the product's entry where its stub removes it,
// and a client of the system's list of programs we did not write (Wine's
// own "uninstaller") lists the product and starts its uninstall from the
// entry: the question, Yes, the product and its entry gone.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

#include "base/exit_codes.h"
#include "e2e_config.h"
#include "handoff_scenarios.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

// What Wine's list of programs holds, one "key|||display name" a line.
std::string ListOfPrograms(const std::string& dir) {
  const std::string out = dir + "\\list.txt";
  DeleteFileA(out.c_str());
  EXPECT_TRUE(RunAndWait("cmd.exe /c uninstaller.exe --list > \"" + out + "\"", 60000));
  return ReadFileBytes(out);
}

DWORD RegNumber(HKEY root, const std::string& key, const char* name) {
  DWORD value = 0, size = sizeof(value), type = 0;
  if (RegGetValueA(root, key.c_str(), name, RRF_RT_REG_DWORD, &type, &value, &size) !=
      ERROR_SUCCESS) {
    return 0xFFFFFFFF;
  }
  return value;
}

struct RegisterCase {
  const char* label;
  Flavour flavour;
};

class Register : public testing::TestWithParam<RegisterCase> {};

TEST_P(Register, TheListOfProgramsShowsTheEntryAndRemovesTheProductThroughIt) {
  const RegisterCase& c = GetParam();
  const std::string name = std::string("Kiv Registered ") + c.label;
  const std::string root = FreshDirectory(name);
  const std::string uninstall_file = root + "\\uninst.exe";
  const HKEY own = c.flavour == Flavour::kPerUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  const std::string key = kUninstallKey + name;
  RegDeleteTree(own, key);
  WriteFileBytes(root + "\\app.exe", "app");
  WriteUninstallFile(
      uninstall_file, name,
      [&](LogWriter& w) {
        w.AddDirectory(root.c_str());
        w.AddFile((root + "\\app.exe").c_str());
      },
      c.flavour);

  // A missing version is refused, and nothing is written.
  DWORD code = 0;
  ASSERT_TRUE(RunAndWait(std::string("\"") + KIV_KIVLOG_PATH + "\" register \"" +
                             uninstall_file + "\" --publisher \"Kiv Test Corp.\"",
                         60000, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_FALSE(RegKeyExists(own, key));

  ASSERT_TRUE(RunAndWait(std::string("\"") + KIV_KIVLOG_PATH + "\" register \"" +
                             uninstall_file +
                             "\" --display-version 3.1.4 --publisher \"Kiv Test Corp.\" "
                             "--estimated-size 120 --language 1033",
                         60000, &code));
  ASSERT_EQ(code, 0u);
  EXPECT_EQ(RegString(own, key, "DisplayName"), name);
  EXPECT_EQ(RegString(own, key, "DisplayVersion"), "3.1.4");
  EXPECT_EQ(RegString(own, key, "Publisher"), "Kiv Test Corp.");
  EXPECT_EQ(RegString(own, key, "UninstallString"), "\"" + uninstall_file + "\"");
  EXPECT_EQ(RegString(own, key, "QuietUninstallString"), "\"" + uninstall_file + "\" /S");
  EXPECT_EQ(RegString(own, key, "InstallLocation"), root);
  EXPECT_EQ(RegNumber(own, key, "EstimatedSize"), 120u);
  EXPECT_EQ(RegNumber(own, key, "NoModify"), 1u);
  EXPECT_EQ(RegNumber(own, key, "Language"), 1033u);
  EXPECT_EQ(RegString(own, key, "InstallDate").size(), 8u);

  const std::string listed = name + "|||" + name;
  EXPECT_NE(ListOfPrograms(root).find(listed), std::string::npos);

  // The list's own remove command starts the registered uninstall: the
  // question, Yes, then the success box.
  RunResult run = e2e::Run("uninstaller.exe --remove \"" + name + "\"", {IDYES});
  ASSERT_TRUE(run.finished);
  ASSERT_GE(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[0].text, Prompt(name));
  EXPECT_FALSE(FileExists(root + "\\app.exe"));
  EXPECT_FALSE(FileExists(uninstall_file));
  EXPECT_FALSE(RegKeyExists(own, key));
  const std::string list_dir = FreshDirectory("Kiv Registered List");
  EXPECT_EQ(ListOfPrograms(list_dir).find(listed), std::string::npos);
  RemoveTree(list_dir);
  RemoveTree(root);
}

INSTANTIATE_TEST_SUITE_P(Stubs, Register,
                         testing::Values(RegisterCase{"PerMachine", Flavour::kPerMachine},
                                         RegisterCase{"PerUser", Flavour::kPerUser}),
                         [](const testing::TestParamInfo<RegisterCase>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
}  // namespace kiv::e2e
