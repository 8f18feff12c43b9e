// What the progress window shows, worked out without Windows: how much of
// the bar is filled, and when the walk's picture is worth renewing.
//
// Pure and header-only: the walk's thread asks once per record, so they
// never allocate and never divide 64-bit numbers (no C runtime helper on
// i686).
#ifndef KIV_BASE_PROGRESS_VIEW_H_
#define KIV_BASE_PROGRESS_VIEW_H_

#include <stdint.h>

namespace kiv {

// The share of width (below 65,536) that done out of total fills: 0 for no
// total, width only once done reaches total. Counts of any size: both are
// halved until their product with width fits 32 bits (off by two units of
// width at most; below one for a bar narrower than 32,768).
inline uint32_t FilledWidth(uint32_t done, uint32_t total, uint32_t width) {
  if (done >= total) return total == 0 ? 0 : width;
  while (total > 0xFFFFu) {
    total >>= 1;
    done >>= 1;
  }
  // Halving may make them equal: not done is never shown full.
  if (done == total) --done;
  return width * done / total;
}

// How often the walk renews what the window shows: each record could, and
// thousands a second would cost the walk more than the window is worth.
inline constexpr uint32_t kProgressIntervalMs = 50;

class ProgressThrottle {
 public:
  // True when the picture is worth renewing at now_ms: the first time, then
  // once kProgressIntervalMs have passed since the last time it was. Tick
  // counts wrap: only their difference is compared.
  bool Due(uint32_t now_ms) {
    if (started_ && now_ms - last_ms_ < kProgressIntervalMs) return false;
    started_ = true;
    last_ms_ = now_ms;
    return true;
  }

 private:
  bool started_ = false;
  uint32_t last_ms_ = 0;
};

}  // namespace kiv

#endif  // KIV_BASE_PROGRESS_VIEW_H_
