// Program Manager records end to end: groups and items made through Wine's
// real Program Manager DDE server (served by its explorer process), as an
// installer makes them, then removed by the real stub in the uninstall mode.
//
// Wine keeps a group as a folder under the user's Start Menu\Programs and an
// item as a .lnk file in it; its server deletes an item from the group that
// was last created or shown, by anyone, so the order of the stub's commands
// shows in which files go.
#include <windows.h>

#include <ddeml.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_config.h"
#include "harness.h"
#include "base/exit_codes.h"

namespace kiv::e2e {
namespace {

constexpr char kSuccess[] = "Uninstall was succesful";

// The test build of the stub that looks for a Program Manager service nobody
// serves; it lies beside the real one.
std::string NoProgramManagerStub() {
  std::string path = KIV_STUB_PATH;
  return path.substr(0, path.find_last_of('\\') + 1) + "kivuninst_no_progman.exe";
}

void ExpectSuccessOnly(const RunResult& run) {
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitUninstallEntered);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, kSuccess);
}

class ProgramManagerRecords : public testing::Test {
 protected:
  void SetUp() override {
    programs_ = ProgramsFolder();
    ASSERT_FALSE(programs_.empty());
    RemoveOurs();
  }
  void TearDown() override { RemoveOurs(); }

  std::string Group(const std::string& group) const { return programs_ + "\\" + group; }
  std::string Item(const std::string& group, const std::string& item) const {
    return Group(group) + "\\" + item + ".lnk";
  }

  std::string programs_;

 private:
  void RemoveOurs() {
    for (const char* group : {"Kiv Office", "Kiv Elsewhere", "Kiv After Long", "Kiv Unserved"}) {
      RemoveTree(Group(group));
    }
    // Wine's prefix has no Accessories group of its own: only what we add.
    DeleteFileA(Item("Accessories", "Notepad").c_str());
    DeleteFileA(Item("Accessories", "Kiv Keep").c_str());
    RemoveDirectoryA(Group("Accessories").c_str());
  }
};

TEST_F(ProgramManagerRecords, InstallersGroupAndItsItemsAreRemoved) {
  {
    ProgramManager pm;
    ASSERT_TRUE(pm.connected());
    ASSERT_TRUE(pm.CreateGroup("Kiv Office"));
    ASSERT_TRUE(pm.AddItem("Kiv Writer"));
    ASSERT_TRUE(pm.AddItem("Kiv Reader"));
  }
  ASSERT_TRUE(FileExists(Item("Kiv Office", "Kiv Writer")));
  ASSERT_TRUE(FileExists(Item("Kiv Office", "Kiv Reader")));
  std::string file = FreshDirectory("shell_installed") + "\\uninst.exe";
  WriteUninstallFile(file, "Kiv Office", [](LogWriter& w) {
    w.AddShellGroup("Kiv Office");
    w.AddShellItem("Kiv Office", "Kiv Writer");
    w.AddShellItem("Kiv Office", "Kiv Reader");
  });

  RunResult run = RunUninstallMode(file);

  ExpectSuccessOnly(run);
  EXPECT_FALSE(FileExists(Item("Kiv Office", "Kiv Writer")));
  EXPECT_FALSE(FileExists(Item("Kiv Office", "Kiv Reader")));
  EXPECT_FALSE(DirectoryExists(Group("Kiv Office")));
}

// The server's current group is Kiv Elsewhere, which holds a Notepad too:
// only a show of Accessories sent before the delete takes the right one.
TEST_F(ProgramManagerRecords, ItemIsDeletedFromItsOwnGroupShownFirst) {
  {
    ProgramManager pm;
    ASSERT_TRUE(pm.connected());
    ASSERT_TRUE(pm.CreateGroup("Accessories"));
    ASSERT_TRUE(pm.AddItem("Notepad"));
    ASSERT_TRUE(pm.AddItem("Kiv Keep"));
    ASSERT_TRUE(pm.CreateGroup("Kiv Elsewhere"));
    ASSERT_TRUE(pm.AddItem("Notepad"));
  }
  std::string file = FreshDirectory("shell_accessories") + "\\uninst.exe";
  WriteUninstallFile(file, "Notepad",
                     [](LogWriter& w) { w.AddShellItem("Accessories", "Notepad"); });

  RunResult run = RunUninstallMode(file);

  ExpectSuccessOnly(run);
  EXPECT_FALSE(FileExists(Item("Accessories", "Notepad")));
  EXPECT_TRUE(FileExists(Item("Accessories", "Kiv Keep"))) << "only the named item goes";
  EXPECT_TRUE(FileExists(Item("Kiv Elsewhere", "Notepad"))) << "deleted from the wrong group";
}

