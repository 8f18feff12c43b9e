// DLL planting: DLLs that programs commonly load by name, planted where the
// uninstall runs from, must never be loaded by the stub.
//
// Wine prefers its own builtin DLLs, so the suite first tells it to prefer a
// native DLL found in the search order (HKCU\Software\Wine\DllOverrides,
// "native,builtin"), which makes it as exposed as Windows is; the control
// case shows that a planted DLL is then really loaded from a program's own
// directory. (An override in the environment does not reach the processes a
// Windows program starts under Wine; the registry reaches them all.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_config.h"
#include "handoff_scenarios.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

const char* const kPlanted[] = {"version.dll", "imm32.dll", "msimg32.dll", "uxtheme.dll",
                                "dwmapi.dll"};
const char kMarkers[] = "C:\\kivtest\\planted_markers";
const char kOverrides[] = "Software\\Wine\\DllOverrides";

class Planting : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* name : kPlanted) {
      std::string module(name, std::string(name).find('.'));
      SetRegString(HKEY_CURRENT_USER, kOverrides, module, "native,builtin");
    }
  }
  static void TearDownTestSuite() { RegDeleteTree(HKEY_CURRENT_USER, kOverrides); }
  void SetUp() override { RemoveTree(kMarkers); }
  void TearDown() override {
    for (const std::string& dir : planted_dirs_) {
      for (const char* name : kPlanted) DeleteFileA((dir + "\\" + name).c_str());
    }
  }
  void Plant(const std::string& directory) {
    const std::string dll = ReadFileBytes(KIV_PLANTED_DLL_PATH);
    ASSERT_FALSE(dll.empty());
    for (const char* name : kPlanted) WriteFileBytes(directory + "\\" + name, dll);
    planted_dirs_.push_back(directory);
  }
  static std::vector<std::string> Markers() { return ListFiles(kMarkers, "*.txt"); }

  std::vector<std::string> planted_dirs_;
};

TEST_F(Planting, ControlAProgramLoadsDllsPlantedBesideIt) {
  // Our own stub, flat beside planted DLLs, as a flat temporary copy would be.
  std::string dir = FreshDirectory("planting\\flat");
  std::string stub = dir + "\\STP1234.tmp";
  WriteFileBytes(stub, ReadFileBytes(KIV_STUB_PATH));
  std::string file = FreshDirectory("planting\\flat_product") + "\\uninst.exe";
  WriteUninstallFile(file, "Flat", [](LogWriter&) {});
  Plant(dir);

  e2e::Run("\"" + stub + "\" " + file, {}, 20000);

  EXPECT_FALSE(Markers().empty()) << "Wine loaded none of the planted DLLs: the test below "
                                     "could not fail";
}

TEST_F(Planting, DllsInTheTemporaryDirectoryAreLoadedByNoProcessOfTheRun) {
  Product product("planting\\Temp", "Kiv Planting Temp", true);
  Plant(TempDirectory().substr(0, TempDirectory().size() - 1));

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES});

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.processes, 2);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  EXPECT_EQ(Markers(), std::vector<std::string>{});
  EXPECT_FALSE(FileExists(product.uninstall_file));
}

// Beside the uninstall file they would reach the copy only if it ran there.
// (Wine itself loads some of them into the confirmation process, which runs
// from that directory, while it resolves its own user32's imports before the
// program's first instruction; on Windows those are known DLLs, always taken
// from the system directory. So only the copy is judged here.)
TEST_F(Planting, DllsBesideTheUninstallFileNeverReachTheCopy) {
  Product product("planting\\Beside", "Kiv Planting Beside", true);
  Plant(product.root);

  RunResult run = e2e::Run(AsUserStartsIt(product.uninstall_file), {IDYES});

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.processes, 2);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  for (const std::string& marker : Markers()) {
    EXPECT_EQ(marker.find("-in-uninstall.exe"), std::string::npos) << marker;
  }
  EXPECT_FALSE(FileExists(product.uninstall_file));
}

}  // namespace
}  // namespace kiv::e2e
