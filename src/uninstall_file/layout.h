// The uninstall file's layout: what an installer appends to a copy of the stub.
//
//   [executable image][records ...][display name NUL][trailer: 20 bytes]
//
// Every integer is little-endian and unsigned; every offset is absolute from
// the start of the file. The reader reaches everything through the trailer and
// the back-links, never through where the image ends.
//
// This header must stay free of <windows.h>: the host tools and tests use it.
#ifndef KIV_UNINSTALL_FILE_LAYOUT_H_
#define KIV_UNINSTALL_FILE_LAYOUT_H_

#include <stdint.h>

#include "base/byte_order.h"

namespace kiv {

// Trailer, the last 20 bytes: name offset, last-record offset, signature.
inline constexpr uint32_t kTrailerSize = 20;
inline constexpr uint32_t kTrailerNameOffset = 0;
inline constexpr uint32_t kTrailerLastRecordOffset = 4;
inline constexpr uint32_t kTrailerSignatureOffset = 8;
inline constexpr char kSignature[] = "KivUnInstall";
inline constexpr uint32_t kSignatureSize = 12;
static_assert(sizeof(kSignature) == kSignatureSize + 1, "signature is stored without its NUL");
static_assert(kTrailerSignatureOffset + kSignatureSize == kTrailerSize, "trailer is 20 bytes");

// The largest uninstall file. Offsets are u32; the format keeps to what a
// signed 32-bit file position reaches, so that every reader of it (a C
// runtime's fseek among them, as kivlog's own limit) can seek anywhere.
inline constexpr uint64_t kMaxUninstallFileSize = 0x7FFFFFFF;

// Record header: back-link (u32), type (u16).
inline constexpr uint32_t kRecordHeaderSize = 6;
// The back-link of the first record, the type-0 record that ends the chain.
inline constexpr uint32_t kNoBackLink = 0xFFFFFFFFu;

// Field limits, NUL included.
inline constexpr uint32_t kStringLimit = 256;
inline constexpr uint32_t kRegistryLimit = 1024;  // RegistryValue path and data
// A Directory's or File's path in a file that names its code page (below):
// up to the registry path's 1,024 bytes. Past kStringLimit such a path must
// be written as the system reads it (IsPathAsRead, names.h), as it goes to
// the system through the "\\?\" form, which reads it literally. A file
// that names no code page keeps kStringLimit for them, as every file did
// before: a longer path there is damage.
inline constexpr uint32_t kLongPathLimit = 1024;
inline constexpr uint32_t kDisplayNameLimit = 256;
// A font name leaves room for " (TrueType)" within kStringLimit.
inline constexpr char kTrueTypeSuffix[] = " (TrueType)";
inline constexpr uint32_t kFontNameLimit = kStringLimit - (sizeof(kTrueTypeSuffix) - 1);
static_assert(kFontNameLimit == 245, "244 bytes of name, its NUL, and the suffix fit 256");

// Saved content's fixed part: the saved time, a FILETIME (100 ns since 1601,
// the low 32-bit word first, then the high word, that is a little-endian
// u64), then the content's length (u32); the content follows.
inline constexpr uint32_t kSavedTimeSize = 8;
inline constexpr uint32_t kSavedLengthOffset = kSavedTimeSize;
inline constexpr uint32_t kSavedFixedSize = kSavedTimeSize + 4;

enum class RecordType : uint16_t {
  kEndOfLog = 0,
  kDirectory = 1,
  kFile = 2,
  kIniEntry = 3,
  kRegistryValue = 4,
  kUnused5 = 5,  // never read: the walk takes the header and moves on
  kFont = 6,
  kShellItem = 7,
  kShellGroup = 8,
  // Type 9 is the code-page record (kCodePageType below), no change to undo.
  // The two file records below came after it: a stub that knows only types
  // 0 to 8 (and 9) refuses a file holding either as damaged, rather than
  // delete what it cannot tell is shared or changed.
  kSharedFile = 10,  // a file other products may use too: SharedDLLs counts it
  kKeptFile = 11,    // a file kept when its content changed since installation
};
inline constexpr uint16_t kLastValidType = 11;

// The code-page record: the code page the file's text is in (u32: 65001 for
// UTF-8, 932, 1252, ...). It names no change, so it is no record type of the
// walk. At most one, and only directly after the type-0 record (its back-link
// names that record), where a reader that knows nothing of it still meets it
// in the chain: such a reader takes a type above 8 for damage and refuses the
// whole file rather than read its names in another code page. A file without
// it is in the code page of the system that runs it.
inline constexpr uint16_t kCodePageType = 9;
inline constexpr uint32_t kCodePagePayloadSize = 4;

inline constexpr bool IsValidType(uint16_t type) {
  return type <= kLastValidType && type != kCodePageType;
}

// A kept file's content as installed: its size (u32), then the CRC-32 of
// its bytes (u32; base/crc32.h).
inline constexpr uint32_t kContentCheckSize = 8;

// ---- The record layout ------------------------------------------------------
// Each type's payload, field by field in the order it is stored, with its
// limits: the one description the chain check, the readers, the writer and
// the companion tool work from.
enum class FieldKind : uint8_t {
  kString,          // NUL-terminated, at most limit bytes with its NUL
  kFlag,            // one byte; zero is false, any other value true
  kOptionalString,  // a flag; when it is true, a string as above follows
  kSavedCopy,       // a flag; when it is true, a saved time (kSavedTimeSize
                    // bytes, a FILETIME), a length (u32) and that many bytes
  kFixed,           // limit bytes, always there
};

// What a string field is, for the rules the check holds it to (FieldLayout's
// marks, any of them together).
enum FieldMark : uint8_t {
  // A Directory's or File's path: kLongPathLimit in a file that names its
  // code page.
  kLongPath = 1,
  // A name the uninstall looks for or acts on: a control character (0x00 to
  // 0x1F, 0x7F) in it is damage. No installer writes one, and a report or a
  // box that shows the name would show its line breaks.
  kName = 2,
  // A path on the disk: a part that names a device (NamesDevice) is damage.
  kOnDisk = 4,
};

struct FieldLayout {
  FieldKind kind;
  uint8_t marks;   // FieldMark values, strings only
  uint16_t limit;  // strings: bytes with the NUL; 0 for the others

