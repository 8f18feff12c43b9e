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
    if (type == static_cast<uint16_t>(RecordType::kEndOfLog)) {
      tally.reached_end = true;
      return tally;
    }
    if (!IsValidType(type)) return tally;
    const RecordLayout& layout = LayoutOf(type);
    for (uint32_t f = 0; f < layout.field_count; ++f) {
      const FieldLayout& field = layout.fields[f];
      switch (field.kind) {
        case FieldKind::kString:
          string(field.limit == kStringLimit && !field.path() ? text : wide,
                 FieldLimit(field, reader.code_page() != 0));
          break;
        case FieldKind::kFlag: reader.ReadFlag(); break;
        case FieldKind::kOptionalString:
          if (reader.ReadFlag()) string(wide, field.limit);
          break;
        case FieldKind::kSavedCopy:
          if (reader.ReadFlag()) {
            uint8_t time[kSavedTimeSize];
            reader.ReadBytes(time, sizeof(time));
            reader.Skip(reader.ReadU32());
          }
          break;
        case FieldKind::kFixed: {
          uint8_t fixed[kContentCheckSize];
          reader.ReadBytes(fixed, field.limit < sizeof(fixed) ? field.limit : sizeof(fixed));
          break;
        }
      }
    }
  }
}

}  // namespace kiv::bench

#endif  // KIV_BENCH_READ_WALK_H_
