// What a walk may call complete, end to end: the user's saved content is
// never lost, and no product stays in the list of programs for ever.
// Shared by the suite of the NT family and the suite of the 95 family.
#ifndef KIV_TESTS_E2E_COMPLETE_WALK_SCENARIOS_H_
#define KIV_TESTS_E2E_COMPLETE_WALK_SCENARIOS_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "handoff_scenarios.h"
#include "harness.h"
#include "platform/win32.h"
#include "unattended_scenarios.h"

namespace kiv::e2e {

inline constexpr char kUsersVersion[] = "the user's own settings";

// A product that replaced the user's settings file (the log holds the
// user's version) and installed a program beside it:
//   <root>\uninst.exe, <root>\app.exe    the uninstall file, a product file
//   <root>-data\settings.txt             replaced: "installed version" now
struct ReplacingProduct {
  std::string root, uninstall_file, name, app, settings;

  ReplacingProduct(const std::string& directory, const std::string& display_name,
                   bool settings_there = true)
      : root(FreshDirectory(directory)),
        uninstall_file(root + "\\uninst.exe"),
        name(display_name),
        app(root + "\\app.exe"),
        settings(FreshDirectory(directory + "-data") + "\\settings.txt") {
    WriteFileBytes(app, "installed");
    if (settings_there) WriteFileBytes(settings, "installed version");
    RegisterProduct(HKEY_LOCAL_MACHINE, kUninstallKey + name, name, "\"" + uninstall_file + "\"",
                    false);
    WriteUninstallFile(uninstall_file, name, [&](LogWriter& w) {
      w.AddDirectory(root.c_str());
      w.AddRestoredFile(settings.c_str(), kReplacedTime, kUsersVersion,
                        sizeof(kUsersVersion) - 1);
      w.AddFile(app.c_str());
    });
  }
  ~ReplacingProduct() { RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + name); }
  bool Registered() const { return RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey + name); }
  std::string KeptAs() const { return root + "\\uninst.left.exe"; }
};

// A report named like the file the log puts back, in any spelling of it
// (also one that does not exist yet), is refused before anything changes:
// 1639 with /S, the unknown-switch box without, the user's file as it was,
// no report written over it. The same run without the report then puts the
// user's version back.
inline void ReportOverARestoredFileIsRefused(bool other_drive_row) {
  struct Row {
    const char* name;
    bool settings_there;
    std::function<std::string(const std::string&)> spell;
  };
  std::vector<Row> rows = {
      {"as named", true, [](const std::string& p) { return p; }},
      {"small letters and slashes", true,
       [](const std::string& p) {
         std::string s = p;
         std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
           return c == '\\' ? '/' : static_cast<char>(std::tolower(c));
         });
         return s;
       }},
      {"not there yet, through a dot part", false,
       [](const std::string& p) {
         const size_t last = p.rfind('\\');
         return p.substr(0, last) + "\\.\\" + p.substr(last + 1);
       }},
  };
  if (other_drive_row) {
    rows.push_back({"through another drive", true,
                    [](const std::string& p) { return ThroughOtherDrive(p); }});
  }
  for (const Row& row : rows) {
    for (bool silent : {true, false}) {
      SCOPED_TRACE(std::string(row.name) + (silent ? ", /S" : ", no /S"));
      ReplacingProduct product("complete\\Report Over", "Kiv Report Over", row.settings_there);
      const std::string bytes = ReadFileBytes(product.uninstall_file);
      const std::string report = row.spell(product.settings);

      RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + (silent ? " /S" : "") +
                                   " \"/LOG=" + report + "\"",
                               {}, 30000);

      ASSERT_TRUE(run.finished);
      EXPECT_EQ(run.exit_code, kExitUnknownSwitch);
      EXPECT_EQ(run.processes, 1) << "no copy was made";
      if (silent) {
        EXPECT_TRUE(run.boxes.empty()) << run.boxes[0].text;
      } else {
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text.rfind("Unknown switch: ", 0), 0u) << run.boxes[0].text;
        EXPECT_EQ(run.boxes[0].icon, static_cast<uint32_t>(MB_ICONERROR));
      }
      if (row.settings_there) {
        EXPECT_EQ(ReadFileBytes(product.settings), "installed version");
      } else {
        EXPECT_FALSE(FileExists(product.settings)) << "no report was made there";
      }
      EXPECT_TRUE(product.Registered());
      EXPECT_TRUE(FileExists(product.app));
      EXPECT_EQ(ReadFileBytes(product.uninstall_file), bytes);
    }
  }
  ReplacingProduct product("complete\\Report Over", "Kiv Report Over");
  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file) + " /S", {}, 30000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_EQ(ReadFileBytes(product.settings), kUsersVersion);
  EXPECT_FALSE(product.Registered());
}

