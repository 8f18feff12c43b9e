// What the format allows but the stub would mishandle: build refuses it and
// check reports it, through these same rules.
#ifndef KIVLOG_RULES_H_
#define KIVLOG_RULES_H_

#include <optional>
#include <string>

#include "manifest.h"

namespace kivlog {

// The display name names the product's registration key: not empty, and no
// backslash. text is the name as characters (UTF-8): in a double-byte code
// page a byte 0x5C can be the second half of a letter, not a backslash.
std::optional<std::string> DisplayNameFault(const std::string& text);

// A record whose fields (in the file's bytes) the stub would pass over or
// misread; the field's name and what is wrong with it.
std::optional<ManifestError> RecordFault(const ManifestRecord& record);

}  // namespace kivlog

#endif  // KIVLOG_RULES_H_
