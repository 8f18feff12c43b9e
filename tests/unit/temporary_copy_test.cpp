// The temporary copy's names: which paths are a copy this program made, in
// its private directory or, on the 95 family, flat in the temporary directory.
#include "handoff/temporary_copy.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kiv {
namespace {

TEST(TemporaryCopyPath, IsRecognisedOnlyInItsOwnDirectoryUnderTheTemporaryDirectory) {
  const char* temp = "C:\\users\\me\\Temp\\";
  uint32_t name = 0;
  EXPECT_TRUE(IsTemporaryCopyPath("C:\\users\\me\\Temp\\STP1A2B.tmp\\uninstall.exe", temp, &name));
  EXPECT_EQ(name, 29u);  // after "C:\\users\\me\\Temp\\STP1A2B.tmp\\"
  EXPECT_TRUE(IsTemporaryCopyPath("c:\\USERS\\me\\temp\\stp1.TMP\\UNINSTALL.EXE", temp));
  const char* not_ours[] = {
      "C:\\users\\me\\Temp\\STP1.tmp",  // the old flat copy
      "C:\\users\\me\\Temp\\STP1.tmp\\other.exe",
      "C:\\users\\me\\Temp\\x\\STP1.tmp\\uninstall.exe",  // one level too deep
      "C:\\users\\me\\Temp\\ABC1.tmp\\uninstall.exe",
      "C:\\users\\me\\Temp\\STP1.dir\\uninstall.exe",
      "C:\\Program Files\\App\\STP1.tmp\\uninstall.exe",
      "C:\\users\\me\\Temp\\uninstall.exe",
  };
  for (const char* path : not_ours) EXPECT_FALSE(IsTemporaryCopyPath(path, temp)) << path;
  EXPECT_FALSE(IsTemporaryCopyPath("C:\\T\\STP1.tmp\\uninstall.exe", "C:\\T"));
}

TEST(TemporaryCopyPath, FlatCopyIsAFileNamedSTPDotTmpRightInTheTemporaryDirectory) {
  const char* temp = "C:\\WINDOWS\\TEMP\\";
  EXPECT_TRUE(IsFlatTemporaryCopyPath("C:\\WINDOWS\\TEMP\\STP1A2B.TMP", temp));
  EXPECT_TRUE(IsFlatTemporaryCopyPath("c:\\windows\\temp\\stp1.tmp", temp));
  const char* not_ours[] = {
      "C:\\WINDOWS\\TEMP\\STP1.tmp\\uninstall.exe",  // the private directory's form
      "C:\\WINDOWS\\TEMP\\sub\\STP1.tmp",
      "C:\\WINDOWS\\TEMP\\ABC1.tmp",
      "C:\\WINDOWS\\TEMP\\STP1.exe",
      "C:\\WINDOWS\\TEMP\\.tmp",
      "C:\\OTHER\\STP1.tmp",
  };
  for (const char* path : not_ours) EXPECT_FALSE(IsFlatTemporaryCopyPath(path, temp)) << path;
  EXPECT_FALSE(IsFlatTemporaryCopyPath("C:\\T\\STP1.tmp", "C:\\T"));
}

}  // namespace
}  // namespace kiv
