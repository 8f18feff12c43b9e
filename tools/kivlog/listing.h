// Reads every record of an uninstall file whose chain has been checked, in
// the order the uninstall undoes them (last written first, the type-0 record
// last), with each record's fields decoded for display.
#ifndef KIVLOG_LISTING_H_
#define KIVLOG_LISTING_H_

#include <stdint.h>

#include <functional>
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

// What a listing tells before its records.
struct ListingHead {
  std::string display_name;        // UTF-8
  std::string display_name_bytes;  // as the file holds it
  uint32_t size = 0;
  // The code page the file names (its code-page record), 0 when none; the
  // strings were decoded from it.
  uint32_t named_code_page = 0;
  uint32_t code_page = 0;  // what the strings were decoded from
  size_t undo = 0;         // records to undo: the type-0 record left out
  uint32_t types = 0;      // the record types the file holds, bit by type
  uint32_t highest_offset = 0;  // the last record's (the table's widest offset)
  uint32_t end_of_log = 0;      // the type-0 record's: the stub's image ends there
};

struct Listing : ListingHead {
  std::vector<ListedRecord> records;  // undo order; the type-0 record last
};

// reader's CheckChain() must have come back sound; strings in the file are
// decoded from the code page it names, else from code_page (code_page.h).
// Reads only the record headers; leaves the reader at the last record.
ListingHead ReadListingHead(kiv::LogReader& reader, uint32_t code_page);

// Decodes the file's records one at a time, in undo order, the type-0
// record last, and gives each to visit; fields: fill ListedRecord::fields
// too, not only raw. Starts at the last record and leaves the reader at the
// end of the chain.
void WalkListing(kiv::LogReader& reader, const ListingHead& head, bool fields,
                 const std::function<void(const ListedRecord&)>& visit);

// The record at offset (one of the chain), decoded as WalkListing does;
// false when it is the code-page record or cannot be read.
bool ReadListedRecord(kiv::LogReader& reader, const ListingHead& head, uint32_t offset, bool fields,
                      ListedRecord* record);

// The offsets of the records to undo, in the order written (4 bytes a
// record); leaves the reader at the last record.
std::vector<uint32_t> RecordOffsets(kiv::LogReader& reader);

// The whole listing at once, for files known to be small.
Listing ReadListing(kiv::LogReader& reader, uint32_t code_page);

}  // namespace kivlog

#endif  // KIVLOG_LISTING_H_
