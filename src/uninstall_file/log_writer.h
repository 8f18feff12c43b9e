// LogWriter: the installer's side of the uninstall file.
//
// Appends the record chain, the display name and the trailer to a sink that
// already holds the executable image. Tests build their fixtures with it and
// the companion tool builds and extends uninstall files with it; the stub
// itself never writes a log.
//
// Every Add* checks its fields against the format's limits and writes nothing
// when one is over; AddRaw() and FinishRaw() write what they are given, for
// the odd files tests need. Never allocates.
#ifndef KIV_UNINSTALL_FILE_LOG_WRITER_H_
#define KIV_UNINSTALL_FILE_LOG_WRITER_H_

#include <stdint.h>

#include "base/fixed_string.h"
#include "uninstall_file/layout.h"

namespace kiv {

// Where the writer's bytes go. The position is the absolute offset in the
// uninstall file of the next byte written.
class ByteSink {
 public:
  virtual bool Write(const void* data, uint32_t size) = 0;
  virtual uint32_t Position() const = 0;

 protected:
  ~ByteSink() = default;  // not virtual: never deleted through this type
};

// Where a saved file's content comes from, chunk by chunk.
class ByteSource {
 public:
  // Up to size bytes into buffer; the count delivered (0 at the end).
  virtual uint32_t Read(void* buffer, uint32_t size) = 0;

 protected:
  ~ByteSource() = default;
};

// A saved file's content for a File record: its time (a FILETIME, 100 ns
// since 1601 UTC), its length and where its bytes come from.
struct SavedContent {
  uint64_t time;
  uint32_t length;
  ByteSource* content;
};

// One field's value, in the record layout's order: text for a string (null
// for an optional string that is absent), flag for a flag, saved for a saved
// copy (null: none).
struct FieldValue {
  const char* text = nullptr;
  bool flag = false;
  SavedContent* saved = nullptr;
  const uint8_t* bytes = nullptr;  // a fixed field's bytes
};

class LogWriter {
 public:
  explicit LogWriter(ByteSink& sink) : sink_(sink) {}

  // Writes the type-0 record that starts every chain, at the sink's position.
  bool Begin();
  // Begin() and then the code-page record that says the file's text is in
  // code_page (65001 for UTF-8): the only place that record may stand. The
  // file is then marked: its paths may run to kLongPathLimit.
  bool BeginInCodePage(uint32_t code_page);
  // Continues an existing chain whose last record lies at last_record, in a
  // file that names code_page (0: a file that names none).
  void Resume(uint32_t last_record, uint32_t code_page = 0) {
    last_record_ = last_record;
    code_page_ = code_page;
  }

  // Any valid type, its fields taken from values (one per field of its
  // layout) and checked against the layout's limits first (FieldLimit; a
  // long path also by IsPathAsRead, in the code page's letters): nothing is
  // written when one is over or a required string is missing. The Add*
  // below are this for one type each.
  bool AddRecord(RecordType type, const FieldValue* values);

  bool AddDirectory(const char* path);
  // A file the installer wrote new: the uninstall deletes it.
  bool AddFile(const char* path);
  // A file the installer replaced: the uninstall puts back length bytes of
  // saved content with the saved time (a FILETIME, 100 ns since 1601 UTC).
  bool AddRestoredFile(const char* path, uint64_t saved_time, const void* content, uint32_t length);
  bool AddRestoredFile(const char* path, uint64_t saved_time, ByteSource& content, uint32_t length);
  bool AddIniEntry(const char* file, const char* section, const char* key, const char* prior,
                   const char* value, bool flag);
  // data == nullptr writes the flag false (the uninstall deletes the value).
  bool AddRegistryValue(const char* root, const char* path, const char* data);
  bool AddUnused5();
  bool AddFont(const char* name, const char* file);
  bool AddShellItem(const char* group, const char* item);
  bool AddShellGroup(const char* group);
  // A record with any type and payload, back-linked to the last record.
  bool AddRaw(uint16_t type, const void* payload, uint32_t size);
  // Raw bytes with no record around them.
  bool WriteBytes(const void* data, uint32_t size) { return Put(data, size); }

  // The display name and the trailer pointing at it and at the last record.
  bool Finish(const char* display_name);
  bool FinishRaw(uint32_t name_offset, uint32_t last_record, const char signature[12]);

  uint32_t last_record() const { return last_record_; }

 private:
  bool Header(RecordType type);
  bool Put(const void* data, uint32_t size) { return sink_.Write(data, size); }
  bool PutString(const char* s);
  bool PutFlag(bool flag);
  bool PutSaved(const SavedContent& saved);

  ByteSink& sink_;
  uint32_t last_record_ = kNoBackLink;
  uint32_t code_page_ = 0;  // the chain's code-page record's; 0: none
};

// True when s with its NUL fits limit bytes.
inline bool FitsField(const char* s, uint32_t limit) { return LengthWithin(s, limit) < limit; }

}  // namespace kiv

#endif  // KIV_UNINSTALL_FILE_LOG_WRITER_H_
