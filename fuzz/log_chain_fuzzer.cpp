// The uninstall file as the uninstall mode meets it: open, chain check, then
// the walk's reads of every record, field by field as each action pulls them
// (without acting), over an in-memory file.
//
// Invariants:
//  - the check agrees with an independent model of a sound file, built
//    straight from the bytes: same verdict (kind of damage included), and on
//    a sound file the same number of records;
//  - on a sound file the walk visits exactly those records, at the model's
//    offsets, and every string, flag, time and saved content read through
//    the reader equals the model's: nothing the check passed can fail later;
//  - on a sound UTF-8 file every name the walk reads, the display name
//    included, converts to UTF-16 as the stub's name layer converts it, into
//    a buffer of one unit per byte and the NUL, as the model decodes it;
//  - whatever the bytes (the file may change after the check), no read
//    writes past its buffer, every string read ends in a NUL within its
//    buffer, and the walk ends.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/memory_source.h"
#include "fuzz_check.h"
#include "record_walk.h"
#include "text_model.h"
#include "uninstall_file/layout.h"
#include "base/code_page_text.h"
#include "base/path_rules.h"
#include "uninstall_file/log_reader.h"

namespace {

using kiv::Damage;
using kiv::RecordType;
using kiv::fuzz::Fenced;
using kiv::fuzz::ModelWellFormed;
using kiv::fuzz::Walk;
using kiv::fuzz::Walked;
using kiv::testing_support::MemorySource;

// One record as the model reads it from the bytes.
struct ModelRecord {
  uint32_t offset = 0;
  uint32_t back = 0;
  uint16_t type = 0;
  std::vector<std::string> strings;  // in stored order, without their NULs
  bool flag = false;                 // File, IniEntry, RegistryValue
  std::string saved;                 // File with a saved copy: time (8), length (4), content
};

struct Model {
  Damage damage = Damage::kNone;
  std::string display_name;
  uint32_t code_page = 0;            // named by the file; 0: none
  std::vector<ModelRecord> records;  // walk order, the type-0 record last
};

// Sound means: a trailer with the signature; a display name starting before
// the trailer with a NUL within 256 bytes and before it; from the last
// record back, every header and every field inside the bytes before the
// trailer, every string ended within its limit, types 0 to 8, back-links
// strictly below their record, and a type-0 record with link 0xFFFFFFFF;
// a display name neither empty nor holding a backslash, starting at or
// after the furthest byte any record reaches; in a file that names its
// code page (a type-9 record right after the type-0 one), text well formed
// in it (text_model.h), and a Directory's or File's path may take 1,024
// bytes, past 255 only as the system reads it (elsewhere such a path is a
// string not ended within its limit).
// A backslash among the name's letters (well formed in code_page).
bool HasBackslash(uint32_t code_page, const std::string& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\') return true;
    if (kiv::LeadsDoubleByte(code_page, static_cast<uint8_t>(name[i]))) ++i;
  }
  return false;
}

// A Directory's or File's path: up to kLongPathLimit bytes in a file that
// names its code page, and past kStringLimit only as the system reads it.
bool IsPathField(uint16_t type, size_t index) {
  return index == 0 && (type == static_cast<uint16_t>(RecordType::kDirectory) ||
                        type == static_cast<uint16_t>(RecordType::kFile) ||
                        type == static_cast<uint16_t>(RecordType::kSharedFile) ||
                        type == static_cast<uint16_t>(RecordType::kKeptFile));
}

// A name the uninstall looks for or acts on (the layout's kName fields): a
// control character in it is damage.
bool IsNameField(uint16_t type, size_t index) {
  switch (static_cast<RecordType>(type)) {
    case RecordType::kIniEntry: return index < 3;
    case RecordType::kRegistryValue: return index < 2;
    default: return true;
  }
}

// A path on the disk (kOnDisk): Directory and File paths, an INI file.
bool IsOnDiskField(uint16_t type, size_t index) {
  return IsPathField(type, index) ||
         (index == 0 && type == static_cast<uint16_t>(RecordType::kIniEntry));
}

