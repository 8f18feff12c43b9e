#include "uninstall_file/log_writer.h"

#include "base/path_rules.h"

namespace kiv {

bool LogWriter::PutString(const char* s) {
  uint32_t n = LengthWithin(s, 0xFFFFFFFEu);
  return Put(s, n + 1);
}

bool LogWriter::Header(RecordType type) {
  uint8_t header[kRecordHeaderSize];
  uint32_t at = sink_.Position();
  StoreRecordHeader(header, last_record_, static_cast<uint16_t>(type));
  if (!Put(header, sizeof(header))) return false;
  last_record_ = at;
  return true;
}

bool LogWriter::Begin() {
  last_record_ = kNoBackLink;
  code_page_ = 0;
  return Header(RecordType::kEndOfLog);
}

bool LogWriter::BeginInCodePage(uint32_t code_page) {
  if (!Begin()) return false;
  uint8_t payload[kCodePagePayloadSize];
  StoreU32(payload, code_page);
  if (!AddRaw(kCodePageType, payload, sizeof(payload))) return false;
  code_page_ = code_page;
  return true;
}

bool LogWriter::AddRecord(RecordType type, const FieldValue* values) {
  const uint16_t code = static_cast<uint16_t>(type);
  if (!IsValidType(code) || type == RecordType::kEndOfLog) return false;
  const RecordLayout& layout = LayoutOf(type);
  for (uint32_t f = 0; f < layout.field_count; ++f) {
    const FieldLayout& field = layout.fields[f];
    const char* text = values[f].text;
    const uint32_t limit = FieldLimit(field, code_page_ != 0);
    if (field.kind == FieldKind::kString && (!text || !FitsField(text, limit))) return false;
    if (field.kind == FieldKind::kOptionalString && text && !FitsField(text, limit)) {
      return false;
    }
    if (field.kind == FieldKind::kFixed && !values[f].bytes) return false;
    if (field.path() && !FitsField(text, kStringLimit) &&
        !IsPathAsRead(reinterpret_cast<const uint8_t*>(text), LengthWithin(text, limit),
                      code_page_)) {
      return false;
    }
  }
  if (!Header(type)) return false;
  for (uint32_t f = 0; f < layout.field_count; ++f) {
    const FieldValue& value = values[f];
    bool ok = true;
    switch (layout.fields[f].kind) {
      case FieldKind::kString: ok = PutString(value.text); break;
      case FieldKind::kFlag: ok = PutFlag(value.flag); break;
      case FieldKind::kOptionalString:
        ok = PutFlag(value.text != nullptr) && (!value.text || PutString(value.text));
        break;
      case FieldKind::kSavedCopy:
        ok = PutFlag(value.saved != nullptr) && (!value.saved || PutSaved(*value.saved));
        break;
      case FieldKind::kFixed: ok = Put(value.bytes, layout.fields[f].limit); break;
    }
    if (!ok) return false;
  }
  return true;
}

bool LogWriter::PutFlag(bool flag) {
  const uint8_t byte = flag ? 1 : 0;
  return Put(&byte, 1);
}

bool LogWriter::PutSaved(const SavedContent& saved) {
  uint8_t fixed[kSavedFixedSize];
  StoreSavedFixed(fixed, saved.time, saved.length);
  if (!Put(fixed, sizeof(fixed))) return false;
  uint8_t chunk[4096];
  uint32_t left = saved.length;
  while (left > 0) {
    uint32_t want = left < sizeof(chunk) ? left : static_cast<uint32_t>(sizeof(chunk));
    if (saved.content->Read(chunk, want) != want || !Put(chunk, want)) return false;
    left -= want;
  }
  return true;
}

bool LogWriter::AddDirectory(const char* path) {
  const FieldValue values[] = {{path}};
  return AddRecord(RecordType::kDirectory, values);
}

bool LogWriter::AddFile(const char* path) {
  const FieldValue values[] = {{path}, {}};
  return AddRecord(RecordType::kFile, values);
}

namespace {
class MemorySource final : public ByteSource {
 public:
  MemorySource(const void* data, uint32_t size)
      : data_(static_cast<const uint8_t*>(data)), left_(size) {}
  uint32_t Read(void* buffer, uint32_t size) override {
    uint32_t n = size < left_ ? size : left_;
    for (uint32_t i = 0; i < n; ++i) static_cast<uint8_t*>(buffer)[i] = data_[i];
    data_ += n;
    left_ -= n;
    return n;
  }

 private:
  const uint8_t* data_;
  uint32_t left_;
};
}  // namespace

bool LogWriter::AddRestoredFile(const char* path, uint64_t saved_time, const void* content,
                                uint32_t length) {
  MemorySource source(content, length);
  return AddRestoredFile(path, saved_time, source, length);
}

bool LogWriter::AddRestoredFile(const char* path, uint64_t saved_time, ByteSource& content,
                                uint32_t length) {
  SavedContent saved = {saved_time, length, &content};
  const FieldValue values[] = {{path}, {nullptr, false, &saved}};
  return AddRecord(RecordType::kFile, values);
}

bool LogWriter::AddIniEntry(const char* file, const char* section, const char* key,
                            const char* prior, const char* value, bool flag) {
  const FieldValue values[] = {{file}, {section}, {key}, {prior}, {value}, {nullptr, flag}};
  return AddRecord(RecordType::kIniEntry, values);
}

bool LogWriter::AddRegistryValue(const char* root, const char* path, const char* data) {
  const FieldValue values[] = {{root}, {path}, {data}};
  return AddRecord(RecordType::kRegistryValue, values);
}

bool LogWriter::AddUnused5() { return AddRecord(RecordType::kUnused5, nullptr); }

bool LogWriter::AddFont(const char* name, const char* file) {
  const FieldValue values[] = {{name}, {file}};
  return AddRecord(RecordType::kFont, values);
}

bool LogWriter::AddShellItem(const char* group, const char* item) {
  const FieldValue values[] = {{group}, {item}};
  return AddRecord(RecordType::kShellItem, values);
}

bool LogWriter::AddShellGroup(const char* group) {
  const FieldValue values[] = {{group}};
  return AddRecord(RecordType::kShellGroup, values);
}

bool LogWriter::AddRaw(uint16_t type, const void* payload, uint32_t size) {
  uint8_t header[kRecordHeaderSize];
  uint32_t at = sink_.Position();
  StoreRecordHeader(header, last_record_, type);
  if (!Put(header, sizeof(header)) || !Put(payload, size)) return false;
  last_record_ = at;
  return true;
}

bool LogWriter::Finish(const char* display_name) {
  if (!FitsField(display_name, kDisplayNameLimit)) return false;
  uint32_t name_offset = sink_.Position();
  if (!PutString(display_name)) return false;
  return FinishRaw(name_offset, last_record_, kSignature);
}

bool LogWriter::FinishRaw(uint32_t name_offset, uint32_t last_record, const char signature[12]) {
  uint8_t trailer[kTrailerSize];
  StoreTrailer(trailer, name_offset, last_record, signature);
  return Put(trailer, sizeof(trailer));
}

}  // namespace kiv