  constexpr bool path() const { return (marks & kLongPath) != 0; }
};
static_assert(sizeof(FieldLayout) == 4, "the marks take the padding");

// A field's limit, NUL included, in a file that names its code page
// (marked) or not.
inline constexpr uint32_t FieldLimit(const FieldLayout& field, bool marked) {
  return field.path() && marked ? kLongPathLimit : field.limit;
}

inline constexpr uint32_t kMaxFields = 6;

struct RecordLayout {
  uint8_t field_count;
  FieldLayout fields[kMaxFields];
};

// Indexed by the type's value, 0 to kLastValidType (the code page's slot
// empty: its record is read apart). Kept small: the stub's
// chain check carries it.
inline constexpr FieldLayout kTextField = {FieldKind::kString, 0, kStringLimit};
inline constexpr FieldLayout kNameField = {FieldKind::kString, kName, kStringLimit};
inline constexpr FieldLayout kPathField = {FieldKind::kString, kLongPath | kName | kOnDisk,
                                           kStringLimit};
inline constexpr RecordLayout kRecordLayouts[] = {
    {0, {}},                                                  // EndOfLog
    {1, {kPathField}},                                        // Directory
    {2, {kPathField, {FieldKind::kSavedCopy, 0, 0}}},         // File
    {6,                                                       // IniEntry
     {{FieldKind::kString, kName | kOnDisk, kStringLimit}, kNameField, kNameField, kTextField,
      kTextField, {FieldKind::kFlag, 0, 0}}},
    {3,  // RegistryValue
     {kNameField,
      {FieldKind::kString, kName, kRegistryLimit},
      {FieldKind::kOptionalString, 0, kRegistryLimit}}},
    {0, {}},                                                  // type 5
    {2, {kNameField, kNameField}},                            // Font
    {2, {kNameField, kNameField}},                            // ShellItem
    {1, {kNameField}},                                        // ShellGroup
    {0, {}},                                                  // the code page: never walked
    {1, {kPathField}},                                        // SharedFile
    {2, {kPathField, {FieldKind::kFixed, 0, kContentCheckSize}}},  // KeptFile
};
static_assert(sizeof(kRecordLayouts) / sizeof(kRecordLayouts[0]) == kLastValidType + 1,
              "one layout for every valid type");

// The names manifests and listings give each type and its fields, beside
// the layout and in its order. Two tables: the stub's report names only the
// types, and so carries only the first.
inline constexpr const char* kRecordTypeNames[] = {
    "end_of_log", "directory",   "file",      "ini",         "registry",  "unused5",
    "font",       "shell_item",  "shell_group", "code_page", "shared_file", "kept_file",
};
static_assert(sizeof(kRecordTypeNames) / sizeof(kRecordTypeNames[0]) == kLastValidType + 1,
              "a name for every valid type");
inline constexpr const char* kRecordFieldNames[][kMaxFields] = {
    {},
    {"path"},
    {"path", "saved"},
    {"file", "section", "key", "prior", "value", "flag"},
    {"root", "path", "data"},
    {},
    {"name", "file"},
    {"group", "item"},
    {"group"},
    {},
    {"path"},
    {"path", "content"},
};
static_assert(sizeof(kRecordFieldNames) / sizeof(kRecordFieldNames[0]) == kLastValidType + 1,
              "field names for every valid type");

struct RecordNames {
  const char* type;
  const char* const* fields;  // kMaxFields of them, null past the type's own
};

// The layout and names of a valid type (IsValidType).
inline constexpr const RecordLayout& LayoutOf(uint16_t type) { return kRecordLayouts[type]; }
inline constexpr const RecordLayout& LayoutOf(RecordType type) {
  return kRecordLayouts[static_cast<uint16_t>(type)];
}
inline constexpr RecordNames NamesOf(uint16_t type) {
  return {kRecordTypeNames[type], kRecordFieldNames[type]};
}
inline constexpr RecordNames NamesOf(RecordType type) {
  return NamesOf(static_cast<uint16_t>(type));
}

// ---- Fixed parts, spelled once ---------------------------------------------
inline void StoreRecordHeader(uint8_t* header, uint32_t back_link, uint16_t type) {
  StoreU32(header, back_link);
  StoreU16(header + 4, type);
}
inline uint32_t RecordBackLink(const uint8_t* header) { return LoadU32(header); }
inline uint16_t RecordTypeCode(const uint8_t* header) { return LoadU16(header + 4); }

inline void StoreSavedFixed(uint8_t* fixed, uint64_t time, uint32_t length) {
  StoreU64(fixed, time);
  StoreU32(fixed + kSavedLengthOffset, length);
}
inline uint64_t SavedTime(const uint8_t* fixed) { return LoadU64(fixed); }
inline uint32_t SavedLength(const uint8_t* fixed) { return LoadU32(fixed + kSavedLengthOffset); }

inline void StoreTrailer(uint8_t* trailer, uint32_t name_offset, uint32_t last_record,
                         const char* signature = kSignature) {
  StoreU32(trailer + kTrailerNameOffset, name_offset);
  StoreU32(trailer + kTrailerLastRecordOffset, last_record);
  for (uint32_t i = 0; i < kSignatureSize; ++i) {
    trailer[kTrailerSignatureOffset + i] = static_cast<uint8_t>(signature[i]);
  }
}
inline uint32_t TrailerNameOffset(const uint8_t* trailer) {
  return LoadU32(trailer + kTrailerNameOffset);
}
inline uint32_t TrailerLastRecord(const uint8_t* trailer) {
  return LoadU32(trailer + kTrailerLastRecordOffset);
}

}  // namespace kiv

#endif  // KIV_UNINSTALL_FILE_LAYOUT_H_
