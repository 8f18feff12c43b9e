// The built stub's resources, read back the way Windows reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_config.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

class StubResources : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(KIV_STUB_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  std::string Resource(LPCSTR type, LPCSTR name) {
    HRSRC found = FindResourceA(module_, name, type);
    if (!found) return std::string();
    HGLOBAL loaded = LoadResource(module_, found);
    return std::string(static_cast<const char*>(LockResource(loaded)),
                       SizeofResource(module_, found));
  }
  HMODULE module_ = nullptr;
};

TEST_F(StubResources, PromptIsStringOneInUnitedStatesEnglish) {
  // A string table block holds 16 strings; string 1 lives in block 1.
  HRSRC block = FindResourceExA(module_, RT_STRING, MAKEINTRESOURCEA(1),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_NE(block, nullptr);
  char text[1024];
  ASSERT_GT(LoadStringA(module_, 1, text, sizeof(text)), 0);
  EXPECT_STREQ(text,
               "Are you sure you want to completely remove \r\n%s and all of its components?");
}

TEST_F(StubResources, ManifestAsksForAdministratorsThemesAndDpiAwareness) {
  std::string manifest = Resource(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1));
  ASSERT_FALSE(manifest.empty());
  for (const char* part :
       {"level=\"requireAdministrator\"",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", ">true</dpiAware>"}) {
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
  }
}

TEST_F(StubResources, VersionInformationNamesTheProductAndItsVersion) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(KIV_STUB_PATH, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(KIV_STUB_PATH, 0, size, data.data()));
  char* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileDescription",
                             reinterpret_cast<void**>(&value), &length));
  EXPECT_STREQ(value, "Kiv Uninstall");
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), KIV_VERSION_MAJOR);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), KIV_VERSION_MINOR);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), KIV_VERSION_PATCH);
}

}  // namespace
}  // namespace kiv::e2e
