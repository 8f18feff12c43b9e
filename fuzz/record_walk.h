// The uninstall walk's reads, without its actions: each record's fields are
// pulled through the reader in the order and into buffers of the sizes the
// actions use, and kept for comparison. Shared by the targets that read
// uninstall files back.
#ifndef KIV_FUZZ_RECORD_WALK_H_
#define KIV_FUZZ_RECORD_WALK_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "uninstall_file/layout.h"
#include "uninstall_file/log_reader.h"

namespace kiv::fuzz {

// What the walk's reads of one record delivered.
struct Walked {
  uint32_t offset = 0;
  uint16_t type = 0;
  std::vector<std::string> strings;
  bool all_whole = true;  // every string and counted field came whole
  bool flag = false;
  std::string saved;
};

// Reads a string into a fenced buffer of the action's size and checks the
// reader's promises about the buffer whatever the bytes.
template <uint32_t N>
bool ReadField(LogReader& reader, Walked* w) {
  Fenced<N> buffer;
  const bool whole = reader.ReadString(buffer.data, buffer.capacity());
  KIV_FUZZ_CHECK(buffer.Intact());
  KIV_FUZZ_CHECK(buffer.Terminated());
  if (!whole) {
    w->all_whole = false;
    return false;
  }
  w->strings.emplace_back(buffer.data);
  return true;
}

// The restore's reads: time, length, then content in the action's chunks.
// A chunk that comes short means the stream has ended; the action would go
// on writing zeros, which reads nothing more, so the mirror stops there.
inline void ReadSaved(LogReader& reader, Walked* w) {
  Fenced<kSavedTimeSize> time;
  const uint32_t got_time = reader.ReadBytes(time.data, kSavedTimeSize);
  KIV_FUZZ_CHECK(time.Intact());
  KIV_FUZZ_CHECK(got_time <= kSavedTimeSize);
  uint32_t left = reader.ReadU32();
  w->all_whole = w->all_whole && got_time == kSavedTimeSize;
  w->saved.assign(time.data, got_time);
  uint8_t length[4];
  StoreU32(length, left);
  w->saved.append(reinterpret_cast<const char*>(length), 4);
  constexpr uint32_t kChunk = 4096;  // the restore's copy buffer
  while (left > 0) {
    Fenced<kChunk> chunk;
    const uint32_t n = left < kChunk ? left : kChunk;
    const uint32_t got = reader.ReadBytes(chunk.data, n);
    KIV_FUZZ_CHECK(chunk.Intact());
    KIV_FUZZ_CHECK(got <= n);
    w->saved.append(chunk.data, got);
    if (got < n) {
      w->all_whole = false;
      break;
    }
    left -= n;
  }
}

// The walk of the uninstall mode, reads only. Returns true when it reached
// the type-0 record.
inline bool Walk(LogReader& reader, std::vector<Walked>* walked) {
  for (;;) {
    Walked w;
    const uint32_t before = reader.current();
    w.type = reader.NextRecord();
    w.offset = reader.record_offset();
    KIV_FUZZ_CHECK(w.offset == before);
    if (w.type == kCodePageType) {
      // The file's code page: its four bytes, as one string of the record.
      char code_page[kCodePagePayloadSize] = {};
      w.all_whole = reader.ReadBytes(code_page, sizeof(code_page)) == sizeof(code_page);
      w.strings.emplace_back(code_page, sizeof(code_page));
      walked->push_back(w);
      continue;
    }
    if (w.type == LogReader::kUnreadableType || !IsValidType(w.type)) return false;
    // Every link but the last points backwards, so the walk cannot loop.
    if (w.type != 0) KIV_FUZZ_CHECK(reader.current() < w.offset);
    switch (static_cast<RecordType>(w.type)) {
      case RecordType::kEndOfLog: walked->push_back(w); return true;
      // A path goes into the actions' path buffer, which holds the longest
      // a file that names its code page may log.
      case RecordType::kDirectory:
      case RecordType::kSharedFile: ReadField<kLongPathLimit>(reader, &w); break;
      case RecordType::kKeptFile:
        if (ReadField<kLongPathLimit>(reader, &w)) {
          char check[kContentCheckSize];
          w.all_whole = reader.ReadBytes(check, sizeof(check)) == sizeof(check);
          w.saved.assign(check, sizeof(check));
        }
        break;
      case RecordType::kShellGroup: ReadField<kStringLimit>(reader, &w); break;
      case RecordType::kFile:
        if (!ReadField<kLongPathLimit>(reader, &w)) break;
        w.flag = reader.ReadFlag();
        if (w.flag) ReadSaved(reader, &w);
        break;
      case RecordType::kIniEntry: {
        bool whole = true;
        for (int i = 0; i < 5 && whole; ++i) whole = ReadField<kStringLimit>(reader, &w);
        if (whole) w.flag = reader.ReadFlag();
        break;
      }
      case RecordType::kRegistryValue:
        if (!ReadField<kStringLimit>(reader, &w) || !ReadField<kRegistryLimit>(reader, &w)) break;
        w.flag = reader.ReadFlag();
        if (w.flag) ReadField<kRegistryLimit>(reader, &w);
        break;
      case RecordType::kUnused5: break;
      case RecordType::kFont:
      case RecordType::kShellItem:
        if (ReadField<kStringLimit>(reader, &w)) ReadField<kStringLimit>(reader, &w);
        break;
    }
    walked->push_back(w);
  }
}

}  // namespace kiv::fuzz

#endif  // KIV_FUZZ_RECORD_WALK_H_
