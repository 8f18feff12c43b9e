#include "uninstall_file/log_reader.h"

namespace kiv {

const char* DamageName(Damage damage) {
  switch (damage) {
    case Damage::kNone: return "sound";
    case Damage::kCannotOpen: return "the file cannot be opened";
    case Damage::kTooShort: return "the file is shorter than its trailer";
    case Damage::kBadSignature: return "the trailer's signature is wrong";
    case Damage::kNameOffset: return "the display name does not lie before the trailer";
    case Damage::kNameUnterminated: return "the display name has no NUL within 256 bytes";
    case Damage::kRecordOutside: return "a record header does not lie before the trailer";
    case Damage::kBackLinkForward: return "a back-link does not point backwards";
    case Damage::kBadType: return "a record type is above 8";
    case Damage::kChainEnd: return "a type-0 record does not end the chain";
    case Damage::kStringUnterminated: return "a string has no NUL within its limit";
    case Damage::kPayloadOutside: return "a payload runs past the trailer";
    case Damage::kNameInvalid: return "the display name is empty or holds a backslash";
    case Damage::kNameBeforeRecords: return "the display name does not lie after the records";
    case Damage::kTooLarge: return "the file is over 2147483647 bytes, more than an uninstall file can hold";
  }
  return "unknown";
}

LogReader::LogReader(const char* path) {
  // Held against writes from the check to the close: what was proved sound
  // is what the walk reads, and no record can overwrite the log under it.
  if (!stream_.OpenReadDenyWrite(path)) {
    damage_ = Damage::kCannotOpen;
    return;
  }
  ReadTrailer();
}

LogReader::LogReader(FILE* adopted) {
  if (!adopted) {
    damage_ = Damage::kCannotOpen;
    return;
  }
  stream_.Adopt(adopted);
  ReadTrailer();
}

void LogReader::ReadTrailer() {
  uint8_t trailer[kTrailerSize];
  uint64_t size = 0;
  if (!stream_.SeekEnd(&size)) {
    damage_ = Damage::kTooShort;
    return;
  }
  if (size > kMaxUninstallFileSize) {
    damage_ = Damage::kTooLarge;
    return;
  }
  size_ = static_cast<uint32_t>(size);
  if (size_ < kTrailerSize) {
    damage_ = Damage::kTooShort;
    return;
  }
  const uint32_t trailer_start = size_ - kTrailerSize;
  if (!stream_.Seek(trailer_start) || stream_.Read(trailer, kTrailerSize) != kTrailerSize) {
    damage_ = Damage::kTooShort;
    return;
  }
  for (uint32_t i = 0; i < kSignatureSize; ++i) {
    if (trailer[kTrailerSignatureOffset + i] != static_cast<uint8_t>(kSignature[i])) {
      damage_ = Damage::kBadSignature;
      break;
    }
  }
  last_record_ = LoadU32(trailer + kTrailerLastRecordOffset);
  current_ = last_record_;
  record_offset_ = last_record_;

  // The display name: it must start before the trailer and end with a NUL
  // within its 256 bytes, before the trailer. The buffer always ends in NUL.
  const uint32_t name_offset = LoadU32(trailer + kTrailerNameOffset);
  name_offset_ = name_offset;
  if (name_offset >= trailer_start || !stream_.Seek(name_offset)) {
    if (damage_ == Damage::kNone) damage_ = Damage::kNameOffset;
    return;
  }
  uint32_t room = trailer_start - name_offset;
  if (room > kDisplayNameLimit) room = kDisplayNameLimit;
  uint32_t n = 0;
  for (; n < room; ++n) {
    int c = stream_.ReadByte();
    if (c < 0) break;
    display_name_[n] = static_cast<char>(c);
    if (c == 0) {
      // The name becomes a registry key name under the Uninstall key: empty,
      // it would name that key itself; with a backslash, another key. On the
      // 95 family RegDeleteKeyA takes a whole tree.
      bool valid = n > 0;
      for (uint32_t i = 0; i < n; ++i) {
        if (display_name_[i] == '\\') valid = false;
      }
      if (!valid && damage_ == Damage::kNone) damage_ = Damage::kNameInvalid;
      return;
    }
  }
  display_name_[n < kDisplayNameLimit ? n : kDisplayNameLimit - 1] = '\0';
  if (damage_ == Damage::kNone) damage_ = Damage::kNameUnterminated;
}

Damage LogReader::CheckString(uint32_t* pos, uint32_t limit) {
  const uint32_t end = size_ - kTrailerSize;
  for (uint32_t n = 0; n < limit; ++n) {
    if (*pos >= end) return Damage::kStringUnterminated;
    int c = stream_.ReadByte();
    if (c < 0) return Damage::kStringUnterminated;
    ++*pos;
    if (c == 0) return Damage::kNone;
  }
  return Damage::kStringUnterminated;
}

Damage LogReader::CheckBytes(uint32_t* pos, uint32_t count) {
  const uint32_t end = size_ - kTrailerSize;
  if (*pos > end || end - *pos < count) return Damage::kPayloadOutside;
  *pos += count;
  return Damage::kNone;
}

ChainVerdict LogReader::CheckChain() {
  ChainVerdict verdict;
  if (!usable()) {
    verdict.damage = damage_;
    return verdict;
  }
  const uint32_t end = size_ - kTrailerSize;
  uint32_t at = last_record_;
  uint32_t records_end = 0;  // the furthest byte any record reaches
  for (;;) {
    verdict.offset = at;
    if (at > end || end - at < kRecordHeaderSize) {
      verdict.damage = Damage::kRecordOutside;
      return verdict;
    }
    uint8_t header[kRecordHeaderSize];
    if (!stream_.Seek(at) || stream_.Read(header, kRecordHeaderSize) != kRecordHeaderSize) {
      verdict.damage = Damage::kRecordOutside;
      return verdict;
    }
    ++verdict.records;
    const uint32_t back = LoadU32(header);
    const uint16_t type = LoadU16(header + 4);
    if (!IsValidType(type)) {
      verdict.damage = Damage::kBadType;
      return verdict;
    }
    if (type == static_cast<uint16_t>(RecordType::kEndOfLog)) {
      if (back != kNoBackLink) verdict.damage = Damage::kChainEnd;
      if (at + kRecordHeaderSize > records_end) records_end = at + kRecordHeaderSize;
      break;
    }
    if (back >= at) {
      verdict.damage = Damage::kBackLinkForward;
      return verdict;
    }

    // The payload, field by field, in the order the actions read it.
    uint32_t pos = at + kRecordHeaderSize;
    Damage d = Damage::kNone;
    auto string = [&](uint32_t limit) {
      if (d == Damage::kNone) {
        verdict.offset = pos;
        d = CheckString(&pos, limit);
      }
    };
    auto flag = [&]() -> bool {
      if (d != Damage::kNone) return false;
      verdict.offset = pos;
      d = CheckBytes(&pos, 1);
      if (d != Damage::kNone) return false;
      return stream_.ReadByte() > 0;
    };
    switch (static_cast<RecordType>(type)) {
      case RecordType::kDirectory:
        string(kStringLimit);
        break;
      case RecordType::kFile:
        string(kStringLimit);
        if (flag()) {
          verdict.offset = pos;
          d = CheckBytes(&pos, kSavedTimeSize + 4);
          if (d != Damage::kNone) break;
          uint8_t saved[kSavedTimeSize + 4];
          if (stream_.Read(saved, sizeof(saved)) != sizeof(saved)) {
            d = Damage::kPayloadOutside;
            break;
          }
          verdict.offset = pos;
          d = CheckBytes(&pos, LoadU32(saved + kSavedTimeSize));
        }
        break;
      case RecordType::kIniEntry:
        for (int i = 0; i < 5; ++i) string(kStringLimit);
        flag();
        break;
      case RecordType::kRegistryValue:
        string(kStringLimit);
        string(kRegistryLimit);
        if (flag()) string(kRegistryLimit);
        break;
      case RecordType::kFont:
        string(kStringLimit);
        string(kStringLimit);
        break;
      case RecordType::kShellItem:
        string(kStringLimit);
        string(kStringLimit);
        break;
      case RecordType::kShellGroup:
        string(kStringLimit);
        break;
      case RecordType::kEndOfLog:
      case RecordType::kUnused5:
        break;
    }
    if (d != Damage::kNone) {
      verdict.damage = d;
      return verdict;
    }
    if (pos > records_end) records_end = pos;
    at = back;
  }
  if (verdict.damage == Damage::kNone && name_offset_ < records_end) {
    verdict.damage = Damage::kNameBeforeRecords;
    verdict.offset = name_offset_;
  }
  if (verdict.damage == Damage::kNone) {
    current_ = last_record_;
    record_offset_ = last_record_;
  }
  return verdict;
}

uint16_t LogReader::NextRecord() {
  uint8_t header[kRecordHeaderSize];
  record_offset_ = current_;
  if (!stream_.Seek(current_) || stream_.Read(header, kRecordHeaderSize) != kRecordHeaderSize) {
    return kUnreadableType;
  }
  const uint32_t back = LoadU32(header);
  const uint16_t type = LoadU16(header + 4);
  // Only the type-0 record may link outside the file; any other link must
  // point strictly backwards, so the walk always ends.
  if (type != static_cast<uint16_t>(RecordType::kEndOfLog) && back >= record_offset_) {
    return kUnreadableType;
  }
  current_ = back;
  return type;
}

bool LogReader::ReadString(char* buffer, uint32_t capacity) {
  if (capacity == 0) return false;
  buffer[0] = '\0';
  if (!usable()) return false;
  for (uint32_t n = 0; n + 1 < capacity; ++n) {
    int c = stream_.ReadByte();
    if (c < 0) {
      buffer[n] = '\0';
      return false;
    }
    buffer[n] = static_cast<char>(c);
    if (c == 0) return true;
  }
  // No room left: the string is cut and ended here; the only way to come
  // here is a string that needs its last byte to be a NUL and it is not.
  int c = stream_.ReadByte();
  buffer[capacity - 1] = '\0';
  return c == 0;
}

bool LogReader::ReadFlag() {
  return stream_.ReadByte() > 0;
}

uint32_t LogReader::ReadBytes(void* buffer, uint32_t count) {
  return stream_.Read(buffer, count);
}

uint32_t LogReader::ReadU32() {
  uint8_t bytes[4] = {};
  ReadBytes(bytes, 4);
  return LoadU32(bytes);
}

bool LogReader::Skip(uint32_t count) {
  return stream_.Skip(count);
}

}  // namespace kiv
