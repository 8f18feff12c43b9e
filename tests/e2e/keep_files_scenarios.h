// Another product's file and the user's edits stay, end to end: a shared
// file goes only with the last product that counts as its user, a file the
// user changed since installation stays with its directory. Shared by the
// suite of the NT family and the suite of the 95 family.
#ifndef KIV_TESTS_E2E_KEEP_FILES_SCENARIOS_H_
#define KIV_TESTS_E2E_KEEP_FILES_SCENARIOS_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "base/crc32.h"
#include "base/exit_codes.h"
#include "handoff_scenarios.h"
#include "harness.h"
#include "unattended_scenarios.h"

namespace kiv::e2e {

inline constexpr char kSharedDllsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// C:\windows\system32\kivshared.dll, where the system keeps it.
inline std::string SharedDllPath() {
  char system[MAX_PATH];
  GetSystemDirectoryA(system, MAX_PATH);
  return std::string(system) + "\\kivshared.dll";
}

// The file's SharedDLLs value: type REG_DWORD with count, another type with
// its bytes, or none (type 0: no value).
inline void SetSharedValue(const std::string& path, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (type == 0) {
    RegDeleteValueA(key, path.c_str());
  } else {
    ASSERT_EQ(RegSetValueExA(key, path.c_str(), 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }
  RegCloseKey(key);
}
inline void SetSharedCount(const std::string& path, DWORD count) {
  SetSharedValue(path, REG_DWORD, &count, sizeof(count));
}
// The count, or -1 when there is no REG_DWORD value of that name.
inline int64_t SharedCount(const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return -1;
  }
  DWORD type = 0, value = 0, size = sizeof(value);
  const LONG rc = RegQueryValueExA(key, path.c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_DWORD ? static_cast<int64_t>(value) : -1;
}

// A product whose log created its folder and installed the shared file.
struct SharingProduct {
  std::string root, uninstall_file, name;
  SharingProduct(const std::string& directory, const std::string& display_name,
                 const std::string& shared)
      : root(FreshDirectory(directory)), uninstall_file(root + "\\uninst.exe"), name(display_name) {
    RegisterProduct(HKEY_LOCAL_MACHINE, kUninstallKey + name, name, "\"" + uninstall_file + "\"",
                    false);
    WriteUninstallFile(uninstall_file, name, [&](LogWriter& w) {
      w.AddDirectory(root.c_str());
      FieldValue path[1];
      path[0].text = shared.c_str();
      w.AddRecord(RecordType::kSharedFile, path);
    });
  }
  ~SharingProduct() { RegDeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey + name); }
  // Runs the uninstall silently with a report; the report's lines.
  std::vector<std::string> Uninstall(const std::string& report_name = "report.txt") {
    const std::string report = root + "-" + report_name;
    RunResult run = e2e::Run(AsUserStartsIt(uninstall_file) + " /S /LOG=" + report, {}, 30000);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, kExitSuccess);
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey + name)) << "left the list";
    EXPECT_FALSE(FileExists(uninstall_file));
    return ReportLines(report);
  }
};

// Two products share the file with a count of 2: the first uninstall keeps
// it and leaves 1; the second removes it and its value. Its JSON report
// says the same.
inline void SharedFileGoesWithItsLastUser() {
  const std::string dll = SharedDllPath();
  WriteFileBytes(dll, "shared runtime");
  SetSharedCount(dll, 2);
  SharingProduct first("keep\\First", "Kiv Shared First", dll);
  SharingProduct second("keep\\Second", "Kiv Shared Second", dll);

  std::vector<std::string> lines = first.Uninstall("report.json");
  EXPECT_TRUE(FileExists(dll));
  EXPECT_EQ(SharedCount(dll), 1);
  const auto json = nlohmann::json::parse(ReadFileBytes(first.root + "-report.json"));
  ASSERT_EQ(json["records"].size(), 2u);
  EXPECT_EQ(json["records"][0]["type"], "shared_file");
  EXPECT_EQ(json["records"][0]["outcome"], "kept: still used by 1 product");
  EXPECT_EQ(json["records"][0]["left"], "harmless");

  lines = second.Uninstall();
  EXPECT_FALSE(FileExists(dll));
  EXPECT_EQ(SharedCount(dll), -1);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "shared_file " + dll + ": removed");
}

