// Uninstall files that try to make the stub undo what the product never did.
// Shared by the suite of the NT family and the suite of the 95 family, where
// RegDeleteKeyA takes a whole tree.
#ifndef KIV_TESTS_E2E_SAFETY_SCENARIOS_H_
#define KIV_TESTS_E2E_SAFETY_SCENARIOS_H_

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "harness.h"

namespace kiv::e2e {

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
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.processes, 1);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "The uninstall file was damaged.");
  ExpectNeighbourWhole();
  EXPECT_TRUE(FileExists(victim));
  EXPECT_EQ(ReadFileBytes(file), before);
  RegDeleteTree(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\Kiv Neighbour");
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_SAFETY_SCENARIOS_H_
