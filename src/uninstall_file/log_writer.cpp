#include "uninstall_file/log_writer.h"

namespace kiv {

bool LogWriter::PutString(const char* s) {
  uint32_t n = LengthWithin(s, 0xFFFFFFFEu);
  return Put(s, n + 1);
}

bool LogWriter::Header(RecordType type) {
  uint8_t header[kRecordHeaderSize];
  uint32_t at = sink_.Position();
  StoreU32(header, last_record_);
  StoreU16(header + 4, static_cast<uint16_t>(type));
  if (!Put(header, sizeof(header))) return false;
  last_record_ = at;
  return true;
}

bool LogWriter::Begin() {
  last_record_ = kNoBackLink;
  return Header(RecordType::kEndOfLog);
}

bool LogWriter::AddDirectory(const char* path) {
  if (!FitsField(path, kStringLimit)) return false;
  return Header(RecordType::kDirectory) && PutString(path);
}

bool LogWriter::AddFile(const char* path) {
  if (!FitsField(path, kStringLimit)) return false;
  const uint8_t flag = 0;
  return Header(RecordType::kFile) && PutString(path) && Put(&flag, 1);
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
  if (!FitsField(path, kStringLimit)) return false;
  uint8_t fixed[1 + kSavedTimeSize + 4];
  fixed[0] = 1;
  StoreU32(fixed + 1, static_cast<uint32_t>(saved_time));
  StoreU32(fixed + 5, static_cast<uint32_t>(saved_time >> 32));
  StoreU32(fixed + 9, length);
  if (!Header(RecordType::kFile) || !PutString(path) || !Put(fixed, sizeof(fixed))) return false;
  uint8_t chunk[4096];
  uint32_t left = length;
  while (left > 0) {
    uint32_t want = left < sizeof(chunk) ? left : static_cast<uint32_t>(sizeof(chunk));
    if (content.Read(chunk, want) != want || !Put(chunk, want)) return false;
    left -= want;
  }
  return true;
}

bool LogWriter::AddIniEntry(const char* file, const char* section, const char* key,
                            const char* prior, const char* value, bool flag) {
  const char* fields[] = {file, section, key, prior, value};
  for (const char* f : fields) {
    if (!FitsField(f, kStringLimit)) return false;
  }
  if (!Header(RecordType::kIniEntry)) return false;
  for (const char* f : fields) {
    if (!PutString(f)) return false;
  }
  const uint8_t flag_byte = flag ? 1 : 0;
  return Put(&flag_byte, 1);
}

bool LogWriter::AddRegistryValue(const char* root, const char* path, const char* data) {
  if (!FitsField(root, kStringLimit) || !FitsField(path, kRegistryLimit)) return false;
  if (data && !FitsField(data, kRegistryLimit)) return false;
  const uint8_t flag = data ? 1 : 0;
  if (!Header(RecordType::kRegistryValue) || !PutString(root) || !PutString(path) ||
      !Put(&flag, 1)) {
    return false;
  }
  return data ? PutString(data) : true;
}

bool LogWriter::AddUnused5() { return Header(RecordType::kUnused5); }

bool LogWriter::AddFont(const char* name, const char* file) {
  if (!FitsField(name, kStringLimit) || !FitsField(file, kStringLimit)) return false;
  return Header(RecordType::kFont) && PutString(name) && PutString(file);
}

bool LogWriter::AddShellItem(const char* group, const char* item) {
  if (!FitsField(group, kStringLimit) || !FitsField(item, kStringLimit)) return false;
  return Header(RecordType::kShellItem) && PutString(group) && PutString(item);
}

bool LogWriter::AddShellGroup(const char* group) {
  if (!FitsField(group, kStringLimit)) return false;
  return Header(RecordType::kShellGroup) && PutString(group);
}

bool LogWriter::AddRaw(uint16_t type, const void* payload, uint32_t size) {
  uint8_t header[kRecordHeaderSize];
  uint32_t at = sink_.Position();
  StoreU32(header, last_record_);
  StoreU16(header + 4, type);
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
  StoreU32(trailer + kTrailerNameOffset, name_offset);
  StoreU32(trailer + kTrailerLastRecordOffset, last_record);
  for (uint32_t i = 0; i < kSignatureSize; ++i) {
    trailer[kTrailerSignatureOffset + i] = static_cast<uint8_t>(signature[i]);
  }
  return Put(trailer, sizeof(trailer));
}

}  // namespace kiv
