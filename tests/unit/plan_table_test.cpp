#include "run/plan_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace kiv {
namespace {

bool Add(PlanTable& t, Planned kind, const std::string& s) {
  return t.Add(kind, s.data(), static_cast<uint32_t>(s.size()));
}
bool Holds(const PlanTable& t, Planned kind, const std::string& s) {
  return t.Holds(kind, s.data(), static_cast<uint32_t>(s.size()));
}

std::string NameOf(uint32_t i) {
  char name[48];
  std::snprintf(name, sizeof(name), "C:\\Program Files\\App\\f%05u.dat", i);
  return name;
}

// The table is large (static storage in the stub): on the heap here.
std::unique_ptr<PlanTable> NewTable() { return std::make_unique<PlanTable>(); }

TEST(PlanTable, FindsWhatWasAddedWithoutRegardToAsciiCaseAndKeepsKindsApart) {
  auto t = NewTable();
  EXPECT_TRUE(Add(*t, Planned::kGone, "C:\\App\\bin\\app.exe"));
  EXPECT_TRUE(Holds(*t, Planned::kGone, "c:\\app\\BIN\\App.EXE"));
  EXPECT_FALSE(Holds(*t, Planned::kValueGone, "C:\\App\\bin\\app.exe"));
  EXPECT_FALSE(Holds(*t, Planned::kGone, "C:\\App\\bin"));
  EXPECT_FALSE(Holds(*t, Planned::kGone, "C:\\App\\bin\\app.exe2"));
  // Only ASCII letters fold: bytes above 127 are the caller's to fold.
  EXPECT_TRUE(Add(*t, Planned::kGone, "C:\\\xe9t\xe9"));
  EXPECT_FALSE(Holds(*t, Planned::kGone, "C:\\\xc9T\xc9"));
  EXPECT_FALSE(t->overflowed());
}

TEST(PlanTable, AddingTwiceCostsNoRoom) {
  auto t = NewTable();
  for (uint32_t i = 0; i < PlanTable::kMaxEntries + 10; ++i) {
    ASSERT_TRUE(Add(*t, Planned::kGone, "C:\\same")) << i;
  }
  EXPECT_FALSE(t->overflowed());
}

// Every name of a full table is still found; the one past it is not kept,
// and the table says it overflowed, so its "not held" means "cannot tell".
TEST(PlanTable, PastItsSizeItKeepsNothingMoreAndSaysSo) {
  auto t = NewTable();
  for (uint32_t i = 0; i < PlanTable::kMaxEntries; ++i) {
    ASSERT_TRUE(Add(*t, Planned::kGone, NameOf(i))) << i;
  }
  EXPECT_FALSE(t->overflowed());
  for (uint32_t i = 0; i < PlanTable::kMaxEntries; ++i) {
    ASSERT_TRUE(Holds(*t, Planned::kGone, NameOf(i))) << i;
  }
  EXPECT_FALSE(Holds(*t, Planned::kGone, NameOf(PlanTable::kMaxEntries)));
  EXPECT_FALSE(Add(*t, Planned::kGone, NameOf(PlanTable::kMaxEntries)));
  EXPECT_TRUE(t->overflowed());
  EXPECT_FALSE(Holds(*t, Planned::kGone, NameOf(PlanTable::kMaxEntries)));
  t->Clear();
  EXPECT_FALSE(t->overflowed());
  EXPECT_FALSE(Holds(*t, Planned::kGone, NameOf(0)));
}

TEST(PlanTable, CountsPerKeyUntilItsCountersRunOut) {
  auto t = NewTable();
  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\App";
  EXPECT_EQ(t->CountOf(key.data(), static_cast<uint32_t>(key.size())), 0u);
  ASSERT_TRUE(t->Count(key.data(), static_cast<uint32_t>(key.size())));
  ASSERT_TRUE(t->Count("hkey_local_machine\\software\\app", static_cast<uint32_t>(key.size())));
  EXPECT_EQ(t->CountOf(key.data(), static_cast<uint32_t>(key.size())), 2u);
  for (uint32_t i = 1; i < PlanTable::kCounters; ++i) {
    const std::string other = key + "\\" + std::to_string(i);
    ASSERT_TRUE(t->Count(other.data(), static_cast<uint32_t>(other.size()))) << i;
  }
  EXPECT_FALSE(t->overflowed());
  const std::string last = key + "\\last";
  EXPECT_FALSE(t->Count(last.data(), static_cast<uint32_t>(last.size())));
  EXPECT_TRUE(t->overflowed());
  // The keys counted before keep their counts.
  EXPECT_EQ(t->CountOf(key.data(), static_cast<uint32_t>(key.size())), 2u);
}

}  // namespace
}  // namespace kiv
