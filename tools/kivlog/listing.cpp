#include "listing.h"

#include <string.h>

#include "code_page.h"
#include "file_time.h"
#include "manifest.h"

namespace kivlog {

namespace {

using kiv::RecordType;
using Json = nlohmann::ordered_json;

class RecordDecoder {
 public:
  RecordDecoder(kiv::LogReader& reader, uint32_t code_page, ListedRecord* record)
      : reader_(reader), code_page_(code_page), record_(record) {
    record_->end = record_->offset + kiv::kRecordHeaderSize;
  }

  void String(const char* name, uint32_t capacity) {
    static_assert(kiv::kLongPathLimit <= kiv::kRegistryLimit, "every field fits");
    char buffer[kiv::kRegistryLimit];
    reader_.ReadString(buffer, capacity);
    const uint32_t length = static_cast<uint32_t>(strlen(buffer));
    record_->end += length + 1;
    std::string bytes(buffer, length);
    record_->fields[name] = DecodeAnsi(bytes, code_page_);
    ManifestRecord& raw = record_->raw;
    const std::string field = name;
    if (field == "path") raw.path = bytes;
    if (field == "file") raw.file = bytes;
    if (field == "section") raw.section = bytes;
    if (field == "key") raw.key = bytes;
    if (field == "prior") raw.prior = bytes;
    if (field == "value") raw.value = bytes;
    if (field == "root") raw.root = bytes;
    if (field == "data") raw.data = bytes;
    if (field == "name") raw.name = bytes;
    if (field == "group") raw.group = bytes;
    if (field == "item") raw.item = bytes;
  }

  bool Flag() {
    ++record_->end;
    return reader_.ReadFlag();
  }

  void Saved() {
    uint8_t fixed[kiv::kSavedFixedSize];
    reader_.ReadBytes(fixed, sizeof(fixed));
    const uint64_t file_time = kiv::SavedTime(fixed);
    const uint32_t length = kiv::SavedLength(fixed);
    reader_.Skip(length);
    record_->end += kiv::kSavedFixedSize + length;
    Json saved = Json::object();
    saved["length"] = length;
    // A string: above 2^53, and tools that read JSON numbers as doubles
    // would round it.
    saved["time"] = std::to_string(file_time);
    auto utc = FormatUtcTime(file_time);
    saved["time_utc"] = utc ? Json(*utc) : Json(nullptr);
    record_->fields["saved"] = saved;
  }

  void Payload() {
    const kiv::RecordLayout& layout = kiv::LayoutOf(record_->type);
    for (uint32_t f = 0; f < layout.field_count; ++f) {
      const kiv::FieldLayout& field = layout.fields[f];
      const char* name = kiv::NamesOf(record_->type).fields[f];
      switch (field.kind) {
        case kiv::FieldKind::kString:
          String(name, kiv::FieldLimit(field, reader_.code_page() != 0));
          break;
        case kiv::FieldKind::kFlag:
          record_->raw.flag = Flag();
          record_->fields[name] = record_->raw.flag;
          break;
        case kiv::FieldKind::kOptionalString:
          if (Flag()) {
            String(name, field.limit);
          } else {
            record_->fields[name] = nullptr;
          }
          break;
        case kiv::FieldKind::kSavedCopy:
          if (Flag()) {
            Saved();
          } else {
            record_->fields[name] = nullptr;
          }
          break;
        case kiv::FieldKind::kFixed: {
          // A kept file's content as installed: its size and CRC-32.
          uint8_t check[kiv::kContentCheckSize] = {};
          reader_.ReadBytes(check, sizeof(check));
          record_->end += sizeof(check);
          record_->raw.content_size = kiv::LoadU32(check);
          record_->raw.content_crc32 = kiv::LoadU32(check + 4);
          record_->fields["size"] = record_->raw.content_size;
          record_->fields["crc32"] = record_->raw.content_crc32;
          break;
        }
      }
    }
  }

 private:
  kiv::LogReader& reader_;
  uint32_t code_page_;
  ListedRecord* record_;
};

}  // namespace

Listing ReadListing(kiv::LogReader& reader, uint32_t code_page) {
  Listing listing;
  listing.named_code_page = reader.code_page();
  if (reader.code_page() != 0) code_page = reader.code_page();
  listing.code_page = code_page;
  listing.size = reader.size();
  listing.display_name_bytes = reader.display_name();
  listing.display_name = DecodeAnsi(listing.display_name_bytes, code_page);
  for (;;) {
    const uint16_t type = reader.NextRecord();
    // The code-page record is the file's, not a change: listed as the
    // file's code page.
    if (type == kiv::kCodePageType) continue;
    // A checked chain holds only types 0 to 9; stop on anything else all
    // the same, so a file changed since the check cannot loop here.
    if (!kiv::IsValidType(type)) break;
    ListedRecord record;
    record.offset = reader.record_offset();
    record.type = static_cast<RecordType>(type);
    record.raw.type = record.type;
    RecordDecoder(reader, code_page, &record).Payload();
    listing.records.push_back(std::move(record));
    if (type == static_cast<uint16_t>(RecordType::kEndOfLog)) break;
  }
  return listing;
}

}  // namespace kivlog
