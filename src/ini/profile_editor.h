// The profile-section editor: adds key=value as the first entry of a section
// of an INI-style file, without disturbing any entry already there (unlike
// WritePrivateProfileString, which would replace another program's pending
// NUL= entry in WININIT.INI).
//
// The edit itself is a pure function over a buffer; AddProfileEntry() wraps it
// with the whole-file calls.
#ifndef KIV_INI_PROFILE_EDITOR_H_
#define KIV_INI_PROFILE_EDITOR_H_

#include <stdint.h>

#include "base/fixed_string.h"

namespace kiv {

// Files larger than this are refused.
inline constexpr uint32_t kProfileFileLimit = 61439;  // 0xEFFF
// Room the buffer holds beyond the file for the insertion.
inline constexpr uint32_t kProfileRoom = 1024;
// A section header "[section]" (a 256-byte field and its brackets), and the
// longest text the editor puts in: header, key and value (three 256-byte
// fields) with the line ends, "=" and brackets around them.
using ProfileHeader = FixedString<260>;
using ProfileText = FixedString<3 * 256 + 16>;
static_assert(ProfileText::capacity() <= kProfileRoom, "an insertion fits the room left for it");

// The content of a file that does not exist yet: "[section]\r\nkey=value".
// False when it does not fit capacity.
bool NewProfileContent(char* buffer, uint32_t capacity, const char* section, const char* key,
                       const char* value, uint32_t* size);

// Edits buffer[0, *size) in place (capacity bytes in all). The header
// "[section]" is found at the start of the file or right after a line feed,
// compared without regard to ASCII case, as long as more than the header
// remains in the file; "\r\nkey=value" goes right after the first such
// header's closing bracket. With no such header "\r\n[section]\r\nkey=value"
// is appended. False, buffer unchanged, when the result would not fit.
bool InsertProfileEntry(char* buffer, uint32_t* size, uint32_t capacity, const char* section,
                        const char* key, const char* value);

// The whole operation on a file: created when missing, refused when larger
// than kProfileFileLimit or unreadable. False when the file was not changed.
bool AddProfileEntry(const char* section, const char* key, const char* value, const char* file);

}  // namespace kiv

#endif  // KIV_INI_PROFILE_EDITOR_H_
