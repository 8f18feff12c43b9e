#include "run/delete_with_retry.h"

namespace kiv {

DeleteOutcome DeleteWithRetry(const char* path, const RetryHooks& hooks) {
  const uint32_t start = hooks.ticks();
  for (;;) {
    if (hooks.try_delete(path)) return DeleteOutcome::kDeleted;
    if (!hooks.exists(path)) return DeleteOutcome::kAlreadyGone;
    if (static_cast<uint32_t>(hooks.ticks() - start) >= kDeleteRetryMs) {
      return DeleteOutcome::kStillHeld;
    }
    hooks.pump_and_wait(kDeleteRetryPauseMs);
  }
}

}  // namespace kiv
