// The command-line remainder: what follows the program's own name.
//
// Empty for the confirmation mode; otherwise the uninstall file's full path,
// taken whole (inner and trailing blanks and any quotes stay).
#ifndef KIV_RUN_COMMAND_LINE_H_
#define KIV_RUN_COMMAND_LINE_H_

#include <stdint.h>

namespace kiv {

// Tells whether a byte is a lead byte of a double-byte character in the
// system's ANSI code page (IsDBCSLeadByte on Windows).
using LeadByteTest = bool (*)(uint8_t byte);

// Returns a pointer into line at the start of the remainder (at its NUL when
// the remainder is empty).
//  - A line that begins with '"': the name runs to the next '"', which goes
//    with the name; inside the quotes a lead byte takes the following byte
//    with it. With no closing quote the remainder is empty.
//  - Otherwise the name runs up to the first byte of value 32 or less.
//  - Then every byte of value 1 to 32 is passed over.
const char* CommandLineRemainder(const char* line, LeadByteTest is_lead_byte);

}  // namespace kiv

#endif  // KIV_RUN_COMMAND_LINE_H_
