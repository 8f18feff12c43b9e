#include "uninstall_file/log_reader.h"

#include "base/code_page_text.h"
#include "base/path_rules.h"

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
    case Damage::kBadType: return "a record type is above 9";
    case Damage::kChainEnd: return "a type-0 record does not end the chain";
    case Damage::kStringUnterminated: return "a string has no NUL within its limit";
    case Damage::kPayloadOutside: return "a payload runs past the trailer";
    case Damage::kNameInvalid: return "the display name is empty or holds a backslash";
    case Damage::kNameBeforeRecords: return "the display name does not lie after the records";
    case Damage::kTooLarge:
      return "the file is over 2147483647 bytes, more than an uninstall file can hold";
    case Damage::kCodePagePlace:
      return "a code-page record does not lie directly after the first record";
    case Damage::kCodePageUnknown: return "the file names a code page the uninstaller does not know";
    case Damage::kTextMalformed: return "a string is not well formed in the file's code page";
    case Damage::kLongPathForm:
      return "a path over 255 bytes is not a full path as the system reads it "
             "('\\' only, no empty, \".\" or \"..\" part, no part ending in a dot or blank)";
    case Damage::kControlCharacter: return "a name holds a control character";
    case Damage::kDeviceName:
      return "a path has a part named like a device (CON, PRN, AUX, NUL, COM1, LPT1, ...)";
  }
  return "unknown";
}

namespace {

// Strings are scanned and copied a machine word at a time: a word holds a
// zero byte exactly when (w - 0x01..01) & ~w & 0x80..80 is not zero.
using Word = uintptr_t;
constexpr Word kLowBits = ~static_cast<Word>(0) / 0xFF;
constexpr Word kHighBits = kLowBits << 7;

inline bool HasZeroByte(Word w) { return ((w - kLowBits) & ~w & kHighBits) != 0; }
// A byte below 0x20 (NUL among them) or a 0x7F: ((w - 0x20..20) & ~w &
// 0x80..80) is not zero exactly when a byte is below 0x20.
inline bool HasControlByte(Word w) {
  return ((w - kLowBits * 0x20) & ~w & kHighBits) != 0 || HasZeroByte(w ^ (kLowBits * 0x7F));
}
inline bool IsControlByte(uint8_t c) { return c < 0x20 || c == 0x7F; }

// The index of the first zero byte in bytes[0, count), or count when none.
uint32_t FindNul(const uint8_t* bytes, uint32_t count) {
  uint32_t i = 0;
  for (; count - i >= sizeof(Word); i += sizeof(Word)) {
    Word w;
    __builtin_memcpy(&w, bytes + i, sizeof(w));
    if (HasZeroByte(w)) break;
  }
  for (; i < count; ++i) {
    if (bytes[i] == 0) return i;
  }
  return count;
}

// The index of the first byte below 0x20 or 0x7F in bytes[0, count) (a NUL
// among them), or count when none.
uint32_t FindControl(const uint8_t* bytes, uint32_t count) {
  uint32_t i = 0;
  for (; count - i >= sizeof(Word); i += sizeof(Word)) {
    Word w;
    __builtin_memcpy(&w, bytes + i, sizeof(w));
    if (HasControlByte(w)) break;
  }
  for (; i < count; ++i) {
    if (IsControlByte(bytes[i])) return i;
  }
  return count;
}

// Copies from into to up to and including the first zero byte among the
// first count bytes; returns the bytes copied (count when no zero came).
uint32_t CopyThroughNul(char* to, const uint8_t* from, uint32_t count) {
  uint32_t i = 0;
  for (; count - i >= sizeof(Word); i += sizeof(Word)) {
    Word w;
    __builtin_memcpy(&w, from + i, sizeof(w));
    if (HasZeroByte(w)) break;
    __builtin_memcpy(to + i, &w, sizeof(w));
  }
  for (; i < count; ++i) {
    to[i] = static_cast<char>(from[i]);
    if (from[i] == 0) return i + 1;
  }
  return count;
}

}  // namespace

