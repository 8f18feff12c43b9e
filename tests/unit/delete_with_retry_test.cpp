#include "run/delete_with_retry.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

// A clock that advances by the pause each wait asks for.
struct Clock {
  static inline uint32_t now = 0;
  static inline int attempts = 0;
  static inline int waits = 0;
  static inline int succeed_on = -1;  // attempt number that succeeds, -1 never
  // From this failed attempt on, someone else has removed the file; -1 never.
  static inline int gone_from = -1;
  static void Reset(uint32_t start, int success, int gone = -1) {
    now = start;
    attempts = waits = 0;
    succeed_on = success;
    gone_from = gone;
  }
  static bool TryDelete(const char*) { return ++attempts == succeed_on; }
  static bool Exists(const char*) { return gone_from < 0 || attempts < gone_from; }
  static uint32_t Ticks() { return now; }
  static void Wait(uint32_t ms) {
    ++waits;
    now += ms;
  }
};

constexpr RetryHooks kHooks = {Clock::TryDelete, Clock::Exists, Clock::Ticks, Clock::Wait};

TEST(DeleteWithRetry, KeepsTryingForTwoSecondsWhateverTheTickCounter) {
  const uint32_t kTries = kDeleteRetryMs / kDeleteRetryPauseMs + 1;
  for (uint32_t start : {0u, 1000u, 0xFFFFFFFFu - 500u, 0xFFFFFFFFu}) {
    Clock::Reset(start, -1);
    EXPECT_EQ(DeleteWithRetry("f", kHooks), DeleteOutcome::kStillHeld);
    EXPECT_EQ(Clock::attempts, static_cast<int>(kTries)) << start;
    EXPECT_EQ(Clock::waits, static_cast<int>(kTries - 1)) << start;
    EXPECT_EQ(static_cast<uint32_t>(Clock::now - start), kDeleteRetryMs) << start;
  }
}

TEST(DeleteWithRetry, StopsAtTheFirstSuccess) {
  Clock::Reset(0xFFFFFFF0u, 3);
  EXPECT_EQ(DeleteWithRetry("f", kHooks), DeleteOutcome::kDeleted);
  EXPECT_EQ(Clock::attempts, 3);
  EXPECT_EQ(Clock::waits, 2);
}

// A file someone else removed while we waited, or one that was never there:
// told apart from a held one at the first failed try that finds it gone, and
// no longer waited for.
TEST(DeleteWithRetry, FileGoneByOtherHandsIsAlreadyGone) {
  for (int gone : {1, 4}) {
    Clock::Reset(0xFFFFFFF0u, -1, gone);
    EXPECT_EQ(DeleteWithRetry("f", kHooks), DeleteOutcome::kAlreadyGone) << gone;
    EXPECT_EQ(Clock::attempts, gone);
    EXPECT_EQ(Clock::waits, gone - 1);
  }
}

TEST(DeleteWithRetry, TriesOnceEvenWhenNoTimePassesAtAll) {
  Clock::Reset(5, 1);
  EXPECT_EQ(DeleteWithRetry("f", kHooks), DeleteOutcome::kDeleted);
  EXPECT_EQ(Clock::attempts, 1);
  EXPECT_EQ(Clock::waits, 0);
}

}  // namespace
}  // namespace kiv
