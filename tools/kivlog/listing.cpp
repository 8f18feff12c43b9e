#include "listing.h"

#include <string.h>

#include <algorithm>

#include "code_page.h"
#include "file_time.h"
#include "manifest.h"

namespace kivlog {

namespace {

using kiv::RecordType;
using Json = nlohmann::ordered_json;

class RecordDecoder {
 public:
  RecordDecoder(kiv::LogReader& reader, uint32_t code_page, bool fields, ListedRecord* record)
      : reader_(reader), code_page_(code_page), fields_(fields), record_(record) {
    record_->end = record_->offset + kiv::kRecordHeaderSize;
  }

  void String(const char* name, uint32_t capacity) {
    static_assert(kiv::kLongPathLimit <= kiv::kRegistryLimit, "every field fits");
    char buffer[kiv::kRegistryLimit];
    reader_.ReadString(buffer, capacity);
    const uint32_t length = static_cast<uint32_t>(strlen(buffer));
    record_->end += length + 1;
    std::string bytes(buffer, length);
    if (fields_) record_->fields[name] = DecodeAnsi(bytes, code_page_);
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
    if (!fields_) return;
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
          if (fields_) record_->fields[name] = record_->raw.flag;
          break;
        case kiv::FieldKind::kOptionalString:
          if (Flag()) {
            String(name, field.limit);
          } else if (fields_) {
            record_->fields[name] = nullptr;
          }
          break;
        case kiv::FieldKind::kSavedCopy:
          if (Flag()) {
            Saved();
          } else if (fields_) {
            record_->fields[name] = nullptr;
          }
          break;
      }
    }
  }

 private:
  kiv::LogReader& reader_;
  uint32_t code_page_;
  bool fields_;
  ListedRecord* record_;
};

}  // namespace

ListingHead ReadListingHead(kiv::LogReader& reader, uint32_t code_page) {
  ListingHead head;
  head.named_code_page = reader.code_page();
  if (reader.code_page() != 0) code_page = reader.code_page();
  head.code_page = code_page;
  head.size = reader.size();
  head.display_name_bytes = reader.display_name();
  head.display_name = DecodeAnsi(head.display_name_bytes, code_page);
  reader.MoveTo(reader.last_record());
  for (;;) {
    const uint16_t type = reader.NextRecord();
    if (type == kiv::kCodePageType) continue;
    if (!kiv::IsValidType(type)) break;
    head.types |= 1u << type;
    head.highest_offset = std::max(head.highest_offset, reader.record_offset());
    if (type == static_cast<uint16_t>(RecordType::kEndOfLog)) head.end_of_log = reader.record_offset();
    if (type == static_cast<uint16_t>(RecordType::kEndOfLog)) break;
    ++head.undo;
  }
  reader.MoveTo(reader.last_record());
  return head;
}

namespace {

// The record NextRecord() just met, of that type, decoded.
void Decode(kiv::LogReader& reader, const ListingHead& head, uint16_t type, bool fields,
            ListedRecord* record) {
  *record = ListedRecord();
  record->offset = reader.record_offset();
  record->type = static_cast<RecordType>(type);
  record->raw.type = record->type;
  RecordDecoder(reader, head.code_page, fields, record).Payload();
}

}  // namespace

void WalkListing(kiv::LogReader& reader, const ListingHead& head, bool fields,
                 const std::function<void(const ListedRecord&)>& visit) {
  reader.MoveTo(reader.last_record());
  ListedRecord record;
  for (;;) {
    const uint16_t type = reader.NextRecord();
    // The code-page record is the file's, not a change: listed as the
    // file's code page.
    if (type == kiv::kCodePageType) continue;
    // A checked chain holds only types 0 to 9; stop on anything else all
    // the same, so a file changed since the check cannot loop here.
    if (!kiv::IsValidType(type)) break;
    Decode(reader, head, type, fields, &record);
    visit(record);
    if (type == static_cast<uint16_t>(RecordType::kEndOfLog)) break;
  }
}

bool ReadListedRecord(kiv::LogReader& reader, const ListingHead& head, uint32_t offset, bool fields,
                      ListedRecord* record) {
  reader.MoveTo(offset);
  const uint16_t type = reader.NextRecord();
  if (!kiv::IsValidType(type)) return false;
  Decode(reader, head, type, fields, record);
  return true;
}

std::vector<uint32_t> RecordOffsets(kiv::LogReader& reader) {
  std::vector<uint32_t> offsets;
  reader.MoveTo(reader.last_record());
  for (;;) {
    const uint16_t type = reader.NextRecord();
    if (type == kiv::kCodePageType) continue;
    if (!kiv::IsValidType(type) || type == static_cast<uint16_t>(RecordType::kEndOfLog)) break;
    offsets.push_back(reader.record_offset());
  }
  reader.MoveTo(reader.last_record());
  std::reverse(offsets.begin(), offsets.end());
  return offsets;
}

Listing ReadListing(kiv::LogReader& reader, uint32_t code_page) {
  Listing listing;
  static_cast<ListingHead&>(listing) = ReadListingHead(reader, code_page);
  WalkListing(reader, listing, true,
              [&](const ListedRecord& record) { listing.records.push_back(record); });
  return listing;
}

}  // namespace kivlog
