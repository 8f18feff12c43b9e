// The rules by which the file calls read a path, in one place, so that every
// check the stub makes sees the path the system will act on.
//
// Both '/' and '\' separate parts. The root is what no check asks about: a
// drive ("C:\"), a share ("\\server\share\"), a device path's prefix with
// what it names ("\\?\C:\", "\\.\C:\", "\\?\UNC\server\share\",
// "\\?\Volume{...}\"), or a bare "\" (the current drive's root). Below the
// root, as the system reads a path that is not "\\?\": "." parts go, ".."
// takes back the part before it (never the root), and a part's trailing dots
// and blanks are dropped. A "\\?\" path is taken literally by the system, so
// only its separators are read.
//
// Pure: no <windows.h>, no allocation.
#ifndef KIV_BASE_PATH_RULES_H_
#define KIV_BASE_PATH_RULES_H_

#include <stdint.h>

#include "base/fixed_string.h"

namespace kiv {

// Tells whether a byte leads a double-byte character in the system's ANSI
// code page (IsDBCSLeadByte on Windows): its second byte may be 0x5C and is
// then no separator.
using LeadByteTest = bool (*)(uint8_t byte);

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Index of the last separator ('\' or '/') in path, or -1 when it holds none.
int32_t LastSeparator(const char* path, LeadByteTest is_lead_byte);

enum class PathForm : uint8_t {
  kAsWritten,  // the root as the path spells it, prefix and all ('\' only)
  kOneSpelling,  // "\\?\C:\" and "\\.\C:\" as "C:\", "\\?\UNC\" as "\\"
};

// Whether the n bytes at path (in code_page's letters: 0 for the system's
// single-byte one) are a path the system takes as it is written: a full path
// from a drive ("C:\dir") or a share ("\\server\share\dir"), '\' its only
// separator, and no part empty, "." or "..", nor ending in a dot or a blank;
// or a path already in the "\\?\" form, which the system never reads
// otherwise. Only such a path may go to the system in the "\\?\" form (the
// one that takes paths past MAX_PATH), where no dot is taken away and '/' is
// no separator: any other would name something else there.
bool IsPathAsRead(const uint8_t* path, uint32_t n, uint32_t code_page);

// Whether a part of the n bytes at text names a device of the system (CON,
// PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9, LPT0 to LPT9, COM or LPT
// with a superscript 1, 2 or 3) rather than a file or directory: in any
// ASCII case, with any extension, with blanks before the extension or a
// colon after the name, and with trailing dots and blanks. The system reads
// such a part, asked about as the last part of a path, as the device, while
// a longer path (or the "\\?\" form) goes through the directory of that
// name: what a check asks about would not be what an action reaches. Every
// part counts, the root's among them. Parts end at '\' and '/'; a lead byte
// (code_page's letters, or is_lead_byte's for code page 0; null: none)
// takes its second byte with it. Pure bytes: a superscript in UTF-8 or as
// the one byte of the single-byte pages.
bool NamesDevice(const uint8_t* text, uint32_t n, uint32_t code_page, LeadByteTest is_lead_byte);

// Appends text as a part of a file name: each byte a name cannot hold
// (\ / : * ? " < > | and control characters) as '_'; a lead byte takes
// its second byte with it. False, changing nothing, when it does not fit.
bool AppendAsFileName(const char* text, LeadByteTest is_lead_byte, LongString* out);

// Where a path starts from: the current directory (kRelative; "C:name" too,
// which is relative to C:'s current directory), the current drive's root
// (kCurrentDrive: "\dir"), or one place whatever the current directory and
// drive (kFull): a drive's root ("C:\"), a share ("\\server\share"), or a
// "\\?\" or "\\.\" path to a drive ("\\?\C:", its separator or not), a share
// ("\\?\UNC\server\share") or a volume or device by its own name
// ("\\?\Volume{...}"). The stub and kivlog judge paths by this one reading.
enum class PathStart { kRelative, kCurrentDrive, kFull };
PathStart ReadPathStart(const char* path, LeadByteTest is_lead_byte);

// True when path names one place whatever the current directory and drive.
inline bool IsFullPath(const char* path, LeadByteTest is_lead_byte) {
  return ReadPathStart(path, is_lead_byte) == PathStart::kFull;
}

// Writes path as the system reads it (see above) into *out, with '\' as the
// only separator and no separator at the end (but the root's own). *root
// receives the length of its root. False when path is not a full path (no
// drive, share, device or leading "\"), or the result does not fit.
bool NormalizePath(const char* path, LeadByteTest is_lead_byte, PathForm form, PathString* out,
                   uint32_t* root);

// A drive that stands for a directory of another (a subst drive): target is
// what the system says the drive letter of path (a one-spelling path,
// "X:\...") names, as "\??\Y:\dir". Writes path with that directory in
// the drive's place; false, changing nothing, when target names no such
// directory (a device, a network share, another kind of name) or the
// result does not fit.
bool SubstituteDrive(const char* target, LeadByteTest is_lead_byte, PathString* path);

// Calls visit with each directory on the way in path, a path NormalizePath
// wrote with its root's length, from the top down: path cut at each
// separator after the root ("C:\A", then "C:\A\B" for "C:\A\B\c.txt").
// Stops at the first call that returns true and returns true; false when
// none did. path is cut in place for each call and restored after it.
bool AnyDirectoryOnTheWay(PathString* path, uint32_t root, LeadByteTest is_lead_byte,
                          bool (*visit)(const char* directory, void* context), void* context);

}  // namespace kiv

#endif  // KIV_BASE_PATH_RULES_H_