// The user has deleted the key and the folder a product changed things in
// (a registry value and a file it replaced, an INI value it changed in a
// file there): each is already gone, nothing is made anew to put it back
// into, and the run is complete: 0 with /S, the success box without, the
// product off the list.
inline void WhatIsGoneWithItsContainerIsAlreadyGone(bool silent) {
  SCOPED_TRACE(silent ? "/S" : "no /S");
  const std::string root = FreshDirectory("complete\\Gone Product");
  const std::string file = root + "\\uninst.exe";
  const std::string gone = "C:\\kivtest\\complete\\Gone Folder";
  const std::string key = "Software\\KivTest\\Complete\\Gone";
  const std::string name = "Kiv Gone Containers";
  const std::string report = root + "-report.txt";
  RemoveTree(gone);
  RegDeleteTree(HKEY_CURRENT_USER, "Software\\KivTest\\Complete");
  WriteFileBytes(root + "\\app.exe", "installed");
  RegisterProduct(HKEY_LOCAL_MACHINE, kUninstallKey + name, name, "\"" + file + "\"", false);
  WriteUninstallFile(file, name, [&](LogWriter& w) {
    w.AddDirectory(root.c_str());
    w.AddFile((root + "\\app.exe").c_str());
    w.AddRestoredFile((gone + "\\config.txt").c_str(), kReplacedTime, "saved", 5);
    w.AddIniEntry((gone + "\\app.ini").c_str(), "S", "k", "before", "before", false);
    w.AddRegistryValue("HKEY_CURRENT_USER", (key + "\\Setting").c_str(), "the user's value");
  });

  RunResult run = e2e::Run(
      AsUserStartsIt(file) + (silent ? " /S" : "") + " \"/LOG=" + report + "\"", {IDYES}, 30000);

  ASSERT_TRUE(run.finished);
  if (silent) {
    EXPECT_EQ(run.exit_code, kExitSuccess);
    EXPECT_TRUE(run.boxes.empty()) << run.boxes[0].text;
  } else {
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].text, platform::kSuccessMessage);
  }
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey + name));
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, key)) << "made anew";
  EXPECT_FALSE(DirectoryExists(gone)) << "made anew";
  EXPECT_FALSE(FileExists(file));
  const std::vector<std::string> lines = ReportLines(report);
  ASSERT_EQ(lines.size(), 7u) << ReadFileBytes(report);
  EXPECT_EQ(lines[1], "registry HKEY_CURRENT_USER\\" + key + "\\Setting: already gone");
  EXPECT_EQ(lines[2], "ini " + gone + "\\app.ini [S] k: already gone");
  EXPECT_EQ(lines[3], "file " + gone + "\\config.txt: already gone");
  EXPECT_EQ(lines[4], "file " + root + "\\app.exe: removed");
  EXPECT_EQ(lines[5], "directory " + root + ": goes with the uninstall file");
  EXPECT_EQ(lines[6], std::string("Outcome: everything undone, exit code ") +
                          (silent ? "0" : "1"));
}