LogReader::LogReader(const char* path, LeadByteTest is_lead_byte) : is_lead_byte_(is_lead_byte) {
  // Held against writes from the check to the close (on Windows: the
  // source's share mode): what was proved sound is what the walk reads, and
  // no record can overwrite the log under it.
  if (!file_.Open(path)) {
    damage_ = Damage::kCannotOpen;
    return;
  }
  ReadTrailer(is_lead_byte);
}

LogReader::LogReader(RandomSource& source, LeadByteTest is_lead_byte)
    : source_(&source), is_lead_byte_(is_lead_byte) {
  if (!source_->is_open()) {
    damage_ = Damage::kCannotOpen;
    return;
  }
  ReadTrailer(is_lead_byte);
}

void LogReader::Load(uint32_t start) {
  window_start_ = start;
  window_length_ = source_->ReadAt(start, window_, kWindowSize);
}

int LogReader::ReadByte() {
  const uint8_t* bytes = nullptr;
  if (Span(&bytes) == 0) return -1;
  ++pos_;
  return bytes[0];
}

bool LogReader::ReadHeader(uint32_t offset, uint8_t* header) {
  if (Held(offset) < kRecordHeaderSize) {
    constexpr uint32_t kBehind = kWindowSize - kWindowAhead;
    Load(offset > kBehind ? offset - kBehind : 0);
    if (Held(offset) < kRecordHeaderSize) return false;
  }
  const uint8_t* at = window_ + (offset - window_start_);
  for (uint32_t i = 0; i < kRecordHeaderSize; ++i) header[i] = at[i];
  pos_ = offset + kRecordHeaderSize;
  return true;
}