// Names of the longest a log may hold go out whole; nothing in the stub or
// the server breaks: the records around them are still carried out.
TEST_F(ProgramManagerRecords, LongestNamesLeaveTheWalkRunning) {
  {
    ProgramManager pm;
    ASSERT_TRUE(pm.connected());
    ASSERT_TRUE(pm.CreateGroup("Kiv After Long"));
  }
  std::string dir = FreshDirectory("shell_long");
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(dir + "\\first.txt", "1");
  WriteFileBytes(dir + "\\last.txt", "2");
  const std::string group(255, 'G');
  const std::string item(255, 'I');
  WriteUninstallFile(file, "Long Names", [&](LogWriter& w) {
    ASSERT_TRUE(w.AddFile((dir + "\\first.txt").c_str()));
    ASSERT_TRUE(w.AddShellGroup("Kiv After Long"));  // walked after the long ones
    ASSERT_TRUE(w.AddShellGroup(group.c_str()));
    ASSERT_TRUE(w.AddShellItem(group.c_str(), item.c_str()));
    ASSERT_TRUE(w.AddFile((dir + "\\last.txt").c_str()));
  });

  RunResult run = RunUninstallMode(file);

  ExpectSuccessOnly(run);
  EXPECT_FALSE(FileExists(dir + "\\last.txt"));
  EXPECT_FALSE(DirectoryExists(Group("Kiv After Long")));
  EXPECT_FALSE(FileExists(dir + "\\first.txt"));
  EXPECT_FALSE(DirectoryExists(dir));
}

// An empty group name would make the server delete the Programs folder with
// every group in it; a name with a quote would smuggle in a command.
TEST_F(ProgramManagerRecords, NamesThatWouldChangeTheCommandAreNotSent) {
  {
    ProgramManager pm;
    ASSERT_TRUE(pm.connected());
    ASSERT_TRUE(pm.CreateGroup("Kiv Office"));
    ASSERT_TRUE(pm.AddItem("Kiv Writer"));
  }
  std::string file = FreshDirectory("shell_unsafe") + "\\uninst.exe";
  WriteUninstallFile(file, "Kiv Unsafe", [](LogWriter& w) {
    w.AddShellGroup("");
    w.AddShellItem("", "Kiv Writer");
    w.AddShellGroup("x\")][DeleteGroup(\"Kiv Office");
    w.AddShellItem("Kiv Office", "x)][DeleteItem(Kiv Writer");
  });

  RunResult run = RunUninstallMode(file);

  ExpectSuccessOnly(run);
  EXPECT_TRUE(DirectoryExists(programs_));
  EXPECT_TRUE(FileExists(Item("Kiv Office", "Kiv Writer")));
}

// With no server answering, the conversation fails once and every command
// sent into it is refused at once: no record waits out a command's 10 s
// time-out, and the walk runs to its end.
TEST_F(ProgramManagerRecords, WithNoServerTheWalkGoesOnToItsEnd) {
  {
    ProgramManager pm;
    ASSERT_TRUE(pm.connected());
    ASSERT_TRUE(pm.CreateGroup("Kiv Unserved"));
    ASSERT_TRUE(pm.AddItem("Kiv Item"));
  }
  std::string dir = FreshDirectory("shell_unserved");
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(dir + "\\first.txt", "1");
  WriteFileBytes(dir + "\\last.txt", "2");
  WriteUninstallFile(file, "Unserved", [&](LogWriter& w) {
    w.AddFile((dir + "\\first.txt").c_str());
    w.AddShellGroup("Kiv Unserved");
    w.AddShellItem("Kiv Unserved", "Kiv Item");
    w.AddShellGroup("Kiv Unserved");
    w.AddFile((dir + "\\last.txt").c_str());
  });

  const DWORD start = GetTickCount();
  RunResult run = RunUninstallMode(file, NoProgramManagerStub());
  const DWORD elapsed = GetTickCount() - start;

  ExpectSuccessOnly(run);
  EXPECT_LT(elapsed, 10000u);
  EXPECT_FALSE(FileExists(dir + "\\last.txt"));
  EXPECT_FALSE(FileExists(dir + "\\first.txt"));
  EXPECT_FALSE(DirectoryExists(dir));
  // The commands reached no server: the real one still has the group.
  EXPECT_TRUE(FileExists(Item("Kiv Unserved", "Kiv Item")));
}

}  // namespace
}  // namespace kiv::e2e