// A restore the system refuses (the file resists: access denied) leaves
// what the log saved as its only copy: 1603, the registration and the
// uninstall file stay, and the report names it. Declined, the last box
// changes nothing. Taken off the list anyway (the last box's Yes, or
// /FORCE), the uninstall file stays beside the product under a name the
// report gives, with the saved content in it; once the cause is gone, that
// file finishes the uninstall with 0.
inline void RefusedRestoreKeepsWhatItSaved(bool by_switch) {
  SCOPED_TRACE(by_switch ? "/FORCE" : "the last box");
  ReplacingProduct product("complete\\Refused", "Kiv Refused");
  const std::string bytes = ReadFileBytes(product.uninstall_file);
  const std::string report = product.root + "-report.txt";
  StubbornFile stubborn(product.settings, "installed version");
  ASSERT_TRUE(stubborn.held());
  const std::string silently = AsUserStartsIt(product.uninstall_file) + " /S /LOG=" + report;

  RunResult failed = e2e::Run(silently, {}, 30000);

  ASSERT_TRUE(failed.finished);
  EXPECT_EQ(failed.exit_code, kExitFailed);
  EXPECT_TRUE(product.Registered());
  EXPECT_FALSE(FileExists(product.app)) << "the walk went on";
  EXPECT_EQ(ReadFileBytes(product.uninstall_file), bytes);
  std::vector<std::string> lines = ReportLines(report);
  ASSERT_EQ(lines.size(), 5u) << ReadFileBytes(report);
  EXPECT_EQ(lines[2], "file " + product.settings +
                          ": failed (error 5); what it saved stays in the uninstall file");
  EXPECT_EQ(lines[3], "directory " + product.root + ": goes with the uninstall file");
  EXPECT_EQ(lines[4], "Outcome: not everything undone, exit code 1603");

  if (!by_switch) {
    RunResult declined = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES, IDNO}, 30000);
    ASSERT_TRUE(declined.finished);
    ASSERT_EQ(declined.boxes.size(), 2u);
    EXPECT_EQ(declined.boxes[1].text, "Some items could not be removed. The first of them:\r\n" +
                                          product.settings +
                                          "\r\n\r\nRemove the product from the list anyway? Its "
                                          "uninstall file, with what it saved, then stays as\r\n" +
                                          product.KeptAs() +
                                          "\r\n\r\nNo: it stays listed; start its uninstall "
                                          "again to finish.");
    EXPECT_TRUE(product.Registered());
    EXPECT_EQ(ReadFileBytes(product.uninstall_file), bytes);
    EXPECT_FALSE(FileExists(product.KeptAs()));
  }

  RunResult unlisted =
      by_switch ? e2e::Run(silently + " /FORCE", {}, 30000)
                : e2e::Run(AsUserStartsIt(product.uninstall_file) + " /LOG=" + report,
                           {IDYES, IDYES}, 30000);

  ASSERT_TRUE(unlisted.finished);
  EXPECT_EQ(unlisted.exit_code, by_switch ? kExitSuccess : kExitUninstallEntered);
  EXPECT_EQ(unlisted.boxes.size(), by_switch ? 0u : 2u);
  EXPECT_FALSE(product.Registered());
  EXPECT_FALSE(FileExists(product.uninstall_file));
  EXPECT_EQ(ReadFileBytes(product.KeptAs()), bytes) << "the saved content is kept";
  EXPECT_EQ(ReadFileBytes(product.settings), "installed version");
  lines = ReportLines(report);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            "Outcome: not everything undone; off the list anyway, the uninstall file kept as " +
                product.KeptAs() + ", exit code " + (by_switch ? "0" : "1"));

  stubborn.Release();
  RunResult finished = e2e::Run(AsUserStartsIt(product.KeptAs()) + " /S", {}, 30000);

  ASSERT_TRUE(finished.finished);
  EXPECT_EQ(finished.exit_code, kExitSuccess);
  EXPECT_EQ(ReadFileBytes(product.settings), kUsersVersion);
  EXPECT_FALSE(FileExists(product.KeptAs()));
  EXPECT_FALSE(DirectoryExists(product.root));
}

// A key to remove from a WIN.INI section the system keeps in the registry
// ([Extensions]): the plan and the run ask the same question and agree,
// whether the key is there or already gone; the run ends with 0 and the
// product off the list.
inline void WinIniSectionKeptElsewhereIsDecidedAlike() {
  for (bool there : {false, true}) {
    SCOPED_TRACE(there ? "the key is there" : "the key is already gone");
    const std::string root = FreshDirectory("complete\\Extensions");
    const std::string file = root + "\\uninst.exe";
    const std::string name = "Kiv Extensions";
    WritePrivateProfileStringA("Extensions", "kivtestext", there ? "kivtest.exe ^.kivtestext"
                                                                  : nullptr,
                               "win.ini");
    RegisterProduct(HKEY_LOCAL_MACHINE, kUninstallKey + name, name, "\"" + file + "\"", false);
    WriteUninstallFile(file, name, [&](LogWriter& w) {
      w.AddIniEntry("win.ini", "Extensions", "kivtestext", "<null>", "", false);
    });
    const std::string line =
        std::string("ini win.ini [Extensions] kivtestext: ") + (there ? "removed" : "already gone");

    RunResult plan = e2e::Run(AsUserStartsIt(file) + " /PLAN /S /LOG=" + root + "-plan.txt");
    RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + root + "-run.txt");

    ASSERT_TRUE(plan.finished);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(plan.exit_code, kExitSuccess);
    EXPECT_EQ(run.exit_code, kExitSuccess);
    const std::vector<std::string> planned = ReportLines(root + "-plan.txt");
    const std::vector<std::string> done = ReportLines(root + "-run.txt");
    ASSERT_EQ(planned.size(), 3u) << ReadFileBytes(root + "-plan.txt");
    ASSERT_EQ(done.size(), 3u) << ReadFileBytes(root + "-run.txt");
    EXPECT_EQ(planned[1], line);
    EXPECT_EQ(done[1], line);
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey + name));
    char value[64];
    GetProfileStringA("Extensions", "kivtestext", "<none>", value, sizeof(value));
    EXPECT_STREQ(value, "<none>");
  }
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_COMPLETE_WALK_SCENARIOS_H_
