// The product's entry in the list of programs: where each stub's entry lies,
// what it holds, and what is refused before anything is written.
#include "registration.h"

#include <gtest/gtest.h>

#include <string>

#include "diagnostics.h"

namespace kivlog {
namespace {

constexpr char kToday[] = "20261211";

RegistrationDetails Full() {
  RegistrationDetails d;
  d.version = "2.4.1";
  d.publisher = "Example \"Q\" Corp.";
  d.display_icon = "C:\\Program Files\\Ex\\ex.exe,0";
  d.estimated_size_kib = 2048;
  d.language = 1031;
  d.url_info_about = "https://example.com/";
  return d;
}

std::string Ids(const std::vector<Diagnostic>& faults) {
  std::string ids;
  for (const Diagnostic& d : faults) ids += (ids.empty() ? "" : " ") + d.id + ":" + d.field;
  return ids;
}

TEST(Registration, EachStubsEntryLiesWhereThatStubRemovesIt) {
  struct Row {
    StubKind kind;
    bool per_user, view_64bit;
  } rows[] = {
      {{StubMachine::kI686, StubLevel::kRequireAdministrator}, false, false},
      {{StubMachine::kX86_64, StubLevel::kRequireAdministrator}, false, true},
      {{StubMachine::kI686, StubLevel::kAsInvoker}, true, false},
      {{StubMachine::kX86_64, StubLevel::kAsInvoker}, true, true},
  };
  for (const Row& row : rows) {
    RegistrationEntry e;
    EXPECT_EQ(Ids(PlanRegistration(row.kind, "Ex", "Ex", 0, "C:\\Ex\\u.exe", Full(), kToday, &e)),
              "");
    EXPECT_EQ(e.per_user, row.per_user);
    EXPECT_EQ(e.view_64bit, row.view_64bit);
    EXPECT_EQ(e.key, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ex");
  }
  // A stub that is none of the four: where it removes the entry is unknown.
  for (const StubKind kind : {StubKind{StubMachine::kUnknown, StubLevel::kAsInvoker},
                              StubKind{StubMachine::kI686, StubLevel::kHighestAvailable},
                              StubKind{StubMachine::kI686, StubLevel::kUnknown}}) {
    RegistrationEntry e;
    EXPECT_EQ(Ids(PlanRegistration(kind, "Ex", "Ex", 0, "C:\\Ex\\u.exe", Full(), kToday, &e)),
              "KIV0021:");
  }
}

TEST(Registration, TheEntryHoldsWhatPackageManagersRead) {
  RegistrationEntry e;
  ASSERT_EQ(Ids(PlanRegistration({StubMachine::kX86_64, StubLevel::kRequireAdministrator},
                                 "Ex Pro", "Ex Pro", 0, "C:\\Program Files\\Ex Pro\\uninst.exe",
                                 Full(), kToday, &e)),
            "");
  EXPECT_EQ(RegistrationText(e),
            "Windows Registry Editor Version 5.00\n\n"
            "; the 64-bit registry view\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ex Pro]\n"
            "\"DisplayName\"=\"Ex Pro\"\n"
            "\"UninstallString\"=\"\\\"C:\\\\Program Files\\\\Ex Pro\\\\uninst.exe\\\"\"\n"
            "\"QuietUninstallString\"=\"\\\"C:\\\\Program Files\\\\Ex Pro\\\\uninst.exe\\\" /S\"\n"
            "\"DisplayVersion\"=\"2.4.1\"\n"
            "\"Publisher\"=\"Example \\\"Q\\\" Corp.\"\n"
            "\"InstallLocation\"=\"C:\\\\Program Files\\\\Ex Pro\"\n"
            "\"DisplayIcon\"=\"C:\\\\Program Files\\\\Ex\\\\ex.exe,0\"\n"
            "\"EstimatedSize\"=dword:00000800\n"
            "\"InstallDate\"=\"20261211\"\n"
            "\"NoModify\"=dword:00000001\n"
            "\"NoRepair\"=dword:00000001\n"
            "\"Language\"=dword:00000407\n"
            "\"URLInfoAbout\"=\"https://example.com/\"\n");
}

TEST(Registration, WhatCannotMakeAnEntryThatWorksIsRefused) {
  const StubKind machine{StubMachine::kI686, StubLevel::kRequireAdministrator};
  struct Row {
    const char* path;
    RegistrationDetails details;
    const char* ids;
  };
  RegistrationDetails none;
  RegistrationDetails allowed;
  allowed.allow_missing = true;
  RegistrationDetails bad_dates[4] = {Full(), Full(), Full(), Full()};
  bad_dates[0].install_date = "20260230";
  bad_dates[1].install_date = "2026-1-1";
  bad_dates[2].install_date = "19791231";
  bad_dates[3].install_date = "20240229";  // a leap day: sound
  RegistrationDetails control = Full();
  control.publisher = "Ex\r\nCorp";
  RegistrationDetails relative_location = Full();
  relative_location.install_location = "Ex";
  const Row rows[] = {
      {"C:\\Ex\\u.exe", none, "KIV0098:version KIV0098:publisher"},
      {"C:\\Ex\\u.exe", allowed, ""},
      {"C:\\Ex\\u.exe", bad_dates[0], "KIV0098:install_date"},
      {"C:\\Ex\\u.exe", bad_dates[1], "KIV0098:install_date"},
      {"C:\\Ex\\u.exe", bad_dates[2], "KIV0098:install_date"},
      {"C:\\Ex\\u.exe", bad_dates[3], ""},
      {"C:\\Ex\\u.exe", control, "KIV0014:publisher"},
      {"C:\\Ex\\u.exe", relative_location, "KIV0015:install_location"},
      {"Ex\\u.exe", Full(), "KIV0015:path"},
      {"C:\\Ex\\u\".exe", Full(), "KIV0015:path"},
      {"\\\\server\\share\\Ex\\u.exe", Full(), ""},
  };
  for (const Row& row : rows) {
    RegistrationEntry e;
    EXPECT_EQ(Ids(PlanRegistration(machine, "Ex", "Ex", 0, row.path, row.details, kToday, &e)),
              row.ids)
        << row.path << " " << row.details.install_date;
  }
}

TEST(Registration, AllowedMissingValuesAreLeftOutAndTheFolderIsTheFilesOwn) {
  RegistrationDetails d;
  d.allow_missing = true;
  for (const auto& [path, folder] :
       {std::pair<std::string, std::string>{"C:\\u.exe", "C:\\"}, {"D:\\A\\B\\u.exe", "D:\\A\\B"}}) {
    RegistrationEntry e;
    ASSERT_EQ(Ids(PlanRegistration({StubMachine::kI686, StubLevel::kAsInvoker}, "Ex", "Ex", 0,
                                   path, d, kToday, &e)),
              "");
    std::string names;
    for (const RegistryValue& v : e.values) {
      names += v.name + " ";
      if (v.name == "InstallLocation") EXPECT_EQ(v.text, folder);
    }
    EXPECT_EQ(names,
              "DisplayName UninstallString QuietUninstallString InstallLocation InstallDate "
              "NoModify NoRepair ");
  }
}

TEST(Registration, TheLibrarysDetailsAreReadFieldByField) {
  std::vector<Diagnostic> faults;
  const RegistrationDetails d = ReadRegistrationDetails(
      nlohmann::json::parse(R"({"version": "1.0", "publisher": "P", "language": 1033,
                                "estimated_size_kib": 12, "allow_missing": true,
                                "path": "C:\\u.exe"})"),
      &faults);
  EXPECT_EQ(Ids(faults), "");
  EXPECT_EQ(d.version, "1.0");
  EXPECT_EQ(d.path, "C:\\u.exe");
  EXPECT_EQ(d.language, 1033u);
  EXPECT_EQ(d.estimated_size_kib, 12u);
  EXPECT_TRUE(d.allow_missing);

  faults.clear();
  ReadRegistrationDetails(nlohmann::json::parse(R"({"verison": "1.0", "language": 70000,
                                                    "publisher": 3, "allow_missing": "yes"})"),
                          &faults);
  // (In the order of the names: the object keeps its members sorted.)
  EXPECT_EQ(Ids(faults), "KIV0005:allow_missing KIV0005:language KIV0005:publisher KIV0003:verison");
}

}  // namespace
}  // namespace kivlog
