// Cutting the lines key=value that an installer wrote straight into a
// section of a configuration file (pure, over a buffer).
//
// Such lines sit in sections where a key may repeat, so the profile calls,
// which know one entry per key, cannot take them out. The file layer around
// this lives with the record action; this part never touches a file.
#ifndef KIV_INI_INI_CUTTER_H_
#define KIV_INI_INI_CUTTER_H_

#include <stdint.h>

namespace kiv {

// Files longer than this are left as they are.
inline constexpr uint32_t kIniCutFileLimit = 65535;

// Cuts from buffer[0, *size) the last line inside the section whose key and
// value match, and sets *size to what is left. Returns the number of lines
// cut: 1, or 0 with the buffer untouched. One record wrote one line, so it
// takes one away: where the same line stands twice (a device= line another
// product or the system also wrote), the other stays.
//
//  - A line starts at the buffer's start or after a line feed; it ends with
//    its line feed (CR LF or a bare LF), or at the end of the buffer.
//  - A line whose first bytes equal section (the header as the file spells
//    it, opening bracket included; ASCII case ignored; all of section must
//    lie within the line) opens the section. Any other line that begins with
//    '[' closes it. An empty section opens nothing.
//  - Inside the section a line matches when it holds an '=' and the text
//    before the first '=' equals key, ignoring ASCII case, and the text after
//    it equals value exactly; blanks (space, tab) around either side of the
//    '=' and around key and value themselves are ignored. The line cut goes
//    whole, its line end included; a section that appears more than once
//    counts as one.
//
// section, key and value are NUL-terminated. Never reads past *size bytes.
uint32_t CutIniLines(char* buffer, uint32_t* size, const char* section, const char* key,
                     const char* value);

}  // namespace kiv

#endif  // KIV_INI_INI_CUTTER_H_