void LogReader::ReadTrailer(LeadByteTest is_lead_byte) {
  uint64_t size = 0;
  if (!source_->Size(&size)) {
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
  // The window ends with the trailer: the display name and the last records
  // usually come with it.
  Load(size_ > kWindowSize ? size_ - kWindowSize : 0);
  if (window_start_ + window_length_ != size_) {
    damage_ = Damage::kTooShort;
    return;
  }
  const uint8_t* trailer = window_ + (trailer_start - window_start_);
  for (uint32_t i = 0; i < kSignatureSize; ++i) {
    if (trailer[kTrailerSignatureOffset + i] != static_cast<uint8_t>(kSignature[i])) {
      damage_ = Damage::kBadSignature;
      break;
    }
  }
  last_record_ = TrailerLastRecord(trailer);
  current_ = last_record_;
  record_offset_ = last_record_;

  // The display name: it must start before the trailer and end with a NUL
  // within its 256 bytes, before the trailer. The buffer always ends in NUL.
  const uint32_t name_offset = TrailerNameOffset(trailer);
  name_offset_ = name_offset;
  if (name_offset >= trailer_start) {
    if (damage_ == Damage::kNone) damage_ = Damage::kNameOffset;
    return;
  }
  uint32_t room = trailer_start - name_offset;
  if (room > kDisplayNameLimit) room = kDisplayNameLimit;
  pos_ = name_offset;
  uint32_t n = 0;
  for (; n < room; ++n) {
    int c = ReadByte();
    if (c < 0) break;
    display_name_[n] = static_cast<char>(c);
    if (c == 0) {
      // The name becomes a registry key name under the Uninstall key: empty,
      // it would name that key itself; with a backslash, another key. On the
      // 95 family RegDeleteKeyA takes a whole tree.
      bool valid = n > 0;
      // A double-byte letter's second byte is passed over, 0x5C or not.
      for (uint32_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(display_name_[i]);
        if (c == '\\' || IsControlByte(c)) valid = false;
        if (is_lead_byte && is_lead_byte(c) && i + 1 < n) ++i;
      }
      if (!valid && damage_ == Damage::kNone) damage_ = Damage::kNameInvalid;
      return;
    }
  }
  display_name_[n < kDisplayNameLimit ? n : kDisplayNameLimit - 1] = '\0';
  if (damage_ == Damage::kNone) damage_ = Damage::kNameUnterminated;
}

Damage LogReader::CheckString(uint32_t* pos, uint32_t limit, bool name) {
  const uint32_t end = size_ - kTrailerSize;
  if (*pos >= end) return Damage::kStringUnterminated;
  // The NUL must come within limit bytes and before the trailer.
  uint32_t left = end - *pos < limit ? end - *pos : limit;
  pos_ = *pos;
  TextCheck text(text_code_page_);
  while (left > 0) {
    const uint8_t* bytes = nullptr;
    uint32_t span = Span(&bytes);
    if (span == 0) return Damage::kStringUnterminated;
    if (span > left) span = left;
    // No byte of a double-byte letter's second half is below 0x40: a byte
    // test finds the control characters of every code page.
    const uint32_t nul = name ? FindControl(bytes, span) : FindNul(bytes, span);
    if (nul < span && bytes[nul] != 0) return Damage::kControlCharacter;
    if (text_code_page_ != 0 && !text.Feed(bytes, nul)) return Damage::kTextMalformed;
    if (nul < span) {
      if (text_code_page_ != 0 && !text.Complete()) return Damage::kTextMalformed;
      pos_ += nul + 1;
      *pos = pos_;
      return Damage::kNone;
    }
    pos_ += span;
    left -= span;
  }
  return Damage::kStringUnterminated;
}

Damage LogReader::JudgePath(uint32_t start, uint32_t end) {
  const uint32_t length = end - start - 1;
  if (length < kStringLimit) return Damage::kNone;
  if (long_path_ == 0) long_path_ = start;
  if (text_code_page_ == 0) return Damage::kNone;
  // At most kLongPathLimit bytes: the window holds it whole.
  if (Held(start) < length) Load(start);
  return IsPathAsRead(window_ + (start - window_start_), length, text_code_page_)
             ? Damage::kNone
             : Damage::kLongPathForm;
}

Damage LogReader::JudgeDevice(uint32_t start, uint32_t end) {
  const uint32_t length = end - start - 1;
  // At most kLongPathLimit bytes: the window holds it whole.
  if (Held(start) < length) Load(start);
  const uint8_t* text = window_ + (start - window_start_);
  if (!exact_devices_) {
    if (NamesDevice(text, length, 0, nullptr)) device_suspect_ = true;
    return Damage::kNone;
  }
  return NamesDevice(text, length, code_page_, is_lead_byte_) ? Damage::kDeviceName
                                                              : Damage::kNone;
}

Damage LogReader::CheckBytes(uint32_t* pos, uint32_t count) {
  const uint32_t end = size_ - kTrailerSize;
  if (*pos > end || end - *pos < count) return Damage::kPayloadOutside;
  *pos += count;
  return Damage::kNone;
}

Damage LogReader::JudgeName(uint32_t code_page) const {
  uint32_t n = 0;
  while (n < kDisplayNameLimit && display_name_[n] != '\0') ++n;
  if (n == 0) return Damage::kNameInvalid;
  if (!IsWellFormed(code_page, reinterpret_cast<const uint8_t*>(display_name_), n)) {
    return Damage::kTextMalformed;
  }
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t c = static_cast<uint8_t>(display_name_[i]);
    if (c == '\\' || IsControlByte(c)) return Damage::kNameInvalid;
    if (LeadsDoubleByte(code_page, c)) ++i;  // well formed: a second byte follows
  }
  return Damage::kNone;
}

