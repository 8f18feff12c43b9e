// Names as a person sees them on the screen: what in a name makes it show
// other than it is (bidirectional controls that reorder the text after
// them, characters of no width, letters of two scripts that look alike in
// one word), for the warning pass and for list, which shows the invisible
// ones escaped.
//
// Pure: UTF-8 in, text out.
#ifndef KIVLOG_SCREEN_TEXT_H_
#define KIVLOG_SCREEN_TEXT_H_

#include <stdint.h>

#include <string>

namespace kivlog {

// The Unicode name of a bidirectional control (U+202A to U+202E, U+2066 to
// U+2069, U+200E, U+200F, U+061C) or a character of no width (U+200B to
// U+200D, U+2060, U+FEFF); null for any other code point.
const char* HiddenCharacterName(uint32_t code_point);

// Why the name (UTF-8) shows other than it is, as the rest of a message
// ("holds U+202E RIGHT-TO-LEFT OVERRIDE, ..."); empty when nothing does.
// Every hidden character is named (the first of each), and the first name
// part (a run between separators, blanks, digits and punctuation) that
// mixes Latin letters with Cyrillic or Greek ones.
std::string MisleadingName(const std::string& utf8);

// The code point at text[*at] (UTF-8), *at moved past it; U+FFFD for a
// byte that starts no valid sequence (one byte is passed over).
uint32_t NextCodePoint(const std::string& text, size_t* at);

}  // namespace kivlog

#endif  // KIVLOG_SCREEN_TEXT_H_
