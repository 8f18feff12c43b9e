#include "base/decimal_text.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(DecimalText, DigitsWithZerosInFrontUpToTheMinimum) {
  const struct {
    uint32_t value, min_digits;
    const char* expected;
  } rows[] = {{0, 1, "0"},         {7, 2, "07"},    {59, 2, "59"},
              {5, 4, "0005"},      {2026, 4, "2026"}, {123456, 2, "123456"},
              {4294967295u, 1, "4294967295"}, {0, 10, "0000000000"}};
  for (const auto& row : rows) {
    char buffer[11];
    EXPECT_STREQ(DecimalText(row.value, buffer, row.min_digits), row.expected) << row.value;
  }
}

}  // namespace
}  // namespace kiv
