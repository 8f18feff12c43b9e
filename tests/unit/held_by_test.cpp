// The report's words on who holds a file.
#include "run/held_by.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

using platform::FileHolders;
using Asked = FileHolders::Asked;

FileHolders Listed(std::initializer_list<std::pair<uint32_t, const char*>> programs) {
  FileHolders holders;
  holders.asked = Asked::kListed;
  for (const auto& [id, name] : programs) {
    holders.holders[holders.count].process_id = id;
    holders.holders[holders.count].name.Assign(name);
    ++holders.count;
  }
  return holders;
}

TEST(DescribeHolders, NamesWhatTheSystemNamedAndElseSaysItCannotTell) {
  FileHolders failed;
  failed.asked = Asked::kFailed;
  failed.error = 29;
  FileHolders too_many;
  too_many.asked = Asked::kTooMany;
  too_many.total = 9;
  const struct {
    const char* what;
    FileHolders holders;
    const char* expected;
  } rows[] = {
      {"none on this system", FileHolders(), "held by: cannot tell (no Restart Manager)"},
      {"a call failed", failed, "held by: cannot tell (Restart Manager error 29)"},
      {"more than fit", too_many, "held by: 9 programs (too many to name)"},
      {"an empty list", Listed({}), "held by: cannot tell (the Restart Manager names no program)"},
      {"one", Listed({{412, "notepad.exe"}}), "held by: notepad.exe (process 412)"},
      {"a nameless one and another", Listed({{0, ""}, {88, "setup.exe"}}),
       "held by: (process 0), setup.exe (process 88)"},
  };
  for (const auto& row : rows) {
    ShortString out;
    out.Assign("left over from an earlier record");
    DescribeHolders(row.holders, &out);
    EXPECT_STREQ(out.c_str(), row.expected) << row.what;
  }
}

TEST(DescribeHolders, NamesThatNoLongerFitAreCountedAndTheTextStaysWhole) {
  const std::string long_name(63, 'n');
  FileHolders holders = Listed({{1, long_name.c_str()},
                                {2, long_name.c_str()},
                                {3, long_name.c_str()},
                                {4294967295u, long_name.c_str()}});
  ShortString out;
  DescribeHolders(holders, &out);
  const std::string text = out.c_str();
  EXPECT_EQ(text.rfind("held by: " + long_name + " (process 1), ", 0), 0u) << text;
  EXPECT_NE(text.find(long_name + " (process 3)"), std::string::npos) << text;
  EXPECT_EQ(text.find("4294967295"), std::string::npos) << "the fourth does not fit: " << text;
  EXPECT_EQ(text.substr(text.size() - 11), " and 1 more") << text;
  EXPECT_LT(text.size(), ShortString::capacity());
}

}  // namespace
}  // namespace kiv
