// What the format allows but the stub would mishandle or can never carry
// out: build refuses it and check reports it, through these same rules.
#ifndef KIVLOG_RULES_H_
#define KIVLOG_RULES_H_

#include <optional>
#include <string>
#include <vector>

#include "manifest.h"

namespace kivlog {

// The display name names the product's registration key: not empty, no
// backslash and no control character. text is the name as characters
// (UTF-8): in a double-byte code page a byte 0x5C can be the second half of
// a letter, not a backslash.
std::optional<std::string> DisplayNameFault(const std::string& text);

// Every field of a record (in the file's bytes, in code_page) that the stub
// would pass over, misread or never find: the field's name, the error id and
// what is wrong with it. Empty when the record can work.
std::vector<ManifestError> RecordFaults(const ManifestRecord& record, uint32_t code_page = 0);

// bytes in code_page with the second byte of every double-byte letter (932,
// 936, 949, 950) made 'x', the lead byte kept: what '\\', '/' and ':' are
// left are separators. The same bytes in any other code page.
std::string Separators(const std::string& bytes, uint32_t code_page);

// The first "%NAME%" in a path (an environment variable, which nothing
// expands there); empty when it holds none.
std::string EnvironmentVariable(const std::string& path);

// A Windows path that names one place whatever the current directory and
// drive, read as the stub reads it (kiv::IsFullPath): "C:\..." (or
// "C:/..."), "\\server\share\...", or a "\\?\" or "\\.\" path to a drive, a
// share, or a volume or device by its own name. bytes as Separators leaves
// them.
bool IsFullPath(const std::string& path);

}  // namespace kivlog

#endif  // KIVLOG_RULES_H_
