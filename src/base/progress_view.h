// What the progress window shows, worked out without Windows: the path
// shortened in its middle to fit a line, how much of the bar is filled, and
// when the walk's picture is worth renewing.
//
// Pure and header-only: the walk's thread calls these once per record, so
// they never allocate, never divide 64-bit numbers (no C runtime helper on
// i686) and never write past the buffer they are given.
#ifndef KIV_BASE_PROGRESS_VIEW_H_
#define KIV_BASE_PROGRESS_VIEW_H_

#include <stdint.h>

#include "base/fixed_string.h"
#include "base/path_rules.h"

namespace kiv {

// The share of width (below 65,536) that done out of total fills: 0 for no
// total, width once done reaches total. Counts of any size: both are halved
// until their product with width fits 32 bits.
inline uint32_t FilledWidth(uint32_t done, uint32_t total, uint32_t width) {
  if (done >= total) return total == 0 ? 0 : width;
  while (total > 0xFFFFu) {
    total >>= 1;
    done >>= 1;
  }
  return width * done / total;
}

// text whole into out when it has at most max_bytes bytes; otherwise its
// start and its end with "..." between them, max_bytes bytes at most, the
// end (the file's name) given the larger part. A double-byte letter is
// never cut: a lead byte keeps its second byte. out holds max_bytes bytes
// and a NUL; max_bytes is at least 5.
inline void ShortenInMiddle(const char* text, uint32_t max_bytes, LeadByteTest is_lead_byte,
                            char* out) {
  const uint32_t length = LengthWithin(text, 0xFFFFFFFFu);
  uint32_t head = length;
  uint32_t tail = length;
  if (length > max_bytes) {
    const uint32_t keep = max_bytes - 3;
    const uint32_t head_most = keep / 2;
    const uint32_t tail_from = length - (keep - head_most);
    // The head ends at the last letter's end within head_most, the tail
    // begins at the first letter that starts at or after tail_from.
    head = 0;
    for (uint32_t at = 0;;) {
      if (at >= tail_from) {
        tail = at;
        break;
      }
      at += (is_lead_byte && is_lead_byte(static_cast<uint8_t>(text[at])) && at + 1 < length)
                ? 2
                : 1;
      if (at <= head_most) head = at;
    }
  }
  uint32_t n = 0;
  for (uint32_t i = 0; i < head; ++i) out[n++] = text[i];
  if (tail < length) {
    for (int dot = 0; dot < 3; ++dot) out[n++] = '.';
    for (uint32_t i = tail; i < length; ++i) out[n++] = text[i];
  }
  out[n] = '\0';
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
