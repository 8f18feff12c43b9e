// Reads every record of an uninstall file whose chain has been checked, in
// the order the uninstall undoes them (last written first, the type-0 record
// last), with each record's fields decoded for display.
#ifndef KIVLOG_LISTING_H_
#define KIVLOG_LISTING_H_

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "manifest.h"
#include "uninstall_file/log_reader.h"

namespace kivlog {

struct ListedRecord {
  uint32_t offset = 0;
  uint32_t end = 0;  // offset of the first byte after the record's payload
  kiv::RecordType type = kiv::RecordType::kEndOfLog;
  // The payload's fields under the manifest's names, strings in UTF-8, in
  // the order they are stored. Saved content: {"length", "time", "time_utc"}.
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
  // The same fields as the file's bytes (saved content left out), for the
  // rules the stub applies to them.
  ManifestRecord raw;
};

struct Listing {
  std::string display_name;        // UTF-8
  std::string display_name_bytes;  // as the file holds it
  uint32_t size = 0;
  // The code page the file names (its code-page record), 0 when none; the
  // strings were decoded from it.
  uint32_t named_code_page = 0;
  uint32_t code_page = 0;  // what the strings were decoded from
  std::vector<ListedRecord> records;  // undo order; the type-0 record last
};

// reader's CheckChain() must have come back sound; strings in the file are
// decoded from the code page it names, else from code_page (code_page.h). Leaves the reader at the end of the chain.
Listing ReadListing(kiv::LogReader& reader, uint32_t code_page);

}  // namespace kivlog

#endif  // KIVLOG_LISTING_H_
