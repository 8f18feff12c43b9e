// The walk without actions: every record's header and fields read through
// the LogReader exactly as the record actions pull them, and nothing done
// with them. What it costs is what reading the log costs the stub's walk.
#ifndef KIV_BENCH_READ_WALK_H_
#define KIV_BENCH_READ_WALK_H_

#include <stdint.h>

#include "uninstall_file/log_reader.h"

namespace kiv::bench {

struct WalkTally {
  uint32_t records = 0;  // the type-0 record included
  uint32_t bytes = 0;    // string bytes read, so nothing can be optimised away
  bool reached_end = false;
};

inline WalkTally WalkWithoutActions(LogReader& reader) {
  WalkTally tally;
  char text[kStringLimit];
  char wide[kRegistryLimit];
  auto string = [&](char* buffer, uint32_t capacity) {
    const bool whole = reader.ReadString(buffer, capacity);
    tally.bytes += static_cast<uint8_t>(buffer[0]);
    return whole;
  };
  for (;;) {
    const uint16_t type = reader.NextRecord();
    ++tally.records;
    switch (type) {
      case static_cast<uint16_t>(RecordType::kEndOfLog):
        tally.reached_end = true;
        return tally;
      case static_cast<uint16_t>(RecordType::kDirectory):
      case static_cast<uint16_t>(RecordType::kShellGroup):
        string(text, sizeof(text));
        break;
      case static_cast<uint16_t>(RecordType::kFile):
        if (string(text, sizeof(text)) && reader.ReadFlag()) {
          uint8_t time[kSavedTimeSize];
          reader.ReadBytes(time, sizeof(time));
          reader.Skip(reader.ReadU32());
        }
        break;
      case static_cast<uint16_t>(RecordType::kIniEntry):
        for (int i = 0; i < 5; ++i) string(text, sizeof(text));
        reader.ReadFlag();
        break;
      case static_cast<uint16_t>(RecordType::kRegistryValue):
        string(text, sizeof(text));
        string(wide, sizeof(wide));
        if (reader.ReadFlag()) string(wide, sizeof(wide));
        break;
      case static_cast<uint16_t>(RecordType::kUnused5):
        break;
      case static_cast<uint16_t>(RecordType::kFont):
      case static_cast<uint16_t>(RecordType::kShellItem):
        string(text, sizeof(text));
        string(text, sizeof(text));
        break;
      default:
        return tally;
    }
  }
}

}  // namespace kiv::bench

#endif  // KIV_BENCH_READ_WALK_H_
