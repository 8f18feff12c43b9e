// What a dry run (/PLAN) counted as gone so far: the run would have removed
// it by then, so a later record must see it gone. A directory whose only
// entries the plan already removed is empty by the time the run reaches it;
// a registry key whose values the plan removed is deleted with its last one.
//
// A fixed table of 32-bit hashes of the names, folded to capitals (ASCII
// here; the caller folds the code page's other letters first), kept in
// static storage: no allocation, no start-up code. Two different names that
// hash alike are taken as one (one chance in some 700,000 per question with
// a full table). Past its size nothing more is kept, and overflowed() says
// so: a question the table cannot answer then is "cannot tell", never a
// guess.
//
// Pure: no <windows.h>, host-tested.
#ifndef KIV_RUN_PLAN_TABLE_H_
#define KIV_RUN_PLAN_TABLE_H_

#include <stdint.h>

namespace kiv {

// The kinds of name kept apart: the same text of two kinds is two entries.
enum class Planned : uint8_t {
  kGone,          // a file or directory removed by the plan
  kValueGone,     // a registry value removed: "ROOT\key path\name"
  kKeyGone,       // a registry key deleted when its last value went
};

class PlanTable {
 public:
  // Slots in the table; it is counted full at three quarters of them, so a
  // search never runs long.
  static constexpr uint32_t kSlots = 8192;
  static constexpr uint32_t kMaxEntries = kSlots / 4 * 3;
  // Per registry key: how many of its values and subkeys the plan removed.
  static constexpr uint32_t kCounters = 512;

  // No constructor: an object in static storage (or value-initialised) is
  // all zeros, an empty table, and costs the file no bytes.

  // Adds the n bytes at text as kind; false (and overflowed() from then on)
  // when the table is full.
  bool Add(Planned kind, const char* text, uint32_t n);
  bool Holds(Planned kind, const char* text, uint32_t n) const;
  bool overflowed() const { return overflowed_; }
  // A name the plan could not fold exactly: it can no longer tell whether a
  // name it meets is one it counted, and says so as a full table does.
  void LoseCount() { overflowed_ = true; }

  // The count kept for key (0 for one never counted); Count adds one,
  // false (overflowed) when no counter is left.
  uint32_t CountOf(const char* key, uint32_t n) const;
  bool Count(const char* key, uint32_t n);

  void Clear();

  // The hash a name of a kind is kept by (FNV-1a, ASCII letters folded);
  // never 0, which marks a free slot.
  static uint32_t Hash(Planned kind, const char* text, uint32_t n);

 private:
  uint32_t slots_[kSlots];
  uint32_t entries_;
  struct Counter {
    uint32_t hash;
    uint32_t count;
  };
  Counter counters_[kCounters];
  uint32_t counters_used_;
  bool overflowed_;
};

}  // namespace kiv

#endif  // KIV_RUN_PLAN_TABLE_H_
