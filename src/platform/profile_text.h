// The names of a configuration file's own lines, as the profile functions
// read them.
//
// Whatever code page the uninstall file names, the profile functions read
// and write a configuration file (one without a byte-order mark) in the
// system's ANSI code page: on the NT family they take its bytes into UTF-16
// by that code page and compare section and key names letter by letter,
// ignoring case; on the 95 family they compare the bytes by that code
// page's own case rules. A line the stub cuts from such a file is compared
// the same way: the record's names go into the system's code page first, and
// both sides are then folded by FoldProfileText. Folding by the uninstall
// file's code page (FoldName) would be wrong here: a UTF-8 file's names are
// not the file's bytes.
#ifndef KIV_PLATFORM_PROFILE_TEXT_H_
#define KIV_PLATFORM_PROFILE_TEXT_H_

#include <stdint.h>

namespace kiv::platform {

// text (in the names' code page) in the system's code page, into buffer
// (capacity bytes, its NUL included); false when the system cannot spell it
// exactly or it does not fit. buffer may be text.
bool ToProfileText(const char* text, char* buffer, uint32_t capacity);

// A run-time IniFold (run/ini_cutter.h) over bytes in the system's code
// page: on the NT family the letters in UTF-16, capitalised by
// CharUpperBuffW (looked up at run time), as bytes; on the 95 family the
// bytes capitalised by CharUpperBuffA. 0 when there is no room or no
// CharUpperBuffW.
uint32_t FoldProfileText(const char* text, uint32_t length, char* out, uint32_t capacity);

}  // namespace kiv::platform

#endif  // KIV_PLATFORM_PROFILE_TEXT_H_
