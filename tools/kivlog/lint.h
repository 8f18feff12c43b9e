// The warning pass: what builds a working file but is likely not what the
// author meant (the root repeated in a registry path, a file logged before
// its directory, the product's own registration logged, ...). build and
// append run it over the manifest, check over the file's records.
#ifndef KIVLOG_LINT_H_
#define KIVLOG_LINT_H_

#include <stddef.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manifest.h"

namespace kivlog {

struct Warning {
  // The record warned about, as an index into the records given; none for
  // the display name.
  std::optional<size_t> record;
  std::string field;  // "path"; "display_name" with no record
  const char* id;     // diagnostics.h: warning_id
  std::string message;
  std::string hint;  // the likely fix, when it is not part of the message
};

// records: in the order written, every field in the file's bytes. Only
// records from `first` on are warned about; those before it (the file an
// append extends) are what they are compared with. A record named in a
// message is "records[N]" counted from `first`, or "the file's record N"
// (1 for the first after the type-0 record) before it. display_name: the
// name the file will have, in its bytes; name_is_new: warn about it too.
// code_page: the fields' (a byte 0x5C that ends a double-byte letter is no
// backslash).
std::vector<Warning> FindWarnings(const std::vector<const ManifestRecord*>& records, size_t first,
                                  const std::string& display_name, bool name_is_new,
                                  uint32_t code_page = 0);

class Finder;

// FindWarnings for records that come one at a time, as a file's do when it
// is read from its end: every record goes to Note(), then Seal(), then every
// record to Read(), each round in any order, each record by its index in the
// order written. Keeps a few bytes a record, not the records.
class WarningPass {
 public:
  WarningPass(size_t first, const std::string& display_name, bool name_is_new,
              uint32_t code_page = 0);
  ~WarningPass();
  WarningPass(const WarningPass&) = delete;
  WarningPass& operator=(const WarningPass&) = delete;

  // Before any Note(), when known: how many records, and whether any is a
  // font (files are looked up only for fonts).
  void Expect(size_t records, bool fonts);
  void Note(size_t index, const ManifestRecord& record);
  void Seal();
  void Read(size_t index, const ManifestRecord& record);
  // In the order FindWarnings gives them.
  std::vector<Warning> Take();

 private:
  std::unique_ptr<Finder> finder_;
  std::string display_name_;
};

}  // namespace kivlog

#endif  // KIVLOG_LINT_H_
