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

// Folds length bytes (length > 0) of text, for a comparison that ignores
// case, into out (capacity bytes): the count of bytes written, 0 when it
// cannot fold them exactly (no room, no such call). Two names are one when
// their folds are equal bytes; the fold need not be text.
using IniFold = uint32_t (*)(const char* text, uint32_t length, char* out, uint32_t capacity);

// Room a fold is given, for any one name.
inline constexpr uint32_t kIniFoldRoom = 1024;

enum class IniCut : uint8_t {
  kNone,        // no line matched: the buffer is untouched
  kCut,         // one line is cut
  kCannotTell,  // a name that mattered could not be folded: the buffer is
                // untouched, as no line can be told the logged one or not
};

// Cuts from buffer[0, *size) the last line inside the section whose key and
// value match, and sets *size to what is left. One record wrote one line, so
// it takes one away: where the same line stands twice (a device= line
// another product or the system also wrote), the other stays.
//
//  - A line starts at the buffer's start or after a line feed; it ends with
//    its line feed (CR LF or a bare LF), or at the end of the buffer.
//  - A line whose first bytes equal section under the fold (the header as
//    the file spells it, opening bracket included; all of section must lie
//    within the line) opens the section. Any other line that begins with
//    '[' closes it. An empty section opens nothing.
//  - Inside the section a line matches when it holds an '=' and the text
//    before the first '=' equals key under the fold, and the text after it
//    equals value exactly; blanks (space, tab) around either side of the
//    '=' and around key and value themselves are ignored. The line cut goes
//    whole, its line end included; a section that appears more than once
//    counts as one.
//  - A line the answer depends on whose name does not fold (a possible
//    header, a key inside the section), or a section or key that does not,
//    gives kCannotTell.
//
// section, key and value are NUL-terminated, in the file's own code page.
// Never reads past *size bytes.
IniCut CutIniLines(char* buffer, uint32_t* size, const char* section, const char* key,
                   const char* value, IniFold fold);

}  // namespace kiv

#endif  // KIV_INI_INI_CUTTER_H_
