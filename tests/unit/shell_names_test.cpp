#include <gtest/gtest.h>

#include "uninstall_file/names.h"

namespace kiv {
namespace {

TEST(ShellNames, OnlyNamesThatCannotChangeTheCommandAreSent) {
  struct Row {
    const char* name;
    bool group_ok;
    bool item_ok;
  } rows[] = {
      {"Accessories", true, true},
      {"Kiv Office (32-bit)", true, false},  // quoted: fine; unquoted: ends the call
      {"Readme, English", true, false},
      {"", false, false},  // the Programs folder itself
      {"a\")][DeleteGroup(\"Accessories", false, false},
      {"Notepad)][DeleteGroup(Accessories", true, false},
      {"x]", true, false},
      {"tab\there", false, false},
      {"Caf\xE9", true, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsSafeGroupName(row.name), row.group_ok) << row.name;
    EXPECT_EQ(IsSafeItemName(row.name), row.item_ok) << row.name;
  }
}

}  // namespace
}  // namespace kiv
