// Deleting the uninstall file just after the walk, while the process that
// launched this run may still be ending and holding it open.
#ifndef KIV_RUN_DELETE_WITH_RETRY_H_
#define KIV_RUN_DELETE_WITH_RETRY_H_

#include <stdint.h>

namespace kiv {

inline constexpr uint32_t kDeleteRetryMs = 2000;
// Longest wait between two attempts when no message arrives.
inline constexpr uint32_t kDeleteRetryPauseMs = 10;

struct RetryHooks {
  bool (*try_delete)(const char* path);  // true when the file is gone
  uint32_t (*ticks)();                   // milliseconds, wrapping at 2^32
  // Dispatches waiting messages, then waits for a message or pause_ms.
  void (*pump_and_wait)(uint32_t pause_ms);
};

// Tries at least once, and again while fewer than kDeleteRetryMs have passed.
// Elapsed time is measured as (now - start) in unsigned arithmetic, so a tick
// counter that wraps during the retry neither ends nor stretches it.
// True when the file was deleted.
bool DeleteWithRetry(const char* path, const RetryHooks& hooks);

}  // namespace kiv

#endif  // KIV_RUN_DELETE_WITH_RETRY_H_
