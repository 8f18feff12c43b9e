#include "run/delete_with_retry.h"

namespace kiv {

bool DeleteWithRetry(const char* path, const RetryHooks& hooks) {
  const uint32_t start = hooks.ticks();
  for (;;) {
    if (hooks.try_delete(path)) return true;
    if (static_cast<uint32_t>(hooks.ticks() - start) >= kDeleteRetryMs) return false;
    hooks.pump_and_wait(kDeleteRetryPauseMs);
  }
}

}  // namespace kiv
