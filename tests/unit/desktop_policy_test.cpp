#include "run/desktop_policy.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(DesktopPolicy, BoxesOnlyWhereSomebodyCanSeeThem) {
  using Facts = platform::DesktopFacts;
  const struct {
    const char* name;
    Facts facts;
    bool seen;
  } rows[] = {
      {"95 family, whatever else", {false, 4, true, false, true, 0}, true},
      {"interactive station, user session", {true, 10, true, true, true, 1}, true},
      {"service's station", {true, 10, true, false, true, 1}, false},
      {"session 0 of Vista and later", {true, 6, true, true, true, 0}, false},
      {"session 0 before Vista is the console's", {true, 5, true, true, true, 0}, true},
      {"nothing could be read", {true, 10, false, true, false, 0}, true},
      {"station unknown, session 0 of Windows 10", {true, 10, false, true, true, 0}, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(BoxesCanBeSeen(row.facts), row.seen) << row.name;
  }
}

}  // namespace
}  // namespace kiv
