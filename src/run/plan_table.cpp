#include "run/plan_table.h"

namespace kiv {

uint32_t PlanTable::Hash(Planned kind, const char* text, uint32_t n) {
  uint32_t h = 2166136261u;
  const auto mix = [&h](uint8_t byte) {
    h ^= byte;
    h *= 16777619u;
  };
  mix(static_cast<uint8_t>(kind) + 1);
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
    mix(c);
  }
  return h == 0 ? 1 : h;
}

bool PlanTable::Add(Planned kind, const char* text, uint32_t n) {
  const uint32_t h = Hash(kind, text, n);
  uint32_t i = h % kSlots;
  while (slots_[i] != 0) {
    if (slots_[i] == h) return true;
    i = (i + 1) % kSlots;
  }
  if (entries_ == kMaxEntries) {
    overflowed_ = true;
    return false;
  }
  slots_[i] = h;
  ++entries_;
  return true;
}

bool PlanTable::Holds(Planned kind, const char* text, uint32_t n) const {
  const uint32_t h = Hash(kind, text, n);
  // The table never fills: a free slot ends every search.
  for (uint32_t i = h % kSlots; slots_[i] != 0; i = (i + 1) % kSlots) {
    if (slots_[i] == h) return true;
  }
  return false;
}

uint32_t PlanTable::CountOf(const char* key, uint32_t n) const {
  const uint32_t h = Hash(Planned::kKeyGone, key, n);
  for (uint32_t i = 0; i < counters_used_; ++i) {
    if (counters_[i].hash == h) return counters_[i].count;
  }
  return 0;
}

bool PlanTable::Count(const char* key, uint32_t n) {
  const uint32_t h = Hash(Planned::kKeyGone, key, n);
  for (uint32_t i = 0; i < counters_used_; ++i) {
    if (counters_[i].hash == h) {
      ++counters_[i].count;
      return true;
    }
  }
  if (counters_used_ == kCounters) {
    overflowed_ = true;
    return false;
  }
  counters_[counters_used_++] = {h, 1};
  return true;
}

void PlanTable::Clear() {
  for (uint32_t& slot : slots_) slot = 0;
  for (Counter& c : counters_) c = {0, 0};
  entries_ = 0;
  counters_used_ = 0;
  overflowed_ = false;
}

}  // namespace kiv