// A count of 3 goes to 2 and says so; a count already 0, a missing value
// and one that is no REG_DWORD are taken as this product alone: the file
// and its value go, and the report says why.
inline void SharedFileWithoutAValidCountGoes() {
  const std::string dll = SharedDllPath();
  {
    WriteFileBytes(dll, "shared runtime");
    SetSharedCount(dll, 3);
    SharingProduct product("keep\\Three", "Kiv Shared Three", dll);
    const std::vector<std::string> lines = product.Uninstall();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "shared_file " + dll + ": kept: still used by 2 products");
    EXPECT_EQ(SharedCount(dll), 2);
  }
  const DWORD zero = 0;
  const struct {
    const char* name;
    DWORD type;
    const void* data;
    DWORD size;
  } rows[] = {
      {"count 0", REG_DWORD, &zero, sizeof(zero)},
      {"no value", 0, nullptr, 0},
      {"a string", REG_SZ, "2", 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFileBytes(dll, "shared runtime");
    SetSharedValue(dll, row.type, row.data, row.size);
    SharingProduct product("keep\\Uncounted", "Kiv Shared Uncounted", dll);
    const std::vector<std::string> lines = product.Uninstall();
    EXPECT_FALSE(FileExists(dll));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_NE(RegQueryValueExA(key, dll.c_str(), nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS)
        << "the value stays";
    RegCloseKey(key);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "shared_file " + dll +
                            ": removed: no valid count of its users (taken as the last)");
  }
}

// A configuration file the user edited after installation stays, with its
// directory; an unedited one goes, and so does its directory.
inline void EditedConfigurationStays() {
  const std::string root = FreshDirectory("keep\\Configured");
  const std::string file = root + "\\uninst.exe";
  const std::string name = "Kiv Kept Configuration";
  const std::string edited_dir = root + "\\Edited", untouched_dir = root + "\\Untouched";
  const std::string edited = edited_dir + "\\app.ini", untouched = untouched_dir + "\\app.ini";
  const std::string installed = "[Window]\r\nMode=small\r\n";
  MakeDirectories(edited_dir);
  MakeDirectories(untouched_dir);
  WriteFileBytes(edited, installed);
  WriteFileBytes(untouched, installed);
  uint8_t check[kContentCheckSize];
  StoreU32(check, static_cast<uint32_t>(installed.size()));
  StoreU32(check + 4, Crc32(0, installed.data(), static_cast<uint32_t>(installed.size())));
  RegisterProduct(HKEY_LOCAL_MACHINE, kUninstallKey + name, name, "\"" + file + "\"", false);
  WriteUninstallFile(file, name, [&](LogWriter& w) {
    w.AddDirectory(root.c_str());
    for (const std::string* dir : {&edited_dir, &untouched_dir}) {
      w.AddDirectory(dir->c_str());
      FieldValue kept[2];
      const std::string path = *dir + "\\app.ini";
      kept[0].text = path.c_str();
      kept[1].bytes = check;
      w.AddRecord(RecordType::kKeptFile, kept);
    }
  });
  // The user's edit: same size, one letter changed.
  WriteFileBytes(edited, "[Window]\r\nMode=large\r\n");

  const std::string report = root + "-report.txt";
  RunResult run = e2e::Run(AsUserStartsIt(file) + " /S /LOG=" + report, {}, 30000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitSuccess);
  EXPECT_EQ(ReadFileBytes(edited), "[Window]\r\nMode=large\r\n");
  EXPECT_FALSE(FileExists(untouched));
  EXPECT_FALSE(DirectoryExists(untouched_dir));
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kUninstallKey + name)) << "left the list";
  const std::vector<std::string> lines = ReportLines(report);
  ASSERT_EQ(lines.size(), 7u) << ReadFileBytes(report);
  EXPECT_EQ(lines[1], "kept_file " + untouched + ": removed");
  EXPECT_EQ(lines[2], "directory " + untouched_dir + ": removed");
  EXPECT_EQ(lines[3], "kept_file " + edited + ": kept: changed since installation");
  EXPECT_EQ(lines[4], "directory " + edited_dir + ": kept: not empty");
  EXPECT_EQ(lines[5], "directory " + root + ": kept: not empty");
  EXPECT_EQ(lines[6], "Outcome: everything undone, exit code 0");
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_KEEP_FILES_SCENARIOS_H_