bool HasControl(const std::string& text) {
  for (const char c : text) {
    if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The first on-disk string with a device part, by the letters of code_page.
bool AnyDevice(const Model& m, uint32_t code_page) {
  for (const ModelRecord& r : m.records) {
    if (r.type == kiv::kCodePageType) continue;
    for (size_t i = 0; i < r.strings.size(); ++i) {
      if (IsOnDiskField(r.type, i) &&
          kiv::NamesDevice(reinterpret_cast<const uint8_t*>(r.strings[i].data()),
                           static_cast<uint32_t>(r.strings[i].size()), code_page, nullptr)) {
        return true;
      }
    }
  }
  return false;
}

// The first fault found in that order names the damage.
Model BuildModel(const uint8_t* data, size_t size) {
  Model m;
  if (size < kiv::kTrailerSize) {
    m.damage = Damage::kTooShort;
    return m;
  }
  const uint32_t end = static_cast<uint32_t>(size - kiv::kTrailerSize);
  const uint8_t* trailer = data + end;
  if (memcmp(trailer + kiv::kTrailerSignatureOffset, kiv::kSignature, kiv::kSignatureSize) != 0) {
    m.damage = Damage::kBadSignature;
  }
  const uint32_t name = kiv::TrailerNameOffset(trailer);
  if (name >= end) {
    if (m.damage == Damage::kNone) m.damage = Damage::kNameOffset;
    return m;
  }
  const uint32_t room = end - name < kiv::kDisplayNameLimit ? end - name : kiv::kDisplayNameLimit;
  const void* nul = memchr(data + name, 0, room);
  if (nul == nullptr) {
    if (m.damage == Damage::kNone) m.damage = Damage::kNameUnterminated;
    return m;
  }
  m.display_name.assign(reinterpret_cast<const char*>(data + name),
                        static_cast<const uint8_t*>(nul) - (data + name));
  if (m.damage != Damage::kNone) return m;
  // Judged byte by byte here; a file that names its code page is judged
  // again by that code page's letters once the chain is known sound.
  const bool name_in_doubt = m.display_name.empty() ||
                             m.display_name.find('\\') != std::string::npos ||
                             HasControl(m.display_name);
  uint32_t code_page = 0;
  uint32_t long_path = 0;  // the first path past kStringLimit, in walk order
  bool name_before_records = false;
  auto finish = [&](Damage walk) {
    // Only a file whose walk reached its code-page record may hold one.
    if (long_path != 0 && code_page == 0) walk = Damage::kStringUnterminated;
    if (name_in_doubt && (walk != Damage::kNone || code_page == 0)) {
      m.damage = Damage::kNameInvalid;
      return;
    }
    m.damage = walk;
    if (m.damage == Damage::kNone && code_page != 0) {
      if (m.display_name.empty()) {
        m.damage = Damage::kNameInvalid;
      } else if (!ModelWellFormed(code_page, m.display_name)) {
        m.damage = Damage::kTextMalformed;
      } else if (HasBackslash(code_page, m.display_name) || HasControl(m.display_name)) {
        m.damage = Damage::kNameInvalid;
      } else {
        for (const ModelRecord& r : m.records) {
          if (r.type == kiv::kCodePageType) continue;
          for (size_t i = 0; i < r.strings.size(); ++i) {
            const std::string& text = r.strings[i];
            if (m.damage != Damage::kNone) break;
            if (!ModelWellFormed(code_page, text)) {
              m.damage = Damage::kTextMalformed;
            } else if (IsPathField(r.type, i) && text.size() >= kiv::kStringLimit &&
                       !kiv::IsPathAsRead(reinterpret_cast<const uint8_t*>(text.data()),
                                          static_cast<uint32_t>(text.size()), code_page)) {
              m.damage = Damage::kLongPathForm;
            } else if (IsOnDiskField(r.type, i) &&
                       kiv::NamesDevice(reinterpret_cast<const uint8_t*>(text.data()),
                                        static_cast<uint32_t>(text.size()), code_page,
                                        nullptr)) {
              m.damage = Damage::kDeviceName;
            }
          }
        }
      }
    } else if (m.damage == Damage::kNone && AnyDevice(m, 0)) {
      m.damage = Damage::kDeviceName;
    }
    if (m.damage == Damage::kNone && name_before_records) m.damage = Damage::kNameBeforeRecords;
    if (m.damage == Damage::kNone) m.code_page = code_page;
  };

  uint32_t at = kiv::TrailerLastRecord(trailer);
  uint32_t records_end = 0;
  for (;;) {
    if (at > end || end - at < kiv::kRecordHeaderSize) {
      finish(Damage::kRecordOutside);
      return m;
    }
    ModelRecord r;
    r.offset = at;
    r.back = kiv::LoadU32(data + at);
    r.type = kiv::LoadU16(data + at + 4);
    if (r.type > 11) {  // 9, the code page, is read below
      finish(Damage::kBadType);
      return m;
    }
    // The code-page record stands only directly after the type-0 record.
    if (code_page != 0 && r.type != 0) {
      finish(Damage::kCodePagePlace);
      return m;
    }
    if (r.type == 0) {
      m.records.push_back(r);
      name_before_records = name < std::max<uint32_t>(records_end, at + kiv::kRecordHeaderSize);
      finish(r.back != kiv::kNoBackLink ? Damage::kChainEnd : Damage::kNone);
      return m;
    }
    if (r.back >= at) {
      finish(Damage::kBackLinkForward);
      return m;
    }
    if (r.type == kiv::kCodePageType) {
      if (end - (at + kiv::kRecordHeaderSize) < 4) {
        finish(Damage::kPayloadOutside);
        return m;
      }
      const uint32_t named = kiv::LoadU32(data + at + kiv::kRecordHeaderSize);
      const uint32_t kNamed[] = {874, 932, 936, 949, 950, 1250, 1251, 1252, 1253,
                                 1254, 1255, 1256, 1257, 1258, 65001};
      if (std::find(std::begin(kNamed), std::end(kNamed), named) == std::end(kNamed)) {
        finish(Damage::kCodePageUnknown);
        return m;
      }
      code_page = named;
      r.strings.emplace_back(reinterpret_cast<const char*>(data + at + kiv::kRecordHeaderSize), 4);
      records_end = std::max(records_end, at + kiv::kRecordHeaderSize + 4);
      m.records.push_back(r);
      at = r.back;
      continue;
    }
    uint32_t pos = at + kiv::kRecordHeaderSize;
    Damage fault = Damage::kNone;
    auto string = [&](uint32_t limit) {
      if (fault != Damage::kNone) return;
      const bool path = IsPathField(r.type, r.strings.size());
      if (path) limit = kiv::kLongPathLimit;
      const uint32_t span = end - pos < limit ? end - pos : limit;
      const void* found = memchr(data + pos, 0, span);
      const bool name = IsNameField(r.type, r.strings.size());
      const uint32_t before = found ? static_cast<uint32_t>(static_cast<const uint8_t*>(found) -
                                                            (data + pos))
                                    : span;
      if (name && HasControl(std::string(reinterpret_cast<const char*>(data + pos), before))) {
        fault = Damage::kControlCharacter;
        return;
      }
      if (found == nullptr) {
        fault = Damage::kStringUnterminated;
        return;
      }
      const uint32_t length = before;
      r.strings.emplace_back(reinterpret_cast<const char*>(data + pos), length);
      if (path && length >= kiv::kStringLimit && long_path == 0) long_path = pos;
      pos += length + 1;
    };
    auto flag = [&]() {
      if (fault != Damage::kNone) return false;
      if (pos >= end) {
        fault = Damage::kPayloadOutside;
        return false;
      }
      r.flag = data[pos++] != 0;
      return r.flag;
    };
    switch (static_cast<RecordType>(r.type)) {
      case RecordType::kDirectory:
      case RecordType::kSharedFile:
      case RecordType::kShellGroup: string(kiv::kStringLimit); break;
      case RecordType::kKeptFile:
        string(kiv::kStringLimit);
        if (fault != Damage::kNone) break;
        if (end - pos < kiv::kContentCheckSize) {
          fault = Damage::kPayloadOutside;
          break;
        }
        r.saved.assign(reinterpret_cast<const char*>(data + pos), kiv::kContentCheckSize);
        pos += kiv::kContentCheckSize;
        break;
      case RecordType::kFile:
        string(kiv::kStringLimit);
        if (flag()) {
          if (end - pos < kiv::kSavedFixedSize) {
            fault = Damage::kPayloadOutside;
            break;
          }
          const uint32_t length = kiv::SavedLength(data + pos);
          if (end - pos - (kiv::kSavedFixedSize) < length) {
            fault = Damage::kPayloadOutside;
            break;
          }
          r.saved.assign(reinterpret_cast<const char*>(data + pos),
                         kiv::kSavedFixedSize + length);
          pos += kiv::kSavedFixedSize + length;
        }
        break;
      case RecordType::kIniEntry:
        for (int i = 0; i < 5; ++i) string(kiv::kStringLimit);
        flag();
        break;
      case RecordType::kRegistryValue:
        string(kiv::kStringLimit);
        string(kiv::kRegistryLimit);
        if (flag()) string(kiv::kRegistryLimit);
        break;
      case RecordType::kFont:
      case RecordType::kShellItem:
        string(kiv::kStringLimit);
        string(kiv::kStringLimit);
        break;
      case RecordType::kEndOfLog:
      case RecordType::kUnused5: break;
    }
    if (fault != Damage::kNone) {
      finish(fault);
      return m;
    }
    records_end = std::max(records_end, pos);
    m.records.push_back(r);
    at = r.back;
  }
}

// A name of a sound UTF-8 file as the name layer hands it to the W calls.
void ConvertsLikeTheModel(const std::string& text) {
  std::vector<uint32_t> letters;
  KIV_FUZZ_CHECK(kiv::fuzz::ModelDecodeUtf8(text, &letters));
  const std::vector<uint16_t> want = kiv::fuzz::ModelUtf16(letters);
  std::vector<uint16_t> got(text.size() + 1, 0xA5A5);
  const uint32_t n =
      kiv::Utf8ToUtf16(text.c_str(), got.data(), static_cast<uint32_t>(got.size()));
  KIV_FUZZ_CHECK(n == want.size());
  KIV_FUZZ_CHECK(got[n] == 0);
  KIV_FUZZ_CHECK(std::equal(want.begin(), want.end(), got.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Model model = BuildModel(data, size);

  MemorySource file(data, size);
  kiv::LogReader reader(file);
  const char* name = reader.display_name();
  KIV_FUZZ_CHECK(memchr(name, 0, kiv::kDisplayNameLimit) != nullptr);
  KIV_FUZZ_CHECK(reader.has_stream());
  if (size < kiv::kTrailerSize) KIV_FUZZ_CHECK(reader.damage() == Damage::kTooShort);

  const kiv::ChainVerdict verdict = reader.CheckChain();
  if (!reader.usable()) {
    KIV_FUZZ_CHECK(verdict.damage == reader.damage());
    // An unusable reader hands out nothing, and says so.
    Fenced<kiv::kStringLimit> buffer;
    KIV_FUZZ_CHECK(!reader.ReadString(buffer.data, buffer.capacity()));
    KIV_FUZZ_CHECK(buffer.Intact() && buffer.data[0] == '\0');
  } else {
    KIV_FUZZ_CHECK(reader.size() == size);
    KIV_FUZZ_CHECK(model.display_name == name);
  }
  KIV_FUZZ_CHECK(verdict.damage == model.damage);
  if (verdict.damage != Damage::kNone) {
    // The stub never walks such a file, but a file can change between the
    // check and the walk: the reads must stay bounded and the walk end.
    if (reader.usable()) {
      std::vector<Walked> walked;
      Walk(reader, &walked);
    }
    return 0;
  }

  // Sound: the walk must deliver exactly what the check proved.
  KIV_FUZZ_CHECK(verdict.records == model.records.size());
  KIV_FUZZ_CHECK(reader.current() == reader.last_record());
  std::vector<Walked> walked;
  KIV_FUZZ_CHECK(Walk(reader, &walked));
  KIV_FUZZ_CHECK(walked.size() == model.records.size());
  for (size_t i = 0; i < walked.size(); ++i) {
    const Walked& w = walked[i];
    const ModelRecord& r = model.records[i];
    KIV_FUZZ_CHECK(w.offset == r.offset);
    KIV_FUZZ_CHECK(w.type == r.type);
    KIV_FUZZ_CHECK(w.all_whole);
    KIV_FUZZ_CHECK(w.strings == r.strings);
    KIV_FUZZ_CHECK(w.flag == r.flag);
    KIV_FUZZ_CHECK(w.saved == r.saved);
    if (model.code_page == kiv::kCodePageUtf8 && w.type != kiv::kCodePageType) {
      for (const std::string& text : w.strings) ConvertsLikeTheModel(text);
    }
  }
  KIV_FUZZ_CHECK(reader.code_page() == model.code_page);
  if (model.code_page == kiv::kCodePageUtf8) ConvertsLikeTheModel(model.display_name);
  return 0;
}
