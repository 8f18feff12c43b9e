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
  bool (*try_delete)(const char* path);  // true when this call deleted the file
  bool (*exists)(const char* path);      // true while anything stands at path
  uint32_t (*ticks)();                   // milliseconds, wrapping at 2^32
  // Dispatches waiting messages, then waits for a message or pause_ms.
  void (*pump_and_wait)(uint32_t pause_ms);
};

enum class [[nodiscard]] DeleteOutcome{
    kDeleted,      // a try of ours deleted it
    kAlreadyGone,  // a try failed and nothing stands at path any more
    kStillHeld,    // still there when the time was up (held open, or refused)
};

// Tries at least once, and again while fewer than kDeleteRetryMs have passed;
// after each failed try it asks whether the file is still there, and stops
// when it is not. Elapsed time is measured as (now - start) in unsigned
// arithmetic, so a tick counter that wraps during the retry neither ends nor
// stretches it.
DeleteOutcome DeleteWithRetry(const char* path, const RetryHooks& hooks);

}  // namespace kiv

#endif  // KIV_RUN_DELETE_WITH_RETRY_H_
