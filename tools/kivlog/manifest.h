// The manifest: what an installer author writes to describe an uninstall
// file, as JSON. ParseManifest() checks every field against the format's
// limits and the rules of rules.h and hands back the records ready for the
// LogWriter, or every fault it found, each with the path of the field that
// holds it ("records[3].path") and where that field lies in the text.
//
// Pure: it reads no file (saved content is named here, read later), so tests
// and the fuzzer can call it on any text.
#ifndef KIVLOG_MANIFEST_H_
#define KIVLOG_MANIFEST_H_

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "uninstall_file/layout.h"
#include "uninstall_file/log_writer.h"

namespace kivlog {

// The saved copy of a file the installation replaced.
struct SavedContent {
  std::string content_file;      // as the manifest spells it (UTF-8)
  std::optional<uint64_t> time;  // a FILETIME; nothing: the content file's last-write time
};

// One record. Only the fields of its type are set; every string already
// holds the bytes that go into the file (converted to the code page).
struct ManifestRecord {
  kiv::RecordType type = kiv::RecordType::kEndOfLog;
  std::string path;                   // directory, file, registry
  std::optional<SavedContent> saved;  // file
  std::string file;                   // ini, font
  std::string section, key, prior, value;
  bool flag = false;                // ini
  std::string root;                 // registry
  std::optional<std::string> data;  // registry; nothing: the uninstall deletes the value
  std::string name;                 // font
  std::string group, item;          // shell_item, shell_group
  // kept_file ("file" with "keep_if_changed"): the content as installed, its
  // size and CRC-32, given or computed at build from local_copy.
  std::optional<std::string> local_copy;  // as the manifest spells it (UTF-8)
  uint32_t content_size = 0;
  uint32_t content_crc32 = 0;
};

struct Manifest {
  std::optional<std::string> display_name;  // in the code page's bytes
  uint32_t code_page = 0;                   // see code_page.h; 0: ASCII only
  bool code_page_named = false;             // the manifest said "code_page"
  // "code_page_record": false keeps the code page out of the file (the text
  // is then read in the code page of the system that runs the uninstall, as
  // in files made before the record existed); true by default.
  bool code_page_record = true;
  std::vector<ManifestRecord> records;      // installation order
};

struct ManifestError {
  std::string field;    // "records[3].path"; empty when the text as a whole is at fault
  std::string message;  // "longer than 255 bytes"
  const char* id = "";  // diagnostics.h: error_id
  std::optional<size_t> offset;  // where in the text, when the field cannot say (a syntax error)
  std::string hint;              // what was likely meant ("did you mean \"path\"?"); may be empty
};

struct ManifestResult {
  std::optional<Manifest> manifest;
  ManifestError error;                // the first fault; meaningful only without a manifest
  std::vector<ManifestError> errors;  // every fault, in the order of the text
  SourceMap map;                      // where each field lies in the text
};

enum class DisplayName { kRequired, kOptional };

// Where the records go, which decides how long a directory's or file's path
// may be (kLongPathLimit only in a file that names its code page).
enum class Target {
  kNewFile,        // build: the manifest's "code_page" and "code_page_record" say
  kMarkedFile,     // append to a file that names its code page
  kUnmarkedFile,   // append to a file that names none
};

// An append's target, by the code page the file names (0: none).
inline Target AppendTarget(uint32_t file_code_page) {
  return file_code_page != 0 ? Target::kMarkedFile : Target::kUnmarkedFile;
}

// The manifest's text as UTF-8: UTF-8 with or without its byte order mark
// as it is (the mark left out), UTF-16LE or UTF-16BE with its mark converted
// (as Windows PowerShell 5.1's ">" and Out-File write it). Anything else is
// refused by the encoding it looks to be in, with *error saying so (at the
// first byte that is no UTF-8, for a text that is not).
std::optional<std::string> DecodeManifest(const std::string& bytes, ManifestError* error);

// bytes: the manifest as read, in any encoding DecodeManifest() takes.
// default_code_page: the code page of a manifest that names none (an append
// to a file that names its own); kAsciiOnly otherwise.
ManifestResult ParseManifest(const std::string& bytes, DisplayName display_name,
                             uint32_t default_code_page = 0, Target target = Target::kNewFile);

// Writes a record whose fields all come from the manifest: every type but a
// file with saved content, whose bytes the caller streams itself. False when
// the writer refuses or the record is not of that kind.
bool WriteFieldRecord(kiv::LogWriter& writer, const ManifestRecord& record);

// The manifest's name for a record type ("directory", "shell_item", ...), also
// used by the listing; "end_of_log" for type 0.
const char* RecordTypeName(kiv::RecordType type);

// The text of the record's plain string field of that name (as the record
// layout names it), or null when the name is no such field.
const std::string* FieldText(const ManifestRecord& record, const char* name);

}  // namespace kivlog

#endif  // KIVLOG_MANIFEST_H_
