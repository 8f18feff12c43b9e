#include "base/progress_view.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

// The exact share, in 64 bits, which the stub cannot divide.
uint32_t ExactShare(uint32_t done, uint32_t total, uint32_t width) {
  if (total == 0) return 0;
  if (done >= total) return width;
  return static_cast<uint32_t>(static_cast<uint64_t>(done) * width / total);
}

TEST(FilledWidth, FillsTheShareDoneWithoutOverflowOrDivisionByZero) {
  const struct {
    const char* name;
    uint32_t done, total, width;
  } rows[] = {
      {"no_records", 0, 0, 480},
      {"none_done", 0, 20000, 480},
      {"half_done", 10000, 20000, 480},
      {"one_short_of_all", 19999, 20000, 480},
      {"all_done", 20000, 20000, 480},
      {"more_than_all", 20001, 20000, 480},
      // done * width would wrap 32 bits: the counts are scaled down first.
      {"large_counts_half", 0x7FFFFFFFu, 0xFFFFFFFEu, 60000},
      {"large_counts_quarter", 0x40000000u, 0xFFFFFFFFu, 60000},
      {"large_counts_one_short", 0xFFFFFFFEu, 0xFFFFFFFFu, 60000},
      {"one_record_of_many", 1, 0xFFFFFFFFu, 60000},
      {"widest", 65535, 65536, 65535},
  };
  for (const auto& row : rows) {
    const uint32_t filled = FilledWidth(row.done, row.total, row.width);
    const uint32_t exact = ExactShare(row.done, row.total, row.width);
    // Within two units of the exact share, and full only once all is done.
    EXPECT_LE(filled, exact + 2) << row.name;
    EXPECT_GE(filled + 2, exact) << row.name;
    EXPECT_EQ(filled == row.width, row.total != 0 && row.done >= row.total) << row.name;
  }
  EXPECT_EQ(FilledWidth(10000, 20000, 480), 240u);
}

TEST(ProgressThrottle, RenewsAtMostOnceAnIntervalAcrossTheTickWrap) {
  // Each row: the tick of a call and whether the picture is renewed then.
  const struct {
    uint32_t now;
    bool due;
  } calls[] = {
      {0xFFFFFFD0u, true},  // the first call always renews
      {0xFFFFFFD0u, false},
      {0xFFFFFFD0u + kProgressIntervalMs - 1, false},
      {0xFFFFFFD0u + kProgressIntervalMs, true},  // exactly one interval: wraps past 0
      {0x00000010u, false},
      {0x00000010u + kProgressIntervalMs, true},
      {0x00000010u + 10 * kProgressIntervalMs, true},  // a long record: renewed next time
  };
  ProgressThrottle throttle;
  int i = 0;
  for (const auto& call : calls) {
    EXPECT_EQ(throttle.Due(call.now), call.due) << "call " << i;
    ++i;
  }
}

}  // namespace
}  // namespace kiv