ChainVerdict LogReader::CheckChain() {
  ChainVerdict verdict;
  // A display name with a backslash by the constructor's lead-byte test may
  // be sound in the code page the file names: the walk tells.
  const bool name_in_doubt = damage_ == Damage::kNameInvalid && has_stream();
  if (!usable() && !name_in_doubt) {
    verdict.damage = damage_;
    return verdict;
  }
  code_page_ = 0;
  text_code_page_ = 0;
  long_path_ = 0;
  device_suspect_ = false;
  exact_devices_ = false;
  uint32_t records_end = 0;  // the furthest byte any record reaches
  Walk(&verdict, &records_end);
  // A path past kStringLimit in a file that names no code page (or whose
  // walk stopped before its code-page record) is what it always was.
  if (long_path_ != 0 && code_page_ == 0) {
    verdict.damage = Damage::kStringUnterminated;
    verdict.offset = long_path_;
  }
  if (name_in_doubt) {
    if (verdict.damage != Damage::kNone || code_page_ == 0) {
      verdict = ChainVerdict();
      verdict.damage = Damage::kNameInvalid;
      code_page_ = 0;
      return verdict;
    }
    damage_ = Damage::kNone;
  }
  if (verdict.damage == Damage::kNone && code_page_ != 0) {
    const Damage name = JudgeName(code_page_);
    if (name != Damage::kNone) {
      verdict.damage = name;
      verdict.offset = name_offset_;
      damage_ = name;
    } else if (code_page_ == kCodePageUtf8 || LeadsDoubleByte(code_page_, 0x81) ||
               long_path_ != 0 || device_suspect_) {
      // Only these code pages can hold malformed text, and a long path's
      // form and a device part are judged by the code page's letters: a
      // second walk proves every string.
      text_code_page_ = code_page_;
      exact_devices_ = true;
      verdict = ChainVerdict();
      Walk(&verdict, &records_end);
      text_code_page_ = 0;
    }
    if (verdict.damage != Damage::kNone) code_page_ = 0;
  } else if (verdict.damage == Damage::kNone && device_suspect_) {
    // The system's code page: its own lead bytes tell.
    exact_devices_ = true;
    verdict = ChainVerdict();
    Walk(&verdict, &records_end);
  }
  if (verdict.damage == Damage::kNone && name_offset_ < records_end) {
    verdict.damage = Damage::kNameBeforeRecords;
    verdict.offset = name_offset_;
  }
  if (verdict.damage == Damage::kNone) {
    current_ = last_record_;
    record_offset_ = last_record_;
  } else {
    code_page_ = 0;
  }
  return verdict;
}

void LogReader::Walk(ChainVerdict* out, uint32_t* records_end_out) {
  ChainVerdict& verdict = *out;
  uint32_t& records_end = *records_end_out;
  const uint32_t end = size_ - kTrailerSize;
  uint32_t at = last_record_;
  // After a code-page record, the record its back-link names must be the
  // type-0 record.
  bool end_must_follow = false;
  uint32_t code_page_at = 0;
  for (;;) {
    verdict.offset = at;
    if (at > end || end - at < kRecordHeaderSize) {
      verdict.damage = Damage::kRecordOutside;
      return;
    }
    uint8_t header[kRecordHeaderSize];
    if (!ReadHeader(at, header)) {
      verdict.damage = Damage::kRecordOutside;
      return;
    }
    ++verdict.records;
    const uint32_t back = RecordBackLink(header);
    const uint16_t type = RecordTypeCode(header);
    if (!IsValidType(type) && type != kCodePageType) {
      verdict.damage = Damage::kBadType;
      return;
    }
    if (end_must_follow && type != static_cast<uint16_t>(RecordType::kEndOfLog)) {
      verdict.offset = code_page_at;
      verdict.damage = Damage::kCodePagePlace;
      return;
    }
    if (type == static_cast<uint16_t>(RecordType::kEndOfLog)) {
      if (back != kNoBackLink) verdict.damage = Damage::kChainEnd;
      if (at + kRecordHeaderSize > records_end) records_end = at + kRecordHeaderSize;
      break;
    }
    if (back >= at) {
      verdict.damage = Damage::kBackLinkForward;
      return;
    }
    if (type == kCodePageType) {
      uint32_t pos = at + kRecordHeaderSize;
      verdict.offset = pos;
      verdict.damage = CheckBytes(&pos, kCodePagePayloadSize);
      if (verdict.damage != Damage::kNone) return;
      const uint32_t code_page = ReadU32();
      if (!IsNamedCodePage(code_page)) {
        verdict.damage = Damage::kCodePageUnknown;
        return;
      }
      code_page_ = code_page;
      code_page_at = at;
      end_must_follow = true;
      if (pos > records_end) records_end = pos;
      at = back;
      continue;
    }

    // The payload, field by field, in the order the actions read it.
    uint32_t pos = at + kRecordHeaderSize;
    Damage d = Damage::kNone;
    auto string = [&](uint32_t limit, bool name) {
      if (d == Damage::kNone) {
        verdict.offset = pos;
        d = CheckString(&pos, limit, name);
      }
    };
    auto flag = [&]() -> bool {
      if (d != Damage::kNone) return false;
      verdict.offset = pos;
      d = CheckBytes(&pos, 1);
      if (d != Damage::kNone) return false;
      return ReadByte() > 0;
    };
    const RecordLayout& layout = LayoutOf(type);
    for (uint32_t f = 0; f < layout.field_count && d == Damage::kNone; ++f) {
      const FieldLayout& field = layout.fields[f];
      switch (field.kind) {
        case FieldKind::kString: {
          const uint32_t start = pos;
          string(field.path() ? kLongPathLimit : field.limit, field.marks & kName);
          if (field.path() && d == Damage::kNone) d = JudgePath(start, pos);
          if ((field.marks & kOnDisk) && d == Damage::kNone) {
            verdict.offset = start;
            d = JudgeDevice(start, pos);
          }
          break;
        }
        case FieldKind::kFlag: flag(); break;
        case FieldKind::kOptionalString:
          if (flag()) string(field.limit, field.marks & kName);
          break;
        case FieldKind::kSavedCopy:
          if (flag()) {
            verdict.offset = pos;
            d = CheckBytes(&pos, kSavedFixedSize);
            if (d != Damage::kNone) break;
            uint8_t saved[kSavedFixedSize];
            if (ReadBytes(saved, sizeof(saved)) != sizeof(saved)) {
              d = Damage::kPayloadOutside;
              break;
            }
            verdict.offset = pos;
            d = CheckBytes(&pos, SavedLength(saved));
          }
          break;
        case FieldKind::kFixed:
          verdict.offset = pos;
          d = CheckBytes(&pos, field.limit);
          break;
      }
    }
    if (d != Damage::kNone) {
      verdict.damage = d;
      return;
    }
    if (pos > records_end) records_end = pos;
    at = back;
  }
}

uint16_t LogReader::NextRecord() {
  uint8_t header[kRecordHeaderSize];
  record_offset_ = current_;
  if (!ReadHeader(current_, header)) return kUnreadableType;
  const uint32_t back = RecordBackLink(header);
  const uint16_t type = RecordTypeCode(header);
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
  uint32_t n = 0;
  while (n + 1 < capacity) {
    const uint8_t* bytes = nullptr;
    uint32_t span = Span(&bytes);
    if (span == 0) {
      buffer[n] = '\0';
      return false;
    }
    if (span > capacity - 1 - n) span = capacity - 1 - n;
    const uint32_t copied = CopyThroughNul(buffer + n, bytes, span);
    if (copied < span || buffer[n + span - 1] == '\0') {
      pos_ += copied;
      return true;
    }
    pos_ += span;
    n += span;
  }
  // No room left: the string is cut and ended here; the only way to come
  // here is a string that needs its last byte to be a NUL and it is not.
  int c = ReadByte();
  buffer[capacity - 1] = '\0';
  return c == 0;
}

bool LogReader::ReadFlag() { return ReadByte() > 0; }

uint32_t LogReader::ReadBytes(void* buffer, uint32_t count) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    // Past the window, a long read goes straight to the caller's buffer; a
    // short one goes through a fresh window.
    if (Held(pos_) == 0 && count - done >= kWindowSize) {
      const uint32_t got = source_->ReadAt(pos_, out + done, count - done);
      done += got;
      pos_ += got;
      break;
    }
    const uint8_t* bytes = nullptr;
    uint32_t n = Span(&bytes);
    if (n == 0) break;
    if (n > count - done) n = count - done;
    for (uint32_t i = 0; i < n; ++i) out[done + i] = bytes[i];
    done += n;
    pos_ += n;
  }
  return done;
}

uint32_t LogReader::ReadU32() {
  uint8_t bytes[4] = {};
  ReadBytes(bytes, 4);
  return LoadU32(bytes);
}

bool LogReader::Skip(uint32_t count) {
  if (count > 0xFFFFFFFFu - pos_) return false;
  pos_ += count;
  return true;
}

}  // namespace kiv
